#include "ondrelkit/input_conversion.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace ondrel {
namespace {

// Channel counts known at compile time let the common layouts vectorise; 0 means "read at run time".
template <std::uint32_t kMicChannels, std::uint32_t kSystemChannels>
ConvertedCycle convertFrames(const float* mic, std::uint32_t micChannels, const float* system,
                             std::uint32_t systemChannels, std::uint32_t frames,
                             std::int16_t* out) {
  const std::uint32_t c0 = kMicChannels ? kMicChannels : micChannels;
  const std::uint32_t c1 = kSystemChannels ? kSystemChannels : systemChannels;
  const float divisor = float(std::max(c1, 1u));
  float micPeak = 0;
  float systemPeak = 0;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const float m = mic[std::size_t(i) * c0];
    float sum = 0.0f;
    for (std::uint32_t k = 0; k < c1; ++k) sum += system[std::size_t(i) * c1 + k];
    const float s = sum / divisor;
    // Peaks before clamping; a NaN compares false and so never changes a peak.
    const float absM = std::fabs(m);
    const float absS = std::fabs(s);
    micPeak = absM >= micPeak ? absM : micPeak;
    systemPeak = absS >= systemPeak ? absS : systemPeak;
    out[2 * std::size_t(i)] = sampleToInt16(m);
    out[2 * std::size_t(i) + 1] = sampleToInt16(s);
  }
  return {frames, micPeak, systemPeak};
}

}  // namespace

std::optional<ConvertedCycle> convertInput(const AudioBufferList& input,
                                           std::vector<std::int16_t>& interleaved) {
  if (input.mNumberBuffers < 2 || input.mBuffers == nullptr) return std::nullopt;
  const AudioBuffer& micBuffer = input.mBuffers[0];
  const AudioBuffer& systemBuffer = input.mBuffers[1];
  if (micBuffer.mData == nullptr || systemBuffer.mData == nullptr) return std::nullopt;

  const std::uint32_t c0 = micBuffer.mNumberChannels;
  const std::uint32_t c1 = systemBuffer.mNumberChannels;
  const std::uint32_t f0 = micBuffer.mDataByteSize / (4 * std::max(c0, 1u));
  const std::uint32_t f1 = systemBuffer.mDataByteSize / (4 * std::max(c1, 1u));
  const std::uint32_t n = std::min(f0, f1);

  // resize() within the capacity already held never allocates; growth only on a larger cycle.
  try {
    interleaved.resize(2 * std::size_t(n));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }

  const auto* mic = static_cast<const float*>(micBuffer.mData);
  const auto* system = static_cast<const float*>(systemBuffer.mData);
  std::int16_t* out = interleaved.data();
  if (c0 == 1 && c1 == 2) return convertFrames<1, 2>(mic, c0, system, c1, n, out);
  if (c0 == 1 && c1 == 1) return convertFrames<1, 1>(mic, c0, system, c1, n, out);
  // A microphone that reports 0 channels is still read one sample per frame.
  return convertFrames<0, 0>(mic, std::max(c0, 1u), system, c1, n, out);
}

}  // namespace ondrel
