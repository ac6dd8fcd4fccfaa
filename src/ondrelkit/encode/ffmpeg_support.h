// Small pieces every FFmpeg user in the library shares: owners for FFmpeg's objects, errors as
// std::system_error in ffmpegCategory(), file URLs, and the sync that makes a finished file
// survive a power cut.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libswresample/swresample.h>
}

#include "ondrelkit/encode/encode_error.h"

namespace ondrel::ffmpeg {

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

[[noreturn]] inline void fail(int code, const char* step) {
  throw std::system_error(code, ffmpegCategory(), step);
}

inline void check(int code, const char* step) {
  if (code < 0) fail(code, step);
}

// FFmpeg reads "name:" as a protocol prefix; the file protocol takes any path literally.
inline std::string fileUrl(const std::filesystem::path& path) {
  return "file:" + path.string();
}

// fsync of the file and of its folder's entry; std::system_error naming `what` on failure.
void syncFileAndFolder(const std::filesystem::path& file, const char* what);

}  // namespace ondrel::ffmpeg
