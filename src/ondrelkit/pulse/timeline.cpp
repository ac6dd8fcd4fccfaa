#include "ondrelkit/pulse/timeline.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace ondrel::pulse {
namespace {

// Room for each queue: the wait, one slice, and a monitor's lead (its audio is stamped with
// when it is heard, up to a sink's latency of about 2 s ahead of the microphone's).
constexpr double kQueueSeconds = 6.0;
// Input is resampled in slices of at most this many frames, so the scratch buffers stay fixed.
constexpr std::size_t kSliceFrames = 4096;
// A microphone chunk this much later than its stretch's clock says is a real gap (frames lost
// before they reached us): silence stands in for it. Stamps scatter far less than this.
constexpr double kMicGapSeconds = 0.05;
// A tap chunk whose place leaps this far is placed afresh (by more than gapFrames()); a smaller
// misplacement the resampler works off over kCorrectionSeconds.
constexpr double kTapJumpSeconds = 0.02;
constexpr double kCorrectionSeconds = 4.0;
// Within this the tap counts as in place: stamps are not exact enough to steer by less.
constexpr double kDeadBandSeconds = 0.0005;
constexpr double kErrorSmoothingSeconds = 1.0;
// Real clocks are apart by well under this.
constexpr double kMaxDrift = 0.006;
// The most the correction of a misplacement changes the tap's speed: 1.7 cents.
constexpr double kMaxPull = 0.001;

}  // namespace

Timeline::Timeline(std::uint32_t rate, std::uint32_t micChannels, double start)
    : rate_(rate),
      micChannels_(micChannels),
      micQueue_(std::size_t(kQueueSeconds * rate) * std::max(micChannels, 1u)),
      micClock_(rate > 0 ? rate : 1),
      anchorTime_(start),
      tapQueue_(std::size_t(kQueueSeconds * rate)),
      tapClock_(rate > 0 ? rate : 1),
      zeros_(kSliceFrames * std::max(micChannels, 1u), 0.0f),
      resampled_(2 * kSliceFrames, 0.0f) {
  if (rate == 0 || micChannels == 0) throw std::runtime_error("no format to record");
  AVChannelLayout layout;
  av_channel_layout_default(&layout, 1);
  const int r = int(rate);
  if (swr_alloc_set_opts2(&resampler_, &layout, AV_SAMPLE_FMT_FLT, r, &layout, AV_SAMPLE_FMT_FLT, r,
                          0, nullptr) < 0 ||
      swr_init(resampler_) < 0 ||
      // Switching compensation on builds the filter bank: here, not on the I/O thread.
      swr_set_compensation(resampler_, 1, r) < 0 || swr_set_compensation(resampler_, 0, r) < 0) {
    swr_free(&resampler_);
    throw std::runtime_error("cannot set up the tap resampler");
  }
  // Two full slices bring the resampler's scratch buffers to their steady size; what it keeps
  // of them is silence, which is what the tap starts with anyway.
  for (int warmUp = 0; warmUp < 2; ++warmUp) {
    const auto* in = reinterpret_cast<const std::uint8_t*>(zeros_.data());
    auto* out = reinterpret_cast<std::uint8_t*>(resampled_.data());
    if (swr_convert(resampler_, &out, int(resampled_.size()), &in, int(kSliceFrames)) < 0) {
      swr_free(&resampler_);
      throw std::runtime_error("cannot run the tap resampler");
    }
  }
  swr_drop_output(resampler_, int(swr_get_delay(resampler_, rate)));
  swr_set_compensation(resampler_, 0, r);
}

Timeline::~Timeline() {
  swr_free(&resampler_);
}

// How far a chunk's stamp may stray before it counts as a gap: servers that deliver in large
// quanta stamp them with an error of up to about a quantum.
double Timeline::gapFrames(std::size_t chunkFrames, double seconds) const {
  return std::max(seconds * double(rate_), 1.5 * double(chunkFrames));
}

double Timeline::frameAt(double time) const {
  if (micPresent_ && !micClock_.empty()) return double(micSegment_) + micClock_.positionAt(time);
  return anchorFrame_ + (time - anchorTime_) * double(rate_);
}

// ---- Microphone ----

void Timeline::pushMic(const float* samples, std::size_t frames, double time, double latency) {
  if (frames == 0) return;
  const std::uint64_t end = micEnd();
  const double target = frameAt(time);
  const bool contiguous = micPresent_ && !micClock_.empty() &&
                          double(micSegment_) + micFed_ == double(end) &&
                          target - double(end) > -gapFrames(frames, kMicGapSeconds);
  if (!contiguous) {
    // A new stretch: at its capture time, but never over audio already placed or given out
    // (a microphone frame is never dropped).
    const double wanted = std::round(target);
    const std::uint64_t at = wanted > double(end) ? std::uint64_t(wanted) : end;
    padMic(at - end);
    micSegment_ = at;
    micFed_ = 0;
    micClock_.reset();
  } else if (const double gap = target - double(end); gap > gapFrames(frames, kMicGapSeconds)) {
    const auto missing = std::uint64_t(std::llround(gap));
    padMic(missing);
    micFed_ += double(missing);
  }
  micPresent_ = true;
  micClock_.add(micFed_, time, latency);
  const std::size_t width = micChannels_;
  std::size_t written = 0;
  while (written < frames) {
    const std::size_t slice = std::min(frames - written, kSliceFrames);
    const float* from = samples ? samples + written * width : zeros_.data();
    micQueue_.write(from, slice * width);
    written += slice;
  }
  micFed_ += double(frames);
}

void Timeline::micGone() {
  if (micPresent_ && !micClock_.empty()) {
    anchorFrame_ = double(micSegment_) + micFed_;
    anchorTime_ = micClock_.timeAt(micFed_);
  }
  micPresent_ = false;
  micClock_.reset();
}

void Timeline::padMic(std::uint64_t frames) {
  stats_.micSilenceFrames += frames;
  pad(micQueue_, micChannels_, frames);
}

void Timeline::pad(SpscRing<float>& queue, std::size_t channels, std::uint64_t frames) {
  while (frames > 0) {
    const std::size_t slice = std::size_t(std::min<std::uint64_t>(frames, kSliceFrames));
    queue.write(zeros_.data(), slice * channels);
    frames -= slice;
  }
}

// ---- Tap ----

void Timeline::pushTap(std::uint32_t stream, const float* samples, std::size_t frames, double time,
                       double latency) {
  // A newer stream has taken over from this one.
  if (frames == 0 || (tapPresent_ && stream < tapStream_)) return;
  const bool takeover = tapPlaced_ && stream > tapStream_;
  if (stream != tapStream_ || !tapPresent_) {
    tapStream_ = stream;
    tapPlaced_ = false;
    tapClock_.reset();
    tapPosition_ = 0;
  }
  tapPresent_ = true;
  const std::size_t delivered = frames;

  // Where the chunk's first frame would come out of the resampler, against where it belongs.
  const double lands = double(tapEnd()) + double(swr_get_delay(resampler_, rate_));
  const double error = frameAt(time) - lands;
  bool place = !tapPlaced_;
  double fitted = 0;
  if (!place) {
    // Single stamps scatter by milliseconds (and some servers' in a sawtooth); the stream's
    // fitted clock does not, and only it steers the resampler.
    tapClock_.add(tapPosition_, time, latency);
    fitted = frameAt(tapClock_.timeAt(tapPosition_)) - lands;
    // Placed afresh where its place leaps from one chunk to the next: a hole, a stall, the
    // microphone's timeline moved. A change of the reported latency does not count: the reports
    // move in steps, and now and then by tens of milliseconds for a few seconds, so what they
    // change is pulled in, never cut or padded.
    const double moved = (latency - tapLatency_) * double(rate_);
    place = std::abs(fitted - lastFitted_ - moved) > gapFrames(frames, kTapJumpSeconds);
  }
  tapLatency_ = latency;
  if (place) {
    if (error > 0) {
      padTap(std::uint64_t(std::llround(error)));
    } else {
      // It belongs before audio already placed. A new monitor stream overlaps the old one's last
      // audio: the new one is what is heard from its first frame on, so the old one's tail goes
      // where it has not gone out yet. What is left of the overlap is dropped from its head.
      const auto overlap = std::size_t(std::round(-error));
      const std::size_t cut = takeover ? tapQueue_.unwrite(overlap) : 0;
      const std::size_t late = std::min(overlap - cut, frames);
      stats_.tapDroppedFrames += cut + late;
      if (samples) samples += late;
      frames -= late;
      if (frames == 0) {
        // Wholly overlapped: the next chunk is placed, with what is left of the overlap.
        tapPlaced_ = false;
        return;
      }
    }
    tapPlaced_ = true;
    tapError_ = 0;
    // The stream's clock starts afresh after a jump: what it lost is not its clock running slow.
    tapClock_.reset();
    tapPosition_ = 0;
    tapClock_.add(0, time, latency);
    lastFitted_ = 0;
  } else {
    lastFitted_ = fitted;
    const double weight = std::min(1.0, double(frames) / (kErrorSmoothingSeconds * rate_));
    tapError_ += (fitted - tapError_) * weight;
  }
  tapPosition_ += double(delivered);
  feedTap(samples, frames);
  steer();
}

void Timeline::tapGone() {
  tapPresent_ = false;
  tapPlaced_ = false;
}

void Timeline::padTap(std::uint64_t frames) {
  stats_.tapSilenceFrames += frames;
  pad(tapQueue_, 1, frames);
}

void Timeline::feedTap(const float* samples, std::size_t frames) {
  while (frames > 0) {
    const std::size_t slice = std::min(frames, kSliceFrames);
    const auto* in = reinterpret_cast<const std::uint8_t*>(samples ? samples : zeros_.data());
    auto* out = reinterpret_cast<std::uint8_t*>(resampled_.data());
    const int produced = swr_convert(resampler_, &out, int(resampled_.size()), &in, int(slice));
    if (produced > 0) tapQueue_.write(resampled_.data(), std::size_t(produced));
    if (samples) samples += slice;
    frames -= slice;
  }
}

// The tap's speed: the two clocks' measured rates, plus a slow pull toward where its stamps say
// it belongs. Renewed on every chunk, as a compensation lapses after its distance.
void Timeline::steer() {
  const double nominal = 1.0 / double(rate_);
  const double master = micPresent_ && micClock_.settled() ? micClock_.period() : nominal;
  const double tap = tapClock_.settled() ? tapClock_.period() : nominal;
  const double band = kDeadBandSeconds * double(rate_);
  const double error = tapError_ > band    ? tapError_ - band
                       : tapError_ < -band ? tapError_ + band
                                           : 0;
  // The clocks' rates come from long fits and cover real drift; what is left is worked off
  // slowly, so that a shift in the stamps never bends the pitch audibly.
  const double drift = std::clamp(tap / master - 1.0, -kMaxDrift, kMaxDrift);
  const double pull = std::clamp(error / (double(rate_) * kCorrectionSeconds), -kMaxPull, kMaxPull);
  const double correction = drift + pull;
  compensation_ = int(std::lround(correction * double(rate_)));
  swr_set_compensation(resampler_, compensation_, int(rate_));
}

// ---- Output ----

std::size_t Timeline::render(double now, float* mic, float* tap, std::size_t maxFrames) {
  const std::size_t micQueued = micQueue_.readAvailable() / micChannels_;
  const std::size_t tapQueued = tapQueue_.readAvailable();
  // Ready: what every source that is there has delivered; due: what is too old to wait for.
  std::uint64_t ready = out_;
  if (micPresent_ || tapPresent_) {
    ready = UINT64_MAX;
    if (micPresent_) ready = std::min<std::uint64_t>(ready, out_ + micQueued);
    if (tapPresent_) ready = std::min<std::uint64_t>(ready, out_ + tapQueued);
  }
  const double due = std::floor(frameAt(now - kMaxWaitSeconds));
  if (due > double(ready)) ready = std::uint64_t(due);
  if (ready <= out_) return 0;
  const std::size_t frames = std::size_t(std::min<std::uint64_t>(ready - out_, maxFrames));

  const std::size_t fromMic = std::min(frames, micQueued);
  micQueue_.read(mic, fromMic * micChannels_);
  std::fill(mic + fromMic * micChannels_, mic + frames * micChannels_, 0.0f);
  const std::size_t fromTap = std::min(frames, tapQueued);
  tapQueue_.read(tap, fromTap);
  std::fill(tap + fromTap, tap + frames, 0.0f);
  // The one channel kept of the tap goes out in both (from the back, so nothing is overwritten
  // before it is read).
  for (std::size_t i = frames; i-- > 0;) tap[2 * i] = tap[2 * i + 1] = tap[i];
  stats_.micSilenceFrames += frames - fromMic;
  stats_.tapSilenceFrames += frames - fromTap;
  out_ += frames;
  return frames;
}

}  // namespace ondrel::pulse
