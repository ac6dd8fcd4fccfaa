#include "ondrelkit/events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <limits>
#include <nlohmann/json.hpp>

namespace ondrel {
namespace {

using nlohmann::json;

// Parses a line as emit() writes it: exactly one object and one trailing line feed.
json parseLine(const std::string& line) {
  EXPECT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "the event spans several lines";
  EXPECT_EQ(line.find('\r'), std::string::npos);
  return json::parse(line.substr(0, line.size() - 1));
}

TEST(HelperEvent, EachAlternativeHasExactlyItsKeys) {
  EXPECT_EQ(parseLine(HelperEvent::started().line()), json({{"type", "started"}}));
  EXPECT_EQ(parseLine(HelperEvent::level(0, 0, 0).line()),
            json({{"type", "level"}, {"mic", 0.0}, {"system", 0.0}, {"t", 0.0}}));
  EXPECT_EQ(parseLine(HelperEvent::done("/tmp/x/audio.m4a", 12.5).line()),
            json({{"type", "done"}, {"path", "/tmp/x/audio.m4a"}, {"t", 12.5}}));
  EXPECT_EQ(parseLine(HelperEvent::error("boom").line()),
            json({{"type", "error"}, {"message", "boom"}}));
}

TEST(HelperEvent, NumbersAreCompactAndLevelsPrintAsTheFloatTheyAre) {
  const std::string line = HelperEvent::level(0.1f, 1.5f, 2.25).line();
  EXPECT_NE(line.find("\"mic\":0.1,"), std::string::npos) << line;
  EXPECT_NE(line.find("\"system\":1.5"), std::string::npos) << line;
  EXPECT_EQ(line.find(' '), std::string::npos) << line;
  const json parsed = parseLine(line);
  EXPECT_EQ(float(parsed["mic"].get<double>()), 0.1f);
  EXPECT_EQ(parsed["t"].get<double>(), 2.25);
}

TEST(HelperEvent, NonFiniteNumbersGiveTheFallbackLine) {
  const std::string fallback = HelperEvent::kFallbackLine;
  EXPECT_EQ(fallback.size(), 56u);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(HelperEvent::level(nan, 0, 0).line(), fallback);
  EXPECT_EQ(HelperEvent::level(0, float(inf), 0).line(), fallback);
  EXPECT_EQ(HelperEvent::level(0, 0, -inf).line(), fallback);
  EXPECT_EQ(HelperEvent::done("/x", std::nan("")).line(), fallback);
  EXPECT_EQ(parseLine(fallback),
            json({{"type", "error"}, {"message", "event serialization failed"}}));
}

TEST(HelperEvent, HostileStringsStayOneValidLine) {
  const std::string hostile = std::string("a \"quoted\" \\ back\nline\rcr\ttab\x01\x1f end ") +
                              "\xff\xfe bad \xc3 utf8 \xe2\x82";
  for (const auto& event : {HelperEvent::error(hostile), HelperEvent::done(hostile, 1.0)}) {
    const json parsed = parseLine(event.line());
    const std::string text = parsed.contains("message") ? parsed["message"].get<std::string>()
                                                        : parsed["path"].get<std::string>();
    EXPECT_EQ(text.substr(0, 35), hostile.substr(0, 35));     // escaped, not altered
    EXPECT_NE(text.find("\xEF\xBF\xBD"), std::string::npos);  // invalid bytes replaced
  }
}

// Runs emit() with standard output redirected into a pipe and returns what arrived.
std::string captureEmits(const std::vector<HelperEvent>& events) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  for (const auto& event : events) event.emit();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    out.append(buffer, std::size_t(n));
  ::close(fds[0]);
  return out;
}

TEST(HelperEvent, EmitWritesLinesInOrderToStandardOutput) {
  const std::string out = captureEmits({HelperEvent::started(), HelperEvent::level(0.5f, 0, 0.1),
                                        HelperEvent::level(0, 0, std::nan(""))});
  EXPECT_EQ(out, HelperEvent::started().line() + HelperEvent::level(0.5f, 0, 0.1).line() +
                     HelperEvent::kFallbackLine);
}

TEST(HelperEvent, EmitToAClosedPipeIsDroppedWithoutKillingTheProcess) {
  auto previous = std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  HelperEvent::started().emit();
  HelperEvent::error(std::string(100000, 'x')).emit();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(fds[1]);
  std::signal(SIGPIPE, previous);
  SUCCEED();  // reaching here is the test: the writes failed and nothing died
}

}  // namespace
}  // namespace ondrel
