#include "decoded_audio.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace ondrel::testing {
namespace {

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecCloser {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// Appends a decoded frame as interleaved floats, whatever its sample format.
void append(const AVFrame& frame, std::vector<float>& samples) {
  const int channels = frame.ch_layout.nb_channels;
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format);
  for (int i = 0; i < frame.nb_samples; ++i) {
    for (int c = 0; c < channels; ++c) {
      const int plane = planar ? c : 0;
      const int index = planar ? i : i * channels + c;
      const std::uint8_t* data = frame.extended_data[plane];
      float value = 0;
      switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_S16:
          value = float(reinterpret_cast<const std::int16_t*>(data)[index]) / 32768.0f;
          break;
        case AV_SAMPLE_FMT_FLT:
          value = reinterpret_cast<const float*>(data)[index];
          break;
        default:
          throw std::runtime_error("unexpected sample format");
      }
      samples.push_back(value);
    }
  }
}

}  // namespace

DecodedAudio decodeAudio(const std::filesystem::path& file) {
  AVFormatContext* rawFormat = nullptr;
  if (avformat_open_input(&rawFormat, file.c_str(), nullptr, nullptr) < 0) {
    throw std::runtime_error("cannot open " + file.string());
  }
  std::unique_ptr<AVFormatContext, FormatCloser> format(rawFormat);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) {
    throw std::runtime_error("no stream info in " + file.string());
  }
  const AVCodec* codec = nullptr;
  const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (stream < 0 || !codec) throw std::runtime_error("no audio stream in " + file.string());
  std::unique_ptr<AVCodecContext, CodecCloser> decoder(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(decoder.get(), format->streams[stream]->codecpar);
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) {
    throw std::runtime_error("cannot open the decoder");
  }

  DecodedAudio audio;
  audio.sampleRate = static_cast<std::uint32_t>(decoder->sample_rate);
  audio.channels = static_cast<std::uint32_t>(decoder->ch_layout.nb_channels);
  if (const AVStream* st = format->streams[stream]; st->duration != AV_NOPTS_VALUE) {
    audio.statedFrames = av_rescale_q(st->duration, st->time_base, {1, decoder->sample_rate});
  }
  const char* profile = avcodec_profile_name(codec->id, decoder->profile);
  audio.codec = std::string(codec->name) + " " + (profile ? profile : "");
  audio.bitRate = format->bit_rate;
  bool first = true;
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  auto drain = [&] {
    while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      append(*frame, audio.samples);
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(format.get(), packet.get()) == 0) {
    if (packet->stream_index == stream) {
      if (first) {
        audio.firstPts = av_rescale_q(packet->pts, format->streams[stream]->time_base,
                                      {1, decoder->sample_rate});
      }
      first = false;
      avcodec_send_packet(decoder.get(), packet.get());
      drain();
    }
    av_packet_unref(packet.get());
  }
  avcodec_send_packet(decoder.get(), nullptr);
  drain();
  return audio;
}

// Goertzel's single-bin transform over 100 ms blocks, scaled to the sine's amplitude and
// averaged: the bins are wide enough that a slight resampling of the tone does not hide it.
double DecodedAudio::toneAmplitude(std::uint32_t channel, double frequency, double from,
                                   double to) const {
  const auto first = static_cast<std::size_t>(std::max(0.0, from) * sampleRate);
  const auto last = std::min(frames(), static_cast<std::size_t>(to * sampleRate));
  const std::size_t block = sampleRate / 10;
  if (last < first + block) return 0;
  const double coefficient = 2.0 * std::cos(2.0 * M_PI * frequency / sampleRate);
  double sum = 0;
  std::size_t blocks = 0;
  for (std::size_t start = first; start + block <= last; start += block, ++blocks) {
    double s1 = 0, s2 = 0;
    for (std::size_t i = start; i < start + block; ++i) {
      const double s0 = samples[i * channels + channel] + coefficient * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    sum += 2.0 * std::sqrt(std::max(0.0, power)) / double(block);
  }
  return sum / double(blocks);
}

}  // namespace ondrel::testing
