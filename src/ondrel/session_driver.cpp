#include "ondrel/session_driver.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "ondrel/stop_flag.h"
#include "ondrel/stop_line.h"
#include "ondrel/stop_signals.h"
#include "ondrelkit/capture_error.h"
#include "ondrelkit/events.h"
#include "ondrelkit/process_tap_recorder.h"
#include "ondrelkit/recording_folder.h"
#include "ondrelkit/recovery.h"

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

// A recovery's progress as events, once it has run half a second and at most every half second.
class ProgressEvents {
 public:
  void operator()(double done, double total) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kProgressPeriod) return;
    last_ = now;
    HelperEvent::progress(done, total).emit();
  }

 private:
  static constexpr auto kProgressPeriod = std::chrono::milliseconds(500);
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

int recover(const fs::path& folder) {
  endOnStopSignals();
  const RecordingFolder files(folder);
  if (!files.lock()) {
    HelperEvent::error("another ondrel is recording into " + folder.string()).emit();
    return 1;
  }
  RecoveredRecording recovered;
  try {
    recovered = recoverRecording(files, ProgressEvents());
  } catch (const std::exception& error) {
    settleOutcome();
    const bool nothing = dynamic_cast<const NothingToRecover*>(&error) != nullptr;
    HelperEvent::error(nothing ? error.what() : std::string("recovery failed: ") + error.what())
        .emit();
    return 1;
  }
  files.writeMeta(recovered.seconds());
  settleOutcome();
  HelperEvent::done(files.m4a.string(), recovered.seconds()).emit();
  return 0;
}

}  // namespace

// One line per device, then exit 0.
int listDevicesOf(AudioHardware& hardware) {
  std::vector<DeviceSummary> devices;
  try {
    devices = listDevices(hardware);
  } catch (const CaptureError& error) {
    // Without a sound server a host sees the text a recording would give it, whichever it ran.
    const bool noServer = error.kind() == CaptureError::Kind::osStatus &&
                          error.status() == kAudioHardwareNotRunningError;
    HelperEvent::error(
        noServer ? CaptureError::osStatus("AudioHardwareCreateProcessTap", error.status()).what()
                 : error.what())
        .emit();
    return 1;
  }
  for (const DeviceSummary& device : devices) {
    HelperEvent::device({device.input, device.uid, device.name, device.builtIn, device.isDefault,
                         ProcessTapRecorder::usableSampleRate(device.rate), device.channels})
        .emit();
  }
  return 0;
}

int runSession(
    const std::vector<std::string>& arguments,
    const std::function<std::shared_ptr<AudioHardware>(const MicrophoneChoice&)>& makeHardware) {
  if (std::find(arguments.begin() + 1, arguments.end(), "--version") != arguments.end()) {
    std::fputs(kVersionBanner, stdout);
    std::fflush(stdout);
    return 0;
  }
  if (std::find(arguments.begin() + 1, arguments.end(), "--list-devices") != arguments.end()) {
    return listDevicesOf(*makeHardware({}));
  }
  const auto recoverFlag = std::find(arguments.begin() + 1, arguments.end(), "--recover");
  if (recoverFlag != arguments.end() && recoverFlag + 1 != arguments.end()) {
    return recover(*(recoverFlag + 1));
  }
  const auto out = std::find(arguments.begin() + 1, arguments.end(), "--out");
  const auto micFlag = std::find(arguments.begin() + 1, arguments.end(), "--mic");
  if (out == arguments.end() || out + 1 == arguments.end() ||
      (micFlag != arguments.end() && micFlag + 1 == arguments.end())) {
    (void)writeAll(STDERR_FILENO, kUsageText);
    return 1;
  }
  const MicrophoneChoice microphone =
      micFlag == arguments.end() ? MicrophoneChoice{} : MicrophoneChoice::parse(*(micFlag + 1));
  const fs::path folder(*(out + 1));
  const RecordingFolder files(folder);
  const fs::path& wavURL = files.wav;
  const fs::path& m4aURL = files.m4a;

  // A signal asks for a stop from here on, even one that arrives before the recording starts.
  auto flag = std::make_shared<StopFlag>();
  watchStopSignals(flag, wavURL);

  const bool echoCancel =
      std::find(arguments.begin() + 1, arguments.end(), "--echo-cancel") != arguments.end();
  auto recorder = ProcessTapRecorder::create(makeHardware(microphone), wavURL,
                                             {.microphone = microphone, .echoCancel = echoCancel});

  try {
    fs::create_directories(folder);
  } catch (const std::exception& error) {
    HelperEvent::error(error.what()).emit();
    return 1;
  }
  if (!files.lock()) {
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
  files.writeMeta(duration);
  settleOutcome();
  HelperEvent::done(finished.string(), duration).emit();
  return 0;
}

}  // namespace ondrel
