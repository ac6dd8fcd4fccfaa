// Fuzzes convertInput with arbitrary buffer lists and checks every output against a plain scalar
// reference. Buffers are allocated at exactly their declared byte size (or larger, never smaller),
// so AddressSanitizer catches any read past what a buffer really holds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "ondrelkit/input_conversion.h"

namespace {

[[noreturn]] void fail(const char* what, std::size_t index = 0) {
  std::fprintf(stderr, "convert_fuzzer: %s (at %zu)\n", what, index);
  std::abort();
}

// Values where conversions usually go wrong, chosen by one input byte.
float specialValue(std::uint8_t pick) {
  constexpr float kValues[] = {0.0f,
                               -0.0f,
                               1.0f,
                               -1.0f,
                               0.5f,
                               -0.5f,
                               std::numeric_limits<float>::quiet_NaN(),
                               -std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::denorm_min(),
                               -std::numeric_limits<float>::denorm_min(),
                               std::numeric_limits<float>::min(),
                               std::numeric_limits<float>::max(),
                               -std::numeric_limits<float>::max(),
                               1.0000001f,
                               -1.0000001f,
                               0.99999994f,
                               -0.99999994f,
                               1.0f / 32767.0f,
                               -1.0f / 32767.0f,
                               2.0f,
                               -2.0f};
  return kValues[pick % (sizeof kValues / sizeof kValues[0])];
}

// Owns one buffer's bytes; malloc keeps the allocation exactly as large as asked.
struct OwnedBuffer {
  void* data = nullptr;
  std::size_t allocated = 0;
  OwnedBuffer() = default;
  OwnedBuffer(const OwnedBuffer&) = delete;
  OwnedBuffer& operator=(const OwnedBuffer&) = delete;
  ~OwnedBuffer() { std::free(data); }
};

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

struct Reference {
  std::uint32_t frames = 0;
  float micPeak = 0;
  float systemPeak = 0;
  std::vector<std::int16_t> samples;
};

Reference reference(const ondrel::AudioBuffer& mic, const ondrel::AudioBuffer& system) {
  const std::uint64_t micStride = mic.mNumberChannels == 0 ? 1 : mic.mNumberChannels;
  const std::uint64_t systemStride = system.mNumberChannels == 0 ? 1 : system.mNumberChannels;
  const std::uint64_t micFrames = mic.mDataByteSize / (4 * micStride);
  const std::uint64_t systemFrames = system.mDataByteSize / (4 * systemStride);
  Reference r;
  r.frames = static_cast<std::uint32_t>(micFrames < systemFrames ? micFrames : systemFrames);
  for (std::uint32_t i = 0; i < r.frames; ++i) {
    const float m = floatAt(mic, i * micStride);
    float sum = 0.0f;
    for (std::uint32_t k = 0; k < system.mNumberChannels; ++k) {
      sum += floatAt(system, i * systemStride + k);
    }
    const float s = sum / static_cast<float>(systemStride);
    if (!std::isnan(m) && std::fabs(m) > r.micPeak) r.micPeak = std::fabs(m);
    if (!std::isnan(s) && std::fabs(s) > r.systemPeak) r.systemPeak = std::fabs(s);
    r.samples.push_back(referenceSample(m));
    r.samples.push_back(referenceSample(s));
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto bufferCount = input.ConsumeIntegralInRange<std::uint32_t>(0, 4);
  // Either values from a table of awkward ones, or raw bit patterns (any NaN payload, denormals).
  const bool special = input.ConsumeBool();

  std::vector<OwnedBuffer> owned(bufferCount);
  std::vector<ondrel::AudioBuffer> buffers(bufferCount);
  for (std::uint32_t b = 0; b < bufferCount; ++b) {
    ondrel::AudioBuffer& buffer = buffers[b];
    buffer.mNumberChannels = input.ConsumeIntegralInRange<std::uint32_t>(0, 8);
    const bool nullData = input.ConsumeIntegralInRange<int>(0, 15) == 0;
    // Mostly whole samples; odd byte counts check that a partial frame is never read as one.
    const auto declared = input.ConsumeIntegralInRange<std::uint32_t>(0, 4096);
    const auto slack = input.ConsumeIntegralInRange<int>(0, 7) == 0
                           ? input.ConsumeIntegralInRange<std::uint32_t>(1, 64)
                           : 0u;
    buffer.mDataByteSize = declared;
    if (nullData) continue;
    // malloc(0) still yields a distinct pointer that must never be read.
    owned[b].allocated = std::size_t(declared) + slack;
    owned[b].data = std::malloc(owned[b].allocated == 0 ? 1 : owned[b].allocated);
    if (owned[b].data == nullptr) return 0;
    auto* bytes = static_cast<unsigned char*>(owned[b].data);
    for (std::size_t i = 0; i + 4 <= owned[b].allocated; i += 4) {
      float value;
      if (special) {
        value = specialValue(input.ConsumeIntegral<std::uint8_t>());
      } else {
        const auto bits = input.ConsumeIntegral<std::uint32_t>();
        std::memcpy(&value, &bits, 4);
      }
      std::memcpy(bytes + i, &value, 4);
    }
    for (std::size_t i = owned[b].allocated & ~std::size_t(3); i < owned[b].allocated; ++i) {
      bytes[i] = input.ConsumeIntegral<std::uint8_t>();
    }
    buffer.mData = owned[b].data;
  }

  ondrel::AudioBufferList list;
  list.mNumberBuffers = bufferCount;
  list.mBuffers = bufferCount == 0 ? nullptr : buffers.data();

  // The block arrives holding leftovers of some earlier cycle, as in the I/O callback.
  std::vector<std::int16_t> interleaved(input.ConsumeIntegralInRange<std::size_t>(0, 64), 0x5A5A);

  const std::optional<ondrel::ConvertedCycle> cycle = ondrel::convertInput(list, interleaved);
  const bool usable =
      bufferCount >= 2 && buffers[0].mData != nullptr && buffers[1].mData != nullptr;
  if (!usable) {
    if (cycle) fail("converted a cycle without two usable buffers");
    return 0;
  }
  if (!cycle) fail("refused a cycle with two usable buffers");

  const Reference expected = reference(buffers[0], buffers[1]);
  if (cycle->frames != expected.frames) fail("frame count differs", cycle->frames);
  if (interleaved.size() != expected.samples.size()) fail("block size differs", interleaved.size());
  for (std::size_t i = 0; i < expected.samples.size(); ++i) {
    if (interleaved[i] != expected.samples[i]) fail("sample differs", i);
  }
  // Bitwise, so that a NaN or a negative zero peak fails too.
  if (std::memcmp(&cycle->micPeak, &expected.micPeak, sizeof(float)) != 0) fail("mic peak differs");
  if (std::memcmp(&cycle->systemPeak, &expected.systemPeak, sizeof(float)) != 0) {
    fail("system peak differs");
  }
  return 0;
}
