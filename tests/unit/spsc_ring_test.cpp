#include "ondrelkit/spsc_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace ondrel {
namespace {

std::vector<std::uint32_t> countingFrom(std::uint32_t first, std::size_t count) {
  std::vector<std::uint32_t> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = first + std::uint32_t(i);
  return values;
}

TEST(SpscRing, EveryValueComesOutOnceInOrderBetweenTwoThreads) {
  SpscRing<std::uint32_t> ring(5000);  // not a whole number of blocks
  constexpr std::uint32_t kValues = 3'000'000;
  std::thread producer([&] {
    std::mt19937 random(1);
    for (std::uint32_t next = 0; next < kValues;) {
      const auto values =
          countingFrom(next, std::min<std::size_t>(random() % 6000 + 1, kValues - next));
      next += std::uint32_t(ring.write(values.data(), values.size()));
    }
  });
  std::mt19937 random(2);
  std::vector<std::uint32_t> values(6000);
  for (std::uint32_t expected = 0; expected < kValues;) {
    const std::uint32_t* front = ring.front();
    ASSERT_TRUE(!front || *front == expected);
    const std::size_t got = ring.peek(values.data(), random() % 6000 + 1);
    for (std::size_t i = 0; i < got; ++i) ASSERT_EQ(values[i], expected + i);
    expected += std::uint32_t(ring.skip(got));
  }
  producer.join();
}

TEST(SpscRing, TakenBackWritesLeaveTheRingWhole) {
  SpscRing<std::uint32_t> ring(10000);
  std::mt19937 random(3);
  std::uint32_t next = 0, expected = 0;
  for (int round = 0; round < 2000; ++round) {
    const auto values = countingFrom(next, random() % 3000 + 1);
    next += std::uint32_t(ring.write(values.data(), values.size()));
    next -= std::uint32_t(ring.unwrite(random() % 3000));
    std::vector<std::uint32_t> out(random() % 3000);
    const std::size_t got = ring.read(out.data(), out.size());
    for (std::size_t i = 0; i < got; ++i) ASSERT_EQ(out[i], expected + i);
    expected += std::uint32_t(got);
  }
  // Blocks given back by unwrite() serve again: the whole capacity still fits.
  ring.skip(ring.readAvailable());
  EXPECT_EQ(ring.write(countingFrom(0, 10001).data(), 10001), 10000u);
}

TEST(SpscRing, ARingReadAsFastAsItIsWrittenKeepsToAFewPages) {
  SpscRing<float> ring(48000 * 12);  // 12 s of audio, written 80 ms at a time, three times round
  const std::vector<float> chunk(3840);
  std::set<std::uintptr_t> pages;
  for (int i = 0; i < 12 * 5 * 3; ++i) {
    ring.write(chunk.data(), chunk.size());
    for (std::size_t left = ring.readAvailable(); left > 0; left -= ring.skip(256)) {
      pages.insert(reinterpret_cast<std::uintptr_t>(ring.front()) / 4096);
    }
  }
  EXPECT_LE(pages.size(), 6u);
}

}  // namespace
}  // namespace ondrel
