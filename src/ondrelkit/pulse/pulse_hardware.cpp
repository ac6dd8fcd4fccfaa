#include "ondrelkit/pulse/pulse_hardware.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "ondrelkit/pulse/capture_streams.h"
#include "ondrelkit/pulse/listener_thread.h"
#include "ondrelkit/pulse/pulse_connection.h"
#include "ondrelkit/pulse/server_queries.h"

namespace ondrel {
namespace {

using pulse::PulseConnection;

constexpr std::uint32_t kScopeOutput = fourCC("outp");

template <typename T>
std::vector<std::uint8_t> bytesOf(const T& value) {
  std::vector<std::uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// The byte size of 'stm#' (one stream per direction a device has) in a scope.
std::uint32_t streamsSize(std::uint32_t scope, bool input, bool output) {
  std::uint32_t streams = 0;
  if (scope == kAudioObjectPropertyScopeInput) {
    streams = input ? 1 : 0;
  } else if (scope == kScopeOutput) {
    streams = output ? 1 : 0;
  } else {
    streams = (input ? 1 : 0) + (output ? 1 : 0);
  }
  return streams * std::uint32_t(sizeof(AudioObjectID));
}

}  // namespace

PulseHardware::PulseHardware() : connection_(std::make_unique<PulseConnection>()) {
  connection_->setOnLost([this] { recordingLost(); });
}

PulseHardware::~PulseHardware() {
  if (connection_->inMainloopThread()) {
    // The last owner let go inside an I/O block: streams cannot be closed from their own
    // callback, so everything is left to the end of the process. Nothing left running may call
    // back into this object.
    connection_->setOnLost(nullptr);
    if (connection_->context()) {
      pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
    }
    (void)new std::map<AudioObjectID, Aggregate>(std::move(aggregates_));
    (void)connection_.release();
    (void)listeners_.release();
    return;
  }
  {
    PulseConnection::Lock lock(*connection_);
    connection_->setOnLost(nullptr);
    aggregates_.clear();  // closes every running stream
    if (connection_->context()) {
      pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
    }
  }
  connection_.reset();  // disconnects: no callback runs after this
  listeners_.reset();
}

bool PulseHardware::connect() {
  if (!connection_->ensureConnected()) return false;
  if (wantsDefaultSink_ && subscribedGeneration_ != connection_->generation()) {
    renewSubscription();
  }
  return true;
}

// ---- Properties ----

OSStatus PulseHardware::AudioObjectGetPropertyDataSize(AudioObjectID object,
                                                       const AudioObjectPropertyAddress& address,
                                                       std::uint32_t& dataSize) {
  Value value;
  if (OSStatus status = readProperty(object, address, value)) return status;
  dataSize = value.text ? kStringPropertySize : std::uint32_t(value.bytes.size());
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioObjectGetPropertyData(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::uint32_t& dataSize, void* data) {
  if (!data) return kAudio_ParamError;
  Value value;
  if (OSStatus status = readProperty(object, address, value)) return status;
  if (value.text) {
    if (dataSize < kStringPropertySize) return kAudioHardwareBadPropertySizeError;
    *static_cast<std::string*>(data) = *value.text;
    dataSize = kStringPropertySize;
    return kAudioHardwareNoError;
  }
  // A list is cut to what fits, as the device list may grow between the size and the read.
  if (address.mSelector == kAudioHardwarePropertyDevices ||
      address.mSelector == kAudioDevicePropertyStreams) {
    dataSize = std::min(dataSize, std::uint32_t(value.bytes.size())) /
               std::uint32_t(sizeof(AudioObjectID)) * std::uint32_t(sizeof(AudioObjectID));
  } else if (dataSize < value.bytes.size()) {
    return kAudioHardwareBadPropertySizeError;
  } else {
    dataSize = std::uint32_t(value.bytes.size());
  }
  std::memcpy(data, value.bytes.data(), dataSize);
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::readProperty(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address, Value& value) {
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  PulseConnection::Lock lock(*connection_);
  const std::uint32_t selector = address.mSelector;

  if (object == kAudioObjectSystemObject) {
    if (selector != kAudioHardwarePropertyDevices) return kAudioHardwareUnknownPropertyError;
    if (!connect()) return kAudioHardwareNotRunningError;
    const auto devices = pulse::listDevices(*connection_);
    if (!devices) return kAudioHardwareNotRunningError;
    std::vector<AudioObjectID> ids;
    for (const auto& device : *devices) {
      // A monitor is the sound a sink plays, never a microphone: it is not offered as a device.
      if (!device.isMonitor) ids.push_back(idFor({device.isSource, device.name}));
    }
    value.bytes.resize(ids.size() * sizeof(AudioObjectID));
    if (!ids.empty()) std::memcpy(value.bytes.data(), ids.data(), value.bytes.size());
    return kAudioHardwareNoError;
  }

  if (auto aggregate = aggregates_.find(object); aggregate != aggregates_.end()) {
    switch (selector) {
      case kAudioDevicePropertyDeviceUID:
        value.text = aggregate->second.uid;
        return kAudioHardwareNoError;
      case kAudioDevicePropertyStreams:  // the microphone's and the tap's
        value.bytes.assign(2 * streamsSize(address.mScope, true, false), 0);
        return kAudioHardwareNoError;
      case kAudioDevicePropertyTransportType:
        value.bytes = bytesOf(kAudioDeviceTransportTypeAggregate);
        return kAudioHardwareNoError;
      case kAudioDevicePropertyNominalSampleRate:  // the rate both streams record at
        value.bytes = bytesOf(double(aggregate->second.micSpec.rate));
        return kAudioHardwareNoError;
      default:
        return kAudioHardwareUnknownPropertyError;
    }
  }

  if (auto tap = taps_.find(object); tap != taps_.end()) {
    if (selector != kAudioDevicePropertyDeviceUID) return kAudioHardwareUnknownPropertyError;
    value.text = tap->second.uuid;
    return kAudioHardwareNoError;
  }

  if (auto device = devices_.find(object); device != devices_.end()) {
    return readDeviceProperty(device->second, address, value);
  }
  return kAudioHardwareBadObjectError;
}

OSStatus PulseHardware::readDeviceProperty(const DeviceKey& key,
                                           const AudioObjectPropertyAddress& address,
                                           Value& value) {
  switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
    case kAudioDevicePropertyStreams:
    case kAudioDevicePropertyTransportType:
    case kAudioDevicePropertyNominalSampleRate:
      break;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
  if (!connect()) return kAudioHardwareNotRunningError;
  const auto [isSource, name] = key;
  const pulse::Lookup lookup = pulse::findDevice(*connection_, isSource, name);
  if (!lookup.answered) return kAudioHardwareNotRunningError;
  if (!lookup.device) return kAudioHardwareBadObjectError;  // it went away
  const pulse::DeviceInfo& device = *lookup.device;

  switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
      value.text = device.name;
      break;
    case kAudioDevicePropertyStreams:
      value.bytes.assign(streamsSize(address.mScope, isSource, !isSource), 0);
      break;
    case kAudioDevicePropertyTransportType:
      value.bytes = bytesOf(device.transport);
      break;
    default:
      value.bytes = bytesOf(double(device.sampleSpec.rate));
      break;
  }
  return kAudioHardwareNoError;
}

// ---- Taps and aggregate devices ----

OSStatus PulseHardware::AudioHardwareCreateProcessTap(const CATapDescription& description,
                                                      AudioObjectID& outTapID) {
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  PulseConnection::Lock lock(*connection_);
  if (!connect()) return kAudioHardwareNotRunningError;
  const auto sinkName = pulse::defaultSinkName(*connection_);
  if (!sinkName) return kAudioHardwareNotRunningError;
  if (sinkName->empty()) return kAudioHardwareBadDeviceError;
  const pulse::Lookup sink = pulse::findDevice(*connection_, false, *sinkName);
  if (!sink.answered) return kAudioHardwareNotRunningError;
  if (!sink.device || sink.device->monitorSource.empty()) return kAudioHardwareBadDeviceError;

  idFor({false, *sinkName});
  // The listener's baseline is the sink actually tapped: a change of default from here on, even
  // one before the listener is installed, must rebuild.
  defaultSink_ = *sinkName;
  const AudioObjectID id = nextObjectID_++;
  taps_[id] = Tap{description.uuid.uuidString(), sink.device->monitorSource};
  outTapID = id;
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioHardwareCreateAggregateDevice(const nlohmann::json& description,
                                                           AudioObjectID& outDeviceID) {
  std::string uid, master, tapUID;
  try {
    uid = description.at("uid").get<std::string>();
    master = description.at("master").get<std::string>();
    tapUID = description.at("taps").at(0).at("uid").get<std::string>();
  } catch (const std::exception&) {
    return kAudio_ParamError;
  }

  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  PulseConnection::Lock lock(*connection_);
  if (!connect()) return kAudioHardwareNotRunningError;
  const pulse::Lookup mic = pulse::findDevice(*connection_, true, master);
  if (!mic.answered) return kAudioHardwareNotRunningError;
  if (!mic.device || mic.device->isMonitor) return kAudioHardwareBadDeviceError;

  // Looked up after the wait above, which lets other threads change the taps.
  const Tap* tap = nullptr;
  for (const auto& [tapID, candidate] : taps_) {
    if (candidate.uuid == tapUID) tap = &candidate;
  }
  if (!tap) return kAudioHardwareBadObjectError;

  Aggregate aggregate;
  aggregate.uid = uid;
  aggregate.micSource = master;
  if (!pinnedRate_) pinnedRate_ = mic.device->sampleSpec.rate;
  aggregate.micSpec = mic.device->sampleSpec;
  aggregate.micSpec.format = PA_SAMPLE_FLOAT32NE;
  aggregate.micSpec.rate = *pinnedRate_;
  aggregate.micMap = mic.device->map;
  aggregate.tapSource = tap->monitorSource;
  const AudioObjectID id = nextObjectID_++;
  aggregates_.emplace(id, std::move(aggregate));
  outDeviceID = id;
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioHardwareDestroyAggregateDevice(AudioObjectID device) {
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  if (connection_->inMainloopThread()) return kAudioHardwareIllegalOperationError;
  PulseConnection::Lock lock(*connection_);
  return aggregates_.erase(device) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus PulseHardware::AudioHardwareDestroyProcessTap(AudioObjectID tap) {
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  PulseConnection::Lock lock(*connection_);
  return taps_.erase(tap) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

// ---- I/O procs ----

PulseHardware::IOProc* PulseHardware::findProc(AudioObjectID device, AudioDeviceIOProcID procID) {
  auto aggregate = aggregates_.find(device);
  if (aggregate == aggregates_.end()) return nullptr;
  auto proc = aggregate->second.procs.find(procID);
  return proc == aggregate->second.procs.end() ? nullptr : &proc->second;
}

OSStatus PulseHardware::AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID& outProcID,
                                                           AudioObjectID device,
                                                           AudioDeviceIOBlock block) {
  if (!block) return kAudio_ParamError;
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  PulseConnection::Lock lock(*connection_);
  auto aggregate = aggregates_.find(device);
  if (aggregate == aggregates_.end()) {
    return devices_.count(device) ? kAudioHardwareIllegalOperationError
                                  : kAudioHardwareBadObjectError;
  }
  const AudioDeviceIOProcID id = nextProcID_++;
  aggregate->second.procs.emplace(id, IOProc{std::move(block), nullptr});
  outProcID = id;
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  if (connection_->inMainloopThread()) return kAudioHardwareIllegalOperationError;
  PulseConnection::Lock lock(*connection_);
  IOProc* proc = findProc(device, procID);
  if (!proc) return kAudioHardwareBadObjectError;
  if (proc->running && proc->running->alive()) return kAudioHardwareNoError;
  proc->running.reset();  // its streams died: start afresh
  if (!connect()) return kAudioHardwareNotRunningError;

  const Aggregate& aggregate = aggregates_.at(device);
  std::unique_ptr<pulse::CaptureStreams> streams;
  try {
    streams = std::make_unique<pulse::CaptureStreams>(
        *connection_,
        pulse::CaptureFormat{aggregate.micSource, aggregate.micSpec, aggregate.micMap,
                             aggregate.tapSource},
        proc->block);
  } catch (const std::exception&) {
    return kAudioHardwareUnspecifiedError;
  }
  if (OSStatus status = streams->start()) return status;

  // Starting waited for the server, and meanwhile another thread may have destroyed the proc or
  // started it too. No callback of the new streams has run yet: the lock is held again.
  proc = findProc(device, procID);
  if (!proc) return kAudioHardwareBadObjectError;
  if (!proc->running) proc->running = std::move(streams);
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  // On the mainloop thread this is a call from inside the I/O block, which cannot stop itself.
  if (connection_->inMainloopThread()) return kAudioHardwareIllegalOperationError;
  PulseConnection::Lock lock(*connection_);
  IOProc* proc = findProc(device, procID);
  if (!proc) return kAudioHardwareBadObjectError;
  // Callbacks run with the lock held, so none is running now, and closing ends them for good.
  proc->running.reset();
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioDeviceDestroyIOProcID(AudioObjectID device,
                                                   AudioDeviceIOProcID procID) {
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  if (connection_->inMainloopThread()) return kAudioHardwareIllegalOperationError;
  PulseConnection::Lock lock(*connection_);
  auto aggregate = aggregates_.find(device);
  if (aggregate == aggregates_.end() || !aggregate->second.procs.erase(procID)) {
    return kAudioHardwareBadObjectError;
  }
  return kAudioHardwareNoError;
}

// ---- Default output listener ----

OSStatus PulseHardware::AudioObjectAddPropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address,
    AudioObjectPropertyListenerBlock block) {
  if (object != kAudioObjectSystemObject) return kAudioHardwareBadObjectError;
  if (address.mSelector != kAudioHardwarePropertyDefaultOutputDevice) {
    return kAudioHardwareUnknownPropertyError;
  }
  if (!block) return kAudio_ParamError;
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  PulseConnection::Lock lock(*connection_);
  if (!listeners_) listeners_ = std::make_unique<pulse::ListenerThread>();
  listeners_->add(address, std::move(block));
  wantsDefaultSink_ = true;
  // Kept even without a server: a later connection subscribes.
  return connect() ? kAudioHardwareNoError : kAudioHardwareNotRunningError;
}

void PulseHardware::renewSubscription() {
  pa_context* context = connection_->context();
  subscribedGeneration_ = connection_->generation();
  pa_context_set_subscribe_callback(context, &onServerEvent, this);
  // Sources too, to notice a recorded one going away.
  const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                        PA_SUBSCRIPTION_MASK_SOURCE);
  if (pa_operation* op = pa_context_subscribe(context, mask, nullptr, nullptr)) {
    pa_operation_unref(op);
  }
  // The default as of now, so that only real changes are reported.
  if (const auto name = pulse::defaultSinkName(*connection_)) defaultSinkMaybeChanged(*name);
}

void PulseHardware::onServerEvent(pa_context* context, pa_subscription_event_type_t type,
                                  std::uint32_t index, void* self) {
  auto* hardware = static_cast<PulseHardware*>(self);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
    // A recorded source that goes away may only have its stream moved elsewhere, not killed.
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE &&
        hardware->records(index)) {
      hardware->recordingLost();
    }
    return;
  }
  if (facility != PA_SUBSCRIPTION_EVENT_SERVER) return;
  // The event does not say what changed: ask, and compare the default sink.
  if (pa_operation* op = pa_context_get_server_info(context, &onServerInfo, self)) {
    pa_operation_unref(op);
  }
}

void PulseHardware::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
  if (info) {
    static_cast<PulseHardware*>(self)->defaultSinkMaybeChanged(
        info->default_sink_name ? info->default_sink_name : "");
  }
}

void PulseHardware::defaultSinkMaybeChanged(const std::string& name) {
  const bool changed = defaultSink_ && *defaultSink_ != name;
  defaultSink_ = name;
  if (changed && listeners_) listeners_->notify();
}

bool PulseHardware::anyRunning() const {
  for (const auto& [id, aggregate] : aggregates_) {
    for (const auto& [procID, proc] : aggregate.procs) {
      if (proc.running) return true;
    }
  }
  return false;
}

bool PulseHardware::records(std::uint32_t sourceIndex) const {
  for (const auto& [id, aggregate] : aggregates_) {
    for (const auto& [procID, proc] : aggregate.procs) {
      if (proc.running && proc.running->records(sourceIndex)) return true;
    }
  }
  return false;
}

// A running device lost its stream or the server: the listeners rebuild the chain (which
// reconnects), as after a change of default sink. Nothing is running while a rebuild starts, so a
// rebuild that fails does not set off another.
void PulseHardware::recordingLost() {
  if (listeners_ && anyRunning()) listeners_->notify();
}

AudioObjectID PulseHardware::idFor(const DeviceKey& key) {
  auto [entry, added] = deviceIDs_.emplace(key, nextObjectID_);
  if (added) {
    devices_.emplace(nextObjectID_, key);
    ++nextObjectID_;
  }
  return entry->second;
}

}  // namespace ondrel
