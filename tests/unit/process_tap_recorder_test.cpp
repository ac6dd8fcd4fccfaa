#include "ondrelkit/process_tap_recorder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

#include "capture_fd.h"
#include "decoded_audio.h"
#include "fake_audio_hardware.h"
#include "ondrelkit/capture_error.h"
#include "temp_dir.h"

// Every file synced, by name: a finished M4A file must be on disk before the WAV file that could
// make it again is deleted.
namespace {
std::mutex syncedLock;
std::vector<std::filesystem::path> synced;
}  // namespace
extern "C" int fsync(int fd) noexcept {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
  std::lock_guard guard(syncedLock);
  synced.push_back(path);
  return int(::syscall(SYS_fsync, fd));
}

namespace ondrel {
namespace {

using testing::captureFd;
using testing::FakeAudioHardware;
using testing::pcmWavHeader;
using testing::readBytes;
using testing::readWavHeader;
using testing::TempDir;
using namespace std::chrono_literals;

// One cycle in the aggregate device's layout: mono microphone, stereo tap.
struct Cycle {
  std::vector<float> mic;
  std::vector<float> system;
  AudioBuffer buffers[2];
  AudioBufferList list;

  Cycle(std::uint32_t frames, float micValue, float systemValue)
      : mic(frames, micValue), system(2 * std::size_t(frames), systemValue) {
    buffers[0] = {1, frames * 4, mic.data()};
    buffers[1] = {2, frames * 8, system.data()};
    list = {2, buffers};
  }
};

// Cycles of a 440 Hz microphone and a 1000 Hz tap (its two channels averaged), phase kept.
struct ToneCycle : Cycle {
  explicit ToneCycle(std::uint32_t frames) : Cycle(frames, 0, 0) {}
  std::uint32_t next(std::uint64_t& at) {
    for (std::size_t i = 0; i < mic.size(); ++i, ++at) {
      mic[i] = 0.5f * std::sin(float(2 * M_PI * 440 / 48000 * double(at % 48000)));
      system[2 * i] = system[2 * i + 1] =
          0.5f * std::sin(float(2 * M_PI * 1000 / 48000 * double(at % 48000)));
    }
    return std::uint32_t(mic.size());
  }
};

class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() : hw(std::make_shared<FakeAudioHardware>()) {
    hw->devices = {{.id = 10,
                    .uid = "usb-mic",
                    .inputStreamSize = 8,
                    .transport = kAudioDeviceTransportTypeUSB},
                   {.id = 11,
                    .uid = "builtin-mic",
                    .inputStreamSize = 8,
                    .transport = kAudioDeviceTransportTypeBuiltIn}};
    recorder = ProcessTapRecorder::create(hw, wavPath());
  }

  std::filesystem::path wavPath() const { return dir / "audio.wav"; }

  std::string startError() {
    try {
      recorder->start();
    } catch (const std::exception& error) {
      return error.what();
    }
    return "started";
  }

  // The name of each logged call, without its arguments.
  std::vector<std::string> callNames() const {
    std::vector<std::string> names;
    for (const auto& call : hw->calls()) names.push_back(call.substr(0, call.find('(')));
    return names;
  }

  TempDir dir;
  std::shared_ptr<FakeAudioHardware> hw;
  std::shared_ptr<ProcessTapRecorder> recorder;
};

TEST_F(RecorderTest, StartBuildsTheChainInOrderOverTheBuiltInMic) {
  ASSERT_EQ(startError(), "started");
  EXPECT_EQ(callNames(), (std::vector<std::string>{
                             "AudioHardwareCreateProcessTap", "AudioHardwareCreateAggregateDevice",
                             "AudioDeviceCreateIOProcIDWithBlock", "AudioDeviceStart",
                             "AudioObjectAddPropertyListenerBlock"}));
  const auto description = hw->lastAggregateDescription();
  ASSERT_TRUE(description);
  EXPECT_EQ((*description)["master"], "builtin-mic");
  EXPECT_EQ((*description)["taps"][0]["uid"], hw->lastTapDescription()->uuid.uuidString());
  EXPECT_EQ(readBytes(wavPath()).size(), 44u);
}

TEST_F(RecorderTest, LevelsAndElapsedTimeFollowTheCycles) {
  ASSERT_EQ(startError(), "started");
  EXPECT_EQ(recorder->snapshotLevels(), std::make_pair(0.0f, 0.0f));
  EXPECT_EQ(recorder->elapsedSeconds(), 0.0);

  Cycle loud(480, 0.5f, -0.25f);
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(hw->runIO(loud.list));
  EXPECT_EQ(recorder->elapsedSeconds(), 2.0);
  EXPECT_EQ(recorder->snapshotLevels(), std::make_pair(0.5f, 0.25f));
  EXPECT_EQ(recorder->snapshotLevels(), std::make_pair(0.5f, 0.25f));  // no decay

  // A skipped cycle (one buffer) leaves everything; an empty one zeroes the levels only.
  AudioBufferList single{1, loud.buffers};
  ASSERT_TRUE(hw->runIO(single));
  EXPECT_EQ(recorder->snapshotLevels(), std::make_pair(0.5f, 0.25f));
  Cycle empty(0, 0, 0);
  empty.buffers[0].mData = empty.buffers[1].mData = loud.mic.data();
  ASSERT_TRUE(hw->runIO(empty.list));
  EXPECT_EQ(recorder->snapshotLevels(), std::make_pair(0.0f, 0.0f));
  EXPECT_EQ(recorder->framesWritten(), 96000u);
}

TEST_F(RecorderTest, StopTearsDownInOrderThenCompletesTheFile) {
  ASSERT_EQ(startError(), "started");
  Cycle cycle(512, 0.5f, 0.5f);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(hw->runIO(cycle.list));
  hw->clearCalls();
  recorder->stop();
  EXPECT_EQ(hw->calls(), (std::vector<std::string>{"AudioDeviceStop(101, 1)",
                                                   "AudioDeviceDestroyIOProcID(101, 1)",
                                                   "AudioHardwareDestroyAggregateDevice(101)",
                                                   "AudioHardwareDestroyProcessTap(100)"}));
  EXPECT_FALSE(hw->runIO(cycle.list));  // no callback after stop()
  EXPECT_EQ(readWavHeader(wavPath()), pcmWavHeader(48000, 2, 4 * 5120, true));
  const auto bytes = readBytes(wavPath());
  EXPECT_EQ(bytes[44], 0xFF);  // 16383 = 0x3FFF, little-endian
  EXPECT_EQ(bytes[45], 0x3F);
}

// Encoded while recording (the WAV file full or not), or (when the encoder fails: here a cycle
// larger than its ring) the WAV file transcoded at the end: either way every recorded frame in its
// channel, the reported length the file's, and nothing else left in the folder.
TEST_F(RecorderTest, FinishLeavesOnlyTheWholeRecordingAsM4aOfTheReportedLength) {
  for (const std::string mode : {"encoded while recording", "encoder failed", "WAV file full"}) {
    SCOPED_TRACE(mode);
    const bool encoderFails = mode == "encoder failed";
    // A file-size limit fails the WAV file's writes after half a second; the M4A files stay below.
    rlimit saved{}, lowered{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    lowered = {mode == "WAV file full" ? 100000 : saved.rlim_cur, saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    recorder = ProcessTapRecorder::create(hw, wavPath());
    ASSERT_EQ(startError(), "started");
    std::uint64_t at = 0;
    ToneCycle cycle(480), last(7), huge(StreamingEncoder::kRingSeconds * 48000 + 1);
    auto run = [&](ToneCycle& c, int times) {
      for (int i = 0; i < times; ++i) {
        c.next(at);
        ASSERT_TRUE(hw->runIO(c.list));
      }
    };
    run(cycle, 100);
    if (encoderFails) run(huge, 1);
    run(cycle, 100);
    run(last, 1);
    ASSERT_EQ(recorder->framesWritten(), at);

    synced.clear();
    EXPECT_EQ(recorder->finishToM4A(wavPath(), dir / "audio.m4a"), dir / "audio.m4a");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    for (const auto& path : {dir / "audio.m4a", dir.path()}) {
      EXPECT_NE(std::find(synced.begin(), synced.end(), path), synced.end()) << path;
    }
    EXPECT_EQ(recorder->framesWritten(), at);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    const auto audio = testing::decodeAudio(dir / "audio.m4a");
    EXPECT_EQ(audio.statedFrames, std::int64_t(at));
    const double end = double(at) / 48000;
    EXPECT_GT(audio.toneAmplitude(0, 440, end - 1, end - 0.1), 0.4);
    EXPECT_GT(audio.toneAmplitude(1, 1000, end - 1, end - 0.1), 0.4);
    EXPECT_LT(audio.toneAmplitude(0, 1000, end - 1, end - 0.1), 0.01);
    EXPECT_LT(audio.toneAmplitude(1, 440, end - 1, end - 0.1), 0.01);
    std::filesystem::remove(dir / "audio.m4a");
  }
}

TEST_F(RecorderTest, TheDevicesRateBecomesTheFilesRate) {
  hw->aggregateRate = 44100.5;
  ASSERT_EQ(startError(), "started");
  EXPECT_EQ(readWavHeader(wavPath()).rate, 44101u);

  auto second = ProcessTapRecorder::create(hw, dir / "second.wav");
  hw->failOperation("NominalSampleRate(103)", kAudioHardwareUnknownPropertyError);
  second->start();
  EXPECT_EQ(readWavHeader(dir / "second.wav").rate, 48000u);
}

TEST_F(RecorderTest, StartFailuresCarryTheirStepsText) {
  const std::pair<std::string, std::string> cases[] = {
      {"AudioHardwareCreateProcessTap", "AudioHardwareCreateProcessTap failed (OSStatus -50)"},
      {"DeviceUID(11)", "device UID failed (OSStatus -50)"},
      {"AudioHardwareCreateAggregateDevice",
       "AudioHardwareCreateAggregateDevice failed (OSStatus -50)"},
      {"AudioDeviceCreateIOProcIDWithBlock",
       "AudioDeviceCreateIOProcIDWithBlock failed (OSStatus -50)"},
      {"AudioDeviceStart", "AudioDeviceStart failed (OSStatus -50)"},
      {"DeviceList", "device list failed (OSStatus -50)"},
      {"", "no usable built-in microphone found"},  // no device at all
  };
  for (const auto& [operation, text] : cases) {
    hw = std::make_shared<FakeAudioHardware>();
    if (!operation.empty()) {
      hw->devices = {{.id = 11,
                      .uid = "mic",
                      .inputStreamSize = 8,
                      .transport = kAudioDeviceTransportTypeBuiltIn}};
      hw->failOperation(operation, -50);
    }
    recorder = ProcessTapRecorder::create(hw, wavPath());
    EXPECT_EQ(startError(), text);
  }
}

// A rebuild runs whole: teardown of the old chain, then a new tap, aggregate and callback.
TEST_F(RecorderTest, AnOutputChangeRebuildsTheChainIntoTheSameFile) {
  ASSERT_EQ(startError(), "started");
  Cycle cycle(256, 0.25f, 0.25f);
  ASSERT_TRUE(hw->runIO(cycle.list));
  hw->clearCalls();
  const std::string err = captureFd(STDERR_FILENO, [&] { hw->fireDefaultOutputChanged(); });
  EXPECT_EQ(err, "");
  EXPECT_EQ(
      hw->calls(),
      (std::vector<std::string>{
          "AudioDeviceStop(101, 1)", "AudioDeviceDestroyIOProcID(101, 1)",
          "AudioHardwareDestroyAggregateDevice(101)", "AudioHardwareDestroyProcessTap(100)",
          "AudioHardwareCreateProcessTap() -> 102", "AudioHardwareCreateAggregateDevice() -> 103",
          "AudioDeviceCreateIOProcIDWithBlock(103)", "AudioDeviceStart(103, 2)"}));
  EXPECT_EQ((*hw->lastAggregateDescription())["taps"][0]["uid"],
            hw->lastTapDescription()->uuid.uuidString());
  ASSERT_TRUE(hw->runIO(cycle.list));
  EXPECT_EQ(recorder->framesWritten(), 512u);

  // A second change, even to the same device, rebuilds again.
  hw->clearCalls();
  hw->fireDefaultOutputChanged();
  EXPECT_EQ(hw->callsStartingWith("AudioDeviceStart"),
            std::vector<std::string>{"AudioDeviceStart(105, 3)"});
  recorder->stop();
  EXPECT_EQ(readWavHeader(wavPath()), pcmWavHeader(48000, 2, 512 * 4, true));
}

struct RebuildFailure {
  std::string operation;  // the fake operation to fail, or "" for "no microphone"
  std::string line;
  std::size_t taps, aggregates, procs;
};

TEST_F(RecorderTest, AFailedRebuildWritesOneLineKeepsWhatItBuiltAndStopCleansUp) {
  const std::vector<RebuildFailure> failures = {
      {"AudioHardwareCreateProcessTap",
       "tap rebuild failed: AudioHardwareCreateProcessTap failed (OSStatus -50)\n", 0, 0, 0},
      {"", "tap rebuild failed: no usable built-in microphone found\n", 1, 0, 0},
      {"AudioHardwareCreateAggregateDevice",
       "tap rebuild failed: AudioHardwareCreateAggregateDevice failed (OSStatus -50)\n", 1, 0, 0},
      {"AudioDeviceCreateIOProcIDWithBlock",
       "tap rebuild failed: re-create IOProc failed (OSStatus -50)\n", 1, 1, 0},
      {"AudioDeviceStart", "tap rebuild failed: re-start failed (OSStatus -50)\n", 1, 1, 1},
  };
  for (const auto& failure : failures) {
    SCOPED_TRACE(failure.line);
    hw = std::make_shared<FakeAudioHardware>();
    hw->devices = {{.id = 11,
                    .uid = "mic",
                    .inputStreamSize = 8,
                    .transport = kAudioDeviceTransportTypeBuiltIn}};
    recorder = ProcessTapRecorder::create(hw, wavPath());
    ASSERT_EQ(startError(), "started");
    Cycle cycle(128, 0.1f, 0.1f);
    ASSERT_TRUE(hw->runIO(cycle.list));

    if (failure.operation.empty()) {
      hw->devices.clear();
    } else {
      hw->failOperation(failure.operation, -50);
    }
    const std::string err = captureFd(STDERR_FILENO, [&] { hw->fireDefaultOutputChanged(); });
    EXPECT_EQ(err, failure.line);
    EXPECT_EQ(hw->liveTaps(), failure.taps);
    EXPECT_EQ(hw->liveAggregates(), failure.aggregates);
    EXPECT_EQ(hw->registeredIOProcs(), failure.procs);
    EXPECT_FALSE(hw->runIO(cycle.list));  // no audio flows until a rebuild succeeds
    EXPECT_EQ(recorder->framesWritten(), 128u);

    // The teardown acts on whatever the fields hold, stale identifiers included.
    hw->failOperation(failure.operation, 0);
    recorder->stop();
    EXPECT_EQ(hw->liveTaps(), 0u);
    EXPECT_EQ(hw->liveAggregates(), 0u);
    EXPECT_EQ(hw->registeredIOProcs(), 0u);
    EXPECT_EQ(readWavHeader(wavPath()), pcmWavHeader(48000, 2, 128 * 4, true));
  }
}

TEST_F(RecorderTest, AFailedRebuildIsMendedByTheNextNotification) {
  ASSERT_EQ(startError(), "started");
  hw->failOperation("AudioDeviceStart", -50);
  captureFd(STDERR_FILENO, [&] { hw->fireDefaultOutputChanged(); });
  hw->failOperation("AudioDeviceStart", 0);
  EXPECT_EQ(captureFd(STDERR_FILENO, [&] { hw->fireDefaultOutputChanged(); }), "");
  Cycle cycle(64, 0.1f, 0.1f);
  EXPECT_TRUE(hw->runIO(cycle.list));
  EXPECT_EQ(hw->liveTaps(), 1u);
  EXPECT_EQ(hw->registeredIOProcs(), 1u);
}

// Polls for up to five seconds.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST_F(RecorderTest, AFailedRebuildIsRetriedUntilItSucceedsWithOneLinePerOutage) {
  recorder = ProcessTapRecorder::create(hw, wavPath(), {.first = 1ms, .longest = 4ms});
  ASSERT_EQ(startError(), "started");
  Cycle cycle(64, 0.1f, 0.1f);
  const std::string err = captureFd(STDERR_FILENO, [&] {
    for (int outage = 0; outage < 2; ++outage) {
      hw->failOperation("AudioDeviceStart", -50, 3);  // the notification's rebuild, two retries
      hw->fireDefaultOutputChanged();
      EXPECT_TRUE(eventually([&] { return hw->runIO(cycle.list); }));
    }
    std::this_thread::sleep_for(20ms);  // a retry after the success would show by now
  });
  EXPECT_EQ(err,
            "tap rebuild failed: re-start failed (OSStatus -50)\n"
            "tap rebuild failed: re-start failed (OSStatus -50)\n");
  EXPECT_EQ(hw->callsStartingWith("AudioDeviceStart").size(), 1u + 2u * 4u);
  recorder->stop();
  EXPECT_EQ(hw->registeredIOProcs(), 0u);
}

// Whether the next retry is due in a millisecond or in a minute, stop() returns at once and no
// retry follows it.
TEST_F(RecorderTest, StopEndsTheRetriesWithoutWaitingOutAPause) {
  for (const auto pause : {1ms, 60000ms}) {
    hw->failOperation("AudioHardwareCreateProcessTap", 0);
    recorder = ProcessTapRecorder::create(hw, wavPath(), {.first = pause, .longest = pause});
    ASSERT_EQ(startError(), "started");
    hw->failOperation("AudioHardwareCreateProcessTap", -50);
    captureFd(STDERR_FILENO, [&] {
      hw->fireDefaultOutputChanged();
      if (pause == 1ms) {
        EXPECT_TRUE(eventually(
            [&] { return hw->callsStartingWith("AudioHardwareCreateProcessTap").size() > 4; }));
      } else {
        std::this_thread::sleep_for(50ms);  // the retry thread is in its pause by now
      }
    });
    const auto before = std::chrono::steady_clock::now();
    recorder->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    const std::size_t calls = hw->operationCount();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(hw->operationCount(), calls);
  }
}

TEST_F(RecorderTest, NotificationsAfterStopOrReleaseMakeNoPlatformCall) {
  ASSERT_EQ(startError(), "started");
  recorder->stop();
  std::size_t before = hw->operationCount();
  hw->fireDefaultOutputChanged();
  EXPECT_EQ(hw->operationCount(), before);

  auto other = ProcessTapRecorder::create(hw, dir / "other.wav");
  other->start();
  Cycle cycle(64, 0.1f, 0.1f);
  std::weak_ptr<ProcessTapRecorder> weak = other;
  other.reset();
  EXPECT_TRUE(weak.expired());  // the platform's callbacks do not keep it alive
  before = hw->operationCount();
  hw->fireDefaultOutputChanged();
  EXPECT_TRUE(hw->runIO(cycle.list));  // the block is still registered but does nothing
  EXPECT_EQ(hw->operationCount(), before);
}

// The I/O thread, two notification threads and a level reader run at once; then stop. Run under
// ThreadSanitizer in CI.
TEST_F(RecorderTest, ConcurrentIoRebuildsAndReadsFinishWithAConsistentFile) {
  ASSERT_EQ(startError(), "started");
  std::atomic<bool> running{true};
  std::atomic<std::uint64_t> delivered{0};
  std::thread io([&] {
    Cycle cycle(480, 0.5f, 0.25f);
    while (running) {
      if (hw->runIO(cycle.list)) delivered += 480;
    }
  });
  auto notify = [&] {
    for (int i = 0; i < 40; ++i) {
      hw->fireDefaultOutputChanged();
      std::this_thread::yield();
    }
  };
  std::string err = captureFd(STDERR_FILENO, [&] {
    std::thread n1(notify), n2(notify);
    std::thread reader([&] {
      while (running) {
        const auto [mic, system] = recorder->snapshotLevels();
        EXPECT_TRUE((mic == 0.0f && system == 0.0f) || (mic == 0.5f && system == 0.25f));
        EXPECT_GE(recorder->elapsedSeconds(), 0.0);
      }
    });
    n1.join();
    n2.join();
    while (delivered < 48000) std::this_thread::yield();
    recorder->stop();
    running = false;
    io.join();
    reader.join();
  });
  EXPECT_EQ(err, "");
  EXPECT_EQ(recorder->framesWritten(), delivered.load());
  EXPECT_EQ(readWavHeader(wavPath()), pcmWavHeader(48000, 2, 4 * delivered.load(), true));
  EXPECT_EQ(hw->liveTaps(), 0u);
  EXPECT_EQ(hw->registeredIOProcs(), 0u);
}

}  // namespace
}  // namespace ondrel
