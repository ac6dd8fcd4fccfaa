// Audio hardware for tests: a device list, a chosen status for any call, counts of calls and live
// objects, and hooks that run the started I/O block and fire the default-output listeners.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ondrelkit/audio_hardware.h"

namespace ondrel::testing {

struct FakeDevice {
  AudioObjectID id = 0;
  std::string uid;
  std::uint32_t inputStreamSize = 0;  // 0: no input
  std::uint32_t transport = 0;
};

class FakeAudioHardware : public AudioHardware {
 public:
  std::vector<FakeDevice> devices;  // what the system object lists, in order
  AudioObjectID defaultInput = kAudioObjectUnknown;
  double aggregateRate = 48000;  // the nominal rate of every aggregate device

  // Makes a call return status (0: succeed again), or for its next `times` calls only. Calls go by
  // name; property reads by "DeviceListSize", "DeviceList" or property and object, "Streams(9)".
  void failOperation(const std::string& name, OSStatus status, int times = -1) {
    std::lock_guard guard(mutex_);
    failures_[name] = {status, times};
  }
  // Calls of the operation so far, failed ones included; of every operation and read for "".
  std::size_t calls(const std::string& name = "") const {
    std::lock_guard guard(mutex_);
    std::size_t count = 0;
    for (const auto& [called, n] : calls_) count += name.empty() || called == name ? n : 0;
    return count;
  }
  // Taps, aggregate devices and registered I/O blocks that exist now.
  std::array<std::size_t, 3> live() const {
    std::lock_guard guard(mutex_);
    return {taps_.size(), aggregates_.size(), procs_.size()};
  }
  // Runs the started I/O block with input, if any. Never while a Stop or Destroy is under way.
  bool runIO(const AudioBufferList& input) {
    std::lock_guard io(ioMutex_);
    std::unique_lock guard(mutex_);
    AudioDeviceIOBlock block;
    for (const auto& [id, proc] : procs_) block = proc.running ? proc.block : block;
    guard.unlock();
    AudioTimeStamp now;
    if (block) block(&now, &input, &now, nullptr, &now);
    return bool(block);
  }
  // Calls every default-output listener on the calling thread.
  void fireDefaultOutputChanged() {
    std::unique_lock guard(mutex_);
    const auto listeners = listeners_;
    guard.unlock();
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    for (const auto& listener : listeners) listener(1, &address);
  }

  OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                          const AudioObjectPropertyAddress& at,
                                          std::uint32_t& dataSize) override {
    std::lock_guard guard(mutex_);
    const FakeDevice* device = find(object);
    if (object == kAudioObjectSystemObject) {
      dataSize = std::uint32_t(devices.size() * sizeof(AudioObjectID));
      return call("DeviceListSize");
    }
    dataSize = device && at.mScope == kAudioObjectPropertyScopeInput ? device->inputStreamSize : 0;
    return call(named("Streams", object));
  }
  OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& at,
                                      std::uint32_t& dataSize, void* data) override {
    std::lock_guard guard(mutex_);
    const FakeDevice* device = find(object);
    switch (at.mSelector) {
      case kAudioHardwarePropertyDevices:
        dataSize = std::min(dataSize, std::uint32_t(devices.size() * sizeof(AudioObjectID)));
        for (std::size_t i = 0; i < dataSize / sizeof(AudioObjectID); ++i) {
          static_cast<AudioObjectID*>(data)[i] = devices[i].id;
        }
        return call("DeviceList");
      case kAudioHardwarePropertyDefaultInputDevice:
        if (dataSize == 4) std::memcpy(data, &defaultInput, 4);
        return call("DefaultInput");
      case kAudioDevicePropertyTransportType:
        if (device && dataSize == 4) std::memcpy(data, &device->transport, 4);
        return device ? call(named("TransportType", object)) : kAudioHardwareBadObjectError;
      case kAudioDevicePropertyDeviceUID:
        if (device && dataSize == kStringPropertySize)
          *static_cast<std::string*>(data) = device->uid;
        return device ? call(named("DeviceUID", object)) : kAudioHardwareBadObjectError;
      case kAudioDevicePropertyNominalSampleRate:
        if (aggregates_.count(object) && dataSize == 8) std::memcpy(data, &aggregateRate, 8);
        return aggregates_.count(object) ? call(named("NominalSampleRate", object))
                                         : kAudioHardwareBadObjectError;
    }
    return kAudioHardwareUnknownPropertyError;
  }

  OSStatus AudioHardwareCreateProcessTap(const CATapDescription&, AudioObjectID& id) override {
    return create("AudioHardwareCreateProcessTap", taps_, id);
  }
  OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json&, AudioObjectID& id) override {
    return create("AudioHardwareCreateAggregateDevice", aggregates_, id);
  }
  OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID& id, AudioObjectID device,
                                              AudioDeviceIOBlock block) override {
    std::lock_guard guard(mutex_);
    if (OSStatus status = call("AudioDeviceCreateIOProcIDWithBlock")) return status;
    procs_[id = nextProc_++] = IOProc{device, std::move(block)};
    return 0;
  }
  OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override {
    std::lock_guard guard(mutex_);
    if (OSStatus status = call("AudioDeviceStart")) return status;
    auto it = procs_.find(procID);
    if (it == procs_.end() || it->second.device != device) return kAudioHardwareBadDeviceError;
    it->second.running = true;
    return 0;
  }
  // The teardown takes effect even when told to fail, as a platform's does.
  OSStatus AudioDeviceStop(AudioObjectID, AudioDeviceIOProcID procID) override {
    std::scoped_lock guard(ioMutex_, mutex_);  // waits for a running block
    if (auto it = procs_.find(procID); it != procs_.end()) it->second.running = false;
    return call("AudioDeviceStop");
  }
  OSStatus AudioDeviceDestroyIOProcID(AudioObjectID, AudioDeviceIOProcID procID) override {
    std::scoped_lock guard(ioMutex_, mutex_);
    procs_.erase(procID);
    return call("AudioDeviceDestroyIOProcID");
  }
  OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID device) override {
    return destroy("AudioHardwareDestroyAggregateDevice", aggregates_, device);
  }
  OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tap) override {
    return destroy("AudioHardwareDestroyProcessTap", taps_, tap);
  }
  OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID, const AudioObjectPropertyAddress&,
                                               AudioObjectPropertyListenerBlock block) override {
    std::lock_guard guard(mutex_);
    listeners_.push_back(std::move(block));  // the recorder listens to the default output only
    return call("AudioObjectAddPropertyListenerBlock");
  }

 private:
  struct IOProc {
    AudioObjectID device;
    AudioDeviceIOBlock block;
    bool running = false;
  };

  // With mutex_ held: counts the call and gives the status chosen for it.
  OSStatus call(const std::string& name) {
    ++calls_[name];
    auto& [status, times] = failures_[name];
    if (times == 0) return 0;
    --times;
    return status;
  }
  OSStatus create(const char* name, std::set<AudioObjectID>& objects, AudioObjectID& id) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = call(name)) return status;
    objects.insert(id = nextObject_++);
    return 0;
  }
  OSStatus destroy(const char* name, std::set<AudioObjectID>& objects, AudioObjectID id) {
    std::lock_guard guard(mutex_);
    const OSStatus status = call(name);
    return objects.erase(id) ? status : kAudioHardwareBadObjectError;
  }
  // How failOperation() names a property read of one object, e.g. "DeviceUID(11)".
  static std::string named(const char* property, AudioObjectID object) {
    return std::string(property) + "(" + std::to_string(object) + ")";
  }
  const FakeDevice* find(AudioObjectID id) const {
    const auto it = std::ranges::find(devices, id, &FakeDevice::id);
    return it == devices.end() ? nullptr : &*it;
  }

  mutable std::mutex mutex_;
  std::mutex ioMutex_;  // held while an I/O block runs, and by Stop and Destroy
  std::map<std::string, std::pair<OSStatus, int>> failures_;  // status, times left (below 0: all)
  std::map<std::string, std::size_t> calls_;
  AudioObjectID nextObject_ = 100;
  AudioDeviceIOProcID nextProc_ = 1;
  std::set<AudioObjectID> taps_, aggregates_;
  std::map<AudioDeviceIOProcID, IOProc> procs_;
  std::vector<AudioObjectPropertyListenerBlock> listeners_;
};

}  // namespace ondrel::testing
