#include "ondrelkit/pulse/capture_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "ondrelkit/audio_hardware.h"

namespace ondrel::pulse {
namespace {

// A recorder wants few wake-ups, not low latency: the server hands over about this much at a
// time, and the source's own latency is left as the user set it (no PA_STREAM_ADJUST_LATENCY).
constexpr pa_usec_t kFragmentUsec = 80 * PA_USEC_PER_MSEC;
// Covers a stall of the I/O thread (a disk that stops answering) of at least 10 s.
constexpr double kRingSeconds = 12.0;

double secondsNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool failed(pa_stream* stream) {
  const pa_stream_state_t state = pa_stream_get_state(stream);
  return state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

}  // namespace

CaptureStream::CaptureStream(PulseConnection& connection, std::string source,
                             const pa_sample_spec& sampleSpec, const pa_channel_map& map,
                             std::uint32_t number, bool average)
    : connection_(connection),
      source_(std::move(source)),
      spec_(sampleSpec),
      map_(map),
      number_(number),
      average_(average && sampleSpec.channels == 2),
      mean_(average_ ? kMaxChunkFrames : 0),
      samples_(std::size_t(kRingSeconds * sampleSpec.rate) * channels()),
      chunks_(std::size_t(kRingSeconds * 1000)) {}

CaptureStream::~CaptureStream() {
  close();
}

bool CaptureStream::open(bool corked) {
  stream_ = pa_stream_new(connection_.context(), source_.c_str(), &spec_, &map_);
  if (!stream_) {
    why_ = kAudioHardwareNotRunningError;
    return false;
  }
  pa_stream_set_state_callback(stream_, &onState, this);
  pa_stream_set_read_callback(stream_, &onReadable, this);
  pa_buffer_attr attr{};
  attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = std::uint32_t(-1);
  attr.fragsize = std::uint32_t(pa_usec_to_bytes(kFragmentUsec, &spec_));
  // The stream stays on its source: a change of default output builds a new monitor stream.
  auto flags = pa_stream_flags_t(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                 PA_STREAM_DONT_MOVE);
  if (corked) flags = pa_stream_flags_t(flags | PA_STREAM_START_CORKED);
  // Held across the wait, which may let another thread replace the connection's context.
  pa_context* context = pa_context_ref(connection_.context());
  const bool ready = pa_stream_connect_record(stream_, source_.c_str(), &attr, flags) == 0 &&
                     connection_.waitUntil([this] {
                       return failed(stream_) || pa_stream_get_state(stream_) == PA_STREAM_READY;
                     }) &&
                     !failed(stream_);
  const bool serverGone = !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
  const int error = pa_context_errno(context);
  pa_context_unref(context);
  if (!ready) {
    close();
    why_ = serverGone                 ? kAudioHardwareNotRunningError
           : error == PA_ERR_NOENTITY ? kAudioHardwareBadDeviceError
                                      : kAudioHardwareUnspecifiedError;
    return false;
  }
  return true;
}

void CaptureStream::uncork() {
  if (stream_) {
    if (pa_operation* op = pa_stream_cork(stream_, 0, nullptr, nullptr)) pa_operation_unref(op);
  }
}

void CaptureStream::close() {
  if (stream_) {
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    if (!failed(stream_)) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  ended_.store(true, std::memory_order_release);
}

bool CaptureStream::running() const {
  return stream_ && !failed(stream_);
}

// ---- libpulse's thread: copy and stamp, nothing else ----

void CaptureStream::onReadable(pa_stream* stream, std::size_t, void* self) {
  auto* capture = static_cast<CaptureStream*>(self);
  const std::size_t frameBytes = pa_frame_size(&capture->spec_);
  while (pa_stream_readable_size(stream) > 0) {
    capture->observe();
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    capture->deliver(static_cast<const float*>(data), bytes / frameBytes);
    pa_stream_drop(stream);
  }
}

// Two clocks make one stamp. Arrival: a stream's frames come in bursts (a graph quantum, a
// fragment), each late by some amount but never early, so the earliest that frame 0 can have
// been captured, judged from every read of the last few seconds, is steady to a millisecond.
// That misses the constant latency of the source and the transport; the server's timing reports
// give it (for a monitor, the time until the sound is heard), as their differences from the
// arrival line (see ReportedLatency). Both are published for read(), which stamps each chunk by
// them as they stand when it is read.
void CaptureStream::observe() {
  const double now = secondsNow();
  const double rate = double(spec_.rate);
  const double bytesPerSecond = double(pa_bytes_per_second(&spec_));
  const double buffered = double(pa_stream_readable_size(stream_)) / bytesPerSecond;
  // When frame 0 was captured, were the newest frame here captured just now.
  const double origin = now - buffered - double(position_) / rate;
  while (earliestCount_ > 0 &&
         earliest_[(earliestFirst_ + earliestCount_ - 1) % kWindowReads].origin >= origin) {
    --earliestCount_;
  }
  while (earliestCount_ > 0 &&
         (earliest_[earliestFirst_].at < now - kWindowSeconds || earliestCount_ == kWindowReads)) {
    earliestFirst_ = (earliestFirst_ + 1) % kWindowReads;
    --earliestCount_;
  }
  earliest_[(earliestFirst_ + earliestCount_) % kWindowReads] = Read{now, origin};
  ++earliestCount_;
  const double earliest = earliest_[earliestFirst_].origin;
  // A sudden step of the earliest arrival is the hand-over changing (a backlog drained, an
  // earliest read dropping out of the window, a new graph quantum), not the stream moving: the
  // arrival line goes on from where it was. Where the stream did move, the reports say so.
  if (position_ > 0 && std::abs(earliest - lastEarliest_) > kArrivalStep) {
    steps_ += lastEarliest_ - earliest;
  }
  lastEarliest_ = earliest;
  origin_.store(earliest + steps_, std::memory_order_relaxed);
  const double arrival = earliest + steps_ + double(position_) / rate;

  const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
  if (timing && !timing->read_index_corrupt && !timing->write_index_corrupt &&
      pa_timeval_cmp(&timing->timestamp, &lastReport_) != 0) {
    lastReport_ = timing->timestamp;
    // The report's timestamp is on the wall clock; the stamps are on the monotonic one.
    timeval wall{};
    pa_gettimeofday(&wall);
    const double age = double(pa_timeval_diff(&wall, &timing->timestamp)) / 1e6 *
                       (pa_timeval_cmp(&wall, &timing->timestamp) >= 0 ? 1 : -1);
    const double behind = double(timing->write_index - timing->read_index) / bytesPerSecond;
    const double reported = now - age - behind -
                            double(timing->source_usec + timing->transport_usec) / 1e6 +
                            double(timing->sink_usec) / 1e6;
    reports_.add(reported - arrival);
    latency_.store(reports_.latency(), std::memory_order_relaxed);
  }
  // libpulse asks for a report every 1.5 s once a stream runs; a few a second let the latency
  // settle within a second and follow a lasting change within a few.
  if (now - lastRequest_ >= kReportInterval) {
    lastRequest_ = now;
    if (pa_operation* op = pa_stream_update_timing_info(stream_, nullptr, nullptr)) {
      pa_operation_unref(op);
    }
  }
  // Settled once a second of it has been heard and reported on (a stream that takes over from
  // another is read from then on); on a server that sends no reports, a second later.
  const double heard = double(position_) / rate;
  if (heard >= kSettleSeconds &&
      (reports_.count() >= kSettleReports || heard >= 2 * kSettleSeconds)) {
    settled_.store(true, std::memory_order_release);
  }
}

void CaptureStream::deliver(const float* samples, std::size_t frames) {
  const std::size_t kept = channels();
  while (frames > 0) {
    const auto count = std::uint32_t(std::min<std::size_t>(frames, kMaxChunkFrames));
    const std::size_t values = std::size_t(count) * kept;
    const bool fits =
        chunks_.writeAvailable() > 0 && (!samples || samples_.writeAvailable() >= values);
    // What does not fit (the I/O thread stopped reading for 12 s) is lost; the stamps of what
    // follows still place it right.
    if (fits) {
      if (samples && average_) {
        // (l + r) * 0.5 is (l + r) / 2 exactly, what averaging the two channels later gives.
        for (std::uint32_t i = 0; i < count; ++i) {
          mean_[i] = (samples[2 * i] + samples[2 * i + 1]) * 0.5f;
        }
        samples_.write(mean_.data(), values);
      } else if (samples) {
        samples_.write(samples, values);
      }
      chunks_.push(Chunk{count, samples == nullptr, double(position_) / double(spec_.rate)});
    }
    position_ += count;
    if (samples) samples += std::size_t(count) * spec_.channels;
    frames -= count;
  }
}

void CaptureStream::onState(pa_stream* stream, void* self) {
  auto* capture = static_cast<CaptureStream*>(self);
  if (failed(stream)) capture->ended_.store(true, std::memory_order_release);
  capture->connection_.signal();
}

// ---- The I/O thread ----

bool CaptureStream::read(Chunk& chunk, float* samples, double before) {
  const double latency = latency_.load(std::memory_order_relaxed);
  const double origin = origin_.load(std::memory_order_relaxed);
  const Chunk* next = chunks_.front();
  if (!next || origin + next->time + latency >= before) return false;
  chunk = *next;
  chunk.time += origin + latency;
  chunk.latency = latency;
  chunks_.skip(1);
  if (!chunk.hole) samples_.read(samples, std::size_t(chunk.frames) * channels());
  return true;
}

double CaptureStream::nextTime() const {
  const Chunk* next = chunks_.front();
  return next ? origin_.load(std::memory_order_relaxed) + next->time +
                    latency_.load(std::memory_order_relaxed)
              : HUGE_VAL;
}

}  // namespace ondrel::pulse
