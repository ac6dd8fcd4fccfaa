// Finishes a recording that a killed ondrel left behind: its WAV file (sizes perhaps zero, the
// last frame perhaps torn) and the M4A file it was encoding (perhaps cut in the middle of a
// fragment). The packets already encoded are copied as they are, and only the audio the WAV file
// holds past them is encoded, spliced onto them on the encoder's own frame grid.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>

#include "ondrelkit/recording_folder.h"

namespace ondrel {

// The folder holds nothing to recover; nothing in it was touched.
class NothingToRecover : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RecoveredRecording {
  std::uint64_t frames = 0;  // the M4A file's length
  std::uint32_t sampleRate = 0;
  double seconds() const { return double(frames) / sampleRate; }
};

// Called now and then with the seconds of audio done and the total.
using RecoveryProgress = std::function<void(double done, double total)>;

// Writes `files.m4a` (published whole, as a recording's finish does), then removes the WAV file
// and the partial file. The caller holds the folder's lock. Throws NothingToRecover, or
// std::system_error / std::runtime_error when the recovery fails (the WAV file then stays).
RecoveredRecording recoverRecording(const RecordingFolder& files, const RecoveryProgress& progress);

}  // namespace ondrel
