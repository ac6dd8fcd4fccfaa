// One record stream (a microphone, or the monitor of a sink) that does nothing on libpulse's
// thread but copy what the server delivers, stamped with the time it was captured, into a
// preallocated ring. The aggregate device's I/O thread reads the ring.
//
// Stamps: when the audio arrived here, corrected by the latency the server's timing reports give
// (asked for a few times a second), on the monotonic clock; a monitor's audio is stamped with
// when it is heard, not when it was mixed. Besides copying, libpulse's thread only asks for those
// reports, which neither blocks nor waits for an answer.
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
#include "ondrelkit/pulse/reported_latency.h"
#include "ondrelkit/spsc_ring.h"

namespace ondrel::pulse {

class CaptureStream {
 public:
  // A stamped piece of audio: `frames` frames (channels() samples each) follow in the sample
  // ring, or none for a hole. In the ring `time` is where the chunk lies in the stream (seconds
  // from its first frame); read() stamps it by the arrival line and the latency as they stand
  // then, so that a chunk read late (a stream held until it settles) gets settled stamps.
  struct Chunk {
    std::uint32_t frames = 0;
    bool hole = false;
    double time = 0;  // when its first frame was captured, monotonic seconds
    // What of `time` is the latency the server reports, as it stood then: it moves in steps as
    // the reports come in, while the rest of `time` follows the stream's clock smoothly.
    double latency = 0;
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
  // When the next chunk was captured (HUGE_VAL if there is none yet).
  double nextTime() const;
  // A second of the stream has been heard and reported on: its stamps are as good as they get.
  bool settled() const { return settled_.load(std::memory_order_acquire); }
  // From now on settled() whatever it has heard (the recording ends).
  void settle() { settled_.store(true, std::memory_order_release); }
  // The stream has ended (failed, or closed) and delivers no more.
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  // The I/O thread no longer reads it (a newer stream took over): the control side closes it.
  void retire() { retired_.store(true, std::memory_order_release); }
  bool retired() const { return retired_.load(std::memory_order_acquire); }

 private:
  void observe();
  void deliver(const float* samples, std::size_t frames);
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
  static constexpr double kArrivalStep = 0.002;
  double steps_ = 0;  // the arrival line's sudden steps, taken back
  static constexpr double kReportInterval = 0.25;
  // How much later than the arrival line the timing reports place the stream.
  ReportedLatency reports_;
  timeval lastReport_{};
  double lastRequest_ = 0;
  static constexpr std::size_t kSettleReports = 6;
  static constexpr double kSettleSeconds = 1.0;
  std::atomic<double> origin_{0};  // when frame 0 was captured, by the arrival line
  std::atomic<double> latency_{0};
  std::atomic<bool> settled_{false};  // reports enough to read the stream by
  std::atomic<bool> ended_{false};
  std::atomic<bool> retired_{false};
};

}  // namespace ondrel::pulse
