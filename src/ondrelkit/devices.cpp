#include "ondrelkit/devices.h"

#include <type_traits>
#include <vector>

#include "ondrelkit/capture_error.h"

namespace ondrel {
namespace {

constexpr AudioObjectPropertyAddress globalAddress(std::uint32_t selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

bool hasStreams(AudioHardware& hw, AudioObjectID device, std::uint32_t scope) {
  const AudioObjectPropertyAddress streams{kAudioDevicePropertyStreams, scope,
                                           kAudioObjectPropertyElementMain};
  std::uint32_t size = 0;
  return hw.AudioObjectGetPropertyDataSize(device, streams, size) == 0 && size != 0;
}

bool hasInput(AudioHardware& hw, AudioObjectID device) {
  return hasStreams(hw, device, kAudioObjectPropertyScopeInput);
}

std::vector<AudioObjectID> deviceList(AudioHardware& hw) {
  const auto address = globalAddress(kAudioHardwarePropertyDevices);
  std::uint32_t size = 0;
  if (OSStatus status =
          hw.AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, address, size)) {
    throw CaptureError::osStatus("device list size", status);
  }
  // Entries the read does not fill stay 0, which names no device and so has no input.
  std::vector<AudioObjectID> devices(size / sizeof(AudioObjectID), kAudioObjectUnknown);
  if (OSStatus status =
          hw.AudioObjectGetPropertyData(kAudioObjectSystemObject, address, size, devices.data())) {
    throw CaptureError::osStatus("device list", status);
  }
  return devices;
}

// The system's default device of a direction, kAudioObjectUnknown when it has none or the
// question fails.
AudioObjectID defaultDevice(AudioHardware& hw, std::uint32_t selector) {
  AudioObjectID device = kAudioObjectUnknown;
  std::uint32_t size = sizeof device;
  if (hw.AudioObjectGetPropertyData(kAudioObjectSystemObject, globalAddress(selector), size,
                                    &device) != 0) {
    return kAudioObjectUnknown;
  }
  return device;
}

template <typename T>
T readOr(AudioHardware& hw, AudioObjectID device, const AudioObjectPropertyAddress& address,
         T fallback) {
  T value{};
  std::uint32_t size = std::is_same_v<T, std::string> ? kStringPropertySize : sizeof value;
  return hw.AudioObjectGetPropertyData(device, address, size, &value) == 0 ? value : fallback;
}

// The transport type, or 0 when it cannot be read.
std::uint32_t transportType(AudioHardware& hw, AudioObjectID device) {
  const auto address = globalAddress(kAudioDevicePropertyTransportType);
  std::uint32_t transport = 0;
  std::uint32_t size = sizeof transport;
  if (hw.AudioObjectGetPropertyData(device, address, size, &transport) != 0) return 0;
  return transport;
}

}  // namespace

std::string deviceUID(AudioHardware& hw, AudioObjectID device) {
  const auto address = globalAddress(kAudioDevicePropertyDeviceUID);
  std::string uid;
  std::uint32_t size = kStringPropertySize;
  if (OSStatus status = hw.AudioObjectGetPropertyData(device, address, size, &uid)) {
    throw CaptureError::osStatus("device UID", status);
  }
  return uid;
}

AudioObjectID builtInInputDeviceID(AudioHardware& hw) {
  const std::vector<AudioObjectID> devices = deviceList(hw);
  for (AudioObjectID device : devices) {
    if (hasInput(hw, device) && transportType(hw, device) == kAudioDeviceTransportTypeBuiltIn) {
      return device;
    }
  }
  for (AudioObjectID device : devices) {
    if (!hasInput(hw, device)) continue;
    const std::uint32_t transport = transportType(hw, device);
    if (transport != kAudioDeviceTransportTypeAggregate &&
        transport != kAudioDeviceTransportTypeVirtual) {
      return device;
    }
  }
  throw CaptureError::message("no usable built-in microphone found");
}

MicrophoneChoice MicrophoneChoice::parse(const std::string& text) {
  if (text == "builtin") return {};
  if (text == "default") return {Kind::systemDefault, {}};
  return {Kind::device, text};
}

AudioObjectID chooseMicrophone(AudioHardware& hw, const MicrophoneChoice& choice) {
  switch (choice.kind) {
    case MicrophoneChoice::Kind::builtIn:
      break;
    case MicrophoneChoice::Kind::systemDefault:
      // Without a default input (or with a monitor as the default), the built-in rule.
      if (const AudioObjectID device = defaultDevice(hw, kAudioHardwarePropertyDefaultInputDevice);
          device != kAudioObjectUnknown && hasInput(hw, device)) {
        return device;
      }
      break;
    case MicrophoneChoice::Kind::device:
      for (AudioObjectID device : deviceList(hw)) {
        if (hasInput(hw, device) &&
            readOr<std::string>(hw, device, globalAddress(kAudioDevicePropertyDeviceUID), "") ==
                choice.uid) {
          return device;
        }
      }
      throw CaptureError::message("no microphone named " + choice.uid);
  }
  return builtInInputDeviceID(hw);
}

std::vector<DeviceSummary> listDevices(AudioHardware& hw) {
  const std::vector<AudioObjectID> devices = deviceList(hw);
  const AudioObjectID defaultInput = defaultDevice(hw, kAudioHardwarePropertyDefaultInputDevice);
  const AudioObjectID defaultOutput = defaultDevice(hw, kAudioHardwarePropertyDefaultOutputDevice);
  std::vector<DeviceSummary> summaries;
  for (AudioObjectID device : devices) {
    const bool input = hasInput(hw, device);
    if (!input && !hasStreams(hw, device, kAudioObjectPropertyScopeOutput)) continue;
    const std::uint32_t scope =
        input ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
    DeviceSummary summary;
    summary.input = input;
    summary.uid = readOr<std::string>(hw, device, globalAddress(kAudioDevicePropertyDeviceUID), "");
    summary.name =
        readOr<std::string>(hw, device, globalAddress(kAudioObjectPropertyName), summary.uid);
    summary.builtIn = transportType(hw, device) == kAudioDeviceTransportTypeBuiltIn;
    summary.isDefault = device == (input ? defaultInput : defaultOutput);
    summary.rate =
        readOr<double>(hw, device, globalAddress(kAudioDevicePropertyNominalSampleRate), 0);
    summary.channels = readOr<std::uint32_t>(
        hw, device,
        {kAudioDevicePropertyStreamConfiguration, scope, kAudioObjectPropertyElementMain}, 0);
    // A device that went away between the list and the questions is no longer there.
    if (!summary.uid.empty()) summaries.push_back(std::move(summary));
  }
  return summaries;
}

double nominalSampleRate(AudioHardware& hw, AudioObjectID device) {
  const auto address = globalAddress(kAudioDevicePropertyNominalSampleRate);
  double rate = 0.0;
  std::uint32_t size = sizeof rate;
  if (OSStatus status = hw.AudioObjectGetPropertyData(device, address, size, &rate)) {
    throw CaptureError::osStatus("get nominal sample rate", status);
  }
  return rate;
}

}  // namespace ondrel
