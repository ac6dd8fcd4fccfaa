#include "ondrelkit/events.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

namespace ondrel {
namespace {

using nlohmann::json;

// One line of JSON each: levels in the float's shortest text, invalid UTF-8 replaced, and the
// fallback line for a number JSON has no text for.
TEST(HelperEvent, TheLineOfEachEvent) {
  const std::string fallback = HelperEvent::kFallbackLine;
  const std::pair<HelperEvent, std::string> cases[] = {
      {HelperEvent::started(), R"({"type":"started"})"},
      {HelperEvent::level(0.1f, 1.5f, 2.25), R"({"mic":0.1,"system":1.5,"t":2.25,"type":"level"})"},
      {HelperEvent::level(1.17549435e-38f, -3.40282347e+38f, 5e-324),
       R"({"mic":1.1754944e-38,"system":-3.4028235e+38,"t":5e-324,"type":"level"})"},
      {HelperEvent::done("/tmp/x/audio.m4a", 12.5),
       R"({"path":"/tmp/x/audio.m4a","t":12.5,"type":"done"})"},
      {HelperEvent::done("a\"b\\c\nd\r\t\x01\x7f/\xC3\xA9\xE2\x80\xA8\xF0\x9F\x8E\x99", 0),
       R"({"path":"a\"b\\c\nd\r\t\u0001\u007f/\u00e9\u2028\ud83c\udf99","t":0,"type":"done"})"},
      {HelperEvent::error("boom"), R"({"message":"boom","type":"error"})"},
      {HelperEvent::error("bad \xFF, \xC3, \xED\xA0\x80 end"),
       R"({"message":"bad \ufffd, \ufffd, \ufffd\ufffd\ufffd end","type":"error"})"},
      {HelperEvent::level(NAN, 0, 0), fallback},
      {HelperEvent::level(0, INFINITY, 0), fallback},
      {HelperEvent::level(0, 0, -INFINITY), fallback},
      {HelperEvent::done("/x", NAN), fallback},
  };
  for (const auto& [event, expected] : cases) {
    const std::string line = event.line();
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    EXPECT_EQ(json::parse(line), json::parse(expected)) << line;
    EXPECT_EQ(line == fallback, expected == fallback) << line;
  }
  EXPECT_EQ(json::parse(fallback),
            json::parse(R"({"type":"error","message":"event serialization failed"})"));
}

}  // namespace
}  // namespace ondrel
