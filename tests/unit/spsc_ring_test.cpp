// The ring between the capture threads and the I/O thread, and between the I/O thread and the
// encoder: every value comes out once and in order, across laps, full rings and taken-back
// writes; and a ring read as fast as it is written keeps to a few pages of its room.
#include "ondrelkit/spsc_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace ondrel {
namespace {

TEST(SpscRing, EveryValueComesOutOnceInOrderBetweenTwoThreads) {
  SpscRing<std::uint32_t> ring(5000);  // not a whole number of blocks
  constexpr std::uint32_t kValues = 3'000'000;
  std::thread producer([&] {
    std::mt19937 random(1);
    std::vector<std::uint32_t> values(6000);
    for (std::uint32_t next = 0; next < kValues;) {
      const auto count = std::min(std::uint32_t(random() % 6000 + 1), kValues - next);
      for (std::uint32_t i = 0; i < count; ++i) values[i] = next + i;
      next += std::uint32_t(ring.write(values.data(), count));
    }
  });
  std::mt19937 random(2);
  std::vector<std::uint32_t> values(6000);
  std::uint32_t expected = 0;
  while (expected < kValues) {
    if (const std::uint32_t* front = ring.front()) {
      ASSERT_EQ(*front, expected);
    }
    const std::size_t got = ring.peek(values.data(), random() % 6000 + 1);
    for (std::size_t i = 0; i < got; ++i) ASSERT_EQ(values[i], expected + i);
    expected += std::uint32_t(ring.skip(got));
  }
  producer.join();
  EXPECT_EQ(ring.readAvailable(), 0u);
}

TEST(SpscRing, TakenBackWritesLeaveTheRingWhole) {
  SpscRing<std::uint32_t> ring(10000);
  std::mt19937 random(3);
  std::uint32_t next = 0;  // the next value to write
  std::uint32_t expected = 0;
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint32_t> values(random() % 3000 + 1);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = next + std::uint32_t(i);
    next += std::uint32_t(ring.write(values.data(), values.size()));
    next -= std::uint32_t(ring.unwrite(random() % 3000));
    std::vector<std::uint32_t> out(random() % 3000);
    const std::size_t got = ring.read(out.data(), out.size());
    for (std::size_t i = 0; i < got; ++i) ASSERT_EQ(out[i], expected + i);
    expected += std::uint32_t(got);
  }
  // Blocks given back by unwrite() are usable again: the whole capacity still fits.
  ring.skip(ring.readAvailable());
  std::vector<std::uint32_t> full(ring.capacity() + 1, 7);
  EXPECT_EQ(ring.write(full.data(), full.size()), ring.capacity());
}

TEST(SpscRing, ARingReadAsFastAsItIsWrittenKeepsToAFewPages) {
  SpscRing<float> ring(48000 * 12);  // 12 s of audio
  std::vector<float> chunk(3840);    // 80 ms
  std::set<std::uintptr_t> pages;
  for (int i = 0; i < 12 * 5 * 3; ++i) {  // three times round
    ring.write(chunk.data(), chunk.size());
    for (std::size_t left = ring.readAvailable(); left > 0; left -= ring.skip(256)) {
      pages.insert(reinterpret_cast<std::uintptr_t>(ring.front()) / 4096);
    }
  }
  EXPECT_LE(pages.size(), 6u);
}

}  // namespace
}  // namespace ondrel
