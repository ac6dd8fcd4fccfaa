#include "ondrelkit/processing/echo_cancelled_input.h"

#include <utility>

namespace ondrel {

EchoCancelledInput::EchoCancelledInput(std::uint32_t rate, std::size_t maxBlockFrames)
    : canceller_(rate),
      maxFrames_(std::max<std::size_t>(maxBlockFrames, 1)),
      mic_(maxFrames_),
      system_(maxFrames_),
      cleaned_(maxFrames_),
      delay_(canceller_.latencyFrames()),
      priming_(canceller_.latencyFrames()) {
  buffers_[0] = {1, 0, cleaned_.data()};
  buffers_[1] = {1, 0, system_.data()};
}

std::optional<std::size_t> EchoCancelledInput::framesOf(
    const AudioBufferList& input) const noexcept {
  if (input.mNumberBuffers < 2 || input.mBuffers == nullptr) return std::nullopt;
  const AudioBuffer& mic = input.mBuffers[0];
  const AudioBuffer& system = input.mBuffers[1];
  if (mic.mData == nullptr || system.mData == nullptr) return std::nullopt;
  const std::uint64_t c0 = std::max(mic.mNumberChannels, 1u);
  const std::uint64_t c1 = std::max(system.mNumberChannels, 1u);
  return std::min(mic.mDataByteSize / (4 * c0), system.mDataByteSize / (4 * c1));
}

void EchoCancelledInput::gather(const AudioBufferList& input, std::size_t at,
                                std::size_t n) noexcept {
  const AudioBuffer& micBuffer = input.mBuffers[0];
  const AudioBuffer& systemBuffer = input.mBuffers[1];
  const std::size_t c0 = std::max(micBuffer.mNumberChannels, 1u);
  const std::uint32_t c1 = systemBuffer.mNumberChannels;
  const auto* mic = static_cast<const float*>(micBuffer.mData) + at * c0;
  const auto* system = static_cast<const float*>(systemBuffer.mData) + at * c1;
  // The mean exactly as convertInput takes it, so the system channel stays bit-identical.
  const float divisor = float(std::max(c1, 1u));
  for (std::size_t i = 0; i < n; ++i) {
    mic_[i] = mic[i * c0];
    float sum = 0.0f;
    for (std::uint32_t k = 0; k < c1; ++k) sum += system[i * c1 + k];
    system_[i] = sum / divisor;
  }
}

const AudioBufferList& EchoCancelledInput::run(std::size_t n) noexcept {
  canceller_.process(mic_.data(), system_.data(), cleaned_.data(), n);
  // The system channel waits as long as the canceller holds the microphone.
  for (std::size_t i = 0; i < n; ++i) {
    std::swap(system_[i], delay_[delayAt_]);
    if (++delayAt_ == delay_.size()) delayAt_ = 0;
  }
  buffers_[0].mDataByteSize = buffers_[1].mDataByteSize = std::uint32_t(n * sizeof(float));
  return block_;
}

std::size_t EchoCancelledInput::takePriming(std::size_t n) noexcept {
  const std::size_t primed = std::min(priming_, n);
  priming_ -= primed;
  return primed;
}

}  // namespace ondrel
