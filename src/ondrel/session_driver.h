// The run from the command line to the exit status: folder, recording, level reports, the stop
// command, the finished M4A file, meta.json and the events that tell the host about each.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ondrelkit/audio_hardware.h"
#include "ondrelkit/devices.h"

namespace ondrel {

inline constexpr const char* kVersionBanner = "ondrel 0.1.0\n";
inline constexpr const char* kUsageText =
    "usage: --out <folder>\n"
    "       --out <folder> [--mic builtin|default|<device id>] [--echo-cancel]\n"
    "       --recover <folder>\n"
    "       --list-devices\n";

// Runs one session and returns the exit status. makeHardware is called once the command line has
// been accepted, with the microphone the recording is to take.
int runSession(
    const std::vector<std::string>& arguments,
    const std::function<std::shared_ptr<AudioHardware>(const MicrophoneChoice&)>& makeHardware);

}  // namespace ondrel
