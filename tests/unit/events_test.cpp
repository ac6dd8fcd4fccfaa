#include "ondrelkit/events.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

namespace ondrel {
namespace {

using nlohmann::json;

// Each event is one line of JSON with exactly its keys; a number JSON has no text for gives the
// fallback line.
TEST(HelperEvent, TheLineOfEachEvent) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::string fallback = HelperEvent::kFallbackLine;
  const std::pair<HelperEvent, std::string> cases[] = {
      {HelperEvent::started(), R"({"type":"started"})"},
      {HelperEvent::level(0.1f, 1.5f, 2.25), R"({"mic":0.1,"system":1.5,"t":2.25,"type":"level"})"},
      {HelperEvent::done("/tmp/x/audio.m4a", 12.5),
       R"({"path":"/tmp/x/audio.m4a","t":12.5,"type":"done"})"},
      {HelperEvent::error("boom"), R"({"message":"boom","type":"error"})"},
      {HelperEvent::level(NAN, 0, 0), fallback},
      {HelperEvent::level(0, float(inf), 0), fallback},
      {HelperEvent::level(0, 0, -inf), fallback},
      {HelperEvent::done("/x", std::nan("")), fallback},
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

// Random events, strings made of pieces that JSON must escape or replace: each is one line of
// valid JSON with exactly its keys and the values given (text unchanged unless it was invalid
// UTF-8, then with replacement characters), or the fallback line exactly when a number has no
// JSON text.
TEST(HelperEvent, RandomEventsStayOneTrueLineOfJson) {
  const std::vector<std::string> valid = {"a",        "\"",           "\\",   "\n",
                                          "\r",       "\t",           "\x01", "\x1f\x7f",
                                          "\xC3\xA9", "\xE2\x80\xA8", "/",    "\xF0\x9F\x8E\x99"};
  const std::vector<std::string> invalid = {
      "\xFF", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"};
  std::mt19937_64 random(20240611);
  auto bits = [&](auto zero) {
    auto value = zero;
    const std::uint64_t r = random();
    std::memcpy(&value, &r, sizeof value);
    // Often a special value: NaN, infinity or a plain number.
    const decltype(zero) specials[] = {NAN, INFINITY, -INFINITY, 0.25, -0.0};
    return random() % 4 == 0 ? specials[random() % 5] : value;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    bool isValid = true;
    for (auto pieces = random() % 12; pieces > 0; --pieces) {
      const bool bad = random() % 8 == 0;
      isValid = isValid && !bad;
      text += bad ? invalid[random() % invalid.size()] : valid[random() % valid.size()];
    }
    const float mic = bits(0.0f), system = bits(0.0f);
    const double t = bits(0.0);
    const int kind = int(random() % 4);
    const HelperEvent event = kind == 0   ? HelperEvent::level(mic, system, t)
                              : kind == 1 ? HelperEvent::done(text, t)
                              : kind == 2 ? HelperEvent::error(text)
                                          : HelperEvent::started();
    const bool finite = kind == 0 ? std::isfinite(mic) && std::isfinite(system) && std::isfinite(t)
                        : kind == 1 ? std::isfinite(t)
                                    : true;
    const std::string line = event.line();
    SCOPED_TRACE(::testing::PrintToString(line));
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    ASSERT_EQ(line.find('\r'), std::string::npos);
    ASSERT_EQ(line == HelperEvent::kFallbackLine, !finite);
    if (!finite) continue;
    const json parsed = json::parse(line);
    const json::object_t object = parsed;
    const char* types[] = {"level", "done", "error", "started"};
    const std::vector<std::vector<std::string>> keys = {
        {"mic", "system", "t", "type"}, {"path", "t", "type"}, {"message", "type"}, {"type"}};
    std::vector<std::string> got;
    for (const auto& [key, value] : object) got.push_back(key);
    ASSERT_EQ(got, keys[kind]);
    ASSERT_EQ(parsed["type"], types[kind]);
    if (kind == 0) {
      ASSERT_EQ(parsed["mic"].get<float>(), mic);
      ASSERT_EQ(parsed["system"].get<float>(), system);
    }
    if (kind <= 1) {
      ASSERT_EQ(parsed["t"].get<double>(), t);
    }
    if (kind == 1 || kind == 2) {
      const std::string back = parsed[kind == 1 ? "path" : "message"];
      // Invalid bytes become replacement characters; valid text arrives unchanged.
      ASSERT_TRUE(isValid ? back == text : back.find("\xEF\xBF\xBD") != std::string::npos);
    }
  }
}

}  // namespace
}  // namespace ondrel
