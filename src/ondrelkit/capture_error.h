// The error of every audio-hardware failure.
#pragma once

#include <stdexcept>
#include <string>

#include "ondrelkit/audio_hardware.h"

namespace ondrel {

class CaptureError : public std::runtime_error {
 public:
  enum class Kind { osStatus, message };

  // A platform call failed: "<operation> failed (OSStatus <status>)".
  static CaptureError osStatus(std::string operation, OSStatus status);
  // A failure without a platform status; the text is the whole message.
  static CaptureError message(std::string text);

  Kind kind() const { return kind_; }
  const std::string& operation() const { return text_; }  // osStatus: the step
  const std::string& text() const { return text_; }       // message: the text
  OSStatus status() const { return status_; }
  const std::string& description() const { return description_; }

  friend bool operator==(const CaptureError& a, const CaptureError& b) {
    return a.kind_ == b.kind_ && a.text_ == b.text_ && a.status_ == b.status_;
  }

 private:
  CaptureError(Kind kind, std::string text, OSStatus status, std::string description);

  Kind kind_;
  std::string text_;
  OSStatus status_;
  std::string description_;
};

}  // namespace ondrel
