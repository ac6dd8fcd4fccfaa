// Read-only device queries for starting a recording: the microphone choice, a device's UID and
// its nominal sample rate. Each returns its value or throws CaptureError.
#pragma once

#include <string>
#include <vector>

#include "ondrelkit/audio_hardware.h"

namespace ondrel {

// Which microphone a recording takes: the built-in rule (the default), the system's default
// input (followed while recording), or one device by its UID.
struct MicrophoneChoice {
  enum class Kind { builtIn, systemDefault, device };
  Kind kind = Kind::builtIn;
  std::string uid;  // for Kind::device

  // "builtin", "default", or a device's UID.
  static MicrophoneChoice parse(const std::string& text);
};

// The microphone the choice names now. Throws CaptureError: "no usable built-in microphone
// found" when nothing fits, or "no microphone named <uid>".
AudioObjectID chooseMicrophone(AudioHardware& hw, const MicrophoneChoice& choice);

// A device as a host's picker shows it.
struct DeviceSummary {
  bool input = false;  // a microphone; otherwise an output whose audio the recording can follow
  std::string uid;
  std::string name;
  bool builtIn = false;    // what the built-in rule sees
  bool isDefault = false;  // the system's default input or output
  double rate = 0;
  std::uint32_t channels = 0;
};

// The inputs (never a monitor) and the outputs, in the system's order. Throws CaptureError
// when the list cannot be read (no sound server: the same text a recording gives).
std::vector<DeviceSummary> listDevices(AudioHardware& hw);

std::string deviceUID(AudioHardware& hw, AudioObjectID device);

// The first built-in input device in the list; failing that, the first input device that is
// neither an aggregate nor virtual (also one whose transport type cannot be read).
AudioObjectID builtInInputDeviceID(AudioHardware& hw);

// As the device reports it, unchecked.
double nominalSampleRate(AudioHardware& hw, AudioObjectID device);

}  // namespace ondrel
