// An audio file read back through FFmpeg's own decoders, and the measures the backend tests take
// of it: the amplitude of a tone in a stretch of one channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ondrel::testing {

struct DecodedAudio {
  std::uint32_t sampleRate = 0;
  std::uint32_t channels = 0;
  std::vector<float> samples;  // interleaved, full scale -1..1
  // The length the container states, in frames (an M4A's edit list applied); -1 if it states none.
  std::int64_t statedFrames = -1;
  std::string codec;          // name and profile, e.g. "aac LC"
  std::int64_t bitRate = 0;   // the container's, bits per second
  std::int64_t firstPts = 0;  // of the first packet, in frames: below 0 when priming is hidden

  std::size_t frames() const { return channels ? samples.size() / channels : 0; }
  // The amplitude of a sine of `frequency` (within a few hertz) in channel `channel` over
  // [from, to) seconds; 0 for less than 100 ms.
  double toneAmplitude(std::uint32_t channel, double frequency, double from, double to) const;
};

// Throws std::runtime_error when the file cannot be opened or decoded.
DecodedAudio decodeAudio(const std::filesystem::path& file);

}  // namespace ondrel::testing
