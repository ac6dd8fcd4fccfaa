#include "ondrelkit/pulse/pulse_hardware.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

#include "ondrelkit/pulse/aggregate_io.h"
#include "ondrelkit/pulse/capture_stream.h"
#include "ondrelkit/pulse/listener_thread.h"
#include "ondrelkit/pulse/pulse_connection.h"
#include "ondrelkit/pulse/server_queries.h"

namespace ondrel {
namespace {

using pulse::PulseConnection;

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
  } else if (scope == kAudioObjectPropertyScopeOutput) {
    streams = output ? 1 : 0;
  } else {
    streams = (input ? 1 : 0) + (output ? 1 : 0);
  }
  return streams * std::uint32_t(sizeof(AudioObjectID));
}

}  // namespace

PulseHardware::PulseHardware(bool healWithAnotherMicrophone)
    : connection_(std::make_unique<PulseConnection>()),
      healWithAnotherMicrophone_(healWithAnotherMicrophone) {
  healer_ = std::thread([this] { heal(); });
}

PulseHardware::~PulseHardware() {
  {
    std::lock_guard lock(healerMutex_);
    healerQuit_ = true;
  }
  healerWake_.notify_all();
  healer_.join();
  if (connection_->inMainloopThread()) {
    // The last owner let go inside a libpulse callback: streams cannot be closed from there, so
    // everything is left to the end of the process. Nothing left running may call back into
    // this object.
    if (connection_->context()) {
      pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
    }
    (void)new std::map<AudioObjectID, Aggregate>(std::move(aggregates_));
    (void)parked_.release();
    (void)connection_.release();
    (void)listeners_.release();
    return;
  }
  {
    PulseConnection::Lock lock(*connection_);
    for (auto& [id, aggregate] : aggregates_) {
      for (auto& [procID, proc] : aggregate.procs) {
        if (proc.running) close(*proc.running);
      }
    }
    aggregates_.clear();
    if (parked_) close(*parked_);
    if (connection_->context()) {
      pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
    }
  }
  connection_.reset();  // disconnects: no callback runs after this
  listeners_.reset();
}

// Every operation asks first: without a mainloop nothing can be done, and on libpulse's own
// thread taking the mainloop lock would abort the process.
OSStatus PulseHardware::refusal() const {
  if (!connection_->usable()) return kAudioHardwareNotRunningError;
  if (connection_->inMainloopThread()) return kAudioHardwareIllegalOperationError;
  return kAudioHardwareNoError;
}

bool PulseHardware::connect() {
  if (!connection_->ensureConnected()) return false;
  if (wantsDefaults_ && subscribedGeneration_ != connection_->generation()) {
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
  // An empty buffer may come without a pointer (an empty device list).
  if (!data && dataSize != 0) return kAudio_ParamError;
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
  if (dataSize != 0) std::memcpy(data, value.bytes.data(), dataSize);
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::readProperty(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address, Value& value) {
  if (OSStatus refused = refusal()) return refused;
  PulseConnection::Lock lock(*connection_);
  const std::uint32_t selector = address.mSelector;

  if (object == kAudioObjectSystemObject) {
    if (selector == kAudioHardwarePropertyDefaultOutputDevice ||
        selector == kAudioHardwarePropertyDefaultInputDevice) {
      return readDefaultDevice(selector == kAudioHardwarePropertyDefaultInputDevice, value);
    }
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
        value.bytes = bytesOf(double(aggregate->second.sources.micSpec.rate));
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

// A monitor made the default source is no microphone: no default input then.
OSStatus PulseHardware::readDefaultDevice(bool input, Value& value) {
  if (!connect()) return kAudioHardwareNotRunningError;
  const auto names = pulse::defaultNames(*connection_);
  if (!names) return kAudioHardwareNotRunningError;
  const std::string& name = input ? names->source : names->sink;
  AudioObjectID id = kAudioObjectUnknown;
  if (!name.empty()) {
    const pulse::Lookup lookup = pulse::findDevice(*connection_, input, name);
    if (!lookup.answered) return kAudioHardwareNotRunningError;
    if (lookup.device && !lookup.device->isMonitor) id = idFor({input, name});
  }
  value.bytes = bytesOf(id);
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::readDeviceProperty(const DeviceKey& key,
                                           const AudioObjectPropertyAddress& address,
                                           Value& value) {
  switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
    case kAudioObjectPropertyName:
    case kAudioDevicePropertyStreams:
    case kAudioDevicePropertyStreamConfiguration:
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
    case kAudioObjectPropertyName:
      value.text = device.description;
      break;
    case kAudioDevicePropertyStreams:
      value.bytes.assign(streamsSize(address.mScope, isSource, !isSource), 0);
      break;
    case kAudioDevicePropertyStreamConfiguration:
      value.bytes = bytesOf(std::uint32_t(
          streamsSize(address.mScope, isSource, !isSource) ? device.sampleSpec.channels : 0));
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
  if (OSStatus refused = refusal()) return refused;
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

  if (OSStatus refused = refusal()) return refused;
  PulseConnection::Lock lock(*connection_);
  if (!connect()) return kAudioHardwareNotRunningError;
  const pulse::Lookup mic = pulse::findDevice(*connection_, true, master);
  if (!mic.answered) return kAudioHardwareNotRunningError;
  const bool present = mic.device && !mic.device->isMonitor;
  // A rebuild goes on in the format the recording has (the server converts another microphone
  // into it), and on the microphone the device stopped last had even while that one is gone: it
  // is silent until it returns.
  if (!present && !(parked_ && parked_->micSource == master)) return kAudioHardwareBadDeviceError;

  // Looked up after the wait above, which lets other threads change the taps.
  const Tap* tap = nullptr;
  for (const auto& [tapID, candidate] : taps_) {
    if (candidate.uuid == tapUID) tap = &candidate;
  }
  if (!tap) return kAudioHardwareBadObjectError;

  Aggregate aggregate;
  aggregate.uid = uid;
  aggregate.sources.micSource = master;
  if (parked_) {
    aggregate.sources.micSpec = parked_->micSpec;
    aggregate.sources.micMap = parked_->micMap;
  } else {
    if (!pinnedRate_) pinnedRate_ = mic.device->sampleSpec.rate;
    aggregate.sources.micSpec = mic.device->sampleSpec;
    aggregate.sources.micSpec.format = PA_SAMPLE_FLOAT32NE;
    aggregate.sources.micSpec.rate = *pinnedRate_;
    aggregate.sources.micMap = mic.device->map;
  }
  aggregate.sources.tapSource = tap->monitorSource;
  const AudioObjectID id = nextObjectID_++;
  aggregates_.emplace(id, std::move(aggregate));
  outDeviceID = id;
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioHardwareDestroyAggregateDevice(AudioObjectID device) {
  if (OSStatus refused = refusal()) return refused;
  PulseConnection::Lock lock(*connection_);
  auto aggregate = aggregates_.find(device);
  if (aggregate == aggregates_.end()) return kAudioHardwareBadObjectError;
  for (auto& [procID, proc] : aggregate->second.procs) {
    if (proc.running) close(*proc.running);
  }
  aggregates_.erase(aggregate);
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioHardwareDestroyProcessTap(AudioObjectID tap) {
  if (OSStatus refused = refusal()) return refused;
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
  if (OSStatus refused = refusal()) return refused;
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

std::shared_ptr<pulse::CaptureStream> PulseHardware::openStream(const std::string& source,
                                                                const pa_sample_spec& sampleSpec,
                                                                const pa_channel_map& map,
                                                                bool corked, bool average) {
  auto stream = std::make_shared<pulse::CaptureStream>(*connection_, source, sampleSpec, map,
                                                       nextStreamNumber_++, average);
  stream->open(corked);
  return stream;
}

// A monitor is recorded in stereo (the server mixes other layouts down) and kept as the mean of
// its two channels, which is all the recording takes of it.
std::shared_ptr<pulse::CaptureStream> PulseHardware::openTap(const std::string& source,
                                                             std::uint32_t rate, bool corked) {
  const pa_sample_spec stereo{PA_SAMPLE_FLOAT32NE, rate, 2};
  pa_channel_map map;
  pa_channel_map_init_stereo(&map);
  return openStream(source, stereo, map, corked, true);
}

void PulseHardware::close(Capture& capture) {
  capture.io->stop();
  for (const auto& stream : capture.io->streams()) stream->close();
}

OSStatus PulseHardware::AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  if (OSStatus refused = refusal()) return refused;
  PulseConnection::Lock lock(*connection_);
  IOProc* proc = findProc(device, procID);
  if (!proc) return kAudioHardwareBadObjectError;
  if (proc->running) return kAudioHardwareNoError;
  if (!connect()) return kAudioHardwareNotRunningError;
  const Sources aggregate = aggregates_.at(device).sources;

  // The streams of the device stopped last go on if they record the same microphone: nothing it
  // captured meanwhile is lost, and only the monitor stream changes.
  std::unique_ptr<Capture> capture;
  if (parked_ && parked_->micSource == aggregate.micSource &&
      pa_sample_spec_equal(&parked_->micSpec, &aggregate.micSpec)) {
    capture = std::move(parked_);
  } else if (parked_ && pa_sample_spec_equal(&parked_->micSpec, &aggregate.micSpec)) {
    // Another microphone, make-before-break: it records before the old one is let go, and
    // takes over from its first frame on the same timeline.
    auto mic = openStream(aggregate.micSource, aggregate.micSpec, aggregate.micMap, false);
    if (!mic->running()) return mic->why();
    capture = std::move(parked_);
    capture->micSource = aggregate.micSource;
    capture->io->setMic(mic);
  } else {
    if (parked_) close(*parked_);
    parked_.reset();
    capture = std::make_unique<Capture>();
    capture->micSource = aggregate.micSource;
    capture->micSpec = aggregate.micSpec;
    capture->micMap = aggregate.micMap;
    try {
      capture->io =
          std::make_unique<pulse::AggregateIO>(aggregate.micSpec.rate, aggregate.micSpec.channels);
    } catch (const std::exception&) {
      return kAudioHardwareUnspecifiedError;
    }
    // Opened corked and started together, so that both begin at the same moment.
    auto mic = openStream(aggregate.micSource, aggregate.micSpec, aggregate.micMap, true);
    auto tap =
        mic->running() ? openTap(aggregate.tapSource, aggregate.micSpec.rate, true) : nullptr;
    if (!mic->running() || !tap->running()) {
      const OSStatus why = !mic->running() ? mic->why() : tap->why();
      mic->close();
      if (tap) tap->close();
      return why;
    }
    capture->io->setMic(mic);
    capture->io->addTap(tap);
    mic->uncork();
    tap->uncork();
  }

  auto tap = capture->io->tap();
  if (!tap || tap->ended() || tap->source() != aggregate.tapSource) {
    // Make before break: the new monitor records before the old one is closed; the timeline
    // takes the new one from where the old one ends.
    auto next = openTap(aggregate.tapSource, aggregate.micSpec.rate, false);
    if (!next->running()) {
      parked_ = std::move(capture);
      return next->why();
    }
    // The old one records on until the new one has delivered (the I/O thread then retires it).
    capture->io->addTap(next);
  }

  // Opening waited for the server, and meanwhile another thread may have destroyed the proc or
  // started it: the lock is held again.
  proc = findProc(device, procID);
  if (!proc || proc->running) {
    parked_ = std::move(capture);
    return proc ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
  }
  capture->io->start(proc->block);
  proc->running = std::move(capture);
  healerWake_.notify_all();
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  if (OSStatus refused = refusal()) return refused;
  PulseConnection::Lock lock(*connection_);
  IOProc* proc = findProc(device, procID);
  if (!proc) return kAudioHardwareBadObjectError;
  if (!proc->running) return kAudioHardwareNoError;
  // After this no call of the block runs; the streams keep capturing into their rings.
  proc->running->io->stop();
  if (parked_) close(*parked_);
  parked_ = std::move(proc->running);
  return kAudioHardwareNoError;
}

OSStatus PulseHardware::AudioDeviceDestroyIOProcID(AudioObjectID device,
                                                   AudioDeviceIOProcID procID) {
  if (OSStatus refused = refusal()) return refused;
  PulseConnection::Lock lock(*connection_);
  IOProc* proc = findProc(device, procID);
  if (!proc) return kAudioHardwareBadObjectError;
  if (proc->running) close(*proc->running);
  aggregates_.at(device).procs.erase(procID);
  return kAudioHardwareNoError;
}

// ---- Default output listener ----

OSStatus PulseHardware::AudioObjectAddPropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address,
    AudioObjectPropertyListenerBlock block) {
  if (object != kAudioObjectSystemObject) return kAudioHardwareBadObjectError;
  switch (address.mSelector) {
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultInputDevice:
    case kAudioHardwarePropertyDevices:
      break;
    default:
      return kAudioHardwareUnknownPropertyError;
  }
  if (!block) return kAudio_ParamError;
  if (OSStatus refused = refusal()) return refused;
  PulseConnection::Lock lock(*connection_);
  if (!listeners_) listeners_ = std::make_unique<pulse::ListenerThread>();
  listeners_->add(address, std::move(block));
  wantsDefaults_ = true;
  // Kept even without a server: a later connection subscribes.
  return connect() ? kAudioHardwareNoError : kAudioHardwareNotRunningError;
}

void PulseHardware::renewSubscription() {
  pa_context* context = connection_->context();
  subscribedGeneration_ = connection_->generation();
  pa_context_set_subscribe_callback(context, &onServerEvent, this);
  // Sources and sinks too: one that appears may be what a running device waits for.
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK);
  if (pa_operation* op = pa_context_subscribe(context, mask, nullptr, nullptr)) {
    pa_operation_unref(op);
  }
  // The defaults as of now, so that only real changes are reported.
  if (const auto names = pulse::defaultNames(*connection_)) defaultsMaybeChanged(*names);
}

void PulseHardware::onServerEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t,
                                  void* self) {
  auto* hardware = static_cast<PulseHardware*>(self);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  if (facility != PA_SUBSCRIPTION_EVENT_SERVER) {
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (kind == PA_SUBSCRIPTION_EVENT_NEW) hardware->healerWake_.notify_all();
    if (kind != PA_SUBSCRIPTION_EVENT_CHANGE && hardware->listeners_) {
      hardware->listeners_->notify(kAudioHardwarePropertyDevices);
    }
    return;
  }
  // The event does not say what changed: the healer asks, and compares the default sink.
  hardware->defaultCheckDue_.store(true);
  hardware->healerWake_.notify_all();
}

// Asked by the healer when a server event says something changed, and every 2 s anyway: an
// event may never come (PipeWire's pulse server now and then leaves a client's view of the
// default stale, without one). The question goes to a new client, whose view is current.
void PulseHardware::recheckDefaults() {
  const auto now = std::chrono::steady_clock::now();
  if (!wantsDefaults_ || subscribedGeneration_ != connection_->generation()) return;
  if (!defaultCheckDue_.exchange(false) && now < nextDefaultCheck_) return;
  nextDefaultCheck_ = now + std::chrono::seconds(2);
  if (const auto names = pulse::defaultNames(*connection_)) defaultsMaybeChanged(*names);
}

void PulseHardware::defaultsMaybeChanged(const pulse::Defaults& names) {
  const bool sinkChanged = defaultSink_ && *defaultSink_ != names.sink;
  const bool sourceChanged = defaultSource_ && *defaultSource_ != names.source;
  defaultSink_ = names.sink;
  defaultSource_ = names.source;
  if (!listeners_) return;
  if (sinkChanged) listeners_->notify(kAudioHardwarePropertyDefaultOutputDevice);
  if (sourceChanged) listeners_->notify(kAudioHardwarePropertyDefaultInputDevice);
}

// ---- Healing ----

void PulseHardware::heal() {
  std::unique_lock lock(healerMutex_);
  while (!healerQuit_) {
    healerWake_.wait_for(lock, std::chrono::milliseconds(250));
    if (healerQuit_) return;
    lock.unlock();
    healOnce();
    lock.lock();
  }
}

void PulseHardware::healOnce() {
  if (!connection_->usable()) return;
  PulseConnection::Lock lock(*connection_);
  recheckDefaults();
  // The first running device that lacks a stream. Copied: each wait for the server below lets
  // other threads change the devices.
  struct Need {
    AudioObjectID device = kAudioObjectUnknown;
    AudioDeviceIOProcID proc = 0;
    bool mic = false;
    Sources aggregate;
  };
  std::optional<Need> need;
  for (const auto& [id, aggregate] : aggregates_) {
    for (const auto& [procID, proc] : aggregate.procs) {
      if (proc.running) {
        for (const auto& retired : proc.running->io->takeRetired()) retired->close();
      }
      if (!proc.running || need) continue;
      const auto mic = proc.running->io->mic();
      const auto tap = proc.running->io->tap();
      if (!mic || mic->ended() || !tap || tap->ended()) {
        need = Need{id, procID, !mic || mic->ended(), aggregate.sources};
        need->aggregate = aggregate.sources;
      }
    }
  }
  if (!need || !connect()) return;
  const Sources& wanted = need->aggregate;

  std::string source;
  if (need->mic) {
    // The microphone it had, or else (unless a device was chosen) the first built-in one there
    // is now.
    const auto devices = pulse::listDevices(*connection_);
    if (!devices) return;
    for (const auto& device : *devices) {
      if (!device.isSource || device.isMonitor) continue;
      if (device.name == wanted.micSource) source = device.name;
    }
    for (const auto& device : *devices) {
      if (healWithAnotherMicrophone_ && source.empty() && device.isSource && !device.isMonitor &&
          device.transport == kAudioDeviceTransportTypeBuiltIn) {
        source = device.name;
      }
    }
  } else {
    // The monitor it had, or else the default sink's.
    const pulse::Lookup had = pulse::findDevice(*connection_, true, wanted.tapSource);
    if (!had.answered) return;
    if (had.device) {
      source = wanted.tapSource;
    } else if (const auto sinkName = pulse::defaultSinkName(*connection_)) {
      const pulse::Lookup sink = pulse::findDevice(*connection_, false, *sinkName);
      if (sink.device) source = sink.device->monitorSource;
    }
  }
  if (source.empty()) return;

  auto stream = need->mic ? openStream(source, wanted.micSpec, wanted.micMap, false)
                          : openTap(source, wanted.micSpec.rate, false);
  IOProc* proc = findProc(need->device, need->proc);
  if (!stream->running() || !proc || !proc->running) {
    stream->close();
    return;
  }
  if (need->mic) {
    proc->running->io->setMic(stream);
  } else {
    proc->running->io->addTap(stream);
  }
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
