// A scriptable audio hardware layer for tests: a device list, a chosen status for every operation
// and property read, a log of the calls in order, and hooks to run the registered I/O block and to
// fire the default-output listener.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ondrelkit/audio_hardware.h"

namespace ondrel::testing {

struct FakeDevice {
  AudioObjectID id = 0;
  std::string uid;
  std::uint32_t inputStreamSize = 0;  // 0: no input
  std::uint32_t transport = 0;
  double nominalRate = 48000;
};

class FakeAudioHardware : public AudioHardware {
 public:
  // The devices the system object lists, in order.
  std::vector<FakeDevice> devices;
  // Nominal rate the aggregate devices report.
  double aggregateRate = 48000;

  // Makes the operation (by its name, e.g. "AudioDeviceStart") return status until changed, or for
  // its next `times` calls only. Property reads are named "DeviceListSize", "DeviceList", or
  // "Streams", "TransportType", "DeviceUID", "NominalSampleRate" with the object, e.g.
  // "DeviceUID(11)".
  void failOperation(const std::string& operation, OSStatus status, int times = -1);
  // The calls made so far, each as "Name(arguments)", in order. Property reads are not logged.
  std::vector<std::string> calls() const;
  // Only the calls whose names start with prefix.
  std::vector<std::string> callsStartingWith(const std::string& prefix) const;
  void clearCalls();
  // Calls made of any kind, property reads included.
  std::size_t operationCount() const;

  // Runs the started I/O block of the given device (or of any started one) with input. Returns
  // false when no block is started. Never runs concurrently with Stop/Destroy of that block.
  bool runIO(const AudioBufferList& input);
  // Calls every registered default-output listener on the calling thread.
  void fireDefaultOutputChanged();

  std::optional<nlohmann::json> lastAggregateDescription() const;
  std::optional<CATapDescription> lastTapDescription() const;
  std::size_t liveTaps() const;
  std::size_t liveAggregates() const;
  std::size_t registeredIOProcs() const;

  OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          std::uint32_t& dataSize) override;
  OSStatus AudioObjectGetPropertyData(AudioObjectID object,
                                      const AudioObjectPropertyAddress& address,
                                      std::uint32_t& dataSize, void* data) override;
  OSStatus AudioHardwareCreateProcessTap(const CATapDescription& description,
                                         AudioObjectID& outTapID) override;
  OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& description,
                                              AudioObjectID& outDeviceID) override;
  OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID& outProcID, AudioObjectID device,
                                              AudioDeviceIOBlock block) override;
  OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID device) override;
  OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tap) override;
  OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               AudioObjectPropertyListenerBlock block) override;

 private:
  struct IOProc {
    AudioObjectID device;
    AudioDeviceIOBlock block;
    bool running = false;
  };

  // Logs the call and returns the status chosen for it (0 unless failOperation was called).
  OSStatus record(const std::string& name, const std::string& arguments);
  // With mutex_ held: the status chosen for the operation, counting down a limited failure.
  OSStatus takeFailure(const std::string& name);
  const FakeDevice* findDevice(AudioObjectID id) const;

  mutable std::mutex mutex_;
  std::mutex ioMutex_;  // held while an I/O block runs, and by Stop/Destroy
  std::map<std::string, OSStatus> failures_;
  std::map<std::string, int> failuresLeft_;  // for failures limited in number
  std::vector<std::string> calls_;
  std::size_t operationCount_ = 0;
  AudioObjectID nextObject_ = 100;
  AudioDeviceIOProcID nextProc_ = 1;
  std::map<AudioObjectID, CATapDescription> taps_;
  std::map<AudioObjectID, nlohmann::json> aggregates_;
  std::map<AudioDeviceIOProcID, IOProc> procs_;
  std::vector<AudioObjectPropertyListenerBlock> listeners_;
  std::optional<nlohmann::json> lastAggregate_;
  std::optional<CATapDescription> lastTap_;
};

}  // namespace ondrel::testing
