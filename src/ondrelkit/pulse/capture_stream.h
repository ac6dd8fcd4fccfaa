// One record stream (a microphone, or the monitor of a sink) that does nothing on libpulse's
// thread but copy what the server delivers, stamped with the time it was captured, into a
// preallocated ring. The aggregate device's I/O thread reads the ring.
//
// Stamps: when the audio arrived here, corrected by the latency the server's timing reports give
// (PA_STREAM_AUTO_TIMING_UPDATE) on average, on the monotonic clock; a monitor's audio is stamped
// with when it is heard, not when it was mixed.
//
// Threads: open(), uncork(), close() and the state queries with the mainloop lock held, never on
// the mainloop thread; the ring's consumer side and ended() on the I/O thread.
#pragma once

#include <pulse/pulseaudio.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ondrelkit/pulse/pulse_connection.h"
#include "ondrelkit/spsc_ring.h"

namespace ondrel::pulse {

class CaptureStream {
 public:
  // A stamped piece of audio in the ring: `frames` frames (channels() samples each) follow in
  // the sample ring, or none for a hole.
  struct Chunk {
    std::uint32_t frames = 0;
    bool hole = false;
    double time = 0;  // when its first frame was captured, monotonic seconds
  };
  // Deliveries are split into chunks of at most this many frames.
  static constexpr std::uint32_t kMaxChunkFrames = 8192;

  // number: tells streams apart on the timeline. average: the stream is stereo and the ring keeps
  // the mean of its two channels, all that is recorded of it, in half the memory. Allocates the
  // ring (12 s of audio).
  CaptureStream(PulseConnection& connection, std::string source, const pa_sample_spec& sampleSpec,
                const pa_channel_map& map, std::uint32_t number, bool average = false);
  ~CaptureStream();
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Connects (corked if asked) and waits until it records or fails. false on failure, with
  // the stream closed again; then why() tells 'stop' (no server) or '!dev' (no such source).
  bool open(bool corked);
  void uncork();
  // After it returns no callback of the stream runs; ended() is true from then on.
  void close();
  bool running() const;
  std::int32_t why() const { return why_; }
  const std::string& source() const { return source_; }

  // Consumer side (the I/O thread).
  std::uint32_t number() const { return number_; }
  // Samples per frame in the ring.
  std::uint32_t channels() const { return average_ ? 1 : spec_.channels; }
  // Copies the next chunk's samples (at most kMaxChunkFrames frames) into samples, if it was
  // captured before `before`.
  bool read(Chunk& chunk, float* samples, double before);
  bool pending() const { return chunks_.readAvailable() > 0; }
  // The stream has ended (failed, or closed) and delivers no more.
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  // The I/O thread no longer reads it (a newer stream took over): the control side closes it.
  void retire() { retired_.store(true, std::memory_order_release); }
  bool retired() const { return retired_.load(std::memory_order_acquire); }

 private:
  double captureTimeOfNextRead();
  void deliver(const float* samples, std::size_t frames, double time);
  static void onReadable(pa_stream* stream, std::size_t bytes, void* self);
  static void onState(pa_stream* stream, void* self);

  PulseConnection& connection_;
  const std::string source_;
  const pa_sample_spec spec_;
  const pa_channel_map map_;
  const std::uint32_t number_;
  const bool average_;
  std::vector<float> mean_;  // one chunk of averaged frames
  pa_stream* stream_ = nullptr;
  std::int32_t why_ = 0;
  SpscRing<float> samples_;
  SpscRing<Chunk> chunks_;
  // Frames delivered so far, holes and overflows included.
  std::uint64_t position_ = 0;
  // The reads of the last kWindowSeconds whose frame-0 estimate may still be the earliest.
  struct Read {
    double at;
    double origin;
  };
  static constexpr double kWindowSeconds = 3.0;
  static constexpr std::size_t kWindowReads = 2048;
  std::array<Read, kWindowReads> earliest_{};
  std::size_t earliestFirst_ = 0;
  std::size_t earliestCount_ = 0;
  double lastEarliest_ = 0;
  static constexpr double kArrivalStep = 0.01;
  // The mean difference of reported from arrival stamps, over the last kOffsetReports reads.
  static constexpr std::uint64_t kOffsetReports = 200;
  static constexpr double kOffsetStep = 0.002;
  double meanOffset_ = 0;
  double offset_ = 0;  // what the stamps use: the mean, once it has moved by kOffsetStep
  std::uint64_t reports_ = 0;
  std::atomic<bool> ended_{false};
  std::atomic<bool> retired_{false};
};

}  // namespace ondrel::pulse
