// Fuzzes convertInput against a plain scalar reference, buffers allocated at their declared size
// (or larger) so that AddressSanitizer catches a read past them. The unit tests include this file.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ondrelkit/input_conversion.h"

namespace {

// Reads as libFuzzer's FuzzedDataProvider does: the corpus means the same to the unit tests.
struct FuzzedInput {
  const std::uint8_t* data;
  std::size_t size;

  template <typename T>
  T inRange(T min, T max) {
    const std::uint64_t range = std::uint64_t(max) - std::uint64_t(min);
    std::uint64_t result = 0;
    for (std::size_t bits = 0; bits < 8 * sizeof(T) && (range >> bits) > 0 && size > 0; bits += 8) {
      result = result << 8 | data[--size];
    }
    return T(std::uint64_t(min) + (range == UINT64_MAX ? result : result % (range + 1)));
  }
  std::uint8_t byte() { return inRange<std::uint8_t>(0, 255); }
};

// Values where conversions usually go wrong.
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kTiny = std::numeric_limits<float>::denorm_min();
constexpr float kMin = std::numeric_limits<float>::min(), kMax = std::numeric_limits<float>::max();
constexpr float kSpecials[] = {
    0.0f,        -0.0f,       1.0f,         -1.0f,        0.5f,          -0.5f, kNaN,  -kNaN,
    kInf,        -kInf,       kTiny,        -kTiny,       kMin,          kMax,  -kMax, 1.0000001f,
    -1.0000001f, 0.99999994f, -0.99999994f, 1 / 32767.0f, -1 / 32767.0f, 2.0f,  -2.0f};

float floatAt(const ondrel::AudioBuffer& buffer, std::size_t index) {
  float value;
  std::memcpy(&value, static_cast<const unsigned char*>(buffer.mData) + index * 4, 4);
  return value;
}

// The conversion as written down: NaN and anything >= 1 is full scale, <= -1 is negative full
// scale, everything else scaled and truncated toward zero.
std::int16_t referenceSample(float x) {
  if (std::isnan(x) || x >= 1.0f) return 32767;
  if (x <= -1.0f) return -32767;
  return static_cast<std::int16_t>(std::trunc(x * 32767.0f));
}

// What convertInput gets wrong on these buffers, or "". The block holds leftovers, as in the I/O.
std::string checkBuffers(std::vector<ondrel::AudioBuffer> buffers, std::size_t leftovers) {
  const auto count = std::uint32_t(buffers.size());
  std::vector<std::int16_t> out(leftovers, 0x5A5A);
  const auto cycle = ondrel::convertInput({count, count ? buffers.data() : nullptr}, out);
  if (count < 2 || !buffers[0].mData || !buffers[1].mData) {
    return cycle ? "converted a cycle without two usable buffers" : "";
  }
  if (!cycle) return "refused a cycle with two usable buffers";
  const ondrel::AudioBuffer &mic = buffers[0], &system = buffers[1];
  const std::uint64_t micStride = std::max(mic.mNumberChannels, 1u);
  const std::uint64_t systemStride = std::max(system.mNumberChannels, 1u);
  const std::uint64_t frames =
      std::min(mic.mDataByteSize / (4 * micStride), system.mDataByteSize / (4 * systemStride));
  if (cycle->frames != frames || out.size() != 2 * frames) return "frame count differs";
  float micPeak = 0, systemPeak = 0;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const float m = floatAt(mic, i * micStride);
    float sum = 0.0f;
    for (std::uint32_t k = 0; k < system.mNumberChannels; ++k) {
      sum += floatAt(system, i * systemStride + k);
    }
    const float s = sum / float(systemStride);
    if (!std::isnan(m) && std::fabs(m) > micPeak) micPeak = std::fabs(m);
    if (!std::isnan(s) && std::fabs(s) > systemPeak) systemPeak = std::fabs(s);
    if (out[2 * i] != referenceSample(m) || out[2 * i + 1] != referenceSample(s)) {
      return "sample differs at frame " + std::to_string(i);
    }
  }
  // Bitwise, so that a NaN or a negative zero peak fails too.
  const bool peaksDiffer = std::memcmp(&cycle->micPeak, &micPeak, 4) != 0 ||
                           std::memcmp(&cycle->systemPeak, &systemPeak, 4) != 0;
  return peaksDiffer ? "peak differs" : "";
}

// The buffers an input describes, checked.
std::string checkConversion(const std::uint8_t* data, std::size_t size) {
  FuzzedInput input{data, size};
  const auto bufferCount = input.inRange<std::uint32_t>(0, 4);
  // Either values from the table of awkward ones, or raw bit patterns (any NaN payload, denormals).
  const bool special = input.byte() & 1;
  std::vector<std::unique_ptr<unsigned char[]>> owned(bufferCount);
  std::vector<ondrel::AudioBuffer> buffers(bufferCount);
  for (std::uint32_t b = 0; b < bufferCount; ++b) {
    ondrel::AudioBuffer& buffer = buffers[b];
    buffer.mNumberChannels = input.inRange<std::uint32_t>(0, 8);
    const bool nullData = input.inRange<int>(0, 15) == 0;
    // Mostly whole samples; odd byte counts check that a partial frame is never read as one.
    buffer.mDataByteSize = input.inRange<std::uint32_t>(0, 4096);
    const auto slack = input.inRange<int>(0, 7) == 0 ? input.inRange<std::uint32_t>(1, 64) : 0u;
    if (nullData) continue;
    // An empty buffer still gets a distinct pointer, which must never be read.
    const std::size_t allocated = std::size_t(buffer.mDataByteSize) + slack;
    owned[b].reset(new unsigned char[allocated == 0 ? 1 : allocated]);
    unsigned char* bytes = owned[b].get();
    for (std::size_t i = 0; i + 4 <= allocated; i += 4) {
      const auto bits =
          special ? std::bit_cast<std::uint32_t>(kSpecials[input.byte() % std::size(kSpecials)])
                  : input.inRange<std::uint32_t>(0, UINT32_MAX);
      std::memcpy(bytes + i, &bits, 4);
    }
    for (std::size_t i = allocated & ~std::size_t(3); i < allocated; ++i) bytes[i] = input.byte();
    buffer.mData = bytes;
  }
  return checkBuffers(buffers, input.inRange<std::size_t>(0, 64));
}

}  // namespace

#ifndef ONDREL_REPLAY_ONLY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (const std::string error = checkConversion(data, size); !error.empty()) {
    std::fprintf(stderr, "convert_fuzzer: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}
#endif
