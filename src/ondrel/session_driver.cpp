#include "ondrel/session_driver.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "ondrel/stop_flag.h"
#include "ondrel/stop_line.h"
#include "ondrel/stop_signals.h"
#include "ondrelkit/events.h"
#include "ondrelkit/process_tap_recorder.h"

namespace ondrel {
namespace {

namespace fs = std::filesystem;

constexpr auto kLevelPeriod = std::chrono::milliseconds(100);

// Blocks on standard input until a stop line or the end of input (a read error counts as the end:
// the host can no longer send anything).
void readUntilStop(const std::shared_ptr<StopFlag>& flag) {
  StopLineMatcher matcher;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || matcher.feed(buffer, std::size_t(n))) break;
  }
  flag->set();
}

// Written to a temporary file beside it and renamed over it, so a reader never sees half a file.
void writeMetaAtomically(const fs::path& folder, double duration) {
  if (!std::isfinite(duration)) return;
  const std::string text = nlohmann::json{{"duration", duration}}.dump();
  const fs::path target = folder / "meta.json";
  const fs::path temporary = folder / ".meta.json.tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  std::error_code ignored;
  if (!written || !closed) {
    fs::remove(temporary, ignored);
    return;
  }
  fs::rename(temporary, target, ignored);
  if (ignored) fs::remove(temporary, ignored);
}

// Locks the folder for the life of the process (the descriptor is never closed), so that a
// second ondrel given the same folder cannot write over this recording. The kernel lets go of it
// with the process, however it ends. A folder that cannot be opened to lock is recorded unlocked.
bool lockFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

}  // namespace

int runSession(const std::vector<std::string>& arguments,
               const std::function<std::shared_ptr<AudioHardware>()>& makeHardware) {
  if (std::find(arguments.begin() + 1, arguments.end(), "--version") != arguments.end()) {
    std::fputs(kVersionBanner, stdout);
    std::fflush(stdout);
    return 0;
  }
  const auto out = std::find(arguments.begin() + 1, arguments.end(), "--out");
  if (out == arguments.end() || out + 1 == arguments.end()) {
    (void)writeAll(STDERR_FILENO, kUsageText);
    return 1;
  }
  const fs::path folder(*(out + 1));
  const fs::path wavURL = folder / "audio.wav";
  const fs::path m4aURL = folder / "audio.m4a";

  // A signal asks for a stop from here on, even one that arrives before the recording starts.
  auto flag = std::make_shared<StopFlag>();
  watchStopSignals(flag, wavURL);

  auto recorder = ProcessTapRecorder::create(makeHardware(), wavURL);

  try {
    fs::create_directories(folder);
  } catch (const std::exception& error) {
    HelperEvent::error(error.what()).emit();
    return 1;
  }
  if (!lockFolder(folder)) {
    HelperEvent::error("another ondrel is recording into " + folder.string()).emit();
    return 1;
  }
  try {
    recorder->start();
  } catch (const std::exception& error) {
    HelperEvent::error(error.what()).emit();
    return 1;
  }
  HelperEvent::started().emit();

  std::thread([flag] { readUntilStop(flag); }).detach();

  while (!flag->isSet()) {
    const auto [mic, system] = recorder->snapshotLevels();
    HelperEvent::level(mic, system, recorder->elapsedSeconds()).emit();
    std::this_thread::sleep_for(kLevelPeriod);
  }
  fs::path finished;
  try {
    finished = recorder->finishToM4A(wavURL, m4aURL);
  } catch (const std::exception& error) {
    settleOutcome();
    HelperEvent::error(std::string("finish failed: ") + error.what()).emit();
    return 1;
  }
  // Read once the device is stopped: the length of what the M4A file holds.
  const double duration = recorder->elapsedSeconds();
  writeMetaAtomically(folder, duration);
  settleOutcome();
  HelperEvent::done(finished.string(), duration).emit();
  return 0;
}

}  // namespace ondrel
