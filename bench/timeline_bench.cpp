// The aggregate device's I/O thread per 10 ms of audio, against its 10 ms budget: one chunk of
// each source placed on the timeline (the tap resampled with a drift correction on) and the
// aligned frames rendered, as the thread does on every wake-up.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "ondrelkit/pulse/timeline.h"

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::size_t kFrames = kRate / 100;  // 10 ms

void BM_TimelineTenMilliseconds(benchmark::State& state) {
  ondrel::pulse::Timeline timeline(kRate, 1, 0.0);
  timeline.expectMic();
  timeline.expectTap();
  std::vector<float> mic(kFrames), tap(kFrames), micOut(4096), tapOut(2 * 4096);
  for (std::size_t i = 0; i < kFrames; ++i) {
    mic[i] = 0.5f * std::sin(0.05f * float(i));
    tap[i] = 0.4f * std::sin(0.03f * float(i));
  }
  double now = 0;
  std::size_t chunk = 0;
  for (auto _ : state) {
    // The tap's clock 0.1% fast, so the resampler corrects all the time.
    timeline.pushMic(mic.data(), kFrames, double(chunk) * 0.01);
    timeline.pushTap(1, tap.data(), kFrames, double(chunk) * 0.01 / 1.001);
    now = double(++chunk) * 0.01 + 0.005;
    while (timeline.render(now, micOut.data(), tapOut.data(), 4096) > 0) {
    }
    benchmark::DoNotOptimize(micOut.data());
  }
  // Seconds of work per iteration over the 10 ms each iteration stands for.
  state.counters["of_budget"] = benchmark::Counter(
      double(state.iterations()) * 0.01, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TimelineTenMilliseconds);

}  // namespace
BENCHMARK_MAIN();
