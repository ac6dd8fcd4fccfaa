// Encodes the recording while it is made, so that stopping costs a remux instead of a transcode.
//
// The I/O thread hands each block of interleaved 16-bit stereo frames to push(), which copies it
// into a preallocated ring and never waits. An encoder thread of its own takes the frames from the
// ring, encodes them (AacEncoder, as the whole-file transcode does) and appends them to a partial
// file: fragmented MP4, a fragment about every second, flushed as it is cut and synced every few
// seconds, so a killed process leaves a file that plays up to its last fragment. At the end
// finish() drains and flushes, and remuxTo() copies the packets, without decoding, into the
// finished M4A file (M4aMuxer).
//
// Any failure (FFmpeg, the disk, a ring the encoder could not keep up with) only marks the encoder
// failed: it stops taking frames, and the caller falls back to transcoding its WAV file.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "ondrelkit/spsc_ring.h"

extern "C" {
#include <libavutil/rational.h>
}

namespace ondrel {

class StreamingEncoder {
 public:
  // The ring covers this much audio: a stall of the disk or of the encoder thread that long
  // loses nothing. Longer than the sound server's capture rings (12 s): after a stall they
  // survived, the I/O thread hands on their whole backlog faster than real time.
  static constexpr std::uint32_t kRingSeconds = 16;

  // Starts the encoder thread, which creates the partial file at partialPath (replacing one).
  // Allocates the ring; touches no file on the calling thread.
  StreamingEncoder(std::filesystem::path partialPath, std::uint32_t sampleRate);
  // Stops the thread if finish() did not; the partial file stays as it is.
  ~StreamingEncoder();
  StreamingEncoder(const StreamingEncoder&) = delete;
  StreamingEncoder& operator=(const StreamingEncoder&) = delete;

  // The I/O thread's hand-off, one caller at a time: copies the frames in whole, or, when they do
  // not fit, marks the encoder failed. False once the encoder has failed. Never blocks, allocates
  // or throws; signals the encoder thread only when the backlog grows long.
  bool push(std::span<const std::int16_t> interleaved) noexcept;
  // Frames pushed and not yet taken by the encoder thread.
  std::size_t backlogFrames() const { return ring_.readAvailable() / 2; }
  bool failed() const { return failed_.load(std::memory_order_relaxed); }

  // Call once no push() can come any more: encodes what the ring holds, flushes the encoder and
  // closes the partial file. Returns the frames the partial file holds, or nothing when the
  // encoder failed at any point.
  std::optional<std::uint64_t> finish();
  // After a successful finish(): writes the partial file's packets into a finished M4A file at
  // destination (replacing whatever is there), not yet synced. Throws std::system_error (or
  // std::filesystem::filesystem_error when the destination cannot be removed).
  void remuxTo(const std::filesystem::path& destination) const;

  const std::filesystem::path& partialPath() const { return partialPath_; }

 private:
  class Output;

  void run();
  void stopThread();

  const std::filesystem::path partialPath_;
  const std::uint32_t sampleRate_;
  SpscRing<std::int16_t> ring_;
  std::atomic<bool> failed_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  bool finishing_ = false;  // guarded by mutex_

  // Written by the encoder thread, read after it has been joined.
  std::uint64_t framesEncoded_ = 0;
  // The encoder's timeline, in its time base: the first packet's start (before zero, by the
  // priming) and the last packet's end (after the last frame, without the padding).
  AVRational encoderTimeBase_{1, 1};
  std::int64_t firstPts_ = 0;
  std::int64_t endPts_ = 0;

  std::thread thread_;
};

}  // namespace ondrel
