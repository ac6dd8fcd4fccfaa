#include "ondrelkit/encode/transcoder.h"

#include <memory>
#include <utility>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "ondrelkit/encode/aac_encoder.h"
#include "ondrelkit/encode/ffmpeg_support.h"
#include "ondrelkit/encode/m4a_muxer.h"

namespace ondrel {

namespace {

using ffmpeg::check;
using ffmpeg::fail;

// Bytes per demuxed packet (the demuxer's default is 4 KiB). Larger packets cut the per-packet
// work, but the WAV demuxer runs a content probe over its first packet (PCM that might hide a
// compressed stream); much beyond this that probe costs more than the packets save.
constexpr int kInputPacketBytes = 16 * 1024;

// Everything the export needs, set up before the destination is touched.
class Export {
 public:
  // False when the source cannot be exported; only memory is touched.
  bool setUp(const std::filesystem::path& source, const std::filesystem::path& destination);
  // Writes the whole M4A file; throws std::system_error on any failure.
  void run();

 private:
  bool setUpInput(const std::filesystem::path& source);
  void receiveDecoded();

  std::unique_ptr<AVFormatContext, ffmpeg::InputDeleter> input_;
  int streamIndex_ = -1;
  std::unique_ptr<AVCodecContext, ffmpeg::CodecDeleter> decoder_;
  AacEncoder encoder_;
  M4aMuxer muxer_;
  AacEncoder::PacketSink sink_;
  std::unique_ptr<AVFrame, ffmpeg::FrameDeleter> decoded_;
  std::unique_ptr<AVPacket, ffmpeg::PacketDeleter> inputPacket_;
};

bool Export::setUp(const std::filesystem::path& source, const std::filesystem::path& destination) {
  if (!setUpInput(source)) return false;
  if (!encoder_.open(decoder_->sample_rate, decoder_->ch_layout, decoder_->sample_fmt)) {
    return false;
  }
  AVCodecParameters* codec = avcodec_parameters_alloc();
  const bool muxerReady = codec != nullptr &&
                          avcodec_parameters_from_context(codec, encoder_.context()) >= 0 &&
                          muxer_.setUp(destination, *codec);
  avcodec_parameters_free(&codec);
  if (!muxerReady) return false;
  sink_ = [this](AVPacket* packet) { muxer_.write(packet, encoder_.context()->time_base); };
  decoded_.reset(av_frame_alloc());
  inputPacket_.reset(av_packet_alloc());
  return decoded_ && inputPacket_;
}

bool Export::setUpInput(const std::filesystem::path& source) {
  const AVInputFormat* wav = av_find_input_format("wav");
  if (wav == nullptr) return false;
  ffmpeg::Options options;
  av_dict_set_int(&options.dict, "max_size", kInputPacketBytes, 0);
  // Ends that probe after the first packet; by default it buffers and re-probes up to 5 MB of audio
  // against every demuxer, which with large packets cost a sixth of a 60 s transcode.
  av_dict_set_int(&options.dict, "probesize", 32, 0);

  AVFormatContext* input = nullptr;
  const std::string url = ffmpeg::fileUrl(source);
  // On failure avformat_open_input frees the context itself.
  if (avformat_open_input(&input, url.c_str(), wav, &options.dict) < 0) return false;
  input_.reset(input);

  // No avformat_find_stream_info: the WAV header describes the PCM fully, and probing would read
  // and decode data we are about to read anyway.
  const AVCodec* decoder = nullptr;
  streamIndex_ = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (streamIndex_ < 0 || decoder == nullptr) return false;
  const AVCodecParameters* par = input->streams[streamIndex_]->codecpar;
  if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0) return false;

  decoder_.reset(avcodec_alloc_context3(decoder));
  if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), par) < 0) return false;
  decoder_->pkt_timebase = input->streams[streamIndex_]->time_base;
  return avcodec_open2(decoder_.get(), decoder, nullptr) >= 0;
}

void Export::run() {
  muxer_.open();
  AVPacket* packet = inputPacket_.get();
  int ret;
  while ((ret = av_read_frame(input_.get(), packet)) >= 0) {
    if (packet->stream_index == streamIndex_) {
      ret = avcodec_send_packet(decoder_.get(), packet);
      av_packet_unref(packet);
      check(ret, "decode the WAV file");
      receiveDecoded();
    } else {
      av_packet_unref(packet);
    }
  }
  if (ret != AVERROR_EOF) fail(ret, "read the WAV file");
  check(avcodec_send_packet(decoder_.get(), nullptr), "decode the WAV file");
  receiveDecoded();
  encoder_.flush(sink_);
  muxer_.finish();
}

void Export::receiveDecoded() {
  AVFrame* frame = decoded_.get();
  while (true) {
    int ret = avcodec_receive_frame(decoder_.get(), frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    check(ret, "decode the WAV file");
    encoder_.write(frame->extended_data, frame->nb_samples, sink_);
    av_frame_unref(frame);
  }
}

}  // namespace

void Transcoder::wavToM4A(const std::filesystem::path& source,
                          const std::filesystem::path& destination) {
  // FFmpeg's log would otherwise reach standard error, which carries only the tool's own lines.
  av_log_set_level(AV_LOG_QUIET);

  Export job;
  if (!job.setUp(source, destination)) {
    throw TranscodeError::exportFailed("could not create export session");
  }
  // symlink_status: a dangling link is something that exists, too.
  if (std::filesystem::exists(std::filesystem::symlink_status(destination))) {
    std::filesystem::remove(destination);
  }
  job.run();
}

}  // namespace ondrel
