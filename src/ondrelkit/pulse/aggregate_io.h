// The I/O thread of a running aggregate device: it reads the capture streams' rings, places the
// audio on the timeline and calls the registered I/O block with aligned buffers (the microphone,
// then the tap in stereo), as a real aggregate device's I/O thread does. The block's work (disk
// writes included) therefore never runs on libpulse's thread.
//
// The streams can be swapped while it runs: a new microphone, which takes over from its first
// frame while the old one is read up to that instant (nothing the old one captured before is
// lost, whether it still runs or has ended); a new tap (monitor) stream beside the old one, which
// takes over from its first frame once its stamps have settled (make-before-break). The old ones
// are then retired, for the control side to close (with the mainloop lock). The
// timeline outlives a stop: a device started again on the same microphone resumes it, so nothing
// captured in between is lost.
//
// Threads: every member function from one control thread at a time, never the I/O thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ondrelkit/audio_hardware.h"
#include "ondrelkit/pulse/capture_stream.h"
#include "ondrelkit/pulse/timeline.h"

namespace ondrel::pulse {

class AggregateIO {
 public:
  // Throws what Timeline throws.
  AggregateIO(std::uint32_t rate, std::uint32_t micChannels);
  ~AggregateIO();
  AggregateIO(const AggregateIO&) = delete;
  AggregateIO& operator=(const AggregateIO&) = delete;

  void setMic(std::shared_ptr<CaptureStream> mic);
  void addTap(std::shared_ptr<CaptureStream> tap);
  // The streams the thread still reads (the latest tap last).
  std::shared_ptr<CaptureStream> mic() const;
  std::shared_ptr<CaptureStream> tap() const;
  // Streams the thread no longer reads, to be closed by the caller; forgotten here.
  std::vector<std::shared_ptr<CaptureStream>> takeRetired();
  // Every tap stream still held.
  std::vector<std::shared_ptr<CaptureStream>> taps() const;
  // Every stream still held, to be closed; only once stopped.
  std::vector<std::shared_ptr<CaptureStream>> streams() const;

  // Starts the thread with this block; stop() ends it: after it returns the block is not called
  // again. start() after stop() goes on where the timeline stood.
  void start(AudioDeviceIOBlock block);
  void stop();

 private:
  void run();
  void cycle();
  void drain(double before);
  void drainMic(double before);
  void render(double now);

  // The streams, as the control thread sets them; the I/O thread takes a copy when changed.
  mutable std::mutex mutex_;
  std::shared_ptr<CaptureStream> pendingMic_;
  std::vector<std::shared_ptr<CaptureStream>> pendingTaps_;
  std::vector<std::shared_ptr<CaptureStream>> retiredMics_;
  std::uint64_t changes_ = 0;
  bool quit_ = false;
  std::condition_variable wake_;

  // The I/O thread's own.
  Timeline timeline_;
  AudioDeviceIOBlock block_;
  std::uint64_t seenChanges_ = ~std::uint64_t(0);
  std::shared_ptr<CaptureStream> mic_;
  std::shared_ptr<CaptureStream> oldMic_;  // read up to where mic_ begins
  std::vector<std::shared_ptr<CaptureStream>> taps_;
  std::vector<float> chunk_;
  std::vector<float> micOut_, tapOut_;
  double sampleTime_ = 0;
  double lastCycle_ = 0;
  std::thread thread_;
};

}  // namespace ondrel::pulse
