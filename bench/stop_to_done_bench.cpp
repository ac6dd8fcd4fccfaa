// Stop to done for recordings of 1 minute, 10 minutes and 1 hour: the audio is pushed through the
// fake hardware's I/O block as fast as the encoder takes it, then finishToM4A is timed (with the
// driver's last read of the length). Anchor, in the same run: the whole-file transcode of the same
// recording's WAV, which is what the finish cost before the encoder ran while recording.
// Also prints the resident memory (VmRSS, and its peak VmHWM) at every sixth of each recording, to
// show it stays flat.
//
//   build/stop_to_done_bench [minutes...]     (default: 1 10 60)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_audio_hardware.h"
#include "ondrelkit/process_tap_recorder.h"
#include "ondrelkit/encode/transcoder.h"

namespace fs = std::filesystem;
using namespace ondrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kCycle = 480;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// VmRSS or VmHWM of this process, in MiB.
double statusMiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) / 1024;
  }
  return 0;
}

// One second of a speech-like test signal: tones with noise, mic mono, tap stereo.
struct Signal {
  std::vector<float> mic, system;
  Signal() : mic(kRate), system(2 * kRate) {
    std::mt19937 noise(1);
    std::normal_distribution<float> gauss(0, 0.05f);
    for (std::uint32_t i = 0; i < kRate; ++i) {
      const double t = double(i) / kRate;
      mic[i] = float(0.4 * std::sin(2 * M_PI * 440 * t)) + gauss(noise);
      system[2 * i] = float(0.3 * std::sin(2 * M_PI * 1000 * t)) + gauss(noise);
      system[2 * i + 1] = float(0.3 * std::sin(2 * M_PI * 700 * t)) + gauss(noise);
    }
  }
};

// Runs `cycles` I/O cycles of the signal through the recorder, as fast as its encoder takes them:
// the ring never fills. With `memory`, appends the resident memory at every sixth of the way.
void record(ProcessTapRecorder& recorder, testing::FakeAudioHardware& hw, const Signal& signal,
            std::uint64_t cycles, std::string* memory = nullptr) {
  for (std::uint64_t c = 0; c < cycles; ++c) {
    if (memory && c % (cycles / 6) == 0) {
      char sample[96];
      std::snprintf(sample, sizeof sample, " %.0f s %.1f/%.1f;", double(c * kCycle) / kRate,
                    statusMiB("VmRSS:"), statusMiB("VmHWM:"));
      *memory += sample;
    }
    const std::size_t at = (c * kCycle) % kRate;
    AudioBuffer buffers[2] = {{1, kCycle * 4, const_cast<float*>(signal.mic.data() + at)},
                              {2, kCycle * 8, const_cast<float*>(signal.system.data() + 2 * at)}};
    const AudioBufferList list{2, buffers};
    while (recorder.encoderBacklogFrames() > 2 * kRate) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    hw.runIO(list);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> minutes;
  for (int i = 1; i < argc; ++i) minutes.push_back(std::atoi(argv[i]));
  if (minutes.empty()) minutes = {1, 10, 60};

  const Signal signal;
  std::string memory;
  const fs::path root =
      fs::temp_directory_path() / ("ondrel-stop-bench-" + std::to_string(getpid()));
  std::printf(
      "| recording | stop to done | whole-file transcode (before) | ratio | RSS at end |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const int length : minutes) {
    const fs::path dir = root / std::to_string(length);
    fs::create_directories(dir);
    auto hw = std::make_shared<testing::FakeAudioHardware>();
    hw->devices = {{.id = 11,
                    .uid = "mic",
                    .inputStreamSize = 8,
                    .transport = kAudioDeviceTransportTypeBuiltIn}};
    auto recorder = ProcessTapRecorder::create(hw, dir / "audio.wav");
    recorder->start();

    const std::uint64_t cycles = std::uint64_t(length) * 60 * kRate / kCycle;
    char heading[64];
    std::snprintf(heading, sizeof heading, "\n%d min, VmRSS/VmHWM in MiB:", length);
    memory += heading;
    record(*recorder, *hw, signal, cycles, &memory);
    const double rss = statusMiB("VmRSS:");
    char end[64];
    std::snprintf(end, sizeof end, " end %.1f/%.1f", rss, statusMiB("VmHWM:"));
    memory += end;

    const auto stop = Clock::now();
    recorder->finishToM4A(dir / "audio.wav", dir / "audio.m4a");
    const double duration = recorder->elapsedSeconds();
    const double stopToDone = seconds(stop);

    // The anchor needs the WAV, which the finish removed: write the same frames again.
    auto anchorRecorder = ProcessTapRecorder::create(hw, dir / "anchor.wav");
    anchorRecorder->start();
    record(*anchorRecorder, *hw, signal, cycles);
    anchorRecorder->stop();
    const auto transcodeStart = Clock::now();
    Transcoder::wavToM4A(dir / "anchor.wav", dir / "anchor.m4a");
    const double transcode = seconds(transcodeStart);

    std::printf("| %d min (%.0f s in the M4A) | %.3f s | %.3f s | %.4f | %.1f MiB |\n", length,
                duration, stopToDone, transcode, stopToDone / transcode, rss);
    std::fflush(stdout);
    fs::remove_all(dir);
  }
  fs::remove_all(root);
  std::printf("\nResident memory while recording, at every sixth:%s\n", memory.c_str());
  return 0;
}
