#include "ondrelkit/pulse/aggregate_io.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace ondrel::pulse {
namespace {

// How often the thread wakes. A recorder needs no low latency: a quarter of the wake-ups of a
// 10 ms period costs the thread less than half the CPU, and the level meters, read every 100 ms,
// still see fresh audio.
constexpr auto kPeriod = std::chrono::milliseconds(40);
constexpr std::size_t kBlockFrames = 4096;
// How far an unsettled stream's stamps may be off.
constexpr double kUnsettledSeconds = 0.1;

double secondsNow() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::uint64_t hostTimeNow() {
  using namespace std::chrono;
  return std::uint64_t(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

AggregateIO::AggregateIO(std::uint32_t rate, std::uint32_t micChannels)
    : timeline_(rate, micChannels, secondsNow()),
      chunk_(std::size_t(CaptureStream::kMaxChunkFrames) * std::max(micChannels, 2u)),
      micOut_(kBlockFrames * micChannels),
      tapOut_(kBlockFrames * Timeline::kTapChannels) {}

AggregateIO::~AggregateIO() {
  stop();
}

void AggregateIO::setMic(std::shared_ptr<CaptureStream> mic) {
  std::lock_guard lock(mutex_);
  pendingMic_ = std::move(mic);
  ++changes_;
}

void AggregateIO::addTap(std::shared_ptr<CaptureStream> tap) {
  std::lock_guard lock(mutex_);
  pendingTaps_.push_back(std::move(tap));
  ++changes_;
}

std::shared_ptr<CaptureStream> AggregateIO::mic() const {
  std::lock_guard lock(mutex_);
  return pendingMic_;
}

std::vector<std::shared_ptr<CaptureStream>> AggregateIO::takeRetired() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<CaptureStream>> retired = std::exchange(retiredMics_, {});
  for (auto& tap : pendingTaps_) {
    if (tap->retired() && tap != pendingTaps_.back()) retired.push_back(tap);
  }
  std::erase_if(pendingTaps_, [](const auto& tap) { return tap->retired(); });
  return retired;
}

std::shared_ptr<CaptureStream> AggregateIO::tap() const {
  std::lock_guard lock(mutex_);
  return pendingTaps_.empty() ? nullptr : pendingTaps_.back();
}

std::vector<std::shared_ptr<CaptureStream>> AggregateIO::taps() const {
  std::lock_guard lock(mutex_);
  return pendingTaps_;
}

std::vector<std::shared_ptr<CaptureStream>> AggregateIO::streams() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<CaptureStream>> all = pendingTaps_;
  all.insert(all.end(), retiredMics_.begin(), retiredMics_.end());
  for (const auto& mic : {pendingMic_, mic_, oldMic_}) {
    if (mic) all.push_back(mic);
  }
  return all;
}

void AggregateIO::start(AudioDeviceIOBlock block) {
  if (thread_.joinable()) return;
  block_ = std::move(block);
  {
    std::lock_guard lock(mutex_);
    quit_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void AggregateIO::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  thread_.join();
  block_ = nullptr;
}

void AggregateIO::run() {
  std::unique_lock lock(mutex_);
  // The cycle that starts once the stop is seen is the last: what is due then still goes out,
  // not lost with the last period.
  for (bool last = false; !last;) {
    last = quit_;
    if (seenChanges_ != changes_) {
      seenChanges_ = changes_;
      if (pendingMic_ != mic_ && pendingMic_ && !pendingMic_->ended()) {
        if (mic_ && !oldMic_) {
          oldMic_ = mic_;
        } else if (mic_) {
          retiredMics_.push_back(mic_);  // a third in a row: the middle one never began
        }
        mic_ = pendingMic_;
        timeline_.expectMic();
      }
      for (const auto& tap : pendingTaps_) {
        if (std::find(taps_.begin(), taps_.end(), tap) == taps_.end()) taps_.push_back(tap);
      }
      if (!taps_.empty()) timeline_.expectTap();
    }
    if (last) {
      // Nothing captured is left behind, whether its stream has settled or not.
      for (const auto& tap : taps_) tap->settle();
      if (mic_) mic_->settle();
    }
    lock.unlock();
    cycle();
    lock.lock();
    if (!last) wake_.wait_for(lock, kPeriod, [this] { return quit_; });
  }
}

// Everything captured up to a moment goes onto the timeline before anything is rendered as of
// that moment, so nothing counts as late that was only waiting in a ring. After a stall (the
// block held up by a slow disk) the rings hold seconds of audio; it goes through in slices of
// capture time, each rendered as of its end, as it would have without the stall.
void AggregateIO::cycle() {
  const double now = secondsNow();
  if (lastCycle_ == 0) lastCycle_ = now;
  for (double upTo = std::min(now, lastCycle_ + Timeline::kSliceSeconds);;
       upTo = std::min(now, upTo + Timeline::kSliceSeconds)) {
    // The last slice takes everything, monitor audio stamped ahead (to be heard later) too.
    drain(upTo < now ? upTo : HUGE_VAL);
    render(upTo);
    if (upTo >= now) break;
  }
  lastCycle_ = now;
}

// A microphone that replaces another starts a stretch of its own once the old one has given
// everything it captured before the new one's first frame, and the new one's stamps have settled.
void AggregateIO::drainMic(double before) {
  CaptureStream::Chunk chunk;
  if (oldMic_) {
    // Until the new one's stamps have settled its start is known only roughly (by a quantum or
    // so): the old one is read that far short of it, and the rest once it is known.
    const bool settled = mic_ && mic_->settled();
    const double handOver = mic_ ? mic_->nextTime() : HUGE_VAL;
    const double readTo = settled ? handOver : handOver - kUnsettledSeconds;
    const bool ended = oldMic_->ended();
    while (oldMic_->read(chunk, chunk_.data(), std::min(before, readTo))) {
      // Cut only at the settled start: a cut short of it would lose the rest of the chunk.
      const double upTo = settled ? std::ceil((handOver - chunk.time) * double(timeline_.rate()))
                                  : double(chunk.frames);
      const auto frames = std::uint32_t(std::min(double(chunk.frames), upTo));
      timeline_.pushMic(chunk.hole ? nullptr : chunk_.data(), frames, chunk.time, chunk.latency);
    }
    // As with a monitor: the new one takes over once its stamps have settled, placed by them.
    const bool takeOver = settled && oldMic_->nextTime() >= handOver;
    if ((ended && !oldMic_->pending()) || takeOver) {
      timeline_.micGone();
      std::lock_guard lock(mutex_);
      retiredMics_.push_back(std::exchange(oldMic_, nullptr));
    } else {
      return;  // the new one waits in its ring
    }
    if (mic_) timeline_.expectMic();
  }
  if (mic_) {
    const bool ended = mic_->ended();
    while (mic_->read(chunk, chunk_.data(), before)) {
      timeline_.pushMic(chunk.hole ? nullptr : chunk_.data(), chunk.frames, chunk.time,
                        chunk.latency);
    }
    if (ended && !mic_->pending()) {
      timeline_.micGone();
      mic_.reset();
    }
  }
}

void AggregateIO::drain(double before) {
  CaptureStream::Chunk chunk;
  drainMic(before);
  // A newer tap stream takes over once a second of it has been heard and reported on, so that its
  // start is placed by settled stamps; until then the older one is read up to the instant the
  // newer one begins, and no further. Once the newer one has delivered, the older ones are let go.
  for (std::size_t i = 0; i < taps_.size(); ++i) {
    const auto& tap = taps_[i];
    const bool ended = tap->ended() && !tap->pending();
    if (i > 0 && !tap->settled() && !tap->ended()) continue;
    double handOver = HUGE_VAL;
    for (std::size_t newer = i + 1; newer < taps_.size(); ++newer) {
      handOver = std::min(handOver, taps_[newer]->nextTime());
    }
    bool delivered = false;
    while (tap->read(chunk, chunk_.data(), std::min(before, handOver))) {
      const double upTo = std::ceil((handOver - chunk.time) * double(timeline_.rate()));
      const auto frames = std::uint32_t(std::min(double(chunk.frames), upTo));
      timeline_.pushTap(tap->number(), chunk.hole ? nullptr : chunk_.data(), frames, chunk.time,
                        chunk.latency);
      delivered = true;
    }
    if (delivered && i > 0) {
      for (std::size_t older = 0; older < i; ++older) taps_[older]->retire();
      taps_.erase(taps_.begin(), taps_.begin() + std::ptrdiff_t(i));
      i = 0;
    } else if (ended && taps_.size() > 1) {
      tap->retire();
      taps_.erase(taps_.begin() + std::ptrdiff_t(i));
      --i;
    }
  }
  if (taps_.size() == 1 && taps_.front()->ended() && !taps_.front()->pending()) {
    taps_.front()->retire();
    taps_.clear();
    timeline_.tapGone();
  }
}

void AggregateIO::render(double now) {
  const std::uint32_t micChannels = timeline_.micChannels();
  while (const std::size_t frames =
             timeline_.render(now, micOut_.data(), tapOut_.data(), kBlockFrames)) {
    AudioBuffer buffers[2];
    buffers[0].mNumberChannels = micChannels;
    buffers[0].mDataByteSize = std::uint32_t(frames * micChannels * sizeof(float));
    buffers[0].mData = micOut_.data();
    buffers[1].mNumberChannels = Timeline::kTapChannels;
    buffers[1].mDataByteSize = std::uint32_t(frames * Timeline::kTapChannels * sizeof(float));
    buffers[1].mData = tapOut_.data();
    const AudioBufferList input{2, buffers};
    const AudioTimeStamp time{sampleTime_, hostTimeNow()};
    block_(&time, &input, &time, nullptr, &time);
    sampleTime_ += double(frames);
  }
}

}  // namespace ondrel::pulse
