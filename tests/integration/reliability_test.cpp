// The ondrel binary under faults and hostile input: killed mid-recording, a full disk, a storm of
// default-sink changes, a host that stops listening, garbage on standard input and output paths no
// shell would type. Whatever happens, what was
// recorded stays on disk and every event is one true line of JSON.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "child_process.h"
#include "decoded_audio.h"
#include "pulse_server.h"
#include "temp_dir.h"

namespace ondrel::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBinary = ONDREL_BINARY;
constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrameBytes = 4;  // stereo, 16-bit
constexpr std::size_t kHeaderBytes = 44;
constexpr double kMicHz = 440, kSpeakersHz = 1000, kSpeakers2Hz = 700;
const Tone kMicTone{kMicHz, 0.5f, 0.5f};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Level events for `duration`, each within a second of the last (a stalled loop is a hang).
std::vector<json> readLevels(ChildProcess& child, std::chrono::milliseconds duration) {
  std::vector<json> levels;
  const auto until = Clock::now() + duration;
  while (Clock::now() < until) {
    auto event = nextEvent(child, 1s);
    if (!event) {
      ADD_FAILURE() << "no event for a second while recording";
      break;
    }
    EXPECT_TRUE(isLevel(*event)) << *event;
    if (!levels.empty()) {
      EXPECT_GE((*event)["t"].get<double>(), levels.back()["t"].get<double>());
    }
    levels.push_back(std::move(*event));
  }
  return levels;
}

void expectStarted(ChildProcess& child) {
  const auto first = nextEvent(child);
  ASSERT_TRUE(first) << "no started event";
  ASSERT_EQ(*first, json({{"type", "started"}}));
}

// The finish ended in exactly one error event "finish failed: ...", after levels only.
void expectOneFinishError(const std::vector<json>& events) {
  ASSERT_FALSE(events.empty());
  for (std::size_t i = 0; i + 1 < events.size(); ++i) EXPECT_TRUE(isLevel(events[i])) << events[i];
  const json& last = events.back();
  ASSERT_EQ(last["type"], "error") << last;
  EXPECT_EQ(last.size(), 2u) << last;
  EXPECT_EQ(last["message"].get<std::string>().rfind("finish failed: ", 0), 0u) << last;
}

std::size_t framesAt(double seconds) {
  return std::size_t(std::llround(seconds * kRate));
}

// A WAV file as ondrel writes it: 48 kHz stereo 16-bit PCM, whole frames; the size fields are zero
// while recording and exact once finalized.
::testing::AssertionResult isRecordingWav(const fs::path& file, bool finalized) {
  const WavHeader header = readWavHeader(file);
  const WavHeader expected = pcmWavHeader(kRate, 2, header.fileSize - kHeaderBytes, finalized);
  if (header != expected) return ::testing::AssertionFailure() << header << ", not " << expected;
  if ((header.fileSize - kHeaderBytes) % kFrameBytes != 0) {
    return ::testing::AssertionFailure() << header << ": a torn frame";
  }
  return ::testing::AssertionSuccess();
}

// The largest magnitude (full scale 1) of one channel over the last `frames` frames.
double peakOfLastFrames(const std::vector<std::uint8_t>& wav, std::uint32_t channel,
                        std::size_t frames) {
  const std::size_t total = (wav.size() - kHeaderBytes) / kFrameBytes;
  int peak = 0;
  for (std::size_t f = total - std::min(frames, total); f < total; ++f) {
    const std::size_t at = kHeaderBytes + f * kFrameBytes + channel * 2;
    const auto sample = std::int16_t(std::uint16_t(wav[at] | wav[at + 1] << 8));
    peak = std::max(peak, std::abs(int(sample)));
  }
  return peak / 32768.0;
}

// The process's peak resident memory (VmHWM) in bytes, or 0 when it cannot be read.
std::uint64_t peakResidentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;  // in kB
  }
  return 0;
}

// Writes to the child's standard input without dying of SIGPIPE when it is gone: the signal is
// blocked in this thread and a pending one swallowed. False when the write failed.
bool sendInput(ChildProcess& child, const std::string& text) {
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  bool written = true;
  try {
    child.writeStdin(text);
  } catch (const std::exception&) {
    written = false;
  }
  const timespec now{0, 0};
  while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return written;
}

class ScopeExit {
 public:
  explicit ScopeExit(std::function<void()> action) : action_(std::move(action)) {}
  ~ScopeExit() { action_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  std::function<void()> action_;
};

// A mount made for one test and undone at its end (the child using it must be gone by then).
class Mount {
 public:
  // A tmpfs of `size` bytes at target, made if missing.
  static std::unique_ptr<Mount> tmpfs(const fs::path& target, std::size_t size) {
    fs::create_directories(target);
    const std::string options = "size=" + std::to_string(size);
    if (::mount("tmpfs", target.c_str(), "tmpfs", 0, options.c_str()) != 0) return nullptr;
    return std::unique_ptr<Mount>(new Mount(target));
  }
  ~Mount() {
    if (::umount2(target_.c_str(), 0) != 0) ::umount2(target_.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

 private:
  explicit Mount(fs::path target) : target_(std::move(target)) {}
  fs::path target_;
};

// Writes a file until the file system has no room left; returns the bytes it took.
std::size_t fillFileSystem(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  std::size_t total = 0;
  const std::vector<char> block(65536, 'x');
  // Smaller and smaller writes, so no room is left over.
  for (std::size_t size = block.size(); size > 0; size /= 8) {
    for (ssize_t n; (n = ::write(fd, block.data(), size)) > 0;) total += std::size_t(n);
  }
  ::close(fd);
  return total;
}

class Reliability : public SharedPulseServerTest {
 protected:
  void SetUp() override { server->setDefaultSink("speakers"); }

  TempDir dir;
};

TEST_F(Reliability, AfterSigkillTheWavHoldsEveryFrameAndThePartialM4aPlaysToItsLastSecond) {
  auto mic = server->play("micfeed", kMicTone);
  const fs::path folder = dir / "killed";
  ChildProcess child({kBinary, "--out", folder.string()});
  ASSERT_NO_FATAL_FAILURE(expectStarted(child));
  const auto levels = readLevels(child, 2500ms);
  ASSERT_FALSE(levels.empty());
  // Between two level events, so the writer may be mid-block.
  std::this_thread::sleep_for(37ms);
  child.kill(SIGKILL);
  EXPECT_EQ(child.wait(), -1);
  const double counted = levels.back()["t"].get<double>();

  // The partial M4A plays up to its last fragment, cut about every second.
  const DecodedAudio partial = decodeAudio(folder / ".audio.m4a.partial");
  const double partialEnd = double(partial.frames()) / kRate;
  EXPECT_GT(partialEnd, counted - 1.3);
  EXPECT_GT(partial.toneAmplitude(0, kMicHz, partialEnd - 0.5, partialEnd - 0.1), 0.3);

  const auto wav = readBytes(folder / "audio.wav");
  ASSERT_TRUE(isRecordingWav(folder / "audio.wav", false));
  EXPECT_GT(counted, 2.0);
  EXPECT_GE((wav.size() - kHeaderBytes) / kFrameBytes, framesAt(counted))
      << "the last level event counted " << counted << " s";
  // Real audio, not zeros: the microphone's tone is there up to the end.
  EXPECT_GT(peakOfLastFrames(wav, 0, kRate / 4), 0.3);
  EXPECT_FALSE(fs::exists(folder / "audio.m4a"));
  EXPECT_FALSE(fs::exists(folder / "meta.json"));
}

TEST_F(Reliability, AFullDiskKeepsTheRecordingGoingAndTheFinishSaysItFailed) {
  auto mic = server->play("micfeed", kMicTone);
  const auto disk = Mount::tmpfs(dir / "disk", 1 << 20);
  ASSERT_TRUE(disk) << "cannot mount a tmpfs (not root?): " << std::strerror(errno);
  const fs::path folder = dir / "disk" / "rec";
  ChildProcess child({kBinary, "--out", folder.string()});
  ASSERT_NO_FATAL_FAILURE(expectStarted(child));
  (void)readLevels(child, 500ms);

  const std::size_t filler = fillFileSystem(dir / "disk" / "filler");
  const auto atFull = readBytes(folder / "audio.wav");
  ASSERT_TRUE(isRecordingWav(folder / "audio.wav", false));
  EXPECT_GT(filler, 0u);

  const auto levels = readLevels(child, 1000ms);
  // Levels go on; their time counts only what the files took, so it may stand still.
  ASSERT_GE(levels.size(), 8u) << "levels stopped with the disk full";
  ASSERT_TRUE(sendInput(child, "stop\n"));
  const auto events = readToEnd(child);
  EXPECT_EQ(child.wait(), 1) << child.stderrText();
  ASSERT_NO_FATAL_FAILURE(expectOneFinishError(events));

  const auto wav = readBytes(folder / "audio.wav");
  // Finalizing rewrites the header in place, which needs no room.
  EXPECT_TRUE(isRecordingWav(folder / "audio.wav", true));
  // The snapshot may hold the start of an append that then failed and was cut off again: at
  // most one block (8192 frames) at its end was not yet accepted.
  const std::size_t accepted =
      atFull.size() - std::min<std::size_t>(atFull.size() - kHeaderBytes, 8192 * 4);
  ASSERT_GE(wav.size(), accepted) << "frames on disk were lost";
  EXPECT_TRUE(std::equal(atFull.begin() + kHeaderBytes, atFull.begin() + long(accepted),
                         wav.begin() + kHeaderBytes))
      << "frames on disk were changed";
  EXPECT_FALSE(fs::exists(folder / "meta.json"));
  // Whatever the failed export left of audio.m4a stays: the host was told, and the complete
  // recording is the WAV file checked above.
  std::printf(
      "[ figures  ] tmpfs 1 MiB, filler %zu bytes; WAV %zu bytes when full, %zu at the end\n",
      filler, atFull.size(), wav.size());
}

TEST_F(Reliability, FiftyDefaultSinkChangesInFiveSecondsNeitherStallNorLoseTheRecording) {
  auto mic = server->play("micfeed", kMicTone);
  auto speakers = server->play("speakers", {kSpeakersHz, 0.5f, 0.5f});
  auto speakers2 = server->play("speakers2", {kSpeakers2Hz, 0.5f, 0.5f});
  const fs::path folder = dir / "storm";
  ChildProcess child({kBinary, "--out", folder.string()});
  ASSERT_NO_FATAL_FAILURE(expectStarted(child));
  (void)readLevels(child, 300ms);

  std::atomic<bool> changing = true;
  std::string changeError;
  double changeSeconds = 0;
  std::jthread changer([&] {
    const auto start = Clock::now();
    try {
      // Alternating, so every one is a real change; the 50th returns to "speakers".
      for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_until(start + i * 95ms);
        server->setDefaultSink(i % 2 == 0 ? "speakers2" : "speakers");
      }
    } catch (const std::exception& error) {
      changeError = error.what();
    }
    changeSeconds = secondsSince(start);
    changing = false;
  });
  std::size_t during = 0;
  const double firstT = nextEvent(child).value_or(json{{"t", 0}})["t"].get<double>();
  const auto stormStart = Clock::now();
  double lastT = firstT;
  while (changing) {
    const auto levels = readLevels(child, 200ms);
    during += levels.size();
    if (levels.empty()) break;
    lastT = levels.back()["t"].get<double>();
  }
  // Each rebuild costs the moments between the old chain and the new one; a chain that died
  // would cost everything.
  const double stormWall = secondsSince(stormStart);
  EXPECT_GT(lastT - firstT, 0.5 * stormWall) << "the recording stalled during the changes";
  changer.join();
  ASSERT_EQ(changeError, "");
  EXPECT_LE(changeSeconds, 5.5) << "the changes were too slow to be a storm";
  EXPECT_GE(during, std::size_t(changeSeconds * 7)) << "levels stalled during the changes";

  const auto settled = readLevels(child, 1200ms);
  ASSERT_FALSE(settled.empty());
  EXPECT_GT(settled.back()["t"].get<double>() - settled.front()["t"].get<double>(), 0.9)
      << "the recording stalled after the changes";
  // The storm ended where it began; one more change shows the rebuilds still follow.
  const double lastChange = settled.back()["t"].get<double>();
  server->setDefaultSink("speakers2");
  (void)readLevels(child, 1500ms);
  ASSERT_TRUE(sendInput(child, "stop\n"));
  const auto events = readToEnd(child);
  ASSERT_FALSE(events.empty());
  ASSERT_EQ(events.back()["type"], "done") << events.back();
  EXPECT_EQ(child.wait(), 0);
  // Every change here can be followed: a line would be a rebuild that failed for no reason.
  EXPECT_EQ(child.stderrText(), "");

  const DecodedAudio audio = decodeAudio(folder / "audio.m4a");
  const double end = events.back()["t"].get<double>() - 0.1;
  // Which sink is heard, not how loud: a new chain starts with a little silence on the system
  // side until the sink's monitor delivers, and the rig's idle sinks are sometimes slow to.
  EXPECT_GT(audio.toneAmplitude(1, kSpeakersHz, lastChange - 0.8, lastChange), 0.3);
  EXPECT_LT(audio.toneAmplitude(1, kSpeakers2Hz, lastChange - 0.8, lastChange), 0.02);
  EXPECT_GT(audio.toneAmplitude(1, kSpeakers2Hz, lastChange + 0.6, end), 0.3);
  EXPECT_LT(audio.toneAmplitude(1, kSpeakersHz, lastChange + 0.6, end), 0.02);
  // Each rebuild splices the streams, which a tone measure over the storm would take for a loss
  // of phase: measured where the chain stood still.
  EXPECT_NEAR(audio.toneAmplitude(0, kMicHz, lastChange - 0.8, lastChange), 0.5, 0.08);
  std::printf(
      "[ figures  ] 50 changes in %.2f s, %zu level events meanwhile; %.2f s recorded in %.2f s\n",
      changeSeconds, during, lastT - firstT, stormWall);
}

TEST_F(Reliability, AHostThatClosesStandardOutputAndThenInputGetsCompleteFiles) {
  auto mic = server->play("micfeed", kMicTone);
  for (const bool beforeStarted : {true, false}) {
    SCOPED_TRACE(beforeStarted ? "closed before started" : "closed after some levels");
    const fs::path folder = dir / (beforeStarted ? "early" : "later");
    ChildProcess child({kBinary, "--out", folder.string()});
    if (!beforeStarted) {
      ASSERT_NO_FATAL_FAILURE(expectStarted(child));
      (void)readLevels(child, 300ms);
    }
    child.closeStdout();
    std::this_thread::sleep_for(1500ms);  // events now fail to write
    child.closeStdin();
    ASSERT_EQ(child.wait(), 0) << child.stderrText();
    EXPECT_EQ(child.stderrText(), "");

    EXPECT_FALSE(fs::exists(folder / "audio.wav"));
    std::ifstream metaFile(folder / "meta.json");
    const json meta = json::parse(metaFile, nullptr, false);
    ASSERT_TRUE(meta.is_object() && meta["duration"].is_number()) << meta;
    const double duration = meta["duration"].get<double>();
    EXPECT_GT(duration, 0.8);  // 1.5 s less the start-up, slower under sanitizers
    const DecodedAudio audio = decodeAudio(folder / "audio.m4a");
    EXPECT_NEAR(double(audio.frames()) / audio.sampleRate, duration, 0.05);
    EXPECT_NEAR(audio.toneAmplitude(0, kMicHz, duration - 1.0, duration - 0.1), 0.5, 0.08);
  }
}

// One line twice as long as the memory it may grow by: a tool that kept the line would show.
TEST_F(Reliability, ThirtyTwoMegabytesOfOneRandomLineNeitherStopNorGrowMemory) {
  constexpr std::size_t kFeedBytes = 32u << 20;
  constexpr std::uint64_t kPeakLimit = 100u << 20;
  {
    const fs::path folder = dir / "noise";
    ChildProcess child({kBinary, "--out", folder.string()});
    ASSERT_NO_FATAL_FAILURE(expectStarted(child));
    const std::uint64_t baseline = peakResidentBytes(child.pid());

    std::atomic<bool> feeding = true;
    std::atomic<std::size_t> fed = 0;
    std::thread feeder([&] {
      std::mt19937_64 random(2);
      std::string chunk(65536, '\0');
      while (fed < kFeedBytes) {
        for (std::size_t i = 0; i < chunk.size(); i += 8) {
          const std::uint64_t bits = random();
          std::memcpy(&chunk[i], &bits, 8);
        }
        for (char& c : chunk) {
          if (c == 's') c = 'S';  // no line of it can be the command
          if (c == '\n') c = 'N';
        }
        if (!sendInput(child, chunk)) break;
        fed += chunk.size();
      }
      feeding = false;
    });
    // A hung child would block the feeder: killing it ends the write.
    ScopeExit joinFeeder([&] {
      if (!feeder.joinable()) return;
      if (feeding) child.kill(SIGKILL);
      feeder.join();
    });

    const auto start = Clock::now();
    std::size_t eventsWhileFeeding = 0;
    std::string failure;
    while (feeding && failure.empty()) {
      const auto event = nextEvent(child, 1s);
      if (!event) {
        failure = "no event for a second while the input flows";
      } else if (!isLevel(*event)) {
        failure = "while the input flows: " + event->dump();
      }
      ++eventsWhileFeeding;
    }
    const double feedSeconds = secondsSince(start);
    if (!failure.empty() && feeding) child.kill(SIGKILL);
    feeder.join();
    ASSERT_EQ(failure, "");
    ASSERT_EQ(fed, kFeedBytes);
    const std::uint64_t peak = peakResidentBytes(child.pid());

    // "stop" glued to the end of a garbage line is still garbage.
    ASSERT_TRUE(sendInput(child, "stop\n"));
    const auto after = readLevels(child, 500ms);
    ASSERT_GE(after.size(), 3u);
    ASSERT_TRUE(sendInput(child, "\nstop\n"));
    const auto events = readToEnd(child);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["type"], "done") << events.back();
    EXPECT_EQ(child.wait(), 0) << child.stderrText();
    EXPECT_TRUE(fs::exists(folder / "audio.m4a"));

    EXPECT_GT(peak, 0u);
    EXPECT_LT(peak, kPeakLimit);
    EXPECT_LT(peak - std::min(peak, baseline), std::uint64_t(16u << 20))
        << "memory grew with the input";
    std::printf(
        "[ figures  ] %zu bytes fed in %.2f s, %zu events meanwhile; peak RSS %.1f MiB "
        "(%.1f MiB at start)\n",
        fed.load(), feedSeconds, eventsWhileFeeding, double(peak) / (1 << 20),
        double(baseline) / (1 << 20));
  }
}

TEST_F(Reliability, AnyOutPathIsCreatedByteForByteAndEveryEventStaysOneJsonLine) {
  struct Case {
    std::string name;
    std::string reported;  // the name as the done event's path gives it
  };
  const std::string fffd = "\xEF\xBF\xBD";
  // JSON's escapes and control characters; valid multi-byte UTF-8 (a line separator among it);
  // invalid UTF-8, which the events replace.
  const std::vector<Case> cases = {
      {"q \"d\" \\ \\u0041\tline\nfeed\r\n\x01\x1b[31m\x7f",
       "q \"d\" \\ \\u0041\tline\nfeed\r\n\x01\x1b[31m\x7f"},
      {"na\xC3\xAFve \xE2\x98\x83 \xE2\x80\xA8 \xF0\x9F\x8E\x99",
       "na\xC3\xAFve \xE2\x98\x83 \xE2\x80\xA8 \xF0\x9F\x8E\x99"},
      {"bad\xFF utf8 \xC0\xAF \xED\xA0\x80 end\xE2\x82",
       "bad" + fffd + " utf8 " + fffd + fffd + " " + fffd + fffd + fffd + " end" + fffd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.name));
    const fs::path folder = dir / c.name;
    const RunResult r = runToEnd({kBinary, "--out", folder.string()}, "stop\n");
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');
    std::vector<json> events;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
      json event = json::parse(line, nullptr, false);
      ASSERT_FALSE(event.is_discarded()) << "not one JSON line: " << ::testing::PrintToString(line);
      events.push_back(std::move(event));
    }
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front(), json({{"type", "started"}}));
    ASSERT_EQ(events.back()["type"], "done") << events.back();
    EXPECT_EQ(events.back()["path"], (dir.path().string() + "/" + c.reported + "/audio.m4a"));
    for (std::size_t i = 1; i + 1 < events.size(); ++i) EXPECT_TRUE(isLevel(events[i]));

    EXPECT_TRUE(fs::exists(folder / "audio.m4a"));
    EXPECT_TRUE(fs::exists(folder / "meta.json"));
    bool listed = false;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      listed = listed || entry.path().filename().string() == c.name;
    }
    EXPECT_TRUE(listed) << "the folder is not there under its exact name";
    fs::remove_all(folder);
  }

  // A name that cannot be made: the error event, too, stays one line of valid JSON.
  writeBytes(dir / "plain file", "x");
  const RunResult r =
      runToEnd({kBinary, "--out", (dir / "plain file" / "sub\xFF\n\"x").string()}, "stop\n");
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  const json error = json::parse(r.out, nullptr, false);
  ASSERT_FALSE(error.is_discarded()) << ::testing::PrintToString(r.out);
  EXPECT_EQ(error["type"], "error");
  EXPECT_FALSE(error["message"].get<std::string>().empty());
}

}  // namespace
}  // namespace ondrel::testing
