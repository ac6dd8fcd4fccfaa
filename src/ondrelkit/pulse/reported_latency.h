// What a stream's timing reports say of its latency: the part of a stamp the arrival of its audio
// cannot show (for a monitor, the time until the sound is heard). Each report gives how much later
// than the arrival line the server placed the stream. One report is never early, but it is late
// by as long as the server's last write had stood when it answered: on PipeWire up to a graph
// quantum, in a sawtooth from report to report. Around a change of the server's graph a few are
// tens of milliseconds off for a second or two.
//
// So: the median of the last kReports ignores such a stretch and follows a lasting change once
// half the reports show it; and of the recent reports within a quantum below it, the second
// lowest is the latency, so that a stream's first few reports, most of them late, do not place it
// milliseconds late. Where most reports sit on the latency (a small quantum), a lasting step up
// (PipeWire hands a stream over a quantum later after a change of its graph) shows in every
// report at once: kStepReports in a row above it are followed then, seconds before half would.
//
// Plain arithmetic, no allocation; one thread.
#pragma once

#include <array>
#include <cstddef>

namespace ondrel::pulse {

class ReportedLatency {
 public:
  // One report: seconds later than the arrival line.
  void add(double report);
  // Reports kept: all so far, up to the last kReports.
  std::size_t count() const { return count_; }
  // Seconds to add to the arrival line (0 before any report).
  double latency() const { return latency_; }

 private:
  static constexpr std::size_t kReports = 32;
  static constexpr std::size_t kRecent = 8;
  // Late by no more than this: a graph quantum of 1024 frames at 48 kHz, and a margin.
  static constexpr double kStaleness = 0.025;
  // Not in a stream's first seconds, when its reports still settle; within kExact of the median;
  // a step larger than the scatter of exact reports.
  static constexpr std::size_t kEstablished = 16;
  static constexpr double kExact = 0.001;
  static constexpr std::size_t kStepReports = 3;
  static constexpr double kMinStep = 0.002;
  std::array<double, kReports> reports_{};  // newest first
  std::size_t count_ = 0;
  double latency_ = 0;
};

}  // namespace ondrel::pulse
