#include "ondrelkit/pulse/reported_latency.h"

#include <algorithm>

namespace ondrel::pulse {

void ReportedLatency::add(double report) {
  std::copy_backward(reports_.begin(), reports_.end() - 1, reports_.end());
  reports_[0] = report;
  count_ = std::min(count_ + 1, kReports);
  std::array<double, kReports> sorted{};
  std::copy_n(reports_.begin(), count_, sorted.begin());
  const auto middle = sorted.begin() + std::ptrdiff_t(count_ / 2);
  std::nth_element(sorted.begin(), middle, sorted.begin() + std::ptrdiff_t(count_));
  // Exact reports (most of them on the latency): a few in a row above it are a lasting step.
  if (count_ >= kEstablished && *middle - latency_ < kExact) {
    const auto last = reports_.begin() + std::ptrdiff_t(kStepReports);
    const double low = *std::min_element(reports_.begin(), last);
    const double high = *std::max_element(reports_.begin(), last);
    if (low > latency_ + kMinStep && high <= latency_ + kStaleness) {
      latency_ = low;
      count_ = kStepReports;  // the history starts at the step, so the median agrees with it
      return;
    }
  }
  std::array<double, kRecent> recent{};
  std::size_t near = 0;
  for (std::size_t i = 0; i < std::min(count_, kRecent); ++i) {
    if (reports_[i] <= *middle && reports_[i] >= *middle - kStaleness) recent[near++] = reports_[i];
  }
  if (near < 2) {
    latency_ = *middle;
    return;
  }
  std::nth_element(recent.begin(), recent.begin() + 1, recent.begin() + std::ptrdiff_t(near));
  latency_ = recent[1];
}

}  // namespace ondrel::pulse
