#include "ondrelkit/encode/aac_encoder.h"

#include <algorithm>
#include <cerrno>
#include <climits>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace ondrel {

using ffmpeg::check;
using ffmpeg::fail;

namespace {

constexpr int kBitRate = 128000;

// The input's rate when AAC can carry it, otherwise the nearest rate above it (or the highest).
int encoderSampleRate(const AVCodec* encoder, int sourceRate) {
  if (encoder->supported_samplerates == nullptr) return sourceRate;
  int above = INT_MAX;
  int highest = 0;
  for (const int* rate = encoder->supported_samplerates; *rate != 0; ++rate) {
    if (*rate == sourceRate) return sourceRate;
    if (*rate > sourceRate && *rate < above) above = *rate;
    if (*rate > highest) highest = *rate;
  }
  return above != INT_MAX ? above : highest;
}

}  // namespace

bool AacEncoder::open(int inputRate, const AVChannelLayout& inputLayout,
                      AVSampleFormat inputFormat) {
  // The native encoder, by name: another AAC encoder registered first must not be picked.
  const AVCodec* aac = avcodec_find_encoder_by_name("aac");
  if (aac == nullptr || inputRate <= 0) return false;
  encoder_.reset(avcodec_alloc_context3(aac));
  if (!encoder_) return false;
  AVCodecContext* enc = encoder_.get();
  enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
  enc->sample_rate = encoderSampleRate(aac, inputRate);
  enc->bit_rate = kBitRate;
  enc->profile = FF_PROFILE_AAC_LOW;
  enc->time_base = AVRational{1, enc->sample_rate};
  const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  if (av_channel_layout_copy(&enc->ch_layout, &stereo) < 0) return false;
  // MP4 muxers keep the AudioSpecificConfig in the esds box, not in-band.
  enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(enc, aac, nullptr) < 0 || enc->frame_size <= 0) return false;

  AVChannelLayout inLayout{};
  if (inputLayout.order == AV_CHANNEL_ORDER_UNSPEC) {
    // A plain WAVE_FORMAT_PCM header names no speakers: take the usual ones for the count.
    av_channel_layout_default(&inLayout, inputLayout.nb_channels);
  } else if (av_channel_layout_copy(&inLayout, &inputLayout) < 0) {
    return false;
  }
  direct_ = inputFormat == AV_SAMPLE_FMT_S16 && inputRate == enc->sample_rate &&
            av_channel_layout_compare(&inLayout, &enc->ch_layout) == 0;
  if (!direct_) {
    SwrContext* resampler = nullptr;
    int ret = swr_alloc_set_opts2(&resampler, &enc->ch_layout, enc->sample_fmt, enc->sample_rate,
                                  &inLayout, inputFormat, inputRate, 0, nullptr);
    resampler_.reset(resampler);
    if (ret < 0 || swr_init(resampler_.get()) < 0) {
      av_channel_layout_uninit(&inLayout);
      return false;
    }
    fifo_.reset(
        av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 4 * enc->frame_size));
    converted_.reset(av_frame_alloc());
  }
  av_channel_layout_uninit(&inLayout);
  encoderFrame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if ((!direct_ && (!fifo_ || !converted_)) || !encoderFrame_ || !packet_) return false;
  // One buffer of exactly frame_size samples, reused for every frame the encoder gets.
  AVFrame* frame = encoderFrame_.get();
  frame->nb_samples = enc->frame_size;
  frame->format = enc->sample_fmt;
  frame->sample_rate = enc->sample_rate;
  if (av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0) return false;
  return av_frame_get_buffer(frame, 0) >= 0;
}

void AacEncoder::write(const std::uint8_t* const* samples, int count, const PacketSink& sink) {
  if (direct_) {
    if (count > 0) writeDirect(reinterpret_cast<const std::int16_t*>(samples[0]), count, sink);
    return;
  }
  int needed = swr_get_out_samples(resampler_.get(), count);
  check(needed, "resample");
  if (needed > convertedCapacity_) {
    // Blocks are mostly one size: this allocates on the first one and rarely after.
    AVFrame* frame = converted_.get();
    av_frame_unref(frame);
    frame->nb_samples = needed;
    frame->format = encoder_->sample_fmt;
    check(av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout), "resample");
    check(av_frame_get_buffer(frame, 0), "resample");
    convertedCapacity_ = needed;
  }
  int converted = swr_convert(resampler_.get(), converted_->extended_data, convertedCapacity_,
                              const_cast<const std::uint8_t**>(samples), count);
  check(converted, "resample");
  if (converted > 0 &&
      av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted_->extended_data),
                          converted) < converted) {
    fail(AVERROR(ENOMEM), "resample");
  }
  while (av_audio_fifo_size(fifo_.get()) >= encoder_->frame_size) {
    encodeFromFifo(encoder_->frame_size, sink);
  }
}

void AacEncoder::flush(const PacketSink& sink) {
  if (direct_) {
    if (directFrames_ > 0) encodeFrame(directFrames_, sink);
    directFrames_ = 0;
  } else {
    write(nullptr, 0, sink);  // what the resampler still holds (only when the rate changes)
    if (int left = av_audio_fifo_size(fifo_.get()); left > 0) encodeFromFifo(left, sink);
  }
  encode(nullptr, sink);
}

void AacEncoder::writeDirect(const std::int16_t* interleaved, int count, const PacketSink& sink) {
  AVFrame* frame = encoderFrame_.get();
  const int frameSize = encoder_->frame_size;
  while (count > 0) {
    // A no-op once the encoder has let go of the previous frame, which it has by the time
    // avcodec_receive_packet reports EAGAIN; a copy only if it still holds it.
    if (directFrames_ == 0) check(av_frame_make_writable(frame), "encode");
    const int n = std::min(count, frameSize - directFrames_);
    float* left = reinterpret_cast<float*>(frame->extended_data[0]) + directFrames_;
    float* right = reinterpret_cast<float*>(frame->extended_data[1]) + directFrames_;
    // As the resampler converts: a multiplication by a power of two, exact.
    constexpr float kScale = 1.0f / 32768;
    for (int i = 0; i < n; ++i) {
      left[i] = float(interleaved[2 * i]) * kScale;
      right[i] = float(interleaved[2 * i + 1]) * kScale;
    }
    interleaved += 2 * std::size_t(n);
    count -= n;
    directFrames_ += n;
    if (directFrames_ == frameSize) {
      directFrames_ = 0;
      encodeFrame(frameSize, sink);
    }
  }
}

void AacEncoder::encodeFromFifo(int count, const PacketSink& sink) {
  AVFrame* frame = encoderFrame_.get();
  check(av_frame_make_writable(frame), "encode");  // as in writeDirect
  if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->extended_data), count) <
      count) {
    fail(AVERROR_BUG, "encode");
  }
  encodeFrame(count, sink);
}

void AacEncoder::encodeFrame(int count, const PacketSink& sink) {
  AVFrame* frame = encoderFrame_.get();
  frame->nb_samples = count;  // below frame_size only for the last frame
  frame->pts = nextPts_;
  nextPts_ += count;
  encode(frame, sink);
}

void AacEncoder::encode(const AVFrame* frame, const PacketSink& sink) {
  check(avcodec_send_frame(encoder_.get(), frame), "encode");
  AVPacket* packet = packet_.get();
  while (true) {
    int ret = avcodec_receive_packet(encoder_.get(), packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    check(ret, "encode");
    sink(packet);
    av_packet_unref(packet);
  }
}

}  // namespace ondrel
