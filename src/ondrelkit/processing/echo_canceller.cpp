#include "ondrelkit/processing/echo_canceller.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace ondrel {

namespace {

constexpr std::uint32_t kBlocksPerSecond = 50;  // 20 ms: converged and reconverged fastest
constexpr double kFilterSeconds = 0.3;          // the echo's delay and most of its tail
// speex's DC notch is tuned for 12-48 kHz; elsewhere it eats into the voice band.
constexpr std::uint32_t kMinInnerRate = 12000, kMaxInnerRate = 48000;
constexpr int kResamplerQuality = 5;
constexpr float kScale = 32767.0f;

// The residual echo suppressor: speex's defaults (-40 dB alone, -15 dB under the near end's
// speech). No noise suppression: the near end is the user's to keep.
constexpr int kEchoSuppressDb = -40, kEchoSuppressActiveDb = -15, kNoiseSuppressDb = 0;

// Watchdog: the output 1 dB louder than the input for 5 blocks in a row while the far end plays
// above -50 dBFS means the filter is adding an old echo path; after a reset it keeps still for
// 2 s, the time a fresh filter needs to settle.
constexpr double kLouderRatio = 1.2589, kFarEndFloor = 1e-5;
constexpr int kLouderBlocks = 5, kHoldoffBlocks = 2 * kBlocksPerSecond;

float sanitize(float x) {
  return std::isfinite(x) ? std::clamp(x, -1.0f, 1.0f) : 0.0f;
}

std::int16_t toInt16(float x) {
  return static_cast<std::int16_t>(std::lrint(x * kScale));
}

double power(const std::int16_t* x, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += double(x[i]) * x[i];
  return sum / (double(n) * kScale * kScale);
}

SpeexResamplerState_* resampler(std::uint32_t num, std::uint32_t den, std::uint32_t in,
                                std::uint32_t out) {
  int error = 0;
  SpeexResamplerState* state =
      speex_resampler_init_frac(1, num, den, in, out, kResamplerQuality, &error);
  if (!state) throw std::runtime_error("cannot set up the echo canceller's resampler");
  return state;
}

}  // namespace

EchoCanceller::EchoCanceller(std::uint32_t rate) {
  if (rate < 4000 || rate > 384000) {
    throw std::invalid_argument("echo canceller: unsupported rate " + std::to_string(rate));
  }
  // A power of two off the microphone's rate, so the resamplers' delay is whole frames.
  std::uint32_t up = 1, down = 1;
  while (rate * up < kMinInnerRate) up *= 2;
  while (rate > kMaxInnerRate * down) down *= 2;
  innerRate_ = rate * up / down;
  block_ = std::max<std::size_t>(innerRate_ / kBlocksPerSecond, 1);
  if (up > 1) block_ = (rate / kBlocksPerSecond) * up;  // whole frames at the microphone's rate
  micBlock_.resize(block_);
  refBlock_.resize(block_);
  outBlock_.resize(block_);
  ready_.resize(block_);

  echo_ = speex_echo_state_init(int(block_), int(kFilterSeconds * innerRate_));
  pre_ = speex_preprocess_state_init(int(block_), int(innerRate_));
  if (!echo_ || !pre_) {
    release();
    throw std::runtime_error("cannot set up the echo canceller");
  }
  int value = int(innerRate_);
  speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &value);
  value = 1;
  speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_DENOISE, &value);
  value = kNoiseSuppressDb;
  speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &value);
  value = kEchoSuppressDb;
  speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, &value);
  value = kEchoSuppressActiveDb;
  speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, &value);
  speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);

  // Two blocks: one filling, one in the preprocessor's overlap.
  latency_ = 2 * block_ * down / up;
  if (up == 1 && down == 1) return;

  try {
    const std::uint32_t factor = up * down;  // one of them is 1
    for (auto*& r : toInner_) r = resampler(down, up, rate, innerRate_);
    fromInner_ = resampler(up, down, innerRate_, rate);
    slice_ = block_ * down / up;
    // The resamplers hand out up to one processing-rate frame less than a round's worth.
    prefill_ = 4 * factor;
    for (auto& v : sliceIn_) v.resize(slice_);
    for (auto& v : inner_) v.resize(slice_ * up / down + 2 * factor);
    innerOut_.resize(inner_[0].size());
    queue_.resize(prefill_ + 2 * slice_ + 4 * factor);
    latency_ += std::size_t(speex_resampler_get_input_latency(toInner_[0])) +
                std::size_t(speex_resampler_get_output_latency(fromInner_)) + prefill_;
  } catch (...) {
    release();
    throw;
  }
  queued_ = prefill_;
}

EchoCanceller::~EchoCanceller() {
  release();
}

void EchoCanceller::release() noexcept {
  for (auto*& r : toInner_) {
    if (r) speex_resampler_destroy(r);
    r = nullptr;
  }
  if (fromInner_) speex_resampler_destroy(fromInner_);
  if (pre_) speex_preprocess_state_destroy(pre_);
  if (echo_) speex_echo_state_destroy(echo_);
  fromInner_ = nullptr;
  pre_ = nullptr;
  echo_ = nullptr;
}

void EchoCanceller::process(const float* mic, const float* reference, float* cleaned,
                            std::size_t frames) noexcept {
  if (!fromInner_) {
    cancel(mic, reference, cleaned, frames);
    return;
  }
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(slice_, frames - done);
    for (std::size_t i = 0; i < n; ++i) {
      sliceIn_[0][i] = sanitize(mic[done + i]);
      sliceIn_[1][i] = reference ? sanitize(reference[done + i]) : 0.0f;
    }
    spx_uint32_t innerFrames = 0;
    for (int k = 0; k < 2; ++k) {
      spx_uint32_t in = spx_uint32_t(n), out = spx_uint32_t(inner_[k].size());
      speex_resampler_process_float(toInner_[k], 0, sliceIn_[k].data(), &in, inner_[k].data(),
                                    &out);
      innerFrames = out;  // both resamplers are alike and fed alike
    }
    cancel(inner_[0].data(), inner_[1].data(), innerOut_.data(), innerFrames);
    spx_uint32_t in = innerFrames, out = spx_uint32_t(queue_.size() - queued_);
    speex_resampler_process_float(fromInner_, 0, innerOut_.data(), &in, queue_.data() + queued_,
                                  &out);
    queued_ += out;
    const std::size_t given = std::min(n, queued_);  // always n: the prefill covers the shortfall
    std::memcpy(cleaned + done, queue_.data(), given * sizeof(float));
    std::fill(cleaned + done + given, cleaned + done + n, 0.0f);
    queued_ -= given;
    std::memmove(queue_.data(), queue_.data() + given, queued_ * sizeof(float));
    done += n;
  }
}

void EchoCanceller::cancel(const float* mic, const float* reference, float* cleaned,
                           std::size_t frames) {
  for (std::size_t i = 0; i < frames; ++i) {
    const float m = sanitize(mic[i]), r = reference ? sanitize(reference[i]) : 0.0f;
    micBlock_[pos_] = toInt16(m);
    refBlock_[pos_] = toInt16(r);
    cleaned[i] = ready_[pos_];
    if (++pos_ == block_) {
      pos_ = 0;
      runBlock();
    }
  }
}

void EchoCanceller::runBlock() {
  speex_echo_cancellation(echo_, micBlock_.data(), refBlock_.data(), outBlock_.data());
  watch();
  speex_preprocess_run(pre_, outBlock_.data());
  for (std::size_t i = 0; i < block_; ++i) ready_[i] = float(outBlock_[i]) / kScale;
}

void EchoCanceller::watch() {
  micPower_ = 0.8 * micPower_ + 0.2 * power(micBlock_.data(), block_);
  outPower_ = 0.8 * outPower_ + 0.2 * power(outBlock_.data(), block_);
  if (holdoffBlocks_ > 0) --holdoffBlocks_;
  const bool farEnd = power(refBlock_.data(), block_) > kFarEndFloor;
  if (holdoffBlocks_ > 0 || !farEnd || outPower_ <= kLouderRatio * micPower_) {
    louderBlocks_ = 0;
    return;
  }
  if (++louderBlocks_ < kLouderBlocks) return;
  speex_echo_state_reset(echo_);
  louderBlocks_ = 0;
  holdoffBlocks_ = kHoldoffBlocks;
  ++watchdogResets_;
}

void EchoCanceller::reset() noexcept {
  speex_echo_state_reset(echo_);
  // A silent block flushes the preprocessor's overlap, which still holds the old audio.
  std::fill(outBlock_.begin(), outBlock_.end(), std::int16_t(0));
  speex_preprocess_run(pre_, outBlock_.data());
  pos_ = 0;
  std::fill(ready_.begin(), ready_.end(), 0.0f);
  micPower_ = outPower_ = 0;
  louderBlocks_ = holdoffBlocks_ = 0;
  if (!fromInner_) return;
  for (auto* r : toInner_) speex_resampler_reset_mem(r);
  speex_resampler_reset_mem(fromInner_);
  std::fill(queue_.begin(), queue_.end(), 0.0f);
  queued_ = prefill_;
}

}  // namespace ondrel
