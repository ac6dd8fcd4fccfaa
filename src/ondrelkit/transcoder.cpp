#include "ondrelkit/transcoder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace ondrel {

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

TranscodeError::TranscodeError(Kind kind, std::string message)
    : std::runtime_error("exportFailed(\"" + escaped(message) + "\")"),
      kind_(kind),
      message_(std::move(message)) {}

TranscodeError TranscodeError::exportFailed(std::string message) {
  return TranscodeError(Kind::exportFailed, std::move(message));
}

namespace {

class FfmpegCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "ffmpeg"; }

  std::string message(int code) const override {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
  }

  // AVERROR(e) is -e: let such codes compare equal to std::errc values.
  std::error_condition default_error_condition(int code) const noexcept override {
    if (code < 0 && code > -4096) return {-code, std::generic_category()};
    return {code, *this};
  }
};

}  // namespace

const std::error_category& ffmpegCategory() {
  static const FfmpegCategory category;
  return category;
}

namespace {

constexpr int kBitRate = 128000;
// Bytes per demuxed packet (the demuxer's default is 4 KiB). Larger packets cut the per-packet
// work, but the WAV demuxer runs a content probe over its first packet (PCM that might hide a
// compressed stream); much beyond this that probe costs more than the packets save.
constexpr int kInputPacketBytes = 16 * 1024;

struct InputDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputDeleter {
  void operator()(AVFormatContext* c) const {
    if (c->pb != nullptr && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ResamplerDeleter {
  void operator()(SwrContext* c) const { swr_free(&c); }
};
struct FifoDeleter {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
// The option calls take AVDictionary** and may replace the dictionary, so this owns the pointer
// itself rather than wrapping it in a unique_ptr.
struct Options {
  AVDictionary* dict = nullptr;
  Options() = default;
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
  ~Options() { av_dict_free(&dict); }
};
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

[[noreturn]] void fail(int code, const char* step) {
  throw std::system_error(code, ffmpegCategory(), step);
}

void check(int code, const char* step) {
  if (code < 0) fail(code, step);
}

// FFmpeg reads "name:" as a protocol prefix; the file protocol takes any path literally.
std::string fileUrl(const std::filesystem::path& path) {
  return "file:" + path.string();
}

// The WAV's rate when AAC can carry it, otherwise the nearest rate above it (or the highest).
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

// Everything the export needs, set up before the destination is touched.
class Export {
 public:
  // False when the source cannot be exported; only memory is touched.
  bool setUp(const std::filesystem::path& source, const std::filesystem::path& destination);
  // Writes the whole M4A file; throws std::system_error on any failure.
  void run(const std::filesystem::path& destination);

 private:
  bool setUpInput(const std::filesystem::path& source);
  bool setUpEncoder();
  bool setUpOutput(const std::filesystem::path& destination);
  void receiveDecoded();
  void resample(const uint8_t** samples, int count);
  void encodeFromFifo(int count);
  void encode(const AVFrame* frame);
  void finishFile(const std::filesystem::path& destination);

  std::unique_ptr<AVFormatContext, InputDeleter> input_;
  int streamIndex_ = -1;
  std::unique_ptr<AVCodecContext, CodecDeleter> decoder_;
  std::unique_ptr<AVCodecContext, CodecDeleter> encoder_;
  std::unique_ptr<SwrContext, ResamplerDeleter> resampler_;
  std::unique_ptr<AVFormatContext, OutputDeleter> output_;
  AVStream* stream_ = nullptr;
  std::string outputUrl_;
  std::unique_ptr<AVAudioFifo, FifoDeleter> fifo_;
  std::unique_ptr<AVFrame, FrameDeleter> decoded_;
  std::unique_ptr<AVFrame, FrameDeleter> converted_;
  int convertedCapacity_ = 0;
  std::unique_ptr<AVFrame, FrameDeleter> encoderFrame_;
  std::unique_ptr<AVPacket, PacketDeleter> inputPacket_;
  std::unique_ptr<AVPacket, PacketDeleter> outputPacket_;
  int64_t nextPts_ = 0;
};

bool Export::setUp(const std::filesystem::path& source, const std::filesystem::path& destination) {
  if (!setUpInput(source) || !setUpEncoder() || !setUpOutput(destination)) return false;

  AVChannelLayout inLayout{};
  if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    // A plain WAVE_FORMAT_PCM header names no speakers: take the usual ones for the count.
    av_channel_layout_default(&inLayout, decoder_->ch_layout.nb_channels);
  } else if (av_channel_layout_copy(&inLayout, &decoder_->ch_layout) < 0) {
    return false;
  }
  SwrContext* resampler = nullptr;
  int ret = swr_alloc_set_opts2(&resampler, &encoder_->ch_layout, encoder_->sample_fmt,
                                encoder_->sample_rate, &inLayout, decoder_->sample_fmt,
                                decoder_->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  resampler_.reset(resampler);
  if (ret < 0 || swr_init(resampler_.get()) < 0) return false;

  fifo_.reset(av_audio_fifo_alloc(encoder_->sample_fmt, encoder_->ch_layout.nb_channels,
                                  4 * encoder_->frame_size));
  decoded_.reset(av_frame_alloc());
  converted_.reset(av_frame_alloc());
  encoderFrame_.reset(av_frame_alloc());
  inputPacket_.reset(av_packet_alloc());
  outputPacket_.reset(av_packet_alloc());
  if (!fifo_ || !decoded_ || !converted_ || !encoderFrame_ || !inputPacket_ || !outputPacket_) {
    return false;
  }
  // One buffer of exactly frame_size samples, reused for every frame the encoder gets.
  AVFrame* frame = encoderFrame_.get();
  frame->nb_samples = encoder_->frame_size;
  frame->format = encoder_->sample_fmt;
  frame->sample_rate = encoder_->sample_rate;
  if (av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout) < 0) return false;
  return av_frame_get_buffer(frame, 0) >= 0;
}

bool Export::setUpInput(const std::filesystem::path& source) {
  const AVInputFormat* wav = av_find_input_format("wav");
  if (wav == nullptr) return false;
  Options options;
  av_dict_set_int(&options.dict, "max_size", kInputPacketBytes, 0);
  // Ends that probe after the first packet; by default it buffers and re-probes up to 5 MB of audio
  // against every demuxer, which with large packets cost a sixth of a 60 s transcode.
  av_dict_set_int(&options.dict, "probesize", 32, 0);

  AVFormatContext* input = nullptr;
  const std::string url = fileUrl(source);
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

bool Export::setUpEncoder() {
  // The native encoder, by name: another AAC encoder registered first must not be picked.
  const AVCodec* aac = avcodec_find_encoder_by_name("aac");
  if (aac == nullptr) return false;
  encoder_.reset(avcodec_alloc_context3(aac));
  if (!encoder_) return false;
  AVCodecContext* enc = encoder_.get();
  enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
  enc->sample_rate = encoderSampleRate(aac, decoder_->sample_rate);
  enc->bit_rate = kBitRate;
  enc->profile = FF_PROFILE_AAC_LOW;
  enc->time_base = AVRational{1, enc->sample_rate};
  const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  if (av_channel_layout_copy(&enc->ch_layout, &stereo) < 0) return false;
  // The ipod muxer keeps the AudioSpecificConfig in the esds box, not in-band.
  enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  return avcodec_open2(enc, aac, nullptr) >= 0 && enc->frame_size > 0;
}

bool Export::setUpOutput(const std::filesystem::path& destination) {
  outputUrl_ = fileUrl(destination);
  AVFormatContext* output = nullptr;
  if (avformat_alloc_output_context2(&output, nullptr, "ipod", outputUrl_.c_str()) < 0) {
    return false;
  }
  output_.reset(output);
  stream_ = avformat_new_stream(output, nullptr);
  if (stream_ == nullptr) return false;
  stream_->time_base = encoder_->time_base;
  return avcodec_parameters_from_context(stream_->codecpar, encoder_.get()) >= 0;
}

void Export::run(const std::filesystem::path& destination) {
  AVFormatContext* output = output_.get();
  check(avio_open2(&output->pb, outputUrl_.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr),
        "open the M4A file");
  Options options;
  av_dict_set(&options.dict, "movflags", "+faststart", 0);
  // The edit list is in movie time units: at the default 1/1000 s the trimmed length would be
  // rounded to whole milliseconds; in samples it is exact.
  av_dict_set_int(&options.dict, "movie_timescale", encoder_->sample_rate, 0);
  check(avformat_write_header(output, &options.dict), "write the M4A header");

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
  resample(nullptr, 0);  // what the resampler still holds (only when the rate changes)
  if (int left = av_audio_fifo_size(fifo_.get()); left > 0) encodeFromFifo(left);
  encode(nullptr);
  finishFile(destination);
}

void Export::receiveDecoded() {
  AVFrame* frame = decoded_.get();
  while (true) {
    int ret = avcodec_receive_frame(decoder_.get(), frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    check(ret, "decode the WAV file");
    resample(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    av_frame_unref(frame);
  }
}

void Export::resample(const uint8_t** samples, int count) {
  int needed = swr_get_out_samples(resampler_.get(), count);
  check(needed, "resample");
  if (needed > convertedCapacity_) {
    // Packets are all one size: this allocates on the first one (and, when resampling, perhaps
    // once more for a few samples).
    AVFrame* frame = converted_.get();
    av_frame_unref(frame);
    frame->nb_samples = needed;
    frame->format = encoder_->sample_fmt;
    check(av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout), "resample");
    check(av_frame_get_buffer(frame, 0), "resample");
    convertedCapacity_ = needed;
  }
  int converted =
      swr_convert(resampler_.get(), converted_->extended_data, convertedCapacity_, samples, count);
  check(converted, "resample");
  if (converted > 0 &&
      av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted_->extended_data),
                          converted) < converted) {
    fail(AVERROR(ENOMEM), "resample");
  }
  while (av_audio_fifo_size(fifo_.get()) >= encoder_->frame_size) {
    encodeFromFifo(encoder_->frame_size);
  }
}

void Export::encodeFromFifo(int count) {
  AVFrame* frame = encoderFrame_.get();
  // A no-op once the encoder has let go of the previous frame, which it has by the time
  // avcodec_receive_packet reports EAGAIN; a copy only if it still holds it.
  check(av_frame_make_writable(frame), "encode");
  if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->extended_data), count) <
      count) {
    fail(AVERROR_BUG, "encode");
  }
  frame->nb_samples = count;  // below frame_size only for the last frame
  frame->pts = nextPts_;
  nextPts_ += count;
  encode(frame);
}

void Export::encode(const AVFrame* frame) {
  check(avcodec_send_frame(encoder_.get(), frame), "encode");
  AVPacket* packet = outputPacket_.get();
  while (true) {
    int ret = avcodec_receive_packet(encoder_.get(), packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    check(ret, "encode");
    // The first packet starts before zero (the encoder's priming); kept as it is, the muxer turns
    // it into an edit list, so players trim it and the duration stays exact.
    av_packet_rescale_ts(packet, encoder_->time_base, stream_->time_base);
    packet->stream_index = stream_->index;
    check(av_interleaved_write_frame(output_.get(), packet), "write the M4A file");
  }
}

void Export::finishFile(const std::filesystem::path& destination) {
  AVFormatContext* output = output_.get();
  // The trailer writes the moov atom and, for faststart, rewrites the whole file.
  check(av_write_trailer(output), "finish the M4A file");
  avio_flush(output->pb);
  check(output->pb->error, "finish the M4A file");
  check(avio_closep(&output->pb), "close the M4A file");

  // The caller deletes the WAV file once this returns: the M4A file must survive a power cut.
  FileDescriptor file{::open(destination.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0 || ::fsync(file.fd) != 0) {
    throw std::system_error(errno, std::generic_category(), "sync the M4A file");
  }
  std::filesystem::path folder = destination.parent_path();
  FileDescriptor dir{
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (dir.fd < 0 || (::fsync(dir.fd) != 0 && errno != EINVAL)) {
    throw std::system_error(errno, std::generic_category(), "sync the M4A file's folder");
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
  job.run(destination);
}

}  // namespace ondrel
