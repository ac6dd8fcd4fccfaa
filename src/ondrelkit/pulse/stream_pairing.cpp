#include "ondrelkit/pulse/stream_pairing.h"

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

constexpr double kQueueSeconds = 2.0;
// Input is resampled in slices of at most this many frames, so the scratch buffers stay fixed.
constexpr std::size_t kSliceFrames = 4096;
// A chunk counts toward the target with at most this duration: one oversized burst must not
// inflate the latency for the rest of the recording.
constexpr double kChunkCapSeconds = 0.1;
// Scheduling jitter the target leaves room for, on top of one chunk of each stream.
constexpr double kMarginSeconds = 0.010;
// How far the level may stray from the target before silence is inserted or audio dropped.
constexpr double kBoundSeconds = 0.020;
// The level is averaged over about this long before it steers the rate...
constexpr double kSmoothingSeconds = 1.0;
// ...and over this long before a surplus counts as real, not as one late chunk of the microphone.
constexpr double kConfirmSeconds = 0.1;
// Rate control: an error of the level beyond a small dead band is worked off at a rate of one
// part in kCorrectionSeconds per second, never changing the tap's speed by more than
// kMaxCorrection (inaudible). Streams on one clock only shift in phase now and then, and within
// the dead band (just above the target) their pitch is left alone.
constexpr double kCorrectionSeconds = 5.0;
constexpr double kDeadBandSeconds = 0.005;
constexpr double kMaxCorrection = 0.005;

}  // namespace

StreamPairing::StreamPairing(std::uint32_t sampleRate, std::uint32_t channels)
    : rate_(sampleRate),
      channels_(channels),
      silence_(kSliceFrames * channels, 0.0f),
      resampled_(2 * kSliceFrames * channels, 0.0f),
      queue_(static_cast<std::size_t>(kQueueSeconds * sampleRate) * channels, 0.0f) {
  if (sampleRate == 0 || channels == 0) throw std::runtime_error("no tap format to pair");
  AVChannelLayout layout;
  av_channel_layout_default(&layout, static_cast<int>(channels));
  const int rate = static_cast<int>(sampleRate);
  if (swr_alloc_set_opts2(&resampler_, &layout, AV_SAMPLE_FMT_FLT, rate, &layout, AV_SAMPLE_FMT_FLT,
                          rate, 0, nullptr) < 0 ||
      swr_init(resampler_) < 0 ||
      // Switching compensation on builds the resampler's filter bank; do it here rather than on
      // the first cycle that needs a correction.
      swr_set_compensation(resampler_, 1, rate) < 0 ||
      swr_set_compensation(resampler_, 0, rate) < 0) {
    swr_free(&resampler_);
    throw std::runtime_error("cannot set up the tap resampler");
  }
  // The resampler sizes its scratch buffers as it converts: two full slices (the second on top of
  // what it kept of the first) reach their steady size now, so the audio thread never allocates.
  // What it keeps is silence, as is the output, so nothing needs undoing (swr_init would free the
  // buffers again).
  for (int warmUp = 0; warmUp < 2; ++warmUp) {
    const auto* in = reinterpret_cast<const std::uint8_t*>(silence_.data());
    auto* out = reinterpret_cast<std::uint8_t*>(resampled_.data());
    if (swr_convert(resampler_, &out, static_cast<int>(resampled_.size() / channels_), &in,
                    static_cast<int>(kSliceFrames)) < 0) {
      swr_free(&resampler_);
      throw std::runtime_error("cannot run the tap resampler");
    }
  }
}

StreamPairing::~StreamPairing() {
  swr_free(&resampler_);
}

void StreamPairing::push(const float* frames, std::size_t frameCount, double now) {
  if (frameCount == 0) return;
  maxTapChunk_ = std::max(maxTapChunk_,
                          std::min(frameCount, static_cast<std::size_t>(kChunkCapSeconds * rate_)));
  lastPushTime_ = now;
  pushed_ = true;

  while (frameCount > 0) {
    const std::size_t slice = std::min(frameCount, kSliceFrames);
    const auto* in = reinterpret_cast<const std::uint8_t*>(frames ? frames : silence_.data());
    auto* out = reinterpret_cast<std::uint8_t*>(resampled_.data());
    const int produced =
        swr_convert(resampler_, &out, static_cast<int>(resampled_.size() / channels_), &in,
                    static_cast<int>(slice));
    if (produced > 0) enqueue(resampled_.data(), static_cast<std::size_t>(produced));
    if (frames) frames += slice * channels_;
    frameCount -= slice;
  }
}

void StreamPairing::pull(float* out, std::size_t frameCount, double now) {
  maxMicChunk_ = std::max(maxMicChunk_,
                          std::min(frameCount, static_cast<std::size_t>(kChunkCapSeconds * rate_)));
  const double target = double(maxMicChunk_ + maxTapChunk_) + kMarginSeconds * rate_;
  const double bound = kBoundSeconds * rate_;
  const double current = level(now);

  if (!primed_) {
    // Nothing to align before the tap's first delivery; from then on the queue starts full.
    if (pushed_) {
      primed_ = true;
      smoothedLevel_ = recentLevel_ = current;
      if (current < target) shiftLevel(std::lround(target - current), now);
    }
  } else {
    const double n = double(frameCount);
    smoothedLevel_ += (current - smoothedLevel_) * std::min(1.0, n / (kSmoothingSeconds * rate_));
    recentLevel_ += (current - recentLevel_) * std::min(1.0, n / (kConfirmSeconds * rate_));
    if (current < target - bound) {
      // The tap is late or has stopped: stand in with silence at once, so that when its audio
      // comes it lines up again at the target.
      shiftLevel(std::lround(target - current), now);
    } else if (recentLevel_ > target + bound && current > target) {
      // A burst (a stall catching up): cut back to the target at once rather than lag behind.
      shiftLevel(-std::lround(current - target), now);
    }
    steerRate(smoothedLevel_ - target);
  }

  std::size_t written = 0;
  const std::size_t silent = std::min(silenceDue_, frameCount);
  std::fill_n(out, silent * channels_, 0.0f);
  silenceDue_ -= silent;
  written += silent;

  const std::size_t capacity = queue_.size() / channels_;
  std::size_t fromQueue = std::min(queuedFrames_, frameCount - written);
  while (fromQueue > 0) {
    const std::size_t run = std::min(fromQueue, capacity - queueHead_);
    std::copy_n(queue_.data() + queueHead_ * channels_, run * channels_, out + written * channels_);
    written += run;
    dropFront(run);
    fromQueue -= run;
  }

  std::fill(out + written * channels_, out + frameCount * channels_, 0.0f);
  stats_.silenceFrames += silent + (frameCount - written);
}

// Adds silence (positive) or drops audio from the front (negative).
void StreamPairing::shiftLevel(long frames, double now) {
  if (frames > 0) {
    silenceDue_ += static_cast<std::size_t>(frames);
  } else {
    auto surplus = static_cast<std::size_t>(-frames);
    const std::size_t fromSilence = std::min(surplus, silenceDue_);
    silenceDue_ -= fromSilence;
    const std::size_t fromQueue = std::min(surplus - fromSilence, queuedFrames_);
    dropFront(fromQueue);
    stats_.droppedFrames += fromQueue;
  }
  // The averages restart from the new level: what came before the jump no longer applies.
  smoothedLevel_ = recentLevel_ = level(now);
}

void StreamPairing::enqueue(const float* frames, std::size_t frameCount) {
  const std::size_t capacity = queue_.size() / channels_;
  if (frameCount > capacity) {
    stats_.overflowFrames += frameCount - capacity;
    frames += (frameCount - capacity) * channels_;
    frameCount = capacity;
  }
  if (queuedFrames_ + frameCount > capacity) {
    const std::size_t excess = queuedFrames_ + frameCount - capacity;
    stats_.overflowFrames += excess;
    dropFront(excess);
  }
  std::size_t tail = (queueHead_ + queuedFrames_) % capacity;
  while (frameCount > 0) {
    const std::size_t run = std::min(frameCount, capacity - tail);
    std::copy_n(frames, run * channels_, queue_.data() + tail * channels_);
    frames += run * channels_;
    frameCount -= run;
    queuedFrames_ += run;
    tail = (tail + run) % capacity;
  }
}

void StreamPairing::dropFront(std::size_t frameCount) {
  const std::size_t capacity = queue_.size() / channels_;
  frameCount = std::min(frameCount, queuedFrames_);
  queueHead_ = (queueHead_ + frameCount) % capacity;
  queuedFrames_ -= frameCount;
}

// Frames buffered for the microphone's next chunks: the queue, the silence still due, and what
// the tap has captured since its last delivery. Counting the last part keeps the measure from
// jumping by a chunk whenever the two streams' deliveries change order.
double StreamPairing::level(double now) const {
  double inFlight = 0.0;
  if (pushed_) {
    inFlight = std::clamp((now - lastPushTime_) * rate_, 0.0, double(maxTapChunk_));
  }
  return double(queuedFrames_ + silenceDue_) + inFlight;
}

void StreamPairing::steerRate(double error) {
  // The dead band lies above the target: below it the queue is closer to running dry.
  const double deadBand = kDeadBandSeconds * rate_;
  const double beyond = error > deadBand ? error - deadBand : std::min(error, 0.0);
  const double correction =
      std::clamp(beyond / (rate_ * kCorrectionSeconds), -kMaxCorrection, kMaxCorrection);
  // Renewed on every cycle: a compensation lapses after its distance (one second of output).
  const int rate = static_cast<int>(rate_);
  const int delta = -static_cast<int>(std::lround(correction * rate_));
  swr_set_compensation(resampler_, delta, rate);
}

}  // namespace ondrel::pulse
