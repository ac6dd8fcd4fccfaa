// The timeline in simulated time. Each microphone sample holds its own frame number (copied
// exactly, so every microphone frame can be accounted for); the tap holds the instant it was
// captured, as a ramp that repeats every second, so every output frame tells how far the system
// channel lies from the microphone channel. Sources run on their own clocks, deliver in chunks
// with jitter and delay, and stall, lose or restart as each case scripts. The simulated I/O
// thread works as the aggregate device's does: every 10 ms, and in slices after a stall.
#include "ondrelkit/pulse/timeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace ondrel::pulse {
namespace {

constexpr std::uint32_t kRate = 48000;
// The tap's time code: 0.25 + t / 2 for t in [0, 1), clear of silence. Resampling keeps a ramp
// but smears it for a few frames at each wrap, which the checks skip.
float timeCode(double t) {
  return float(0.25 + 0.5 * (t - std::floor(t)));
}
bool nearWrap(double t) {
  return std::abs(t - std::round(t)) < 0.01;
}

struct Source {
  double speed = 1.0;       // frames per nominal frame: a clock off by 0.5% is 1.005
  std::size_t chunk = 960;  // frames per delivery
  double delay = 0.005;     // from the capture of a chunk's last frame to its delivery
  double jitter = 0.002;    // more delay, uniform, and stamp noise of a tenth of it
  // Frames captured in [from, to) are never delivered.
  double lostFrom = -1, lostTo = -1;
  // Deliveries due in [from, to) come at `to`, all at once.
  double heldFrom = -1, heldTo = -1;
  // Frames captured from then on are this much later than the source's clock says, and their
  // stamps carry it as reported latency.
  double latencyFrom = -1, latency = 0;
};

struct Case {
  std::string name;
  Source mic, tap;
  double seconds = 20;
  double settle = 1;                                // alignment is checked from here on
  double renderStallFrom = -1, renderStallTo = -1;  // the I/O thread blocked (a disk stall)
  double newTapStreamAt = -1;  // a new monitor stream from here, overlapping the old by 30 ms
  double micGoneFrom = -1, micGoneTo = -1;  // the microphone stream ended, then came back
  // Expectations: microphone frames in the output that lie in a gap (lost or gone), tap frames
  // silent beyond the start and the scripted losses, and the largest lag allowed.
  double maxLagMs = 2.0;
};

struct Output {
  std::vector<float> mic, left, right;
};

class Simulation {
 public:
  explicit Simulation(const Case& c) : c_(c), timeline_(kRate, 1, 0.0) {
    timeline_.expectMic();
    timeline_.expectTap();
  }

  Output run() {
    for (int tick = 0; tick < int(c_.seconds * 100); ++tick) {
      const double now = tick / 100.0;
      if (c_.micGoneFrom >= 0 && now >= c_.micGoneFrom && !micGone_ && now < c_.micGoneTo) {
        micGone_ = true;
        timeline_.micGone();
      }
      if (micGone_ && now >= c_.micGoneTo) {
        micGone_ = false;
        micNext_ = std::size_t(c_.micGoneTo * kRate * c_.mic.speed);
        timeline_.expectMic();
      }
      if (c_.newTapStreamAt >= 0 && now >= c_.newTapStreamAt && stream_ == 0) {
        stream_ = 1;
        tapNext_ = std::size_t((c_.newTapStreamAt - 0.03) * kRate * c_.tap.speed);
      }
      if (now >= c_.renderStallFrom && now < c_.renderStallTo) continue;
      for (double upTo = std::min(now, lastCycle_ + Timeline::kSliceSeconds);;
           upTo = std::min(now, upTo + Timeline::kSliceSeconds)) {
        const double before = upTo < now ? upTo : HUGE_VAL;
        if (!micGone_) deliver(c_.mic, micNext_, now, before, true);
        deliver(c_.tap, tapNext_, now, before, false);
        render(upTo);
        if (upTo >= now) break;
      }
      lastCycle_ = now;
    }
    return out_;
  }

  const Timeline& timeline() const { return timeline_; }

 private:
  // Delivers every chunk of a source that is due by `now` and captured before `before`.
  void deliver(const Source& s, std::size_t& next, double now, double before, bool isMic) {
    const double frameSeconds = 1.0 / (kRate * s.speed);
    for (;;) {
      const double first = double(next) * frameSeconds;
      const double last = double(next + s.chunk - 1) * frameSeconds;
      double due = last + s.delay + s.jitter * noise_(random_);
      if (due >= s.heldFrom && due < s.heldTo) due = s.heldTo;
      if (due > now || first >= before) return;
      if (!(first >= s.lostFrom && first < s.lostTo)) {
        const double latency = s.latencyFrom >= 0 && first >= s.latencyFrom ? s.latency : 0;
        const double stamp = first + latency + 0.1 * s.jitter * (noise_(random_) - 0.5);
        if (isMic) {
          chunk_.resize(s.chunk);
          for (std::size_t i = 0; i < s.chunk; ++i) chunk_[i] = float(next + i + 1);
          timeline_.pushMic(chunk_.data(), s.chunk, stamp, latency);
        } else {
          chunk_.resize(s.chunk);
          for (std::size_t i = 0; i < s.chunk; ++i) {
            chunk_[i] = timeCode(double(next + i) * frameSeconds + latency);
          }
          timeline_.pushTap(stream_, chunk_.data(), s.chunk, stamp, latency);
        }
      }
      next += s.chunk;
    }
  }

  void render(double now) {
    float mic[4096], tap[2 * 4096];
    while (const std::size_t n = timeline_.render(now, mic, tap, 4096)) {
      for (std::size_t i = 0; i < n; ++i) {
        out_.mic.push_back(mic[i]);
        out_.left.push_back(tap[2 * i]);
        out_.right.push_back(tap[2 * i + 1]);
      }
    }
  }

  const Case& c_;
  Timeline timeline_;
  std::mt19937 random_{42};
  std::uniform_real_distribution<double> noise_{0.0, 1.0};
  std::vector<float> chunk_;
  std::size_t micNext_ = 0, tapNext_ = 0;
  std::uint32_t stream_ = 0;
  bool micGone_ = false;
  double lastCycle_ = 0;
  Output out_;
};

class TimelineCases : public ::testing::TestWithParam<Case> {};

TEST_P(TimelineCases, KeepsEveryFrameOnOneTimeline) {
  const Case& c = GetParam();
  Simulation simulation(c);
  const Output out = simulation.run();

  // The output keeps wall-clock time, whatever the sources did (it trails by the wait at most).
  EXPECT_NEAR(double(out.mic.size()) / kRate, c.seconds, Timeline::kMaxWaitSeconds + 0.05);

  // Every microphone frame that was delivered is there once, in order; gaps only where frames
  // were lost or the stream was gone.
  std::size_t expected = 1, missing = 0;
  double worstLagMs = 0;
  std::size_t tapSilent = 0;
  const double micFrame = 1.0 / (kRate * c.mic.speed);
  for (std::size_t k = 0; k < out.mic.size(); ++k) {
    const float m = out.mic[k];
    ASSERT_EQ(out.left[k], out.right[k]);
    const bool tapSounds = out.left[k] > 0.1f;
    const double t = double(k) / kRate;
    const bool scriptedGap = (t >= c.tap.lostFrom - 0.05 && t < c.tap.lostTo + 0.05) ||
                             (t >= c.mic.heldFrom - 1.0 && t < c.mic.heldTo + 1.0) ||
                             (c.newTapStreamAt >= 0 && std::abs(t - c.newTapStreamAt) < 0.5);
    if (!tapSounds && t > 0.3 && t < c.seconds - 1.2 && !scriptedGap) ++tapSilent;
    if (m == 0) continue;
    ASSERT_GE(m, float(expected)) << "microphone frame " << m << " repeated or out of order";
    missing += std::size_t(m) - expected;
    expected = std::size_t(m) + 1;
    const double micTime = double(m - 1) * micFrame;
    if (!tapSounds || t < c.settle || scriptedGap || nearWrap(micTime)) continue;
    const double tapTime = (out.left[k] - 0.25) / 0.5;
    const double lag = std::remainder(tapTime - micTime, 1.0);
    worstLagMs = std::max(worstLagMs, std::abs(lag) * 1000);
  }
  const double lostMic =
      c.mic.lostTo > 0 ? (c.mic.lostTo - c.mic.lostFrom) * kRate * c.mic.speed : 0;
  const double goneMic = c.micGoneTo > 0 ? (c.micGoneTo - c.micGoneFrom) * kRate * c.mic.speed : 0;
  EXPECT_NEAR(double(missing), lostMic + goneMic, double(c.mic.chunk) + 1.0)
      << "microphone frames lost";
  EXPECT_EQ(tapSilent, 0u) << "system audio silent where it was delivered";
  EXPECT_LE(worstLagMs, c.maxLagMs) << "system channel off the microphone channel";
}

Case with(std::string name, const std::function<void(Case&)>& change) {
  Case c;
  c.name = std::move(name);
  change(c);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Deliveries, TimelineCases,
    ::testing::Values(
        with("Steady", [](Case&) {}),
        // Large graph quanta, delivered late.
        with("TapQuantum8192Late200ms",
             [](Case& c) {
               c.tap.chunk = 8192;
               c.tap.delay = 0.2;
             }),
        with("BothQuantum4096", [](Case& c) { c.mic.chunk = c.tap.chunk = 4096; }),
        // Clocks 0.5% apart: a minute of it is 300 ms uncorrected.
        with("TapFastBy0.5%",
             [](Case& c) {
               c.tap.speed = 1.005;
               c.seconds = 60;
               c.settle = 20;
             }),
        with("TapSlowMicFast0.5%Apart",
             [](Case& c) {
               c.tap.speed = 0.9975;
               c.mic.speed = 1.0025;
               c.seconds = 60;
               c.settle = 20;
             }),
        // The tap stalls for 900 ms and then catches up: nothing may be lost.
        with("TapStallCatchesUp", [](Case& c) { c.tap.heldFrom = 5, c.tap.heldTo = 5.9; }),
        // A second of the tap never arrives: silence there, aligned again after.
        with("TapOutage", [](Case& c) { c.tap.lostFrom = 5, c.tap.lostTo = 6; }),
        // 200 ms of the microphone lost before delivery: a gap of that length, no shift.
        with("MicFramesLost", [](Case& c) { c.mic.lostFrom = 5, c.mic.lostTo = 5.2; }),
        // The microphone stalls beyond the wait: its late audio is kept, after what went out.
        with("MicStallBeyondTheWait", [](Case& c) { c.mic.heldFrom = 5, c.mic.heldTo = 8.5; }),
        // The I/O thread blocked for 10 s (a disk stall): the sources queue meanwhile.
        with("RenderStall10s",
             [](Case& c) {
               c.renderStallFrom = 3, c.renderStallTo = 13;
               c.seconds = 16;
             }),
        with("NewMonitorStream", [](Case& c) { c.newTapStreamAt = 5; }),
        // The new stream is read only after the old one's overlapping tail went out (its stamps
        // settle first): all of the overlap comes off the new one's head, however it is chunked.
        with("NewMonitorStreamReadLate",
             [](Case& c) {
               c.newTapStreamAt = 5;
               c.tap.heldFrom = 5, c.tap.heldTo = 6;
               c.tap.chunk = 256;
             }),
        // The monitor's latency steps, for good: the step is pulled in, never cut or padded,
        // and at once, not as the stream's clock learns it.
        with("TapLatencyStepPulledIn",
             [](Case& c) {
               c.tap.latencyFrom = 8, c.tap.latency = 0.04;
               c.seconds = 60, c.settle = 55;
             }),
        with("TapLatencyStepPulledInAtOnce",
             [](Case& c) {
               c.tap.latencyFrom = 8, c.tap.latency = 0.008;
               c.seconds = 30, c.settle = 18;
             }),
        // The microphone gone for two seconds: the clock runs on, both come back in place.
        with("MicGoneAndBack", [](Case& c) { c.micGoneFrom = 4, c.micGoneTo = 6; })),
    [](const auto& param) {
      std::string name = param.param.name;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// Nothing delivers at all: the clock still runs, in silence.
TEST(Timeline, RunsOnWithoutAnySource) {
  Timeline timeline(kRate, 1, 10.0);
  float mic[4096], tap[8192];
  std::size_t frames = 0;
  for (int tick = 0; tick <= 300; ++tick) {
    while (const std::size_t n = timeline.render(10.0 + tick / 100.0, mic, tap, 4096)) frames += n;
  }
  EXPECT_NEAR(double(frames) / kRate, 3.0 - Timeline::kMaxWaitSeconds, 0.02);
}

}  // namespace
}  // namespace ondrel::pulse
