// Places the microphone and the system audio on one timeline by the time each chunk was captured,
// and hands out aligned frames: frame k of the output is the same instant in both channels.
//
// The microphone is the clock master while it delivers: its frames go out one for one, never
// dropped or resampled, with silence only where it had a hole or was gone. The tap is resampled
// onto the microphone's clock (libswresample's compensation: the two clocks' fitted rates, plus
// a slow correction of what is left, a change of reported latency included), so clock drift
// never builds up; a hole, a late start or a new monitor stream is placed by its capture time,
// with silence before it or the overlap dropped. While the microphone is gone the timeline runs on
// the monotonic clock, so the file keeps wall-clock time through an outage.
//
// Output waits for both sources (latency costs nothing in a file): frames go out once every
// present source has delivered them, or once they are `kMaxWaitSeconds` old, whichever is first;
// what a source has not delivered by then is silence.
//
// Not thread-safe: one thread (the aggregate device's I/O thread) calls everything. Nothing
// allocates after construction. Times are seconds on the monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ondrelkit/pulse/clock_fit.h"
#include "ondrelkit/spsc_ring.h"

struct SwrContext;

namespace ondrel::pulse {

class Timeline {
 public:
  // The tap comes in as one channel (the mean of the monitor's two) and goes out as two.
  static constexpr std::uint32_t kTapChannels = 2;
  static constexpr double kMaxWaitSeconds = 2.5;
  // The queues hold the wait and a few seconds more, not a stall's backlog: after a stall the
  // caller pushes what was captured and renders in steps of at most this much capture time,
  // rendering each as of its end.
  static constexpr double kSliceSeconds = 0.5;

  struct Stats {
    std::uint64_t micSilenceFrames = 0;  // frames given out without microphone audio
    std::uint64_t tapSilenceFrames = 0;  // frames given out without system audio
    std::uint64_t tapDroppedFrames = 0;  // system audio that overlapped audio already placed
  };

  // Frame 0 of the output is the instant `start`. Throws std::runtime_error or std::bad_alloc
  // when the resampler cannot be set up.
  Timeline(std::uint32_t rate, std::uint32_t micChannels, double start);
  ~Timeline();
  Timeline(const Timeline&) = delete;
  Timeline& operator=(const Timeline&) = delete;

  // A microphone stream was started: output waits for its audio from now on.
  void expectMic() { micPresent_ = true; }
  // A chunk of the microphone whose first frame was captured at `time`, of which `latency` is
  // the source's latency as reported (see ClockFit); samples == nullptr is a hole of that many
  // frames.
  void pushMic(const float* samples, std::size_t frames, double time, double latency = 0);
  // The microphone stream ended: stop waiting for it; a later chunk starts a new stretch.
  void micGone();

  void expectTap() { tapPresent_ = true; }
  // A chunk of the tap (one channel). A higher `stream` number (a new monitor stream) is placed
  // afresh and takes over from its first frame on; chunks of older streams are ignored then.
  void pushTap(std::uint32_t stream, const float* samples, std::size_t frames, double time,
               double latency = 0);
  void tapGone();

  // Writes up to maxFrames frames that are due at `now` (microphone channels interleaved into
  // mic, the tap twice into the two channels of tap); returns how many. Call until it returns 0.
  std::size_t render(double now, float* mic, float* tap, std::size_t maxFrames);

  std::uint32_t rate() const { return rate_; }
  std::uint32_t micChannels() const { return micChannels_; }
  Stats stats() const { return stats_; }

 private:
  // The output frame (fractional) at which an instant falls.
  double frameAt(double time) const;
  double gapFrames(std::size_t chunkFrames, double seconds) const;
  std::uint64_t micEnd() const { return out_ + micQueue_.readAvailable() / micChannels_; }
  std::uint64_t tapEnd() const { return out_ + tapQueue_.readAvailable(); }
  void pad(SpscRing<float>& queue, std::size_t channels, std::uint64_t frames);
  void padMic(std::uint64_t frames);
  void padTap(std::uint64_t frames);
  void feedTap(const float* samples, std::size_t frames);
  void steer();

  const std::uint32_t rate_;
  const std::uint32_t micChannels_;
  std::uint64_t out_ = 0;  // next output frame

  // Microphone: frames from out_ on wait in micQueue_.
  SpscRing<float> micQueue_;
  bool micPresent_ = false;
  double micFed_ = 0;  // frames of this stretch so far, holes and gaps included
  ClockFit micClock_;
  std::uint64_t micSegment_ = 0;  // output frame of position 0 of micClock_
  // While the microphone is absent: output frame anchorFrame_ falls at anchorTime_, and frames
  // follow at the nominal rate.
  double anchorFrame_ = 0;
  double anchorTime_ = 0;

  // Tap: resampled frames from out_ on wait in tapQueue_.
  SpscRing<float> tapQueue_;
  bool tapPresent_ = false;
  bool tapPlaced_ = false;
  std::uint32_t tapStream_ = 0;
  ClockFit tapClock_;
  double tapPosition_ = 0;  // tap frames since this stream was last placed
  double tapLatency_ = 0;   // the reported latency of its last chunk
  double lastFitted_ = 0;   // the fitted misplacement of its last chunk
  double tapError_ = 0;     // smoothed: where tap frames belong minus where they land
  int compensation_ = 0;    // samples added per second by the resampler
  SwrContext* resampler_ = nullptr;
  std::vector<float> zeros_;      // one slice of silence
  std::vector<float> resampled_;  // one resampled slice

  Stats stats_;
};

}  // namespace ondrel::pulse
