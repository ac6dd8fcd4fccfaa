// The clock of one capture stream, seen from the monotonic clock: a straight line through the
// recent (frame position, capture time) pairs, fitted by least squares. Its slope is the stream's
// real frame period (a sound card runs a little fast or slow), its line says when any frame was
// captured, and the scatter of single stamps (scheduling, interpolated latency) averages out.
//
// A stamp may carry a latency, a part of it that moves in steps (the server's reports of the
// source's latency): the line is fitted to the stamps without it, and the newest latency is added
// back, so that a step moves the line at once rather than tilt it for the length of the window.
//
// Plain arithmetic, no allocation after construction; one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ondrel::pulse {

class ClockFit {
 public:
  explicit ClockFit(double nominalRate) : nominalPeriod_(1.0 / nominalRate) {}

  void reset() {
    count_ = 0;
    warmedUp_ = false;
  }
  bool empty() const { return count_ == 0; }
  // Frame `position` was captured at `time` (seconds), of which `latency` is the reported part.
  // Points closer than a few milliseconds to the last one kept are only used while there are few.
  void add(double position, double time, double latency = 0);
  // Seconds per frame: the fitted slope once the points span long enough, else the nominal one.
  double period() const;
  // Whether the slope comes from the stream itself.
  bool settled() const;
  double timeAt(double position) const;
  double positionAt(double time) const;

 private:
  struct Point {
    double position;
    double time;
  };
  double lineAt(double position) const;
  const Point& at(std::size_t i) const { return points_[(first_ + i) % points_.size()]; }
  void refit();

  const double nominalPeriod_;
  std::array<Point, 512> points_{};
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  // The line: time = meanTime_ + period_ * (position - meanPosition_).
  double meanPosition_ = 0;
  double meanTime_ = 0;
  double period_ = 0;
  bool settled_ = false;
  double firstTime_ = 0;
  bool warmedUp_ = false;
  double latency_ = 0;
};

}  // namespace ondrel::pulse
