#include "ondrelkit/system_tap.h"

#include "ondrelkit/capture_error.h"

namespace ondrel {

SystemTap createSystemTap(AudioHardware& hw) {
  auto description = CATapDescription::stereoGlobalTapButExcludeProcesses({});
  description.uuid = Uuid::random();
  description.muteBehavior = 0;
  AudioObjectID tapID = kAudioObjectUnknown;
  if (OSStatus status = hw.AudioHardwareCreateProcessTap(description, tapID)) {
    throw CaptureError::osStatus("AudioHardwareCreateProcessTap", status);
  }
  return {tapID, description.uuid};
}

nlohmann::json aggregateDeviceDescription(const std::string& micUID, const Uuid& tapUUID) {
  return {
      {"name", "Murmuro Capture"},
      {"uid", Uuid::random().uuidString()},
      {"private", true},
      {"stacked", false},
      {"master", micUID},
      {"subdevices", nlohmann::json::array({{{"uid", micUID}}})},
      {"taps", nlohmann::json::array({{{"drift", true}, {"uid", tapUUID.uuidString()}}})},
  };
}

AudioObjectID createAggregateDevice(AudioHardware& hw, const std::string& micUID,
                                    const Uuid& tapUUID) {
  AudioObjectID deviceID = kAudioObjectUnknown;
  if (OSStatus status = hw.AudioHardwareCreateAggregateDevice(
          aggregateDeviceDescription(micUID, tapUUID), deviceID)) {
    throw CaptureError::osStatus("AudioHardwareCreateAggregateDevice", status);
  }
  return deviceID;
}

}  // namespace ondrel
