// The per-cycle work of the I/O callback: the microphone buffer and the system tap buffer become
// one interleaved 16-bit stereo block (microphone first, the tap's channels averaged second), with
// the peak level of each source.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ondrelkit/audio_hardware.h"

namespace ondrel {

struct ConvertedCycle {
  std::uint32_t frames = 0;
  float micPeak = 0;
  float systemPeak = 0;
};

// One float sample to 16 bits: clamped to [-1, 1] (NaN counts as 1), scaled by 32767, truncated.
inline std::int16_t sampleToInt16(float x) {
  const float clamped = x < 1.0f ? (x < -1.0f ? -1.0f : x) : 1.0f;
  return static_cast<std::int16_t>(clamped * 32767.0f);
}

// Fills `interleaved` with 2 x frames samples. Returns nothing when the cycle carries no usable
// buffers (fewer than two, or one without data). The block's storage is reused: once a cycle size
// has been seen, no cycle of that size or smaller allocates.
std::optional<ConvertedCycle> convertInput(const AudioBufferList& input,
                                           std::vector<std::int16_t>& interleaved);

}  // namespace ondrel
