#include "ondrelkit/devices.h"

#include <vector>

#include "ondrelkit/capture_error.h"

namespace ondrel {
namespace {

constexpr AudioObjectPropertyAddress globalAddress(std::uint32_t selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

bool hasInput(AudioHardware& hw, AudioObjectID device) {
  const AudioObjectPropertyAddress streams{
      kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput, kAudioObjectPropertyElementMain};
  std::uint32_t size = 0;
  return hw.AudioObjectGetPropertyDataSize(device, streams, size) == 0 && size != 0;
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
