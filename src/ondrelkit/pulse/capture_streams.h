// The running side of an aggregate device: two record streams, the microphone and the monitor
// of the tapped sink, both float32 at the microphone's rate with about 20 ms fragments. Every
// chunk the microphone delivers drives one call of the I/O block with two buffers of the same
// frame count: the microphone (its own channels), then the tap (stereo, paired by StreamPairing).
//
// The block runs on the mainloop thread with the mainloop lock held; holes in either stream come
// as silence. Every member function is called with the lock held. When a stream dies after a
// successful start, the connection's reportLost() is called (once).
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ondrelkit/audio_hardware.h"
#include "ondrelkit/pulse/pulse_connection.h"
#include "ondrelkit/pulse/stream_pairing.h"

namespace ondrel::pulse {

struct CaptureFormat {
  std::string micSource;
  pa_sample_spec micSpec{};  // its rate is the rate of both streams
  pa_channel_map micMap{};
  std::string tapSource;  // a sink's monitor
};

class CaptureStreams {
 public:
  // Allocates every buffer the streams need; throws std::bad_alloc or std::runtime_error.
  CaptureStreams(PulseConnection& connection, CaptureFormat format, AudioDeviceIOBlock block);
  ~CaptureStreams();
  CaptureStreams(const CaptureStreams&) = delete;
  CaptureStreams& operator=(const CaptureStreams&) = delete;

  // Opens both streams corked, waits until both are ready and uncorks them together. On failure
  // the streams are closed again.
  OSStatus start();
  // After it returns no callback of these streams runs.
  void close();
  // Both streams are open and neither has died.
  bool alive() const;
  // Whether either stream records from the source with this index.
  bool records(std::uint32_t sourceIndex) const;

 private:
  pa_stream* open(const char* name, const std::string& device, const pa_sample_spec& sampleSpec,
                  const pa_channel_map& map, pa_stream_flags_t extraFlags,
                  pa_stream_request_cb_t onReadable);
  void deliverMic(const float* samples, std::size_t frames);
  static void onMicReadable(pa_stream* stream, std::size_t bytes, void* self);
  static void onTapReadable(pa_stream* stream, std::size_t bytes, void* self);
  static void onStreamState(pa_stream* stream, void* self);

  PulseConnection& connection_;
  const CaptureFormat format_;
  const AudioDeviceIOBlock block_;
  StreamPairing pairing_;
  std::vector<float> micSilence_;  // stands in for a hole in the microphone stream
  std::vector<float> tapChunk_;    // the tap's frames for one call of the block
  double micFramesDelivered_ = 0;
  pa_stream* mic_ = nullptr;
  pa_stream* tap_ = nullptr;
  // The sources the streams started on: a stream moved off a removed source reports another.
  std::uint32_t micSourceIndex_ = PA_INVALID_INDEX;
  std::uint32_t tapSourceIndex_ = PA_INVALID_INDEX;
  bool started_ = false;
  bool lostReported_ = false;
};

}  // namespace ondrel::pulse
