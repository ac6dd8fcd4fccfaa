#include "ondrel/stop_line.h"

#include <gtest/gtest.h>

#include <random>

namespace ondrel {
namespace {

bool stopsOn(const std::string& input) {
  StopLineMatcher matcher;
  return matcher.feed(input.data(), input.size());
}

TEST(StopLine, OnlyTheWordAloneOnItsLineStops) {
  EXPECT_TRUE(stopsOn("stop\n"));
  EXPECT_TRUE(stopsOn("  \tstop \t \n"));
  EXPECT_TRUE(stopsOn("stop\r\n"));
  EXPECT_TRUE(stopsOn("hello\n\nstop\n"));
  EXPECT_TRUE(stopsOn("\xC2\xA0stop\xE3\x80\x80\n"));  // Unicode space separators trim too
  EXPECT_FALSE(stopsOn("STOP\n"));
  EXPECT_FALSE(stopsOn("stop now\n"));
  EXPECT_FALSE(stopsOn("\n"));
  EXPECT_FALSE(stopsOn("st\nop\n"));
  EXPECT_FALSE(stopsOn("stop"));  // not yet a line; the end of input stops anyway
  EXPECT_FALSE(stopsOn("stop\r\r\n"));
  EXPECT_FALSE(stopsOn("stop\r \n"));  // a carriage return not before the line feed is text
  EXPECT_FALSE(stopsOn("s\xC2\xA0top\n"));
  EXPECT_FALSE(stopsOn("stop\xE2\x80\n"));                      // half a separator is text
  EXPECT_FALSE(stopsOn(std::string("\xE2\x80\x00stop\n", 8)));  // not a separator at all
  EXPECT_TRUE(stopsOn("\xE2\x80\x8Astop\xE2\x81\x9F\xE1\x9A\x80\n"));
  EXPECT_TRUE(StopLineMatcher::isStopLine(" stop\r"));
  EXPECT_FALSE(StopLineMatcher::isStopLine("stop\nstop"));
}

TEST(StopLine, LinesArriveInAnyPieces) {
  StopLineMatcher matcher;
  const std::string input = "noise\nst";
  EXPECT_FALSE(matcher.feed(input.data(), input.size()));
  EXPECT_FALSE(matcher.feed("o", 1));
  EXPECT_TRUE(matcher.feed("p\r\n", 3));
}

TEST(StopLine, HugeLinesAreSkippedAndPaddedStopStillCounts) {
  EXPECT_FALSE(stopsOn(std::string(1 << 20, 'x') + "stop\n"));
  EXPECT_TRUE(stopsOn(std::string(1 << 20, 'x') + "\nstop\n"));
  EXPECT_TRUE(stopsOn(std::string(100000, ' ') + "stop" + std::string(100000, '\t') + "\n"));
  EXPECT_FALSE(stopsOn(std::string(100000, ' ') + "stop" + std::string(100000, ' ') + "x\n"));
  // Padding of every length around the terminator and multi-byte separators.
  for (std::size_t n = 50; n < 140; ++n) {
    SCOPED_TRACE(n);
    EXPECT_TRUE(stopsOn("stop" + std::string(n, ' ') + "\r\n"));
    EXPECT_TRUE(stopsOn("stop" + std::string(n, ' ') + "\xE3\x80\x80\n"));
    EXPECT_FALSE(stopsOn("stop\r" + std::string(n, ' ') + "\n"));
  }

  std::mt19937 random(7);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) {
    c = char(random() % 256);
    if (c == '\n') c = 'n';
  }
  EXPECT_FALSE(stopsOn(noise + "\n"));
}

}  // namespace
}  // namespace ondrel
