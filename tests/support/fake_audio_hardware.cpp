#include "fake_audio_hardware.h"

#include <cstring>

namespace ondrel::testing {
namespace {

// The name failOperation() knows a property read of one object by, e.g. "DeviceUID(11)".
std::string propertyKey(const char* property, AudioObjectID object) {
  std::string key(property);
  key.append(1, '(').append(std::to_string(object)).append(1, ')');
  return key;
}

}  // namespace

void FakeAudioHardware::failOperation(const std::string& operation, OSStatus status, int times) {
  std::lock_guard guard(mutex_);
  failures_[operation] = status;
  failuresLeft_.erase(operation);
  if (times == 0) failures_.erase(operation);
  if (times > 0) failuresLeft_[operation] = times;
}

std::vector<std::string> FakeAudioHardware::calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

std::vector<std::string> FakeAudioHardware::callsStartingWith(const std::string& prefix) const {
  std::vector<std::string> matching;
  for (const auto& call : calls()) {
    if (call.rfind(prefix, 0) == 0) matching.push_back(call);
  }
  return matching;
}

void FakeAudioHardware::clearCalls() {
  std::lock_guard guard(mutex_);
  calls_.clear();
}

std::size_t FakeAudioHardware::operationCount() const {
  std::lock_guard guard(mutex_);
  return operationCount_;
}

OSStatus FakeAudioHardware::record(const std::string& name, const std::string& arguments) {
  std::lock_guard guard(mutex_);
  ++operationCount_;
  calls_.push_back(name + "(" + arguments + ")");
  return takeFailure(name);
}

OSStatus FakeAudioHardware::takeFailure(const std::string& name) {
  auto it = failures_.find(name);
  if (it == failures_.end()) return 0;
  const OSStatus status = it->second;
  if (auto left = failuresLeft_.find(name); left != failuresLeft_.end() && --left->second <= 0) {
    failures_.erase(it);
    failuresLeft_.erase(left);
  }
  return status;
}

const FakeDevice* FakeAudioHardware::findDevice(AudioObjectID id) const {
  for (const auto& device : devices) {
    if (device.id == id && id != kAudioObjectUnknown) return &device;
  }
  return nullptr;
}

bool FakeAudioHardware::runIO(const AudioBufferList& input) {
  std::lock_guard io(ioMutex_);
  AudioDeviceIOBlock block;
  {
    std::lock_guard guard(mutex_);
    for (auto& [id, proc] : procs_) {
      if (proc.running) block = proc.block;
    }
  }
  if (!block) return false;
  AudioTimeStamp now;
  block(&now, &input, &now, nullptr, &now);
  return true;
}

void FakeAudioHardware::fireDefaultOutputChanged() {
  std::vector<AudioObjectPropertyListenerBlock> listeners;
  {
    std::lock_guard guard(mutex_);
    listeners = listeners_;
  }
  const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice,
                                           kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
  for (auto& listener : listeners) listener(1, &address);
}

std::optional<nlohmann::json> FakeAudioHardware::lastAggregateDescription() const {
  std::lock_guard guard(mutex_);
  return lastAggregate_;
}

std::optional<CATapDescription> FakeAudioHardware::lastTapDescription() const {
  std::lock_guard guard(mutex_);
  return lastTap_;
}

std::size_t FakeAudioHardware::liveTaps() const {
  std::lock_guard guard(mutex_);
  return taps_.size();
}

std::size_t FakeAudioHardware::liveAggregates() const {
  std::lock_guard guard(mutex_);
  return aggregates_.size();
}

std::size_t FakeAudioHardware::registeredIOProcs() const {
  std::lock_guard guard(mutex_);
  return procs_.size();
}

OSStatus FakeAudioHardware::AudioObjectGetPropertyDataSize(
    AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t& dataSize) {
  std::lock_guard guard(mutex_);
  ++operationCount_;
  if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyDevices) {
    if (OSStatus status = takeFailure("DeviceListSize")) return status;
    dataSize = std::uint32_t(devices.size() * sizeof(AudioObjectID));
    return 0;
  }
  const FakeDevice* device = findDevice(object);
  if (device == nullptr) return kAudioHardwareBadObjectError;
  if (address.mSelector == kAudioDevicePropertyStreams &&
      address.mScope == kAudioObjectPropertyScopeInput) {
    if (OSStatus status = takeFailure(propertyKey("Streams", object))) return status;
    dataSize = device->inputStreamSize;
    return 0;
  }
  return kAudioHardwareUnknownPropertyError;
}

OSStatus FakeAudioHardware::AudioObjectGetPropertyData(AudioObjectID object,
                                                       const AudioObjectPropertyAddress& address,
                                                       std::uint32_t& dataSize, void* data) {
  std::lock_guard guard(mutex_);
  ++operationCount_;
  if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyDevices) {
    if (OSStatus status = takeFailure("DeviceList")) return status;
    const std::size_t count =
        std::min<std::size_t>(dataSize / sizeof(AudioObjectID), devices.size());
    auto* ids = static_cast<AudioObjectID*>(data);
    for (std::size_t i = 0; i < count; ++i) ids[i] = devices[i].id;
    dataSize = std::uint32_t(count * sizeof(AudioObjectID));
    return 0;
  }
  if (address.mSelector == kAudioDevicePropertyNominalSampleRate) {
    if (OSStatus status = takeFailure(propertyKey("NominalSampleRate", object))) return status;
  }
  if (address.mSelector == kAudioDevicePropertyNominalSampleRate && aggregates_.count(object)) {
    if (dataSize < sizeof(double)) return kAudioHardwareBadPropertySizeError;
    std::memcpy(data, &aggregateRate, sizeof(double));
    return 0;
  }
  const FakeDevice* device = findDevice(object);
  if (device == nullptr) return kAudioHardwareBadObjectError;
  switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
      if (OSStatus status = takeFailure(propertyKey("DeviceUID", object))) return status;
      if (dataSize != kStringPropertySize) return kAudioHardwareBadPropertySizeError;
      *static_cast<std::string*>(data) = device->uid;
      return 0;
    case kAudioDevicePropertyTransportType:
      if (OSStatus status = takeFailure(propertyKey("TransportType", object))) return status;
      if (dataSize < sizeof(std::uint32_t)) return kAudioHardwareBadPropertySizeError;
      std::memcpy(data, &device->transport, sizeof(std::uint32_t));
      return 0;
    case kAudioDevicePropertyNominalSampleRate:
      if (dataSize < sizeof(double)) return kAudioHardwareBadPropertySizeError;
      std::memcpy(data, &device->nominalRate, sizeof(double));
      return 0;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

OSStatus FakeAudioHardware::AudioHardwareCreateProcessTap(const CATapDescription& description,
                                                          AudioObjectID& outTapID) {
  std::lock_guard guard(mutex_);
  ++operationCount_;
  lastTap_ = description;
  if (OSStatus status = takeFailure("AudioHardwareCreateProcessTap")) {
    calls_.push_back("AudioHardwareCreateProcessTap()");
    return status;
  }
  outTapID = nextObject_++;
  taps_[outTapID] = description;
  calls_.push_back("AudioHardwareCreateProcessTap() -> " + std::to_string(outTapID));
  return 0;
}

OSStatus FakeAudioHardware::AudioHardwareCreateAggregateDevice(const nlohmann::json& description,
                                                               AudioObjectID& outDeviceID) {
  std::lock_guard guard(mutex_);
  ++operationCount_;
  lastAggregate_ = description;
  if (OSStatus status = takeFailure("AudioHardwareCreateAggregateDevice")) {
    calls_.push_back("AudioHardwareCreateAggregateDevice()");
    return status;
  }
  outDeviceID = nextObject_++;
  aggregates_[outDeviceID] = description;
  calls_.push_back("AudioHardwareCreateAggregateDevice() -> " + std::to_string(outDeviceID));
  return 0;
}

OSStatus FakeAudioHardware::AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID& outProcID,
                                                               AudioObjectID device,
                                                               AudioDeviceIOBlock block) {
  if (OSStatus status = record("AudioDeviceCreateIOProcIDWithBlock", std::to_string(device))) {
    return status;
  }
  std::lock_guard guard(mutex_);
  outProcID = nextProc_++;
  procs_[outProcID] = IOProc{device, std::move(block), false};
  return 0;
}

OSStatus FakeAudioHardware::AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  const std::string args = std::to_string(device) + ", " + std::to_string(procID);
  if (OSStatus status = record("AudioDeviceStart", args)) return status;
  std::lock_guard guard(mutex_);
  auto it = procs_.find(procID);
  if (it == procs_.end() || it->second.device != device) return kAudioHardwareBadDeviceError;
  it->second.running = true;
  return 0;
}

OSStatus FakeAudioHardware::AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  const OSStatus status =
      record("AudioDeviceStop", std::to_string(device) + ", " + std::to_string(procID));
  std::lock_guard io(ioMutex_);  // waits for a running block
  std::lock_guard guard(mutex_);
  auto it = procs_.find(procID);
  if (it != procs_.end()) it->second.running = false;
  return status;
}

OSStatus FakeAudioHardware::AudioDeviceDestroyIOProcID(AudioObjectID device,
                                                       AudioDeviceIOProcID procID) {
  const OSStatus status =
      record("AudioDeviceDestroyIOProcID", std::to_string(device) + ", " + std::to_string(procID));
  std::lock_guard io(ioMutex_);
  std::lock_guard guard(mutex_);
  procs_.erase(procID);
  return status;
}

OSStatus FakeAudioHardware::AudioHardwareDestroyAggregateDevice(AudioObjectID device) {
  const OSStatus status = record("AudioHardwareDestroyAggregateDevice", std::to_string(device));
  std::lock_guard guard(mutex_);
  return aggregates_.erase(device) ? status : kAudioHardwareBadObjectError;
}

OSStatus FakeAudioHardware::AudioHardwareDestroyProcessTap(AudioObjectID tap) {
  const OSStatus status = record("AudioHardwareDestroyProcessTap", std::to_string(tap));
  std::lock_guard guard(mutex_);
  return taps_.erase(tap) ? status : kAudioHardwareBadObjectError;
}

OSStatus FakeAudioHardware::AudioObjectAddPropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address,
    AudioObjectPropertyListenerBlock block) {
  if (OSStatus status = record("AudioObjectAddPropertyListenerBlock", std::to_string(object))) {
    return status;
  }
  std::lock_guard guard(mutex_);
  if (object == kAudioObjectSystemObject &&
      address.mSelector == kAudioHardwarePropertyDefaultOutputDevice) {
    listeners_.push_back(std::move(block));
  }
  return 0;
}

}  // namespace ondrel::testing
