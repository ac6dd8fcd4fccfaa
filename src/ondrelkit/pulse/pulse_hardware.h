// The audio hardware interface over libpulse (PulseAudio, or PipeWire's pulse server).
//
// Objects: 1 is the system object. Sinks and sources other than monitors are the devices, with
// identifiers that stay the same for the life of the backend; the device list is read from the
// server on every read. Taps, aggregate devices and I/O procs live only in this process. A tap
// records the monitor of the sink that was the default when it was made; an aggregate device
// pairs a microphone (its clock master) with a tap. Every aggregate records at the rate of the
// first one (the server resamples), so a rebuilt chain never changes the speed of the recording.
//
// Statuses: 'stop' when no server can be reached (or it stops answering), '!obj' for an unknown
// object, '!dev' for a device the server does not have, 'who?' for an unknown property.
//
// Running: an aggregate device's I/O block runs on an I/O thread of its own, fed by the two
// record streams through rings (see AggregateIO). A running device heals itself: a microphone or
// monitor stream that ends is opened again as soon as its source (or another built-in
// microphone, or the new default sink's monitor) is there, a lost server is reconnected, and the
// timeline keeps the time in silence meanwhile. A stopped device keeps its streams for a moment:
// a device started next on the same microphone takes them over, so a rebuild loses no
// microphone audio and swaps only the monitor stream, make-before-break.
//
// Threads: any thread may call except an I/O thread and libpulse's; nothing waits longer than a
// few seconds. Property listeners run on a thread of their own.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ondrelkit/audio_hardware.h"
#include "ondrelkit/pulse/server_queries.h"

namespace ondrel {
namespace pulse {
class AggregateIO;
class CaptureStream;
class ListenerThread;
class PulseConnection;
}  // namespace pulse

class PulseHardware : public AudioHardware {
 public:
  // Does not connect yet: that happens on first use. A running device whose microphone is gone
  // takes the first built-in one there is until its own returns, unless told not to (a chosen
  // device is that device or silence).
  explicit PulseHardware(bool healWithAnotherMicrophone = true);
  ~PulseHardware() override;
  PulseHardware(const PulseHardware&) = delete;
  PulseHardware& operator=(const PulseHardware&) = delete;

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
  using DeviceKey = std::pair<bool, std::string>;  // (is a source, name)

  struct Tap {
    std::string uuid;
    std::string monitorSource;
  };
  // The running side of an aggregate device: its streams and its I/O thread.
  struct Capture {
    std::string micSource;
    pa_sample_spec micSpec{};
    pa_channel_map micMap{};
    std::unique_ptr<pulse::AggregateIO> io;
  };
  struct IOProc {
    AudioDeviceIOBlock block;
    std::unique_ptr<Capture> running;
  };
  // What an aggregate device records.
  struct Sources {
    std::string micSource;
    pa_sample_spec micSpec{};
    pa_channel_map micMap{};
    std::string tapSource;
  };
  struct Aggregate {
    std::string uid;
    Sources sources;
    std::map<AudioDeviceIOProcID, IOProc> procs;
  };

  // A property's value: raw bytes, or a string for 'uid '.
  struct Value {
    std::vector<std::uint8_t> bytes;
    std::optional<std::string> text;
  };

  // 'stop' without a mainloop, 'nope' on libpulse's thread, else 0.
  OSStatus refusal() const;
  // With the mainloop lock held.
  bool connect();
  OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                        Value& value);
  OSStatus readDeviceProperty(const DeviceKey& device, const AudioObjectPropertyAddress& address,
                              Value& value);
  AudioObjectID idFor(const DeviceKey& key);
  IOProc* findProc(AudioObjectID device, AudioDeviceIOProcID procID);
  void renewSubscription();
  std::shared_ptr<pulse::CaptureStream> openStream(const std::string& source,
                                                   const pa_sample_spec& sampleSpec,
                                                   const pa_channel_map& map, bool corked,
                                                   bool average = false);
  std::shared_ptr<pulse::CaptureStream> openTap(const std::string& source, std::uint32_t rate,
                                                bool corked);
  static void close(Capture& capture);
  // Opens again what a running device lost; the healer thread calls it a few times a second.
  void heal();
  void healOnce();
  void recheckDefaults();
  void defaultsMaybeChanged(const pulse::Defaults& names);
  OSStatus readDefaultDevice(bool input, Value& value);
  static void onServerEvent(pa_context* context, pa_subscription_event_type_t type,
                            std::uint32_t index, void* self);

  std::unique_ptr<pulse::PulseConnection> connection_;
  std::unique_ptr<pulse::ListenerThread> listeners_;
  std::atomic<bool> defaultCheckDue_{false};                // a server event came: the healer asks
  std::chrono::steady_clock::time_point nextDefaultCheck_;  // when the healer asks anyway

  // Guarded by the mainloop lock.
  std::map<DeviceKey, AudioObjectID> deviceIDs_;
  std::map<AudioObjectID, DeviceKey> devices_;
  std::map<AudioObjectID, Tap> taps_;
  std::map<AudioObjectID, Aggregate> aggregates_;
  AudioObjectID nextObjectID_ = kAudioObjectSystemObject + 1;
  AudioDeviceIOProcID nextProcID_ = 1;
  bool wantsDefaults_ = false;
  const bool healWithAnotherMicrophone_;
  std::uint64_t subscribedGeneration_ = 0;
  std::optional<std::string> defaultSink_;
  std::optional<std::string> defaultSource_;
  // The rate of the first aggregate device: the recording's file is written at it, so every
  // later aggregate records at it too.
  std::optional<std::uint32_t> pinnedRate_;
  std::uint32_t nextStreamNumber_ = 1;
  // The streams of the device stopped last, for the next one on the same microphone.
  std::unique_ptr<Capture> parked_;

  // The healer: wakes a few times a second while a device runs.
  std::mutex healerMutex_;
  std::condition_variable healerWake_;
  bool healerQuit_ = false;
  std::thread healer_;
};

}  // namespace ondrel
