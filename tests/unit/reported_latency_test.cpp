// Timing reports as PipeWire's come: late by a sawtooth of up to a quantum (5.3 ms here), a few
// tens of milliseconds early for a while around a change of the graph, and now and then a lasting
// step. Values in milliseconds.
#include "ondrelkit/pulse/reported_latency.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

namespace ondrel::pulse {
namespace {

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
  // Most reports on the latency: a quantum later is followed within three reports, also right
  // after a stretch tens of milliseconds early, and kept; tens of milliseconds late is no step.
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
