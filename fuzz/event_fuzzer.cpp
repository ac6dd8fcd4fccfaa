// Fuzzes HelperEvent::line() with arbitrary strings and numbers: the result is one line of valid
// JSON holding exactly the keys of its event type, with the values given; or, exactly when a number
// has no JSON text (NaN, infinity), the fixed fallback line.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "ondrelkit/events.h"

namespace {

using ondrel::HelperEvent;
using Json = nlohmann::json;

[[noreturn]] void fail(const char* what, const std::string& line) {
  std::fprintf(stderr, "event_fuzzer: %s\nline: %s\n", what, line.c_str());
  std::abort();
}

float floatFromBits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
double doubleFromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Strict UTF-8 (no overlongs, surrogates or code points past U+10FFFF), as JSON requires.
bool isValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
      cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      cp = b & 0x07u;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3Fu);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

void expectKeys(const Json& object, const std::set<std::string>& keys, const std::string& line) {
  std::set<std::string> got;
  for (const auto& item : object.items()) got.insert(item.key());
  if (got != keys) fail("wrong set of keys", line);
}

// A number must come back exactly, so the host sees what the tool measured.
void expectNumber(const Json& value, double expected, const std::string& line) {
  if (!value.is_number()) fail("number field is not a number", line);
  if (value.get<double>() != expected) fail("number field changed value", line);
}

void expectText(const Json& value, const std::string& expected, const std::string& line) {
  if (!value.is_string()) fail("text field is not a string", line);
  // Invalid UTF-8 may be replaced; valid text must arrive unchanged.
  if (isValidUtf8(expected) && value.get<std::string>() != expected) fail("text changed", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int kind = input.ConsumeIntegralInRange<int>(0, 3);
  const float mic = floatFromBits(input.ConsumeIntegral<std::uint32_t>());
  const float system = floatFromBits(input.ConsumeIntegral<std::uint32_t>());
  const double seconds = doubleFromBits(input.ConsumeIntegral<std::uint64_t>());
  const std::string text = input.ConsumeRemainingBytesAsString();

  HelperEvent event = HelperEvent::started();
  bool finite = true;
  switch (kind) {
    case 0:
      event = HelperEvent::level(mic, system, seconds);
      finite = std::isfinite(mic) && std::isfinite(system) && std::isfinite(seconds);
      break;
    case 1:
      event = HelperEvent::done(text, seconds);
      finite = std::isfinite(seconds);
      break;
    case 2:
      event = HelperEvent::error(text);
      break;
    default:
      break;
  }

  const std::string line = event.line();
  if (line.empty() || line.back() != '\n') fail("line does not end with a line feed", line);
  if (line.find('\n') != line.size() - 1) fail("more than one line", line);
  if (line.find('\r') != std::string::npos) fail("raw carriage return in the line", line);
  if (line == HelperEvent::kFallbackLine) {
    if (finite) fail("fallback line for a serialisable event", line);
    return 0;
  }
  if (!finite) fail("non-finite number serialised instead of the fallback", line);

  Json parsed;
  try {
    parsed = Json::parse(line);
  } catch (const Json::exception&) {
    fail("line is not valid JSON", line);
  }
  if (!parsed.is_object()) fail("line is not an object", line);
  const char* types[] = {"level", "done", "error", "started"};
  if (!parsed["type"].is_string() || parsed["type"].get<std::string>() != types[kind]) {
    fail("wrong type", line);
  }
  switch (kind) {
    case 0:
      expectKeys(parsed, {"type", "mic", "system", "t"}, line);
      // Levels print at float precision; converted back they must be the same float.
      if (!parsed["mic"].is_number() || parsed["mic"].get<float>() != mic) fail("mic level", line);
      if (!parsed["system"].is_number() || parsed["system"].get<float>() != system) {
        fail("system level", line);
      }
      expectNumber(parsed["t"], seconds, line);
      break;
    case 1:
      expectKeys(parsed, {"type", "path", "t"}, line);
      expectText(parsed["path"], text, line);
      expectNumber(parsed["t"], seconds, line);
      break;
    case 2:
      expectKeys(parsed, {"type", "message"}, line);
      expectText(parsed["message"], text, line);
      break;
    default:
      expectKeys(parsed, {"type"}, line);
      break;
  }
  return 0;
}
