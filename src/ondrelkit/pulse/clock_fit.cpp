#include "ondrelkit/pulse/clock_fit.h"

#include <cmath>

namespace ondrel::pulse {
namespace {

// Points are kept at least this far apart, over at most the window (the array's size bounds it
// too), so a stream of small chunks still spans several seconds.
constexpr double kSpacingSeconds = 0.04;
constexpr double kWindowSeconds = 20.0;
// The fitted slope is trusted once the points span this long and it is known well enough;
// before, the nominal rate holds.
constexpr double kSettleSeconds = 1.0;
constexpr double kSlopeError = 5e-5;
constexpr double kStepSeconds = 0.02;
constexpr double kWarmUpSeconds = 2.0;

}  // namespace

void ClockFit::add(double position, double time, double latency) {
  // The line itself runs without the latency; timeAt() adds the newest.
  latency_ = latency;
  time -= latency;
  // A stamp this far off the line is a step in the stream's latency, not drift: the line
  // starts again from it rather than bend toward it for the length of the window.
  if (count_ >= 2 && std::abs(time - lineAt(position)) > kStepSeconds) reset();
  // A stream's first seconds are when its latency settles (buffers fill, a backlog drains):
  // they place the line, but its slope is fitted only to what comes after.
  if (count_ == 0 && !warmedUp_) firstTime_ = time;
  if (!warmedUp_ && time - firstTime_ >= kWarmUpSeconds) {
    warmedUp_ = true;
    count_ = 0;
  }
  if (count_ > 0) {
    const Point& last = at(count_ - 1);
    if (time - last.time < kSpacingSeconds && count_ >= 8) return;
    while (count_ > 1 && (time - at(0).time > kWindowSeconds || count_ == points_.size())) {
      first_ = (first_ + 1) % points_.size();
      --count_;
    }
  }
  points_[(first_ + count_) % points_.size()] = Point{position, time};
  ++count_;
  refit();
}

void ClockFit::refit() {
  // Relative to the newest point, so large positions and times lose no precision.
  const Point& origin = at(count_ - 1);
  double sx = 0, sy = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    sx += at(i).position - origin.position;
    sy += at(i).time - origin.time;
  }
  const double mx = sx / double(count_), my = sy / double(count_);
  double sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    const double dx = at(i).position - origin.position - mx;
    sxx += dx * dx;
    sxy += dx * (at(i).time - origin.time - my);
  }
  meanPosition_ = origin.position + mx;
  meanTime_ = origin.time + my;
  period_ = nominalPeriod_;
  settled_ = false;
  if (count_ > 2 && sxx > 0 && at(count_ - 1).time - at(0).time >= kSettleSeconds) {
    // Trusted once the slope is known to a few parts in 10^4: a stream with scattered stamps
    // needs a longer stretch than one with exact ones.
    const double slope = sxy / sxx;
    double residuals = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      const double r = at(i).time - meanTime_ - slope * (at(i).position - meanPosition_);
      residuals += r * r;
    }
    const double error = std::sqrt(residuals / double(count_ - 2) / sxx);
    settled_ = error < kSlopeError * nominalPeriod_;
    if (settled_) period_ = slope;
  }
  // A slope far from nominal is a broken clock or broken stamps, not drift: keep the nominal.
  if (!(period_ > 0.9 * nominalPeriod_ && period_ < 1.1 * nominalPeriod_)) {
    period_ = nominalPeriod_;
    settled_ = false;
  }
}

double ClockFit::period() const {
  return count_ ? period_ : nominalPeriod_;
}

bool ClockFit::settled() const {
  return count_ && settled_;
}

double ClockFit::lineAt(double position) const {
  return meanTime_ + period_ * (position - meanPosition_);
}

double ClockFit::timeAt(double position) const {
  return lineAt(position) + latency_;
}

double ClockFit::positionAt(double time) const {
  return meanPosition_ + (time - latency_ - meanTime_) / period_;
}

}  // namespace ondrel::pulse
