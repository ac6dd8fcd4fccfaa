// The tap/microphone pairing on simulated clocks: both streams deliver 20 ms chunks with a little
// scheduling jitter, the tap's clock running at its own speed. Every tap frame carries the time
// at which it was captured, so each output frame tells how far the system channel lags the
// microphone channel at that point. The time is carried as the phase of a slow quadrature pair
// (sine and cosine), which the resampler's tiny gain ripple cannot shift.
#include "ondrelkit/pulse/stream_pairing.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace ondrel::pulse {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::size_t kChunk = 960;  // 20 ms
constexpr double kJitterSeconds = 0.003;
constexpr double kPhaseHz = 2.0;  // lags are read modulo 0.5 s
constexpr double kTwoPi = 6.283185307179586;

class ClockedStreams {
 public:
  explicit ClockedStreams(double tapSpeed) : tapSpeed_(tapSpeed), pairing_(kRate, 2) {}

  // Runs until the microphone has delivered `seconds` of audio. A tap chunk due while
  // tapDelivers(time) is false is held back until it is true again, then delivered at once.
  void run(double seconds, const std::function<bool(double)>& tapDelivers = nullptr) {
    const auto micChunks = static_cast<std::uint64_t>(seconds * kRate / kChunk);
    while (micChunk_ < micChunks) {
      const double micDue = micArrival(micChunk_);
      const double tapDue = tapArrival(tapChunk_);
      if (tapDue < micDue) {
        if (!tapDelivers || tapDelivers(tapDue)) {
          deliverTapUpTo(tapDue);
        } else {
          ++tapChunk_;
        }
      } else {
        pullMic(micDue);
      }
    }
  }

  // The lag of the system channel behind the microphone channel (seconds), frame by frame from
  // `from` on, ignoring silent frames.
  std::pair<double, double> lagRange(double from) const {
    double lo = 1e9, hi = -1e9;
    for (const auto& [time, lag] : lags_) {
      if (time < from) continue;
      lo = std::min(lo, lag);
      hi = std::max(hi, lag);
    }
    return {lo, hi};
  }

  // Seconds of output, from `from` on, in which the system channel is silent.
  double silentSeconds(double from) const {
    return double(std::count_if(silent_.begin(), silent_.end(),
                                [from](double t) { return t >= from; })) *
           kProbeSpacing / kRate;
  }

  const StreamPairing& pairing() const { return pairing_; }

  // Replaces the next tap chunk with a hole.
  void holeNextTapChunk() { holeNext_ = true; }

 private:
  static constexpr std::size_t kProbeSpacing = 48;  // one probe per millisecond

  double jitter() { return std::uniform_real_distribution<double>(0.0, kJitterSeconds)(random_); }
  double micArrival(std::uint64_t chunk) {
    if (micJitter_.size() <= chunk) micJitter_.push_back(jitter());
    return double((chunk + 1) * kChunk) / kRate + micJitter_[chunk];
  }
  double tapArrival(std::uint64_t chunk) {
    if (tapJitter_.size() <= chunk) tapJitter_.push_back(jitter());
    return double((chunk + 1) * kChunk) / (kRate * tapSpeed_) + tapJitter_[chunk];
  }

  // Delivers every tap chunk not yet delivered up to the current one, all at `now`.
  void deliverTapUpTo(double now) {
    ++tapChunk_;
    std::vector<float>& chunk = tapBuffer_;
    while (tapDelivered_ < tapChunk_) {
      // The phase at the chunk's first frame, then advanced frame by frame.
      const double start = double(tapDelivered_ * kChunk) / (kRate * tapSpeed_);
      std::complex<double> phase = std::polar(1.0, kTwoPi * kPhaseHz * start);
      const std::complex<double> step = std::polar(1.0, kTwoPi * kPhaseHz / (kRate * tapSpeed_));
      for (std::size_t i = 0; i < kChunk; ++i, phase *= step) {
        chunk[2 * i] = static_cast<float>(phase.imag());
        chunk[2 * i + 1] = static_cast<float>(phase.real());
      }
      if (holeNext_) {
        pairing_.push(nullptr, kChunk, now);
        holeNext_ = false;
      } else {
        pairing_.push(chunk.data(), kChunk, now);
      }
      ++tapDelivered_;
    }
  }

  void pullMic(double now) {
    std::vector<float>& out = micBuffer_;
    pairing_.pull(out.data(), kChunk, now);
    for (std::size_t i = 0; i < kChunk; i += kProbeSpacing) {
      const double micTime = double(micChunk_ * kChunk + i) / kRate;
      if (out[2 * i] == 0.0f && out[2 * i + 1] == 0.0f) {
        silent_.push_back(micTime);
      } else {
        const double captured = std::atan2(out[2 * i], out[2 * i + 1]) / (kTwoPi * kPhaseHz);
        const double period = 1.0 / kPhaseHz;
        double lag = std::fmod(micTime - captured, period);
        if (lag < 0) lag += period;
        if (lag > 0.8 * period) lag -= period;  // slightly ahead reads as negative
        lags_.emplace_back(micTime, lag);
      }
    }
    ++micChunk_;
  }

  const double tapSpeed_;
  StreamPairing pairing_;
  std::mt19937 random_{7};
  std::vector<double> micJitter_, tapJitter_;
  std::uint64_t micChunk_ = 0, tapChunk_ = 0, tapDelivered_ = 0;
  bool holeNext_ = false;
  std::vector<float> tapBuffer_ = std::vector<float>(kChunk * 2);
  std::vector<float> micBuffer_ = std::vector<float>(kChunk * 2);
  std::vector<std::pair<double, double>> lags_;
  std::vector<double> silent_;
};

class ClockDrift : public ::testing::TestWithParam<double> {};

// An hour with the tap's clock off by 0.1%: 3.6 s of drift to absorb. The lag may settle during the
// first seconds; after that it must not wander by more than 20 ms, and nothing may be dropped or
// padded to get there.
TEST_P(ClockDrift, AnHourStaysWithinTwentyMilliseconds) {
  ClockedStreams streams(GetParam());
  streams.run(3600.0);

  const auto [lo, hi] = streams.lagRange(10.0);
  RecordProperty("lag_min_ms", std::to_string(lo * 1000));
  RecordProperty("lag_max_ms", std::to_string(hi * 1000));
  EXPECT_LE(hi - lo, 0.020) << "lag between " << lo << " and " << hi << " s";
  EXPECT_GT(lo, 0.0) << "the system channel must never be ahead of what was captured";
  EXPECT_LT(hi, 0.100);
  EXPECT_EQ(streams.silentSeconds(1.0), 0.0);
  EXPECT_EQ(streams.pairing().stats().droppedFrames, 0u);
  EXPECT_EQ(streams.pairing().stats().overflowFrames, 0u);
}

std::string clockName(const ::testing::TestParamInfo<double>& clock) {
  return clock.param > 1.0 ? "Fast" : "Slow";
}
INSTANTIATE_TEST_SUITE_P(TapClock, ClockDrift, ::testing::Values(1.001, 0.999), clockName);

// The tap stops for a second and then delivers its backlog at once, as a stalled server does:
// the gap is silence, and afterwards the channels line up again as before rather than lagging by
// the backlog.
TEST(StreamPairing, StallIsSilenceThenRealigns) {
  ClockedStreams streams(1.0);
  streams.run(10.0);
  const auto [loBefore, hiBefore] = streams.lagRange(5.0);

  streams.run(11.0, [](double t) { return t < 10.0; });
  EXPECT_GT(streams.silentSeconds(10.0), 0.9);

  streams.run(20.0);
  const auto [loAfter, hiAfter] = streams.lagRange(14.0);
  EXPECT_NEAR(loAfter, loBefore, 0.005);
  EXPECT_NEAR(hiAfter, hiBefore, 0.005);
  EXPECT_GT(streams.pairing().stats().droppedFrames, 0u);
}

// A hole in the tap stream becomes silence of its length, in its place: the audio after it keeps
// its alignment.
TEST(StreamPairing, HoleIsSilenceInPlace) {
  ClockedStreams streams(1.0);
  streams.run(5.0);
  const auto [loBefore, hiBefore] = streams.lagRange(2.0);
  streams.holeNextTapChunk();
  streams.run(10.0);

  const double silent = streams.silentSeconds(5.0);
  EXPECT_NEAR(silent, double(kChunk) / kRate, 0.002);
  const auto [loAfter, hiAfter] = streams.lagRange(6.0);
  EXPECT_NEAR(loAfter, loBefore, 0.002);
  EXPECT_NEAR(hiAfter, hiBefore, 0.002);
}

// Before the tap's first delivery every chunk is silence of exactly the requested length.
TEST(StreamPairing, SilentUntilTheTapDelivers) {
  StreamPairing pairing(kRate, 2);
  std::vector<float> out(kChunk * 2, 1.0f);
  for (int i = 0; i < 10; ++i) {
    pairing.pull(out.data(), kChunk, 0.02 * i);
    ASSERT_TRUE(std::all_of(out.begin(), out.end(), [](float s) { return s == 0.0f; }));
  }
  EXPECT_EQ(pairing.stats().silenceFrames, 10 * kChunk);
}

// The audio thread must never allocate: once constructed, pushing and pulling (with the rate
// being steered, and with holes) leaves the heap exactly as it was.
TEST(StreamPairing, SteadyStateDoesNotAllocate) {
  StreamPairing pairing(kRate, 2);
  std::vector<float> tap(kChunk * 2, 0.25f), out(kChunk * 2);
  const std::size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 100; ++i) {
    // The tap runs a little ahead, so that the rate gets corrected.
    pairing.push(i % 10 == 5 ? nullptr : tap.data(), kChunk + 10, 0.02 * i);
    pairing.pull(out.data(), kChunk, 0.02 * i + 0.001);
  }
  EXPECT_EQ(mallinfo2().uordblks, before);
}

}  // namespace
}  // namespace ondrel::pulse
