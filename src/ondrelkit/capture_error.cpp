#include "ondrelkit/capture_error.h"

namespace ondrel {

CaptureError::CaptureError(Kind kind, std::string text, OSStatus status, std::string description)
    : std::runtime_error(description),
      kind_(kind),
      text_(std::move(text)),
      status_(status),
      description_(std::move(description)) {}

CaptureError CaptureError::osStatus(std::string operation, OSStatus status) {
  std::string description = operation + " failed (OSStatus " + std::to_string(status) + ")";
  return CaptureError(Kind::osStatus, std::move(operation), status, std::move(description));
}

CaptureError CaptureError::message(std::string text) {
  std::string description = text;
  return CaptureError(Kind::message, std::move(text), 0, std::move(description));
}

}  // namespace ondrel
