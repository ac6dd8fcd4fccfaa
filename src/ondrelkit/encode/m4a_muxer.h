// The finished M4A file: one AAC stream in FFmpeg's ipod muxer (brand "M4A "), the index moved to
// the front (faststart), movie time in samples so the edit list that hides the encoder's priming
// is exact. The caller publishes it (RecordingFolder::publish syncs it, then renames it).
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "ondrelkit/encode/ffmpeg_support.h"

namespace ondrel {

class M4aMuxer {
 public:
  // Prepares the muxer for one stream of `codec`; only memory is touched. False when FFmpeg
  // cannot.
  bool setUp(const std::filesystem::path& destination, const AVCodecParameters& codec);

  // Creates the file and writes its header. Throws std::system_error in ffmpegCategory().
  void open();
  // Writes one packet whose timestamps are in `timeBase`; a negative first timestamp becomes the
  // edit list. Throws like open().
  void write(AVPacket* packet, AVRational timeBase);
  // Writes the index (for faststart this rewrites the whole file) and closes the file. Throws
  // std::system_error.
  void finish();

 private:
  std::filesystem::path destination_;
  std::string url_;
  std::unique_ptr<AVFormatContext, ffmpeg::OutputDeleter> output_;
  AVStream* stream_ = nullptr;
};

}  // namespace ondrel
