#include "ondrelkit/encode/encode_error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace ondrel {

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

TranscodeError::TranscodeError(Kind kind, std::string message)
    : std::runtime_error("exportFailed(\"" + escaped(message) + "\")"),
      kind_(kind),
      message_(std::move(message)) {}

TranscodeError TranscodeError::exportFailed(std::string message) {
  return TranscodeError(Kind::exportFailed, std::move(message));
}

namespace {

class FfmpegCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "ffmpeg"; }

  std::string message(int code) const override {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
  }

  // AVERROR(e) is -e: let such codes compare equal to std::errc values.
  std::error_condition default_error_condition(int code) const noexcept override {
    if (code < 0 && code > -4096) return {-code, std::generic_category()};
    return {code, *this};
  }
};

}  // namespace

const std::error_category& ffmpegCategory() {
  static const FfmpegCategory category;
  return category;
}

}  // namespace ondrel
