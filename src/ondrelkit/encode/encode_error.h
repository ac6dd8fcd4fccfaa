// The errors every part of the encoding shares: TranscodeError for an export that cannot be set
// up, and the category of FFmpeg's own error codes.
#pragma once

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

}  // namespace ondrel
