#include "ondrelkit/input_conversion.h"

#include <algorithm>
#include <cmath>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ondrel {
namespace {

// Channel counts known at compile time let the common layouts vectorise; 0 means "read at run
// time".
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

#if defined(__SSE2__)
// The common layout, mono microphone and stereo tap, four frames at a time. Every step gives the
// same values as the scalar loop: (l + r) * 0.5 equals (l + r) / 2 exactly; max(a, peak) keeps the
// peak when a is NaN; min(x, 1) turns NaN into 1.
ConvertedCycle convertMonoStereo(const float* mic, const float* system, std::uint32_t frames,
                                 std::int16_t* out) {
  const __m128 signBit = _mm_set1_ps(-0.0f);
  const __m128 one = _mm_set1_ps(1.0f);
  const __m128 minusOne = _mm_set1_ps(-1.0f);
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 scale = _mm_set1_ps(32767.0f);
  __m128 micPeaks = _mm_setzero_ps();
  __m128 systemPeaks = _mm_setzero_ps();
  std::uint32_t i = 0;
  for (; i + 4 <= frames; i += 4) {
    const __m128 m = _mm_loadu_ps(mic + i);
    const __m128 lr01 = _mm_loadu_ps(system + 2 * std::size_t(i));
    const __m128 lr23 = _mm_loadu_ps(system + 2 * std::size_t(i) + 4);
    const __m128 left = _mm_shuffle_ps(lr01, lr23, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 right = _mm_shuffle_ps(lr01, lr23, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 s = _mm_mul_ps(_mm_add_ps(left, right), half);
    micPeaks = _mm_max_ps(_mm_andnot_ps(signBit, m), micPeaks);
    systemPeaks = _mm_max_ps(_mm_andnot_ps(signBit, s), systemPeaks);
    const __m128i mi =
        _mm_cvttps_epi32(_mm_mul_ps(_mm_max_ps(_mm_min_ps(m, one), minusOne), scale));
    const __m128i si =
        _mm_cvttps_epi32(_mm_mul_ps(_mm_max_ps(_mm_min_ps(s, one), minusOne), scale));
    const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi32(mi, si), _mm_unpackhi_epi32(mi, si));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * std::size_t(i)), packed);
  }
  alignas(16) float micLanes[4];
  alignas(16) float systemLanes[4];
  _mm_store_ps(micLanes, micPeaks);
  _mm_store_ps(systemLanes, systemPeaks);
  ConvertedCycle tail = convertFrames<1, 2>(mic + i, 1, system + 2 * std::size_t(i), 2, frames - i,
                                            out + 2 * std::size_t(i));
  for (int lane = 0; lane < 4; ++lane) {
    tail.micPeak = std::max(tail.micPeak, micLanes[lane]);
    tail.systemPeak = std::max(tail.systemPeak, systemLanes[lane]);
  }
  tail.frames = frames;
  return tail;
}
#endif

}  // namespace

std::optional<ConvertedCycle> convertInput(const AudioBufferList& input,
                                           std::vector<std::int16_t>& interleaved) {
  if (input.mNumberBuffers < 2 || input.mBuffers == nullptr) return std::nullopt;
  const AudioBuffer& micBuffer = input.mBuffers[0];
  const AudioBuffer& systemBuffer = input.mBuffers[1];
  if (micBuffer.mData == nullptr || systemBuffer.mData == nullptr) return std::nullopt;

  const std::uint32_t c0 = micBuffer.mNumberChannels;
  const std::uint32_t c1 = systemBuffer.mNumberChannels;
  // In 64 bits: four bytes times a huge channel count must not wrap.
  const auto f0 = std::uint32_t(micBuffer.mDataByteSize / (4 * std::uint64_t(std::max(c0, 1u))));
  const auto f1 = std::uint32_t(systemBuffer.mDataByteSize / (4 * std::uint64_t(std::max(c1, 1u))));
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
#if defined(__SSE2__)
  if (c0 == 1 && c1 == 2) return convertMonoStereo(mic, system, n, out);
#else
  if (c0 == 1 && c1 == 2) return convertFrames<1, 2>(mic, c0, system, c1, n, out);
#endif
  if (c0 == 1 && c1 == 1) return convertFrames<1, 1>(mic, c0, system, c1, n, out);
  // A microphone that reports 0 channels is still read one sample per frame.
  return convertFrames<0, 0>(mic, std::max(c0, 1u), system, c1, n, out);
}

}  // namespace ondrel
