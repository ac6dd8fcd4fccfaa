// Read-only device queries for starting a recording: the microphone choice, a device's UID and
// its nominal sample rate. Each returns its value or throws CaptureError.
#pragma once

#include <string>

#include "ondrelkit/audio_hardware.h"

namespace ondrel {

std::string deviceUID(AudioHardware& hw, AudioObjectID device);

// The first built-in input device in the list; failing that, the first input device that is
// neither an aggregate nor virtual (also one whose transport type cannot be read).
AudioObjectID builtInInputDeviceID(AudioHardware& hw);

// As the device reports it, unchecked.
double nominalSampleRate(AudioHardware& hw, AudioObjectID device);

}  // namespace ondrel
