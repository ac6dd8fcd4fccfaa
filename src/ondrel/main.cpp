// ondrel: records the system audio and the microphone for a host application.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ondrel/session_driver.h"
#include "ondrel/stop_signals.h"
#include "ondrelkit/pulse/pulse_hardware.h"

int main(int argc, char** argv) {
  // A host that closed its end of a pipe must not cost the recording: writes fail, nothing dies.
  std::signal(SIGPIPE, SIG_IGN);
  // A limit on file sizes must not kill the recording either: a write past it fails, and the
  // other file goes on.
  std::signal(SIGXFSZ, SIG_IGN);
  ondrel::blockStopSignals();
  const std::vector<std::string> arguments(argv, argv + argc);
  const int status = ondrel::runSession(arguments, [](const ondrel::MicrophoneChoice& microphone) {
    // A chosen device is that device or silence, never a stand-in.
    return std::make_shared<ondrel::PulseHardware>(microphone.kind !=
                                                   ondrel::MicrophoneChoice::Kind::device);
  });
  // The stdin reader and the sound server's threads may still be running: end without running
  // destructors they could be using.
  std::fflush(nullptr);
  std::_Exit(status);
}
