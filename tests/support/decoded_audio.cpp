#include "decoded_audio.h"

#include <cmath>
#include <complex>
#include <memory>
#include <stdexcept>
#include <utility>

#include "ondrelkit/encode/ffmpeg_support.h"

namespace ondrel::testing {

DecodedAudio decodeAudio(const std::filesystem::path& file) {
  AVFormatContext* opened = nullptr;
  ffmpeg::check(avformat_open_input(&opened, file.c_str(), nullptr, nullptr), "open");
  const std::unique_ptr<AVFormatContext, ffmpeg::InputDeleter> format(opened);
  ffmpeg::check(avformat_find_stream_info(format.get(), nullptr), "find the stream");
  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  ffmpeg::check(index, "find the audio stream");
  const AVStream& stream = *format->streams[index];
  const std::unique_ptr<AVCodecContext, ffmpeg::CodecDeleter> decoder(
      avcodec_alloc_context3(codec));
  ffmpeg::check(avcodec_parameters_to_context(decoder.get(), stream.codecpar), "set up decoding");
  ffmpeg::check(avcodec_open2(decoder.get(), codec, nullptr), "open the decoder");

  DecodedAudio audio;
  const char* profile = avcodec_profile_name(codec->id, decoder->profile);
  audio.codec = std::string(codec->name) + " " + (profile ? profile : "");
  audio.sampleRate = std::uint32_t(decoder->sample_rate);
  audio.channels = std::uint32_t(decoder->ch_layout.nb_channels);
  audio.bitRate = format->bit_rate;
  const AVRational frames{1, decoder->sample_rate};
  if (stream.duration != AV_NOPTS_VALUE) {
    audio.statedFrames = av_rescale_q(stream.duration, stream.time_base, frames);
  }
  const std::unique_ptr<AVPacket, ffmpeg::PacketDeleter> packet(av_packet_alloc());
  const std::unique_ptr<AVFrame, ffmpeg::FrameDeleter> frame(av_frame_alloc());
  bool first = true;
  for (bool more = true; more;) {
    more = av_read_frame(format.get(), packet.get()) == 0;
    if (more && packet->stream_index != index) {
      av_packet_unref(packet.get());
      continue;
    }
    if (more && std::exchange(first, false)) {
      audio.firstPts = av_rescale_q(packet->pts, stream.time_base, frames);
    }
    avcodec_send_packet(decoder.get(), more ? packet.get() : nullptr);  // none: drain
    av_packet_unref(packet.get());
    while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      if (frame->format != AV_SAMPLE_FMT_FLTP) throw std::runtime_error("not planar float");
      for (int i = 0; i < frame->nb_samples; ++i) {
        for (std::uint32_t c = 0; c < audio.channels; ++c) {
          audio.samples.push_back(reinterpret_cast<const float*>(frame->extended_data[c])[i]);
        }
      }
      av_frame_unref(frame.get());
    }
  }
  return audio;
}

// Over 100 ms blocks, whose bins are wide enough that a slight resampling does not hide the tone.
double DecodedAudio::toneAmplitude(std::uint32_t channel, double frequency, double from,
                                   double to) const {
  const std::size_t block = sampleRate / 10, end = std::min(frames(), std::size_t(to * sampleRate));
  double sum = 0;
  int blocks = 0;
  for (auto at = std::size_t(std::max(0.0, from) * sampleRate); at + block <= end; at += block) {
    std::complex<double> bin = 0;
    for (std::size_t i = 0; i < block; ++i) {
      const double phase = -2 * M_PI * frequency * double(i) / sampleRate;
      bin += double(samples[(at + i) * channels + channel]) * std::polar(1.0, phase);
    }
    sum += 2 * std::abs(bin) / double(block);
    ++blocks;
  }
  return blocks ? sum / blocks : 0;
}

}  // namespace ondrel::testing
