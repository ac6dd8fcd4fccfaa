// The timeline in simulated time. A microphone sample holds its frame number, a tap sample the
// instant it was captured (a ramp repeating every second), so the output tells every frame's fate.
// Sources deliver on their own clocks with jitter and delay, and stall, lose or restart as each
// case scripts; the I/O thread renders every 10 ms, and in slices after a stall.
#include "ondrelkit/pulse/timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "ondrelkit/pulse/reported_latency.h"

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
  double speed = 1.0;                 // frames per nominal frame: a clock off by 0.5% is 1.005
  std::size_t chunk = 960;            // frames per delivery
  double delay = 0.005;               // from the capture of a chunk's last frame to its delivery
  double jitter = 0.002;              // more delay, uniform, and stamp noise of a tenth of it
  double lostFrom = -1, lostTo = -1;  // frames captured in [from, to) are never delivered
  double heldFrom = -1, heldTo = -1;  // deliveries due in [from, to) come at `to`, at once
  // Frames captured from then on are this much later, and their stamps report it.
  double latencyFrom = -1, latency = 0;
};

struct Case {
  std::string name;
  Source mic = {}, tap = {};
  double seconds = 20;
  double settle = 1;                                // alignment is checked from here on
  double renderStallFrom = -1, renderStallTo = -1;  // the I/O thread blocked (a disk stall)
  double newTapStreamAt = -1;  // a new monitor stream from here, overlapping the old by 30 ms
  double micGoneFrom = -1, micGoneTo = -1;  // the microphone stream ended, then came back
};

// What the timeline renders: the microphone, and the tap's left and right channels.
struct Output {
  std::vector<float> mic, left, right;
};

Output simulate(const Case& c) {
  Timeline timeline(kRate, 1, 0.0);
  timeline.expectMic();
  timeline.expectTap();
  std::mt19937 random(42);
  std::uniform_real_distribution<double> noise(0.0, 1.0);
  std::vector<float> chunk;
  std::size_t micNext = 0, tapNext = 0;
  std::uint32_t stream = 0;
  bool micGone = false;
  Output out;
  // Delivers every chunk of a source that is due by `now` and captured before `before`.
  const auto deliver = [&](const Source& s, std::size_t& next, double now, double before,
                           bool isMic) {
    const double frameSeconds = 1.0 / (kRate * s.speed);
    for (;; next += s.chunk) {
      const double first = double(next) * frameSeconds;
      double due = double(next + s.chunk - 1) * frameSeconds + s.delay + s.jitter * noise(random);
      if (due >= s.heldFrom && due < s.heldTo) due = s.heldTo;
      if (due > now || first >= before) return;
      if (first >= s.lostFrom && first < s.lostTo) continue;
      const double latency = s.latencyFrom >= 0 && first >= s.latencyFrom ? s.latency : 0;
      const double stamp = first + latency + 0.1 * s.jitter * (noise(random) - 0.5);
      chunk.resize(s.chunk);
      for (std::size_t i = 0; i < s.chunk; ++i) {
        const double captured = double(next + i) * frameSeconds + latency;
        chunk[i] = isMic ? float(next + i + 1) : timeCode(captured);
      }
      if (isMic) {
        timeline.pushMic(chunk.data(), s.chunk, stamp, latency);
      } else {
        timeline.pushTap(stream, chunk.data(), s.chunk, stamp, latency);
      }
    }
  };
  float mic[4096], tap[2 * 4096];
  double lastCycle = 0;
  for (int tick = 0; tick < int(c.seconds * 100); ++tick) {
    const double now = tick / 100.0;
    if (const bool gone = now >= c.micGoneFrom && now < c.micGoneTo; gone != micGone) {
      micGone = gone;
      micNext = std::size_t(now * kRate * c.mic.speed);  // where the stream comes back
      gone ? timeline.micGone() : timeline.expectMic();
    }
    if (c.newTapStreamAt >= 0 && now >= c.newTapStreamAt && stream == 0) {
      stream = 1;
      tapNext = std::size_t((c.newTapStreamAt - 0.03) * kRate * c.tap.speed);
    }
    if (now >= c.renderStallFrom && now < c.renderStallTo) continue;
    for (double upTo = std::min(now, lastCycle + Timeline::kSliceSeconds);;
         upTo = std::min(now, upTo + Timeline::kSliceSeconds)) {
      const double before = upTo < now ? upTo : HUGE_VAL;
      if (!micGone) deliver(c.mic, micNext, now, before, true);
      deliver(c.tap, tapNext, now, before, false);
      while (const std::size_t n = timeline.render(upTo, mic, tap, 4096)) {
        for (std::size_t i = 0; i < n; ++i) {
          out.mic.push_back(mic[i]);
          out.left.push_back(tap[2 * i]);
          out.right.push_back(tap[2 * i + 1]);
        }
      }
      if (upTo >= now) break;
    }
    lastCycle = now;
  }
  return out;
}

class TimelineCases : public ::testing::TestWithParam<Case> {};

TEST_P(TimelineCases, KeepsEveryFrameOnOneTimeline) {
  const Case& c = GetParam();
  const Output out = simulate(c);

  // The output keeps wall-clock time, whatever the sources did (it trails by the wait at most).
  EXPECT_NEAR(double(out.mic.size()) / kRate, c.seconds, Timeline::kMaxWaitSeconds + 0.05);

  // Every microphone frame delivered is there once, in order; gaps where frames were lost or gone.
  std::size_t expected = 1, missing = 0, tapSilent = 0;
  double worstLagMs = 0;
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
  const double gaps =
      std::max(0.0, c.mic.lostTo - c.mic.lostFrom) + std::max(0.0, c.micGoneTo - c.micGoneFrom);
  EXPECT_NEAR(double(missing), gaps * kRate * c.mic.speed, double(c.mic.chunk) + 1.0)
      << "microphone frames lost";
  EXPECT_EQ(tapSilent, 0u) << "system audio silent where it was delivered";
  EXPECT_LE(worstLagMs, 2.0) << "system channel off the microphone channel";
}

INSTANTIATE_TEST_SUITE_P(
    Deliveries, TimelineCases,
    ::testing::Values(
        Case{.name = "Steady"},
        // Large graph quanta, delivered late.
        Case{.name = "TapQuantum8192Late200ms", .tap = {.chunk = 8192, .delay = 0.2}},
        // Clocks 0.5% apart: a minute of it is 300 ms uncorrected.
        Case{.name = "TapFastByHalfAPercent", .tap = {.speed = 1.005}, .seconds = 60, .settle = 20},
        // The tap stalls for 900 ms and then catches up: nothing may be lost.
        Case{.name = "TapStallCatchesUp", .tap = {.heldFrom = 5, .heldTo = 5.9}},
        // A second of the tap never arrives: silence there, aligned again after.
        Case{.name = "TapOutage", .tap = {.lostFrom = 5, .lostTo = 6}},
        // 200 ms of the microphone lost before delivery: a gap of that length, no shift.
        Case{.name = "MicFramesLost", .mic = {.lostFrom = 5, .lostTo = 5.2}},
        // The microphone stalls beyond the wait: its late audio is kept, after what went out.
        Case{.name = "MicStallBeyondTheWait", .mic = {.heldFrom = 5, .heldTo = 8.5}},
        // The I/O thread blocked for 10 s (a disk stall): the sources queue meanwhile.
        Case{.name = "RenderStall10s", .seconds = 16, .renderStallFrom = 3, .renderStallTo = 13},
        Case{.name = "NewMonitorStream", .newTapStreamAt = 5},
        // Read only after the old one's overlapping tail went out: the overlap comes off the head.
        Case{.name = "NewMonitorStreamReadLate",
             .tap = {.chunk = 256, .heldFrom = 5, .heldTo = 6},
             .newTapStreamAt = 5},
        // A lasting latency step is pulled in at once, never cut or padded.
        Case{.name = "TapLatencyStepPulledIn",
             .tap = {.latencyFrom = 8, .latency = 0.04},
             .seconds = 60,
             .settle = 55},
        Case{.name = "TapLatencyStepPulledInAtOnce",
             .tap = {.latencyFrom = 8, .latency = 0.008},
             .seconds = 30,
             .settle = 18},
        // The microphone gone for two seconds: the clock runs on, both come back in place.
        Case{.name = "MicGoneAndBack", .micGoneFrom = 4, .micGoneTo = 6}),
    [](const auto& param) { return param.param.name; });

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

// Reports as PipeWire's come, in milliseconds: late by up to a quantum, tens of milliseconds early
// around a graph change, now and then a lasting step.
double feed(ReportedLatency& reports, std::initializer_list<double> milliseconds) {
  for (const double report : milliseconds) reports.add(report / 1000);
  return reports.latency() * 1000;
}

TEST(ReportedLatency, FollowsTheFloorOfLateReportsNotAFewMilliseconds) {
  // A new monitor stream's first reports, as measured: most of them late.
  ReportedLatency first;
  EXPECT_NEAR(feed(first, {3.56, 3.83, 4.61, 0.31, 4.82, 0.12}), 0.2, 0.15);
  ReportedLatency early;  // one report early by a millisecond does not place it early
  EXPECT_NEAR(feed(early, {-0.94, 1.07, 2.03, 0.01, 2.38, 0.27, 0.06}), 0.05, 0.1);
}

TEST(ReportedLatency, IgnoresAStretchOffByTensOfMillisecondsAndFollowsALastingStep) {
  ReportedLatency reports;
  for (int i = 0; i < 4; ++i) feed(reports, {1.2, 3.4, 1.0, 5.9});
  EXPECT_NEAR(feed(reports, {-69, -70, -69, -62, -69}), 1.0, 0.2);
  EXPECT_NEAR(feed(reports, {1.1, 4.0, 1.0, 2.2}), 1.0, 0.2);
  // A quantum later for good: followed once half the reports say so.
  for (int i = 0; i < 4; ++i) feed(reports, {6.4, 8.0, 6.3, 10.1});
  EXPECT_NEAR(reports.latency() * 1000, 6.3, 0.2);
}

TEST(ReportedLatency, FollowsAStepOfExactReportsAtOnceButNotASawtooth) {
  // Exact reports: a quantum later is followed within three, even after a stretch early.
  ReportedLatency exact;
  for (int i = 0; i < 4; ++i) feed(exact, {-5.2, -5.3, -1.9, -5.2, -5.3});
  EXPECT_NEAR(feed(exact, {35, 36, 34}), -5.3, 0.05);
  feed(exact, {-74, -74, -70});
  EXPECT_NEAR(feed(exact, {0.21, 0.19, 0.18}), 0.18, 0.01);
  EXPECT_NEAR(feed(exact, {0.2, 2.1, 0.2}), 0.2, 0.05);
  // Late by up to a quantum of 1024 frames: three in a row well above the floor are no step.
  ReportedLatency sawtooth;
  const std::initializer_list<double> quantum1024 = {0.5, 12.0, 20.1, 7.3, 15.2, 3.3, 0.6, 18.0};
  for (int i = 0; i < 2; ++i) feed(sawtooth, quantum1024);
  double highest = 0;
  for (int i = 0; i < 2; ++i) {
    for (const double report : quantum1024) highest = std::max(highest, feed(sawtooth, {report}));
  }
  EXPECT_LT(highest, 1.0);
}

}  // namespace
}  // namespace ondrel::pulse
