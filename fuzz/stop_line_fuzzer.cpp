// Fuzzes StopLineMatcher against a plain reference: split the stream on line feeds, drop one
// carriage return before each, trim spaces, tabs and Unicode space separators from both ends, and
// compare with "stop". The stream is fed in chunks of input-chosen sizes; the matcher must report
// the stop in the chunk holding the first stop line's line feed and never earlier.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ondrel/stop_line.h"

namespace {

[[noreturn]] void fail(const char* what, std::size_t at) {
  std::fprintf(stderr, "stop_line_fuzzer: %s (at byte %zu)\n", what, at);
  std::abort();
}

// U+0020, tab and every other Zs code point, UTF-8 encoded.
constexpr std::string_view kSpaces[] = {
    " ",
    "\t",
    "\xC2\xA0",
    "\xE1\x9A\x80",
    "\xE2\x80\x80",
    "\xE2\x80\x81",
    "\xE2\x80\x82",
    "\xE2\x80\x83",
    "\xE2\x80\x84",
    "\xE2\x80\x85",
    "\xE2\x80\x86",
    "\xE2\x80\x87",
    "\xE2\x80\x88",
    "\xE2\x80\x89",
    "\xE2\x80\x8A",
    "\xE2\x80\xAF",
    "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

bool referenceIsStop(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    for (std::string_view space : kSpaces) {
      if (line.substr(0, space.size()) == space) {
        line.remove_prefix(space.size());
        trimmed = true;
      }
      if (line.size() >= space.size() && line.substr(line.size() - space.size()) == space) {
        line.remove_suffix(space.size());
        trimmed = true;
      }
    }
  }
  return line == "stop";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // The chunk sizes come first and are few, so the stream keeps most of the input.
  std::vector<std::size_t> chunks(input.ConsumeIntegralInRange<std::size_t>(1, 8));
  for (std::size_t& chunk : chunks) chunk = input.ConsumeIntegralInRange<std::size_t>(1, 200);
  const std::string stream = input.ConsumeRemainingBytesAsString();

  // Where the first stop line ends, if there is one; every complete line also checks isStopLine.
  std::size_t stopAt = std::string::npos;
  for (std::size_t start = 0; start < stream.size();) {
    const std::size_t end = stream.find('\n', start);
    if (end == std::string::npos) break;
    const std::string line = stream.substr(start, end - start);
    const bool expected = referenceIsStop(line);
    if (ondrel::StopLineMatcher::isStopLine(line) != expected) fail("isStopLine disagrees", end);
    if (expected && stopAt == std::string::npos) stopAt = end;
    start = end + 1;
  }

  ondrel::StopLineMatcher matcher;
  std::size_t fed = 0;
  for (std::size_t k = 0; fed < stream.size(); ++k) {
    const std::size_t chunk = std::min(chunks[k % chunks.size()], stream.size() - fed);
    const bool stopped = matcher.feed(stream.data() + fed, chunk);
    const bool expected = stopAt != std::string::npos && stopAt < fed + chunk;
    if (stopped && !expected) fail("stopped without a stop line in the bytes fed", fed + chunk);
    if (!stopped && expected) fail("missed the stop line ending", stopAt);
    fed += chunk;
    if (stopped) break;
  }
  return 0;
}
