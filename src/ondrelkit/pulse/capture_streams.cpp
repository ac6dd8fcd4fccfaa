#include "ondrelkit/pulse/capture_streams.h"

#include <algorithm>
#include <chrono>

namespace ondrel::pulse {
namespace {

constexpr std::uint32_t kTapChannels = 2;
constexpr pa_usec_t kFragmentUsec = 20 * PA_USEC_PER_MSEC;
// The block is called with at most this many frames; a larger delivery is split.
constexpr std::size_t kMaxBlockFrames = 8192;

double secondsNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::uint64_t hostTimeNow() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

bool failed(pa_stream* stream) {
  const pa_stream_state_t state = pa_stream_get_state(stream);
  return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

// Hands every readable fragment to deliver(samples or nullptr for a hole, frames).
template <typename Deliver>
void drain(pa_stream* stream, std::size_t frameBytes, Deliver deliver) {
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    deliver(static_cast<const float*>(data), bytes / frameBytes);
    pa_stream_drop(stream);
  }
}

}  // namespace

CaptureStreams::CaptureStreams(PulseConnection& connection, CaptureFormat format,
                               AudioDeviceIOBlock block)
    : connection_(connection),
      format_(std::move(format)),
      block_(std::move(block)),
      pairing_(format_.micSpec.rate, kTapChannels),
      micSilence_(kMaxBlockFrames * format_.micSpec.channels, 0.0f),
      tapChunk_(kMaxBlockFrames * kTapChannels, 0.0f) {}

CaptureStreams::~CaptureStreams() {
  close();
}

OSStatus CaptureStreams::start() {
  pa_sample_spec tapSpec{PA_SAMPLE_FLOAT32NE, format_.micSpec.rate, kTapChannels};
  pa_channel_map tapMap;
  pa_channel_map_init_stereo(&tapMap);

  mic_ = open("microphone", format_.micSource, format_.micSpec, format_.micMap, PA_STREAM_NOFLAGS,
              &onMicReadable);
  // The tap stays on the sink it was made for; a change of default sink builds a new one.
  tap_ =
      open("system audio", format_.tapSource, tapSpec, tapMap, PA_STREAM_DONT_MOVE, &onTapReadable);
  // Held across the wait, which lets another thread replace the connection's context: the
  // error is read from the context these streams belong to.
  pa_context* context = pa_context_ref(connection_.context());
  const bool ready = mic_ && tap_ && connection_.waitUntil([this] {
    return failed(mic_) || failed(tap_) ||
           (pa_stream_get_state(mic_) == PA_STREAM_READY &&
            pa_stream_get_state(tap_) == PA_STREAM_READY);
  }) && !failed(mic_) &&
                     !failed(tap_);
  const bool serverGone = !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
  const int error = pa_context_errno(context);
  pa_context_unref(context);
  if (!ready) {
    close();
    if (serverGone) return kAudioHardwareNotRunningError;
    return error == PA_ERR_NOENTITY ? kAudioHardwareBadDeviceError : kAudioHardwareUnspecifiedError;
  }
  micSourceIndex_ = pa_stream_get_device_index(mic_);
  tapSourceIndex_ = pa_stream_get_device_index(tap_);
  started_ = true;
  // Both in one hold of the lock, so the server starts them together.
  for (pa_stream* stream : {mic_, tap_}) {
    if (pa_operation* op = pa_stream_cork(stream, 0, nullptr, nullptr)) pa_operation_unref(op);
  }
  return kAudioHardwareNoError;
}

void CaptureStreams::close() {
  for (pa_stream** stream : {&mic_, &tap_}) {
    if (!*stream) continue;
    pa_stream_set_read_callback(*stream, nullptr, nullptr);
    pa_stream_set_state_callback(*stream, nullptr, nullptr);
    if (!failed(*stream)) pa_stream_disconnect(*stream);
    pa_stream_unref(*stream);
    *stream = nullptr;
  }
  started_ = false;
}

bool CaptureStreams::alive() const {
  return mic_ && tap_ && !failed(mic_) && !failed(tap_);
}

bool CaptureStreams::records(std::uint32_t sourceIndex) const {
  return started_ && (sourceIndex == micSourceIndex_ || sourceIndex == tapSourceIndex_);
}

pa_stream* CaptureStreams::open(const char* name, const std::string& device,
                                const pa_sample_spec& sampleSpec, const pa_channel_map& map,
                                pa_stream_flags_t extraFlags, pa_stream_request_cb_t onReadable) {
  pa_stream* stream = pa_stream_new(connection_.context(), name, &sampleSpec, &map);
  if (!stream) return nullptr;
  pa_stream_set_state_callback(stream, &onStreamState, this);
  pa_stream_set_read_callback(stream, onReadable, this);
  pa_buffer_attr attr{};
  attr.maxlength = std::uint32_t(-1);
  attr.tlength = attr.prebuf = attr.minreq = std::uint32_t(-1);
  attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUsec, &sampleSpec));
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED |
                                                    PA_STREAM_ADJUST_LATENCY | extraFlags);
  if (pa_stream_connect_record(stream, device.c_str(), &attr, flags) < 0) {
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_unref(stream);
    return nullptr;
  }
  return stream;
}

void CaptureStreams::deliverMic(const float* samples, std::size_t frames) {
  const std::size_t micChannels = format_.micSpec.channels;
  const double now = secondsNow();
  while (frames > 0) {
    const std::size_t count = std::min(frames, kMaxBlockFrames);
    pairing_.pull(tapChunk_.data(), count, now);

    AudioBuffer buffers[2];
    buffers[0].mNumberChannels = static_cast<std::uint32_t>(micChannels);
    buffers[0].mDataByteSize = static_cast<std::uint32_t>(count * micChannels * sizeof(float));
    buffers[0].mData = const_cast<float*>(samples ? samples : micSilence_.data());
    buffers[1].mNumberChannels = kTapChannels;
    buffers[1].mDataByteSize = static_cast<std::uint32_t>(count * kTapChannels * sizeof(float));
    buffers[1].mData = tapChunk_.data();
    const AudioBufferList input{2, buffers};
    const AudioTimeStamp time{micFramesDelivered_, hostTimeNow()};
    block_(&time, &input, &time, nullptr, &time);

    micFramesDelivered_ += double(count);
    if (samples) samples += count * micChannels;
    frames -= count;
  }
}

void CaptureStreams::onMicReadable(pa_stream* stream, std::size_t, void* self) {
  auto* streams = static_cast<CaptureStreams*>(self);
  drain(stream, pa_frame_size(&streams->format_.micSpec),
        [streams](const float* samples, std::size_t frames) {
          streams->deliverMic(samples, frames);
        });
}

void CaptureStreams::onTapReadable(pa_stream* stream, std::size_t, void* self) {
  auto* streams = static_cast<CaptureStreams*>(self);
  const double now = secondsNow();
  drain(stream, kTapChannels * sizeof(float),
        [streams, now](const float* samples, std::size_t frames) {
          streams->pairing_.push(samples, frames, now);
        });
}

void CaptureStreams::onStreamState(pa_stream* stream, void* self) {
  auto* streams = static_cast<CaptureStreams*>(self);
  streams->connection_.signal();
  // Only a stream that was recording: a failing start reports through start() instead, so a
  // rebuild that cannot start does not set off another.
  if (streams->started_ && !streams->lostReported_ && failed(stream)) {
    streams->lostReported_ = true;
    streams->connection_.reportLost();
  }
}

}  // namespace ondrel::pulse
