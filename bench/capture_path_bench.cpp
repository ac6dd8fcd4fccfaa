// The audio thread's per-cycle work against its anchors, in the same run: the conversion of one
// 512-frame cycle against a memcpy of the same input bytes, and a WAV append against a bare
// write(2) of the same bytes to the same kind of file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ondrelkit/input_conversion.h"
#include "ondrelkit/wav_writer.h"

namespace {

constexpr std::uint32_t kFrames = 512;

struct Input {
  std::vector<float> mic = std::vector<float>(kFrames);
  std::vector<float> system = std::vector<float>(2 * kFrames);
  ondrel::AudioBuffer buffers[2];
  ondrel::AudioBufferList list;
  Input() {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      mic[i] = 0.8f * std::sin(0.05f * float(i));
      system[2 * i] = 0.6f * std::sin(0.03f * float(i));
      system[2 * i + 1] = 0.6f * std::cos(0.07f * float(i));
    }
    buffers[0] = {1, kFrames * 4, mic.data()};
    buffers[1] = {2, kFrames * 8, system.data()};
    list = {2, buffers};
  }
};

void BM_Convert512(benchmark::State& state) {
  Input input;
  std::vector<std::int16_t> out;
  for (auto _ : state) {
    auto cycle = ondrel::convertInput(input.list, out);
    benchmark::DoNotOptimize(cycle);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_Convert512);

void BM_MemcpyAnchor512(benchmark::State& state) {
  Input input;
  std::vector<std::uint8_t> out(kFrames * 12);
  for (auto _ : state) {
    std::memcpy(out.data(), input.mic.data(), kFrames * 4);
    std::memcpy(out.data() + kFrames * 4, input.system.data(), kFrames * 8);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_MemcpyAnchor512);

std::filesystem::path scratchFile(const char* name) {
  return std::filesystem::temp_directory_path() / name;
}

// Both write 512 stereo 16-bit frames per iteration and start a new file every 64 MiB, so the
// two see the same file sizes.
constexpr std::size_t kRestartEvery = (64u << 20) / (kFrames * 4);

void BM_WavAppend512(benchmark::State& state) {
  const auto path = scratchFile("ondrel-bench-append.wav");
  std::vector<std::int16_t> block(2 * kFrames, 1234);
  auto writer = std::make_unique<ondrel::WavWriter>(path, 48000, 2, 16);
  std::size_t n = 0;
  for (auto _ : state) {
    if (++n % kRestartEvery == 0) {
      state.PauseTiming();
      writer = std::make_unique<ondrel::WavWriter>(path, 48000, 2, 16);
      state.ResumeTiming();
    }
    if (writer->tryAppend(block) != ondrel::WavWriter::AppendResult::ok) {
      state.SkipWithError("append failed");
    }
  }
  writer.reset();
  std::filesystem::remove(path);
  state.SetBytesProcessed(state.iterations() * kFrames * 4);
}
BENCHMARK(BM_WavAppend512);

void BM_WriteAnchor512(benchmark::State& state) {
  const auto path = scratchFile("ondrel-bench-write.raw");
  std::vector<std::int16_t> block(2 * kFrames, 1234);
  auto open = [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); };
  int fd = open();
  std::size_t n = 0;
  for (auto _ : state) {
    if (++n % kRestartEvery == 0) {
      state.PauseTiming();
      ::close(fd);
      fd = open();
      state.ResumeTiming();
    }
    if (::write(fd, block.data(), block.size() * 2) != ssize_t(block.size() * 2)) {
      state.SkipWithError("write failed");
    }
  }
  ::close(fd);
  std::filesystem::remove(path);
  state.SetBytesProcessed(state.iterations() * kFrames * 4);
}
BENCHMARK(BM_WriteAnchor512);

}  // namespace

BENCHMARK_MAIN();
