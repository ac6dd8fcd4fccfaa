// An M4A file read back through FFmpeg's own demuxer and decoder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ondrel::testing {

struct DecodedAudio {
  std::string codec;  // name and profile, e.g. "aac LC"
  std::uint32_t sampleRate = 0, channels = 0;
  std::int64_t bitRate = 0;  // the container's, bits per second
  // The length the container states, in frames (an edit list applied); -1 if it states none.
  std::int64_t statedFrames = -1;
  std::int64_t firstPts = 0;   // of the first packet, in frames: below 0 when priming is hidden
  std::vector<float> samples;  // interleaved, full scale -1..1

  std::size_t frames() const { return channels ? samples.size() / channels : 0; }
  // The amplitude of a sine of about `frequency` in a channel over [from, to) seconds.
  double toneAmplitude(std::uint32_t channel, double frequency, double from, double to) const;
};

DecodedAudio decodeAudio(const std::filesystem::path& file);

}  // namespace ondrel::testing
