// Fuzzes StopLineMatcher, fed whole and in pieces, against a plain reading of the lines: one CR
// before the LF dropped, spaces trimmed at both ends. The unit tests include this file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ondrel/stop_line.h"

namespace {

// Tab, U+0020 and every other Zs code point.
constexpr char32_t kSpaces[] = {0x09,   0x20,   0xA0,   0x1680, 0x2000, 0x2001,
                                0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007,
                                0x2008, 0x2009, 0x200A, 0x202F, 0x205F, 0x3000};

std::string utf8(char32_t c) {
  if (c < 0x80) return {char(c)};
  if (c < 0x800) return {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
  return {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
}

bool referenceIsStop(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  for (std::size_t before = std::string_view::npos; before != line.size();) {
    before = line.size();
    for (const char32_t c : kSpaces) {
      const std::string space = utf8(c);
      if (line.starts_with(space)) line.remove_prefix(space.size());
      if (line.ends_with(space)) line.remove_suffix(space.size());
    }
  }
  return line == "stop";
}

// The first disagreement between the matcher and the reference on this stream, or "".
std::string checkStopLine(std::string_view stream) {
  std::size_t stopAt = 0;  // the line feed of the first stop line, if there is one
  for (std::size_t start = 0; (stopAt = stream.find('\n', start)) != std::string::npos;) {
    if (referenceIsStop(stream.substr(start, stopAt - start))) break;
    start = stopAt + 1;
  }
  for (const std::size_t piece : {std::size_t(1), std::size_t(3), std::size_t(13), stream.size()}) {
    ondrel::StopLineMatcher matcher;
    for (std::size_t fed = 0; fed < stream.size(); fed += piece) {
      const std::size_t size = std::min(piece, stream.size() - fed);
      const bool stopped = matcher.feed(stream.data() + fed, size);
      if (stopped != (stopAt < fed + size)) {
        return (stopped ? "stopped early, " : "missed the stop, ") + std::to_string(piece) +
               "-byte pieces, at " + std::to_string(fed + size);
      }
      if (stopped) break;
    }
  }
  return "";
}

}  // namespace

#ifndef ONDREL_REPLAY_ONLY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string error = checkStopLine({reinterpret_cast<const char*>(data), size});
  if (!error.empty()) {
    std::fprintf(stderr, "stop_line_fuzzer: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}
#endif
