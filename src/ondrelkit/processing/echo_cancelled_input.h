// The I/O cycle's input as a recording with --echo-cancel takes it: the microphone's channel 0 with
// the system audio's echo removed by an EchoCanceller, whose reference is the system channel the
// recording holds (the tap's channels averaged), and that system channel delayed by the
// canceller's latency, so that the two stay aligned to the sample. Out come two mono buffers for
// convertInput: the cleaned microphone, and the system channel holding bit for bit the values
// convertInput would have averaged from the tap.
//
// The first latencyFrames() frames out come before the first frame captured (the canceller's
// priming): the sink is told how many of a block's leading frames those are, to drop. flush()
// feeds silence through to bring out the last latencyFrames() frames captured, so the recording
// has exactly as many frames as the cycles held.
//
// Everything is allocated by the constructor; process() and flush() neither allocate nor throw
// (unless the sink does). One thread at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ondrelkit/audio_hardware.h"
#include "ondrelkit/processing/echo_canceller.h"

namespace ondrel {

class EchoCancelledInput {
 public:
  // maxBlockFrames: the longest block handed to the sink; longer cycles go through in pieces.
  // Throws what EchoCanceller's constructor throws.
  EchoCancelledInput(std::uint32_t rate, std::size_t maxBlockFrames);

  // Calls sink(const AudioBufferList& block, std::size_t primingFrames) for each piece of the
  // cycle, at least once (an empty cycle is one empty block). A cycle without usable buffers (as
  // convertInput sees them) calls nothing and returns false.
  template <class Sink>
  bool process(const AudioBufferList& input, Sink&& sink) {
    const std::optional<std::size_t> frames = framesOf(input);
    if (!frames) return false;
    std::size_t at = 0;
    do {
      const std::size_t n = std::min(maxFrames_, *frames - at);
      gather(input, at, n);
      sink(run(n), takePriming(n));
      at += n;
    } while (at < *frames);
    return true;
  }

  // After the last cycle: the last latencyFrames() frames, through the sink. Once; later calls do
  // nothing.
  template <class Sink>
  void flush(Sink&& sink) {
    if (flushed_) return;
    flushed_ = true;
    for (std::size_t left = latencyFrames(); left > 0;) {
      const std::size_t n = std::min(maxFrames_, left);
      std::fill_n(mic_.begin(), n, 0.0f);
      std::fill_n(system_.begin(), n, 0.0f);
      sink(run(n), takePriming(n));
      left -= n;
    }
  }

  std::size_t latencyFrames() const noexcept { return delay_.size(); }

 private:
  // The cycle's frame count, as convertInput counts it; nothing when it has no usable buffers.
  std::optional<std::size_t> framesOf(const AudioBufferList& input) const noexcept;
  // Frames [at, at + n) of the cycle into mic_ and system_.
  void gather(const AudioBufferList& input, std::size_t at, std::size_t n) noexcept;
  // Cancels and delays n frames of mic_ and system_; the block the sink gets.
  const AudioBufferList& run(std::size_t n) noexcept;
  std::size_t takePriming(std::size_t n) noexcept;

  EchoCanceller canceller_;
  const std::size_t maxFrames_;
  std::vector<float> mic_, system_, cleaned_;
  std::vector<float> delay_;  // the system channel's last latencyFrames() frames, a ring
  std::size_t delayAt_ = 0;
  std::size_t priming_;
  bool flushed_ = false;
  AudioBuffer buffers_[2] = {};
  AudioBufferList block_{2, buffers_};
};

}  // namespace ondrel
