// The end of a recording: a finished WAV file turned into an M4A (AAC-LC) file.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace ondrel {

class TranscodeError : public std::runtime_error {
 public:
  enum class Kind { exportFailed };

  // No export could be set up for the source; nothing on disk was touched.
  static TranscodeError exportFailed(std::string message);

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  friend bool operator==(const TranscodeError& a, const TranscodeError& b) {
    return a.kind_ == b.kind_ && a.message_ == b.message_;
  }

 private:
  TranscodeError(Kind kind, std::string message);

  Kind kind_;
  std::string message_;
};

// The category of the errors an export passes on: a code is an FFmpeg AVERROR value and its message
// is FFmpeg's own text. Codes that wrap an errno compare equal to the matching std::errc.
const std::error_category& ffmpegCategory();

struct Transcoder {
  Transcoder() = delete;

  // Encodes the whole of `source` (a WAV file) as AAC-LC, 128 kb/s, stereo, at the WAV's sample
  // rate, into an M4A file at `destination`, moov atom first, synced to disk before it returns.
  //
  // In this order: sets up the input, decoder, resampler, encoder and muxer, and throws
  // TranscodeError::exportFailed("could not create export session") if that cannot be done, with
  // nothing on disk touched. Then removes whatever exists at `destination` (a non-empty folder is
  // not removed: std::filesystem::filesystem_error). Then exports; a failure there throws
  // std::system_error in ffmpegCategory() (or another std::system_error from the final sync), never
  // TranscodeError, and leaves whatever was written so far in place.
  //
  // Blocking; call it from one thread at a time per destination.
  static void wavToM4A(const std::filesystem::path& source,
                       const std::filesystem::path& destination);
};

}  // namespace ondrel
