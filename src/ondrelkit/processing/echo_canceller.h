// Removes the system audio's echo from the microphone, for users on speakers: the microphone
// hears the far end as the room returns it (some milliseconds later, with a reverberant tail of a
// few hundred milliseconds), and the reference is what the machine played, on the microphone's
// timeline.
//
// speexdsp does the work: its MDF adaptive filter (300 ms long, 20 ms blocks) and its
// preprocessor's residual echo suppressor, with the preprocessor's noise suppression at 0 dB so
// the near end keeps its own noise floor. speexdsp compared with webrtc-audio-processing 0.3 in
// bench/echo_canceller_bench.cpp: webrtc's non-linear stage cuts the near end whenever both talk.
//
// Latency: `cleaned` is the cleaned microphone delayed by exactly latencyFrames() frames, a
// constant for the rate. Delay the system channel by the same amount to keep the two aligned to
// the sample. The first latencyFrames() frames out are silence. The speex filters run at 12-48 kHz
// (their DC notch is tuned for that band); other rates are resampled by a power of two into it and
// back, which adds the resamplers' delay (and, above 48 kHz, keeps only the band below 24 kHz):
//
//   rate     8000 (via 16000)  16000  32000  44100  48000  96000 (via 48000)
//   latency   408                640   1280   1764   1920   4008
//
// What comes out:
// - While the reference is silent (or null), the microphone passes through, delayed: never
//   muted. speex's DC notch (about 60 Hz at 48 kHz) is the one change; it shifts the phase of the
//   lowest voice frequencies, not their level.
// - After an echo path change (a different room, speakers switched), the filter would otherwise
//   take many seconds to let go of the old path. A watchdog resets it when the canceller's output
//   stays louder than its input while the far end plays, which only a wrong filter does; it then
//   reconverges within 3 s of far-end speech.
// - NaN and infinite input count as 0, and samples are clamped to [-1, 1], so nothing poisons
//   the filter.
//
// Not thread-safe by design: one thread calls everything. Nothing allocates or throws after
// construction; process() takes any number of frames per call, from 1 up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SpeexEchoState_;
struct SpeexPreprocessState_;
struct SpeexResamplerState_;

namespace ondrel {

class EchoCanceller {
 public:
  // Throws std::invalid_argument for a rate outside [4000, 384000], std::runtime_error when
  // speexdsp cannot set up.
  explicit EchoCanceller(std::uint32_t rate);
  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  // `mic` and `reference` are mono, `frames` long (`reference` may be null: silence); `cleaned`
  // receives `frames` frames, the cleaned microphone of latencyFrames() frames earlier. `cleaned`
  // may be `mic`.
  void process(const float* mic, const float* reference, float* cleaned,
               std::size_t frames) noexcept;

  std::size_t latencyFrames() const noexcept { return latency_; }
  // The rate the canceller runs at: the microphone's, or a power of two off it.
  std::uint32_t processingRate() const noexcept { return innerRate_; }
  // Times the watchdog has reset the filter after an echo path change.
  std::uint64_t watchdogResets() const noexcept { return watchdogResets_; }

  // Forgets the echo path and the audio in flight, as after construction (the output starts
  // again with latencyFrames() frames of silence).
  void reset() noexcept;

 private:
  // The canceller at the processing rate: takes sanitized samples, gives them back two blocks
  // later.
  void cancel(const float* mic, const float* reference, float* cleaned, std::size_t frames);
  void runBlock();
  void watch();
  void release() noexcept;

  std::uint32_t innerRate_ = 0;
  std::size_t block_ = 0;    // frames per speex block, at the processing rate
  std::size_t latency_ = 0;  // at the microphone's rate
  std::size_t pos_ = 0;      // frames of the current block filled
  std::vector<std::int16_t> micBlock_, refBlock_, outBlock_;
  std::vector<float> ready_;  // the last block processed, handed out while the next fills
  SpeexEchoState_* echo_ = nullptr;
  SpeexPreprocessState_* pre_ = nullptr;

  // Watchdog: smoothed powers of the canceller's input and output, blocks in a row where the
  // output was louder, and blocks left before it may act again.
  double micPower_ = 0, outPower_ = 0;
  int louderBlocks_ = 0, holdoffBlocks_ = 0;
  std::uint64_t watchdogResets_ = 0;

  // Rates outside 12-48 kHz: resamplers to the processing rate (microphone, reference) and
  // back, with a queue that absorbs their uneven output.
  SpeexResamplerState_* toInner_[2] = {nullptr, nullptr};
  SpeexResamplerState_* fromInner_ = nullptr;
  std::size_t slice_ = 0;    // microphone-rate frames handled per round
  std::size_t prefill_ = 0;  // frames of silence the queue starts with
  std::vector<float> sliceIn_[2], inner_[2], innerOut_, queue_;
  std::size_t queued_ = 0;
};

}  // namespace ondrel
