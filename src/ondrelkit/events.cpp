#include "ondrelkit/events.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace ondrel {
namespace {

// The double whose shortest text is the float's shortest text, so a level prints as 0.1 and not as
// the float's exact binary value 0.10000000149011612.
double shortestDouble(float value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text - 1, value);
  *result.ptr = '\0';
  return std::strtod(text, nullptr);
}

struct Serialisable {
  nlohmann::json object;
  bool finite = true;
};

Serialisable toJson(const HelperEvent::Level& e) {
  return {{{"type", "level"},
           {"mic", shortestDouble(e.mic)},
           {"system", shortestDouble(e.system)},
           {"t", e.seconds}},
          std::isfinite(e.mic) && std::isfinite(e.system) && std::isfinite(e.seconds)};
}
Serialisable toJson(const HelperEvent::Done& e) {
  return {{{"type", "done"}, {"path", e.path}, {"t", e.seconds}}, std::isfinite(e.seconds)};
}
Serialisable toJson(const HelperEvent::Error& e) {
  return {{{"type", "error"}, {"message", e.message}}};
}
Serialisable toJson(const HelperEvent::Started&) {
  return {{{"type", "started"}}};
}
Serialisable toJson(const HelperEvent::Device& e) {
  return {{{"type", "device"},
           {"kind", e.input ? "input" : "output"},
           {"id", e.id},
           {"name", e.name},
           {"builtIn", e.builtIn},
           {"default", e.isDefault},
           {"rate", e.rate},
           {"channels", e.channels}}};
}
Serialisable toJson(const HelperEvent::Progress& e) {
  return {{{"type", "progress"}, {"done", e.done}, {"total", e.total}},
          std::isfinite(e.done) && std::isfinite(e.total)};
}

}  // namespace

std::string HelperEvent::line() const {
  try {
    Serialisable s = std::visit([](const auto& e) { return toJson(e); }, value_);
    // JSON has no text for NaN or infinity: that is a serialisation failure, not a null.
    if (!s.finite) return kFallbackLine;
    // Invalid UTF-8 in a path or message is replaced, so the line stays valid JSON.
    std::string text = s.object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text.push_back('\n');
    return text;
  } catch (const std::exception&) {
    return kFallbackLine;
  }
}

void HelperEvent::emit() const {
  (void)writeAll(STDOUT_FILENO, line());
}

bool writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= std::size_t(n);
  }
  return true;
}

}  // namespace ondrel
