// The recording's audio codec: FFmpeg's native AAC-LC encoder at 128 kb/s, stereo, at the input's
// rate (or the nearest rate AAC can carry), fed any sample format and channel layout through a
// resampler and a FIFO that cuts the input into the encoder's frames. The recording's own format,
// interleaved 16-bit stereo at a rate AAC carries, skips both: it is scaled into the encoder's
// frame directly, the same values at a fraction of the cost. Both ways of making the M4A
// (the whole-file transcode and the encoder that runs while recording) encode through it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "ondrelkit/encode/ffmpeg_support.h"

namespace ondrel {

class AacEncoder {
 public:
  // Receives each finished packet, timestamps in context()->time_base (1 / the encoder's rate).
  // The first packet starts before zero: the encoder's priming, which the M4A's edit list hides.
  using PacketSink = std::function<void(AVPacket*)>;

  // False when FFmpeg cannot set it up for this input; nothing is left half-made that matters.
  // An input layout of unspecified order takes the usual speakers for its channel count.
  bool open(int inputRate, const AVChannelLayout& inputLayout, AVSampleFormat inputFormat);

  const AVCodecContext* context() const { return encoder_.get(); }

  // Converts `count` input frames and encodes every whole encoder frame the FIFO then holds.
  // Throws std::system_error in ffmpegCategory().
  void write(const std::uint8_t* const* samples, int count, const PacketSink& sink);
  // Encodes what the resampler and the FIFO still hold, then drains the encoder.
  void flush(const PacketSink& sink);

 private:
  void writeDirect(const std::int16_t* interleaved, int count, const PacketSink& sink);
  void encodeFromFifo(int count, const PacketSink& sink);
  void encodeFrame(int count, const PacketSink& sink);
  void encode(const AVFrame* frame, const PacketSink& sink);

  std::unique_ptr<AVCodecContext, ffmpeg::CodecDeleter> encoder_;
  std::unique_ptr<SwrContext, ffmpeg::ResamplerDeleter> resampler_;
  std::unique_ptr<AVAudioFifo, ffmpeg::FifoDeleter> fifo_;
  std::unique_ptr<AVFrame, ffmpeg::FrameDeleter> converted_;
  int convertedCapacity_ = 0;
  std::unique_ptr<AVFrame, ffmpeg::FrameDeleter> encoderFrame_;
  std::unique_ptr<AVPacket, ffmpeg::PacketDeleter> packet_;
  std::int64_t nextPts_ = 0;
  bool direct_ = false;
  int directFrames_ = 0;  // frames of encoderFrame_ the direct path has filled
};

}  // namespace ondrel
