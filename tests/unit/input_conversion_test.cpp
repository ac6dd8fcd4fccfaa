#include "ondrelkit/input_conversion.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

// Counts heap allocations made on the current thread, to prove the steady-state cycle allocates
// nothing.
namespace {
thread_local std::size_t allocations = 0;
}
// GCC cannot see that these replacements pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace ondrel {
namespace {

// Two buffers as the aggregate device delivers them: microphone, then tap.
struct Cycle {
  std::vector<float> mic;
  std::vector<float> system;
  std::uint32_t micChannels = 1;
  std::uint32_t systemChannels = 2;
  AudioBuffer buffers[2];
  AudioBufferList list;

  const AudioBufferList& bufferList() {
    buffers[0] = {micChannels, std::uint32_t(mic.size() * 4), mic.data()};
    buffers[1] = {systemChannels, std::uint32_t(system.size() * 4), system.data()};
    list = {2, buffers};
    return list;
  }
};

Cycle monoMicStereoTap(std::uint32_t frames) {
  Cycle c;
  c.mic.assign(frames, 0.0f);
  c.system.assign(2 * std::size_t(frames), 0.0f);
  return c;
}

// Each layout the devices deliver: interleaving with the tap's channels averaged, a shorter buffer
// or a ragged byte count setting the frame count, a zero-channel tap, a stereo microphone, odd and
// huge channel counts; peaks taken before clamping, never from a NaN.
TEST(InputConversion, EveryLayoutBecomesMicThenDownMixedSystem) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float third = (((0.0f + 0.3f) + 0.3f) + 0.3f) / 3.0f;
  const struct {
    std::uint32_t micChannels;
    std::vector<float> mic;
    std::uint32_t systemChannels;
    std::vector<float> system;
    std::vector<std::int16_t> out;
    float micPeak, systemPeak;
    std::uint32_t micBytes = 0;  // 0: the vector's size
  } cases[] = {
      {1,
       {1.5f, -0.5f, nan, 0.1f},
       2,
       {0.5f, 0.25f, 0.5f, -0.5f, -0.25f, -0.25f, 0.0f, 0.0f},
       {32767, 12287, -16383, 0, 32767, -8191, 3276, 0},
       1.5f,
       0.375f},
      {1, {-2.0f, nan}, 2, {-4.0f, 0.0f, nan, 0.0f}, {-32767, -32767, 32767, 32767}, 2.0f, 2.0f},
      {1,
       {0.5f, 0.5f},
       2,
       {0.25f, 0.25f, 0.25f, 0.25f, 0.9f, 0.9f},
       {16383, 8191, 16383, 8191},
       0.5f,
       0.25f},
      {1, {0.5f, 0.5f, 0.5f}, 2, std::vector<float>(6, 0.1f), {16383, 3276}, 0.5f, 0.1f, 7},
      {1, {0.9f, 0.9f}, 2, {0.9f, 0.9f, 0.9f, 0.9f}, {}, 0.0f, 0.0f, 3},
      {1, {0.5f, 0.5f, 0.5f}, 0, {0.9f, 0.9f, 0.9f}, {16383, 0, 16383, 0, 16383, 0}, 0.5f, 0.0f},
      {2,
       {0.5f, 1.0f, -0.25f, -1.0f},
       2,
       {0.0f, 0.0f, 0.0f, 0.0f},
       {16383, 0, -8191, 0},
       0.5f,
       0.0f},
      {1, {0.0f}, 3, {0.3f, 0.3f, 0.3f}, {0, std::int16_t(third * 32767.0f)}, 0.0f, third},
      {0x40000000u, std::vector<float>(16, 0.5f), 2, std::vector<float>(16, 0.5f), {}, 0, 0},
      {1, std::vector<float>(16, 0.5f), 0xFFFFFFFFu, std::vector<float>(16, 0.5f), {}, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.out));
    Cycle cycle;
    cycle.mic = c.mic;
    cycle.system = c.system;
    cycle.micChannels = c.micChannels;
    cycle.systemChannels = c.systemChannels;
    cycle.bufferList();
    if (c.micBytes) cycle.buffers[0].mDataByteSize = c.micBytes;
    std::vector<std::int16_t> out;
    const auto converted = convertInput(cycle.list, out);
    ASSERT_TRUE(converted);
    EXPECT_EQ(converted->frames, c.out.size() / 2);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(converted->micPeak, c.micPeak);
    EXPECT_EQ(converted->systemPeak, c.systemPeak);
  }
}

TEST(InputConversion, SkipsCyclesWithoutTwoUsableBuffers) {
  Cycle c = monoMicStereoTap(8);
  std::vector<std::int16_t> out;
  AudioBufferList list = c.bufferList();
  list.mNumberBuffers = 1;
  EXPECT_FALSE(convertInput(list, out));
  list.mNumberBuffers = 2;
  c.buffers[1].mData = nullptr;
  EXPECT_FALSE(convertInput(list, out));
  c.buffers[1].mData = c.system.data();
  c.buffers[0].mData = nullptr;
  EXPECT_FALSE(convertInput(list, out));
  list.mBuffers = nullptr;
  EXPECT_FALSE(convertInput(list, out));
}

// The common layout takes a vectorised path: it must agree with the plain arithmetic sample for
// sample, NaN, infinities, signed zeros and out-of-range values included.
TEST(InputConversion, MonoStereoFastPathAgreesWithThePlainArithmetic) {
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed;
  };
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            -0.0f,
                            1.0f,
                            -1.0f,
                            3.0f,
                            -7.5f,
                            1e-42f,
                            0.99999994f};
  auto value = [&] {
    const std::uint32_t r = next();
    if (r % 7 == 0) return specials[(r >> 8) % 10];
    return (float(r >> 8) / float(1u << 24)) * 2.4f - 1.2f;
  };
  for (std::uint32_t frames : {1u, 3u, 4u, 5u, 511u, 512u, 1023u}) {
    Cycle c = monoMicStereoTap(frames);
    for (float& x : c.mic) x = value();
    for (float& x : c.system) x = value();
    std::vector<std::int16_t> out;
    auto cycle = convertInput(c.bufferList(), out);
    ASSERT_TRUE(cycle);
    float micPeak = 0, systemPeak = 0;
    for (std::uint32_t i = 0; i < frames; ++i) {
      const float m = c.mic[i];
      const float s = ((0.0f + c.system[2 * i]) + c.system[2 * i + 1]) / 2.0f;
      ASSERT_EQ(out[2 * i], sampleToInt16(m)) << "frame " << i << " of " << frames;
      ASSERT_EQ(out[2 * i + 1], sampleToInt16(s)) << "frame " << i << " of " << frames;
      if (std::fabs(m) >= micPeak) micPeak = std::fabs(m);
      if (std::fabs(s) >= systemPeak) systemPeak = std::fabs(s);
    }
    EXPECT_EQ(cycle->micPeak, micPeak);
    EXPECT_EQ(cycle->systemPeak, systemPeak);
  }
}

TEST(InputConversion, SteadyCyclesReuseTheBlockWithoutAllocating) {
  Cycle large = monoMicStereoTap(512);
  Cycle small = monoMicStereoTap(480);
  std::vector<std::int16_t> out;
  ASSERT_TRUE(convertInput(large.bufferList(), out));
  const std::size_t capacity = out.capacity();
  large.bufferList();
  small.bufferList();

  const std::size_t before = allocations;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(convertInput(large.list, out));
    ASSERT_TRUE(convertInput(small.list, out));
  }
  EXPECT_EQ(allocations, before);
  EXPECT_EQ(out.capacity(), capacity);  // never shrunk
}

}  // namespace
}  // namespace ondrel
