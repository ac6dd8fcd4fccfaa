// The audio hardware interface: the operations the recorder and the device queries use, modelled on
// the Core Audio HAL so that every backend (PulseAudio here, Core Audio elsewhere) gives the same
// statuses and error texts. The recorder only ever sees this interface.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ondrelkit/uuid.h"

namespace ondrel {

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
// Handle of a registered I/O callback. 0 is never handed out.
using AudioDeviceIOProcID = std::uint64_t;

// The 32-bit value whose bytes, most significant first, are the four ASCII characters.
constexpr std::uint32_t fourCC(const char (&code)[5]) {
  return (std::uint32_t(std::uint8_t(code[0])) << 24) |
         (std::uint32_t(std::uint8_t(code[1])) << 16) |
         (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

constexpr AudioObjectID kAudioObjectUnknown = 0;
constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Statuses. 0 is success; the rest are the Core Audio codes a backend returns where one fits.
constexpr OSStatus kAudioHardwareNoError = 0;
constexpr OSStatus kAudio_ParamError = -50;
constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(fourCC("stop"));
constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(fourCC("what"));
constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(fourCC("who?"));
constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(fourCC("!siz"));
constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(fourCC("nope"));
constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(fourCC("!obj"));
constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(fourCC("!dev"));

struct AudioObjectPropertyAddress {
  std::uint32_t mSelector;
  std::uint32_t mScope;
  std::uint32_t mElement;
  friend bool operator==(const AudioObjectPropertyAddress&,
                         const AudioObjectPropertyAddress&) = default;
};

// Selectors. Value of each, as asked of which object:
constexpr std::uint32_t kAudioHardwarePropertyDevices = fourCC("dev#");  // system: AudioObjectID[]
constexpr std::uint32_t kAudioDevicePropertyDeviceUID = fourCC("uid ");  // device: std::string
constexpr std::uint32_t kAudioDevicePropertyStreams = fourCC("stm#");    // device: size only
constexpr std::uint32_t kAudioDevicePropertyTransportType = fourCC("tran");      // device: uint32_t
constexpr std::uint32_t kAudioDevicePropertyNominalSampleRate = fourCC("nsrt");  // device: double
constexpr std::uint32_t kAudioObjectPropertyName = fourCC("lnam");  // device: std::string
// device, input or output scope: uint32_t, the channels of that direction (Core Audio gives a
// buffer list; the channel count is all this system reads of it)
constexpr std::uint32_t kAudioDevicePropertyStreamConfiguration = fourCC("slay");
// system: AudioObjectID (kAudioObjectUnknown when there is none); both listened to
constexpr std::uint32_t kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");
constexpr std::uint32_t kAudioHardwarePropertyDefaultInputDevice = fourCC("dIn ");

// Scopes and the one element used.
constexpr std::uint32_t kAudioObjectPropertyScopeGlobal = fourCC("glob");
constexpr std::uint32_t kAudioObjectPropertyScopeInput = fourCC("inpt");
constexpr std::uint32_t kAudioObjectPropertyScopeOutput = fourCC("outp");
constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;

// Transport types.
constexpr std::uint32_t kAudioDeviceTransportTypeBuiltIn = fourCC("bltn");
constexpr std::uint32_t kAudioDeviceTransportTypeAggregate = fourCC("grup");
constexpr std::uint32_t kAudioDeviceTransportTypeVirtual = fourCC("virt");
constexpr std::uint32_t kAudioDeviceTransportTypeUSB = fourCC("usb ");
constexpr std::uint32_t kAudioDeviceTransportTypeBluetooth = fourCC("blue");

// The 'uid ' and 'lnam' properties are read into a std::string owned by the caller; this is its
// data size.
constexpr std::uint32_t kStringPropertySize = sizeof(std::string);

// One buffer of interleaved 32-bit float samples: frame i, channel k is element i * channels + k.
struct AudioBuffer {
  std::uint32_t mNumberChannels = 0;
  std::uint32_t mDataByteSize = 0;
  void* mData = nullptr;
};

// The buffers one I/O cycle delivers: for the aggregate device, the microphone first, then the tap.
struct AudioBufferList {
  std::uint32_t mNumberBuffers = 0;
  AudioBuffer* mBuffers = nullptr;
};

struct AudioTimeStamp {
  double mSampleTime = 0;
  std::uint64_t mHostTime = 0;
};

// A process tap over the mixed output of all processes.
struct CATapDescription {
  Uuid uuid;
  std::int32_t muteBehavior = 0;  // 0: the tapped sound goes on playing
  std::vector<std::int32_t> excludedProcesses;
  bool stereo = true;
  bool global = true;

  static CATapDescription stereoGlobalTapButExcludeProcesses(std::vector<std::int32_t> processes) {
    CATapDescription d;
    d.excludedProcesses = std::move(processes);
    return d;
  }
};

// The I/O callback: (now, input list, input time, output list, output time).
//
// Called on the backend's real-time I/O thread, one call at a time per registration. It must not
// block, allocate, take a lock held across a call or throw. The buffers are valid only during the
// call. Once AudioDeviceStop and AudioDeviceDestroyIOProcID have returned it is never called again.
using AudioDeviceIOBlock = std::function<void(
    const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp* inputTime,
    AudioBufferList* output, const AudioTimeStamp* outputTime)>;

// A property listener: (number of changed addresses, the addresses).
//
// Called on a thread of the backend's own that is never the I/O thread nor a thread holding a
// backend lock, so it may call back into the backend synchronously and may block. Calls may come on
// several threads at once.
using AudioObjectPropertyListenerBlock =
    std::function<void(std::uint32_t numberAddresses, const AudioObjectPropertyAddress* addresses)>;

// The audio hardware layer. Every operation may be called from any thread except the I/O thread,
// and returns a status: 0 on success.
class AudioHardware {
 public:
  virtual ~AudioHardware() = default;

  // The byte size of a property's value.
  virtual OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::uint32_t& dataSize) = 0;
  // Reads a property into data; dataSize is the buffer's size in, the bytes filled out.
  virtual OSStatus AudioObjectGetPropertyData(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::uint32_t& dataSize, void* data) = 0;

  virtual OSStatus AudioHardwareCreateProcessTap(const CATapDescription& description,
                                                 AudioObjectID& outTapID) = 0;
  // description: the aggregate device's seven keys (name, uid, private, stacked, master,
  // subdevices, taps).
  virtual OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& description,
                                                      AudioObjectID& outDeviceID) = 0;

  // Registers block for the device; it runs directly on the I/O thread (no dispatch queue).
  virtual OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID& outProcID,
                                                      AudioObjectID device,
                                                      AudioDeviceIOBlock block) = 0;
  virtual OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  // After it returns, no call of the block is running or will start.
  virtual OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  virtual OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;

  virtual OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID device) = 0;
  virtual OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tap) = 0;

  // Calls block after each change of the property (only the system object's 'dOut' is served).
  virtual OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID object,
                                                       const AudioObjectPropertyAddress& address,
                                                       AudioObjectPropertyListenerBlock block) = 0;
};

}  // namespace ondrel
