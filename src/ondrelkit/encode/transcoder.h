// The end of a recording: a finished WAV file turned into an M4A (AAC-LC) file.
#pragma once

#include <filesystem>

#include "ondrelkit/encode/encode_error.h"

namespace ondrel {

struct Transcoder {
  Transcoder() = delete;

  // Encodes the whole of `source` (a WAV file) as AAC-LC, 128 kb/s, stereo, at the WAV's sample
  // rate, into an M4A file at `destination`, moov atom first (not yet synced: see M4aMuxer).
  //
  // In this order: sets up the input, decoder, resampler, encoder and muxer, and throws
  // TranscodeError::exportFailed("could not create export session") if that cannot be done, with
  // nothing on disk touched. Then removes whatever exists at `destination` (a non-empty folder is
  // not removed: std::filesystem::filesystem_error). Then exports; a failure there throws
  // std::system_error in ffmpegCategory(), never
  // TranscodeError, and leaves whatever was written so far in place.
  //
  // Blocking; call it from one thread at a time per destination.
  static void wavToM4A(const std::filesystem::path& source,
                       const std::filesystem::path& destination);
};

}  // namespace ondrel
