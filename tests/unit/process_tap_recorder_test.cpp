#include "ondrelkit/process_tap_recorder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "decoded_audio.h"
#include "fake_audio_hardware.h"
#include "ondrelkit/capture_error.h"
#include "ondrelkit/devices.h"
#include "temp_dir.h"

// Every file synced: the M4A file must be on disk before it is published under its name, and
// before the WAV file that could remake it goes.
static std::mutex syncedLock;
static std::vector<std::filesystem::path> synced;
extern "C" int fsync(int fd) noexcept {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
  std::lock_guard guard(syncedLock);
  synced.push_back(path);
  return int(::syscall(SYS_fsync, fd));
}

namespace ondrel {
namespace {

using testing::pcmWavHeader;
using testing::readWavHeader;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using namespace std::chrono_literals;
using Live = std::array<std::size_t, 3>;  // taps, aggregate devices, I/O blocks

// A cycle as the aggregate device delivers it (mono microphone, stereo tap): constant, or tones.
struct Cycle {
  std::vector<float> mic, system;
  AudioBuffer buffers[2];
  AudioBufferList list{2, buffers};

  Cycle(std::uint32_t frames, float micValue, float systemValue)
      : mic(frames, micValue), system(2 * std::size_t(frames), systemValue) {
    buffers[0] = {1, frames * 4, mic.data()};
    buffers[1] = {2, frames * 8, system.data()};
  }
  const AudioBufferList& tones(std::uint64_t& at) {
    for (std::size_t i = 0; i < mic.size(); ++i, ++at) {
      const double t = double(at % 48000) / 48000;
      mic[i] = float(0.5 * std::sin(2 * M_PI * 440 * t));
      system[2 * i] = system[2 * i + 1] = float(0.5 * std::sin(2 * M_PI * 1000 * t));
    }
    return list;
  }
};

// Polls for up to five seconds.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

testing::FakeDevice input(AudioObjectID id, std::uint32_t transport, std::uint32_t streams = 8) {
  return {.id = id, .uid = "mic", .inputStreamSize = streams, .transport = transport};
}

class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() {
    hw->devices = {input(10, kAudioDeviceTransportTypeUSB),
                   input(11, kAudioDeviceTransportTypeBuiltIn)};
  }
  void start(RecorderOptions options = {}) {
    recorder = ProcessTapRecorder::create(hw, wav, options);
    recorder->start();
  }

  testing::TempDir dir;
  const std::filesystem::path wav = dir / "audio.wav";
  std::shared_ptr<testing::FakeAudioHardware> hw = std::make_shared<testing::FakeAudioHardware>();
  std::shared_ptr<ProcessTapRecorder> recorder;
};

TEST_F(RecorderTest, LevelsTimeAndFileFollowTheCyclesAtTheDevicesRateUntilStop) {
  hw->aggregateRate = 44099.5;  // rounded half away from zero
  start();
  Cycle loud(441, 0.5f, -0.25f);
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(hw->runIO(loud.list));
  EXPECT_EQ(recorder->elapsedSeconds(), 2.0);
  EXPECT_EQ(recorder->snapshotLevels(), std::make_pair(0.5f, 0.25f));
  // A skipped cycle (one buffer) leaves everything; an empty one zeroes the levels only.
  ASSERT_TRUE(hw->runIO({1, loud.buffers}));
  EXPECT_EQ(recorder->snapshotLevels(), std::make_pair(0.5f, 0.25f));
  Cycle empty(0, 0, 0);
  empty.buffers[0].mData = empty.buffers[1].mData = loud.mic.data();
  ASSERT_TRUE(hw->runIO(empty.list));
  EXPECT_EQ(recorder->snapshotLevels(), std::make_pair(0.0f, 0.0f));
  recorder->stop();
  EXPECT_FALSE(hw->runIO(loud.list));  // no callback after stop()
  EXPECT_EQ(hw->live(), (Live{0, 0, 0}));
  const std::size_t calls = hw->calls();
  hw->fireDefaultOutputChanged();  // nor a rebuild
  EXPECT_EQ(hw->calls(), calls);
  EXPECT_EQ(readWavHeader(wav), pcmWavHeader(44100, 2, 4 * 88200, true));
  EXPECT_EQ(testing::readFile(wav).substr(44, 4), "\xFF\x3F\x01\xE0");  // 16383, -8191
}

// Encoded while recording (the WAV file full or not), or the WAV file transcoded when the encoder
// failed (a cycle larger than its ring): all of it, of the reported length, and nothing else left.
TEST_F(RecorderTest, FinishLeavesOnlyTheWholeRecordingAsM4aOfTheReportedLength) {
  for (const std::string mode : {"encoded while recording", "encoder failed", "WAV file full"}) {
    SCOPED_TRACE(mode);
    // A file-size limit fails the WAV file's writes after half a second; the M4A files stay below.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit lowered{mode == "WAV file full" ? 100000 : saved.rlim_cur, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    hw->aggregateRate = 1e10;  // not a usable rate: 48000 instead
    start();
    std::uint64_t at = 0;
    Cycle cycle(480, 0, 0), last(7, 0, 0), huge(StreamingEncoder::kRingSeconds * 48000 + 1, 0, 0);
    for (int i = 0; i < 200; ++i) {
      Cycle& next = i == 100 && mode == "encoder failed" ? huge : cycle;
      ASSERT_TRUE(hw->runIO(next.tones(at)));
    }
    ASSERT_TRUE(hw->runIO(last.tones(at)));
    ASSERT_EQ(recorder->framesWritten(), at);

    synced.clear();
    EXPECT_EQ(recorder->finishToM4A(wav, dir / "audio.m4a"), dir / "audio.m4a");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    for (const auto& path : {dir / ".audio.m4a.finishing", dir.path}) {
      EXPECT_NE(std::find(synced.begin(), synced.end(), path), synced.end()) << path;
    }
    EXPECT_EQ(recorder->framesWritten(), at);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
    const auto audio = testing::decodeAudio(dir / "audio.m4a");
    EXPECT_EQ(audio.statedFrames, std::int64_t(at));
    const double end = double(at) / 48000;
    EXPECT_GT(audio.toneAmplitude(0, 440, end - 1, end - 0.1), 0.4);  // up to the end, in place
    EXPECT_GT(audio.toneAmplitude(1, 1000, end - 1, end - 0.1), 0.4);
    std::filesystem::remove(dir / "audio.m4a");
  }
}

// A recording that could not start leaves no partial file behind (its WAV file stays).
TEST_F(RecorderTest, AFailedStartRemovesThePartialFile) {
  hw->failOperation("AudioDeviceStart", -50);
  EXPECT_THROW(start(), CaptureError);
  recorder.reset();  // its encoder thread, had it been left running, has made the file by now
  EXPECT_TRUE(std::filesystem::exists(wav));
  EXPECT_FALSE(std::filesystem::exists(ProcessTapRecorder::partialURLFor(wav)));
}

// A rebuild into the same file: teardown, then a new chain. A failed one writes one line and keeps
// what it built; stop() cleans up whatever is left, stale identifiers included. No microphone to
// choose (the list unreadable, or none fits) is no failure: the chain keeps the one it had.
TEST_F(RecorderTest, AnOutputChangeRebuildsTheChainIntoTheSameFile) {
  const struct {
    std::string operation, step;  // the step that names itself in the line
    Live live;
  } cases[] = {
      {"", "", {1, 1, 1}},
      {"AudioHardwareCreateProcessTap", "AudioHardwareCreateProcessTap", {0, 0, 0}},
      {"DeviceList", "", {1, 1, 1}},
      {"AudioHardwareCreateAggregateDevice", "AudioHardwareCreateAggregateDevice", {1, 0, 0}},
      {"AudioDeviceCreateIOProcIDWithBlock", "re-create IOProc", {1, 1, 0}},
      {"AudioDeviceStart", "re-start", {1, 1, 1}},
  };
  // An unreadable rate is no reason to fail, nor is one that is not usable: 48000 instead.
  hw->failOperation("NominalSampleRate(101)", -50);
  hw->aggregateRate = -44100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    start();
    Cycle cycle(128, 0.1f, 0.1f);
    ASSERT_TRUE(hw->runIO(cycle.list));
    hw->failOperation(c.operation, -50);
    CaptureStderr();
    hw->fireDefaultOutputChanged();
    const bool mended = c.step.empty();
    EXPECT_EQ(GetCapturedStderr(),
              mended ? "" : "tap rebuild failed: " + c.step + " failed (OSStatus -50)\n");
    EXPECT_EQ(hw->live(), c.live);
    EXPECT_EQ(hw->runIO(cycle.list), mended);  // no audio until a rebuild succeeds

    hw->failOperation(c.operation, 0);
    recorder->stop();
    EXPECT_EQ(hw->live(), (Live{0, 0, 0}));
    EXPECT_EQ(readWavHeader(wav), pcmWavHeader(48000, 2, 512 * (mended ? 2 : 1), true));
  }
}

// One line per outage, whether a retry or a notification mends it; stop() ends a pause at once.
TEST_F(RecorderTest, AFailedRebuildIsRetriedUntilItSucceedsWithOneLinePerOutage) {
  const auto failStart = [&](int times) {
    hw->failOperation("AudioDeviceStart", -50, times);
    hw->fireDefaultOutputChanged();
  };
  Cycle cycle(64, 0.1f, 0.1f);
  CaptureStderr();
  start({.rebuildBackoff = {.first = 1ms, .longest = 4ms}});
  for (int outage = 0; outage < 2; ++outage) {
    failStart(3);  // the notification's rebuild and two retries
    EXPECT_TRUE(eventually([&] { return hw->runIO(cycle.list); }));
  }
  std::this_thread::sleep_for(20ms);  // a retry after the success would show by now
  EXPECT_EQ(hw->calls("AudioDeviceStart"), 1u + 2u * 4u);
  failStart(-1);
  EXPECT_TRUE(eventually([&] { return hw->calls("AudioDeviceStart") > 12; }));
  recorder->stop();
  const std::size_t calls = hw->calls();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(hw->calls(), calls);

  hw->failOperation("AudioDeviceStart", 0);
  start({.rebuildBackoff = {.first = 60s, .longest = 60s}});
  failStart(1);
  EXPECT_FALSE(hw->runIO(cycle.list));
  hw->fireDefaultOutputChanged();
  EXPECT_TRUE(hw->runIO(cycle.list));
  failStart(-1);
  const auto before = std::chrono::steady_clock::now();
  recorder->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  const std::string line = "tap rebuild failed: re-start failed (OSStatus -50)\n";
  EXPECT_EQ(GetCapturedStderr(), line + line + line + line + line);  // five outages
}

// Run under ThreadSanitizer in CI.
TEST_F(RecorderTest, ConcurrentIoRebuildsAndReadsFinishWithAConsistentFile) {
  start();
  std::atomic<std::uint64_t> delivered{0};
  const auto notify = [&] {
    for (int i = 0; i < 40; ++i, std::this_thread::yield()) hw->fireDefaultOutputChanged();
  };
  CaptureStderr();
  {
    std::jthread io([&](std::stop_token stop) {
      Cycle cycle(480, 0.5f, 0.25f);
      while (!stop.stop_requested()) delivered += hw->runIO(cycle.list) ? 480 : 0;
    });
    std::jthread reader([&](std::stop_token stop) {
      while (!stop.stop_requested()) {
        const auto [mic, system] = recorder->snapshotLevels();
        EXPECT_TRUE((mic == 0.0f && system == 0.0f) || (mic == 0.5f && system == 0.25f));
      }
    });
    std::jthread first(notify), second(notify);  // notifications race the I/O, and stop()
    while (delivered < 48000) std::this_thread::yield();
    recorder->stop();
  }  // the reader and the I/O thread stop here
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(recorder->framesWritten(), delivered.load());
  EXPECT_EQ(readWavHeader(wav), pcmWavHeader(48000, 2, 4 * delivered.load(), true));
  EXPECT_EQ(hw->live(), (Live{0, 0, 0}));
}

// Speech-like: noise tilted low, in bursts of syllables, silent for 0.3 s in every 0.6 s.
std::vector<float> talker(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> gauss(0, 0.1f);
  std::vector<float> s(n);
  float low = 0;
  for (std::size_t i = 0; i < n; ++i) {
    low = 0.7f * low + gauss(rng);
    s[i] = low * float(std::max(0.0, std::sin(M_PI * 3.3 * double(i) / 48000)));
  }
  return s;
}

// The microphone and the system audio (the tap's left channel; its right a quarter of it) in
// cycles of these sizes in turn.
void feed(testing::FakeAudioHardware& hw, const std::vector<float>& mic,
          const std::vector<float>& system, const std::vector<std::uint32_t>& sizes) {
  for (std::size_t at = 0, k = 0; at < mic.size(); ++k) {
    const auto n = std::uint32_t(std::min<std::size_t>(sizes[k % sizes.size()], mic.size() - at));
    Cycle cycle(n, 0, 0);
    for (std::uint32_t i = 0; i < n; ++i, ++at) {
      cycle.mic[i] = mic[at];
      cycle.system[2 * i] = system[at];
      cycle.system[2 * i + 1] = 0.25f * system[at];
    }
    ASSERT_TRUE(hw.runIO(cycle.list));
  }
}

// Sample `frame` of a channel of a WAV file's bytes, in full scale 1.
float wavSample(const std::string& file, std::size_t frame, int channel) {
  std::int16_t x;
  std::memcpy(&x, file.data() + 44 + 4 * frame + 2 * channel, 2);
  return float(x) / 32768;
}

// --echo-cancel keeps every frame (the canceller's priming dropped, what it holds written at the
// stop), the system channel bit for bit, and an instant in both sources at one frame of the file.
TEST_F(RecorderTest, EchoCancelKeepsTheLengthTheSystemChannelAndTheAlignment) {
  const std::size_t n = 150001, at = 51234;  // the impulse, where the talker is silent
  std::vector<float> mic(n), system = talker(n, 1);
  mic[at] = system[at] = 0.8f;
  std::string files[2];
  for (const bool echoCancel : {false, true}) {
    start({.echoCancel = echoCancel});
    feed(*hw, mic, system, {480, 1, 4801, 60000, 333});  // a cycle longer than a second too
    recorder->stop();
    EXPECT_EQ(recorder->framesWritten(), n);
    files[echoCancel] = testing::readFile(wav);
  }
  ASSERT_EQ(files[0].size(), files[1].size());
  const auto sample = [&](int file, std::size_t frame, int channel) {
    return wavSample(files[file], frame, channel);
  };
  std::size_t loudest[2] = {0, 0};
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(sample(0, i, 1), sample(1, i, 1)) << "system channel, frame " << i;
    for (int channel : {0, 1}) {
      if (std::fabs(sample(1, i, channel)) > std::fabs(sample(1, loudest[channel], channel))) {
        loudest[channel] = i;
      }
    }
  }
  EXPECT_EQ(loudest[0], at);
  EXPECT_EQ(loudest[1], at);
}

// The microphone hears the system audio through a room (10 ms late, then an echo 25 ms later), and
// from 6 s on its user too: by then the microphone channel, and its level, hold a small part of
// the echo, and then the user comes through.
TEST_F(RecorderTest, EchoCancelRemovesTheSystemAudioFromTheMicrophone) {
  const std::size_t n = 8 * 48000, talk = 5 * 48000 + 33600;  // the user starts at 5.7 s
  const std::vector<float> system = talker(n, 2), user = talker(n, 3);
  std::vector<float> mic(n);
  for (std::size_t i = 1680; i < n; ++i) {
    mic[i] = 0.5f * system[i - 480] + 0.2f * system[i - 1680] + (i >= talk ? user[i] : 0);
  }
  const auto part = [](const std::vector<float>& v, std::size_t from, std::size_t to) {
    return std::vector<float>(v.begin() + std::ptrdiff_t(from), v.begin() + std::ptrdiff_t(to));
  };
  start({.echoCancel = true});
  feed(*hw, part(mic, 0, talk), part(system, 0, talk), {480});
  const float level = recorder->snapshotLevels().first;
  feed(*hw, part(mic, talk, n), part(system, talk, n), {480});
  recorder->stop();
  const std::string file = testing::readFile(wav);
  double echo = 0, left = 0, voice = 0, heard = 0, peak = 0;
  for (std::size_t i = talk - 2 * 48000; i < talk; ++i) {
    echo += double(mic[i]) * mic[i];
    left += double(wavSample(file, i, 0)) * wavSample(file, i, 0);
  }
  for (std::size_t i = talk + 24000; i < n; ++i) {
    voice += double(user[i]) * user[i];
    heard += double(wavSample(file, i, 0)) * wavSample(file, i, 0);
  }
  for (std::size_t i = talk - 2400; i < talk; ++i) peak = std::max(peak, double(std::fabs(mic[i])));
  EXPECT_GE(10 * std::log10(echo / left), 20);
  EXPECT_LT(level, 0.3 * peak);
  EXPECT_NEAR(10 * std::log10(heard / voice), 0, 4);  // the user, at about the user's level
}

// The built-in rule: a built-in input first, else any but aggregate and virtual ones (unreadable
// ones count as none); the system's default input, else the built-in rule; a device by its UID,
// never a stand-in.
TEST(MicrophoneChoice, DeviceListToChosenDeviceOrError) {
  constexpr auto builtIn = kAudioDeviceTransportTypeBuiltIn, usb = kAudioDeviceTransportTypeUSB,
                 virt = kAudioDeviceTransportTypeVirtual,
                 aggregate = kAudioDeviceTransportTypeAggregate;
  const std::string none = "no usable built-in microphone found";
  const auto named = [](AudioObjectID id, std::string uid, std::uint32_t streams = 8) {
    return testing::FakeDevice{.id = id, .uid = std::move(uid), .inputStreamSize = streams};
  };
  const struct {
    std::string choice;
    std::vector<testing::FakeDevice> devices;
    std::string chosen;
    std::vector<std::pair<std::string, OSStatus>> failures = {};
    AudioObjectID defaultInput = 0;
  } cases[] = {
      {"builtin", {input(10, usb), input(11, builtIn, 0), input(12, builtIn)}, "12"},
      {"builtin", {input(10, builtIn, 0), input(11, virt), input(12, usb)}, "12"},
      {"builtin", {input(10, aggregate), input(11, virt)}, none},
      {"builtin",
       {input(9, builtIn), input(10, virt), input(11, aggregate)},
       "10",
       {{"Streams(9)", -50}, {"TransportType(10)", kAudioHardwareUnknownPropertyError}}},
      {"builtin", {}, none},
      {"default", {input(10, builtIn), input(11, usb)}, "11", {}, 11},
      {"default", {input(10, builtIn), input(11, usb, 0)}, "10", {}, 11},  // no input: a monitor
      {"default", {input(10, builtIn), input(11, usb)}, "10", {{"DefaultInput", -50}}, 11},
      {"default", {input(10, usb)}, "10"},
      {"headset", {input(10, builtIn), named(11, "headset")}, "11"},
      {"headset", {input(10, builtIn), named(11, "headset", 0)}, "no microphone named headset"},
      {"headset", {input(10, builtIn)}, "no microphone named headset"},
  };
  for (const auto& c : cases) {
    testing::FakeAudioHardware hw;
    hw.devices = c.devices;
    hw.defaultInput = c.defaultInput;
    for (const auto& [operation, status] : c.failures) hw.failOperation(operation, status);
    std::string chosen;
    try {
      chosen = std::to_string(chooseMicrophone(hw, MicrophoneChoice::parse(c.choice)));
    } catch (const CaptureError& error) {
      chosen = error.what();
    }
    EXPECT_EQ(chosen, c.chosen) << c.choice;
  }
}

}  // namespace
}  // namespace ondrel
