// Pairs the tap's record stream with the microphone's. The microphone is the clock master: for
// every chunk it delivers, the tap supplies exactly as many frames. The tap's audio waits in a
// queue whose level is held near a target just large enough to cover one chunk of each stream in
// flight. Small clock differences are corrected by resampling the tap a little faster or slower
// (libswresample's compensation); a starved queue is refilled with silence and a surplus beyond a
// bound is dropped, so the two channels never drift apart.
//
// Not thread-safe: push() and pull() run on one thread (the sound server's event thread).
// Neither throws nor allocates: every buffer, the resampler's own included, is allocated up front.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SwrContext;

namespace ondrel::pulse {

class StreamPairing {
 public:
  struct Stats {
    std::uint64_t silenceFrames = 0;   // silence handed out where tap audio had not arrived
    std::uint64_t droppedFrames = 0;   // tap audio thrown away to cut a surplus
    std::uint64_t overflowFrames = 0;  // tap audio lost because the queue was full
  };

  // sampleRate: the microphone's rate, at which the tap is also recorded. Throws std::bad_alloc
  // or std::runtime_error when the resampler cannot be set up.
  StreamPairing(std::uint32_t sampleRate, std::uint32_t channels);
  ~StreamPairing();
  StreamPairing(const StreamPairing&) = delete;
  StreamPairing& operator=(const StreamPairing&) = delete;

  // The tap delivered frameCount interleaved frames at time now (seconds, any monotonic origin);
  // frames == nullptr is a hole, taken as silence.
  void push(const float* frames, std::size_t frameCount, double now);

  // The microphone delivered frameCount frames at time now: writes exactly frameCount interleaved
  // tap frames to out.
  void pull(float* out, std::size_t frameCount, double now);

  Stats stats() const { return stats_; }

 private:
  void enqueue(const float* frames, std::size_t frameCount);
  void dropFront(std::size_t frameCount);
  void shiftLevel(long frames, double now);
  double level(double now) const;
  void steerRate(double error);

  const double rate_;
  const std::size_t channels_;
  SwrContext* resampler_ = nullptr;
  std::vector<float> silence_;    // one input slice of zeros, for holes
  std::vector<float> resampled_;  // one resampled slice
  std::vector<float> queue_;      // ring of interleaved frames
  std::size_t queueHead_ = 0;     // first frame
  std::size_t queuedFrames_ = 0;
  std::size_t silenceDue_ = 0;  // frames of silence to hand out before the queue
  std::size_t maxMicChunk_ = 0;
  std::size_t maxTapChunk_ = 0;
  double lastPushTime_ = 0.0;
  bool pushed_ = false;
  bool primed_ = false;
  double smoothedLevel_ = 0.0;  // steers the rate
  double recentLevel_ = 0.0;    // confirms a surplus
  Stats stats_;
};

}  // namespace ondrel::pulse
