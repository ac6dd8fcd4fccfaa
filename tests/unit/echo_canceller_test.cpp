// The echo canceller at each rate, on seeded noise in syllable-like bursts: the far end reaches the
// microphone through a room (12 ms delay, direct path 3 dB down, a comb-filter tail dying away in
// 250 ms), the near end is another seed and rhythm, and -60 dBFS of noise sits under both.
#include "ondrelkit/processing/echo_canceller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace ondrel {
namespace {

using Signal = std::vector<float>;

Signal talker(std::size_t n, std::uint32_t rate, unsigned seed, double syllables) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> gauss(0, 0.1f);
  Signal s(n);
  float low = 0;
  for (std::size_t i = 0; i < n; ++i) {
    low = 0.7f * low + gauss(rng);  // speech-like tilt
    s[i] = low * float(std::max(0.0, std::sin(M_PI * syllables * double(i) / rate)));
  }
  return s;
}

Signal room(const Signal& x, std::uint32_t rate) {
  const std::size_t delay = rate * 12 / 1000, loop = rate * 73 / 10000;
  const float feedback = float(std::pow(10.0, -3.0 * double(loop) / rate / 0.25));
  Signal echo(x.size()), tail(x.size());
  for (std::size_t i = delay; i < x.size(); ++i) {
    tail[i] = (i >= delay + loop ? 0.3f * x[i - delay - loop] + feedback * tail[i - loop] : 0);
    echo[i] = 0.708f * x[i - delay] + tail[i];
  }
  return echo;
}

Signal add(Signal a, const Signal& b, unsigned noiseSeed) {
  std::mt19937 rng(noiseSeed);
  std::normal_distribution<float> hiss(0, 0.001f);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i] + hiss(rng);
  return a;
}

// Sum of x[i] * y[i + lag] over i in [from, to).
double dot(const Signal& x, const Signal& y, std::size_t from, std::size_t to, std::size_t lag) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += double(x[i]) * y[i + lag];
  return sum;
}

Signal run(EchoCanceller& canceller, const Signal& mic, const Signal* reference,
           std::size_t chunk = 0) {
  static constexpr std::size_t kChunks[] = {1, 7, 333, 4801};
  Signal out(mic.size());
  for (std::size_t at = 0, k = 0; at < mic.size(); ++k) {
    const std::size_t n = std::min(chunk ? chunk : mic.size(), mic.size() - at);
    canceller.process(mic.data() + at, reference ? reference->data() + at : nullptr,
                      out.data() + at, n);
    at += n;
    if (chunk) chunk = kChunks[k % 4];
  }
  return out;
}

class EchoCancellerTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(EchoCancellerTest, CancelsEchoAndKeepsTheNearEndAligned) {
  const std::uint32_t rate = GetParam();
  const std::size_t n = 6 * rate, sec = rate;
  const Signal far = talker(n, rate, 1, 3.3), near = talker(n, rate, 2, 2.1),
               echo = room(far, rate);
  EchoCanceller canceller(rate);
  const std::size_t L = canceller.latencyFrames();

  // Far end alone, with a burst of NaN and infinities early on: 20 dB gone in every second after
  // the third, and nothing out of range.
  Signal mic = add(echo, Signal(n), 3), ref = far;
  for (std::size_t i = sec; i < sec + 50; ++i) mic[i] = ref[i + 60] = i % 2 ? NAN : -INFINITY;
  const Signal cleaned = run(canceller, mic, &ref);
  EXPECT_TRUE(std::all_of(cleaned.begin(), cleaned.end(),
                          [](float x) { return std::isfinite(x) && std::abs(x) <= 1; }));
  for (std::size_t s = 3 * sec; s + sec + L <= n; s += sec) {
    EXPECT_GE(10 * std::log10(dot(echo, echo, s, s + sec, 0) /
                              dot(cleaned, cleaned, s + L, s + L + sec, 0)),
              20)
        << rate << " Hz, second " << s / sec;
  }

  // Then the near end alone, the far end silent: it passes, delayed by exactly the latency, and
  // a sample out of range is clamped.
  Signal alone = add(near, Signal(n), 4);
  std::fill_n(alone.begin() + sec / 2, rate / 1000, 1.5f);
  const Signal out = run(canceller, alone, nullptr, 1);
  EXPECT_GT(out[sec / 2 + rate / 2000 + L], 0.5f) << rate;
  const double xy = dot(alone, out, sec, n - L, L), xx = dot(alone, alone, sec, n - L, 0),
               yy = dot(out, out, sec + L, n, 0);
  EXPECT_GE(xy / std::sqrt(xx * yy), 0.9) << rate;
  EXPECT_NEAR(10 * std::log10(yy / xx), 0, 1) << rate;
  std::size_t lag = 0;
  double best = 0;
  for (std::size_t l = 0; l < 2 * L + 100; ++l) {
    const double c = dot(alone, out, sec, sec + sec / 4, l);
    if (c > best) best = c, lag = l;
  }
  EXPECT_EQ(lag, L) << rate;
}

TEST_P(EchoCancellerTest, ChunkingDoesNotChangeTheOutput) {
  const std::uint32_t rate = GetParam();
  const std::size_t n = 3 * rate / 2;
  const Signal far = talker(n, rate, 5, 3), mic = add(room(far, rate), talker(n, rate, 6, 2), 7);
  EchoCanceller whole(rate), chunked(rate);
  const Signal a = run(whole, mic, &far), b = run(chunked, mic, &far, 1);
  for (std::size_t i = 0; i < n; ++i) ASSERT_NEAR(a[i], b[i], 1e-6f) << rate << " Hz, frame " << i;
}

INSTANTIATE_TEST_SUITE_P(Rates, EchoCancellerTest,
                         ::testing::Values(16000u, 44100u, 48000u, 96000u));

}  // namespace
}  // namespace ondrel
