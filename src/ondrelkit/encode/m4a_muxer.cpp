#include "ondrelkit/encode/m4a_muxer.h"

namespace ondrel {

using ffmpeg::check;

bool M4aMuxer::setUp(const std::filesystem::path& destination, const AVCodecParameters& codec) {
  destination_ = destination;
  url_ = ffmpeg::fileUrl(destination);
  AVFormatContext* output = nullptr;
  if (avformat_alloc_output_context2(&output, nullptr, "ipod", url_.c_str()) < 0) return false;
  output_.reset(output);
  stream_ = avformat_new_stream(output, nullptr);
  if (stream_ == nullptr || codec.sample_rate <= 0) return false;
  stream_->time_base = AVRational{1, codec.sample_rate};
  return avcodec_parameters_copy(stream_->codecpar, &codec) >= 0;
}

void M4aMuxer::open() {
  AVFormatContext* output = output_.get();
  check(avio_open2(&output->pb, url_.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr),
        "open the M4A file");
  ffmpeg::Options options;
  av_dict_set(&options.dict, "movflags", "+faststart", 0);
  // The edit list is in movie time units: at the default 1/1000 s the trimmed length would be
  // rounded to whole milliseconds; in samples it is exact.
  av_dict_set_int(&options.dict, "movie_timescale", stream_->codecpar->sample_rate, 0);
  check(avformat_write_header(output, &options.dict), "write the M4A header");
}

void M4aMuxer::write(AVPacket* packet, AVRational timeBase) {
  av_packet_rescale_ts(packet, timeBase, stream_->time_base);
  packet->stream_index = stream_->index;
  check(av_interleaved_write_frame(output_.get(), packet), "write the M4A file");
}

void M4aMuxer::finish() {
  AVFormatContext* output = output_.get();
  check(av_write_trailer(output), "finish the M4A file");
  avio_flush(output->pb);
  check(output->pb->error, "finish the M4A file");
  check(avio_closep(&output->pb), "close the M4A file");
}

}  // namespace ondrel
