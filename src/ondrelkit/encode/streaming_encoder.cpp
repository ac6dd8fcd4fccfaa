#include "ondrelkit/encode/streaming_encoder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

#include "ondrelkit/encode/aac_encoder.h"
#include "ondrelkit/encode/ffmpeg_support.h"
#include "ondrelkit/encode/m4a_muxer.h"

namespace ondrel {

using ffmpeg::check;

namespace {

using Clock = std::chrono::steady_clock;

// How often the encoder thread wakes to encode what the ring holds and to cut a fragment of the
// partial file: about what a killed process can lose of it. Waking seldom keeps encoding while
// recording cheap: a batch of a second runs with warm caches, where one of 50 ms found them cold
// (the thread took a quarter more CPU per recorded second).
constexpr auto kFragmentPeriod = std::chrono::seconds(1);
// A backlog this long wakes the encoder thread early. It never builds up in real time (the thread
// empties the ring every period); a producer that outruns real time, such as a burst after a
// stall, gets the encoder going before the ring fills.
constexpr std::size_t kWakeBacklogSeconds = 2;

std::size_t wakeBacklogSamples(std::uint32_t sampleRate) {
  return 2 * std::size_t(sampleRate) * kWakeBacklogSeconds;
}
// How often the partial file is synced, so that little is left for the finish (and a power cut
// loses little).
constexpr auto kSyncPeriod = std::chrono::seconds(3);
// Frames taken from the ring per encoder call.
constexpr std::size_t kBlockFrames = 4096;

}  // namespace

// The partial file: fragmented MP4 of the encoder's packets, flushed as each fragment is cut.
class StreamingEncoder::Output {
 public:
  Output(const std::filesystem::path& path, const AVCodecContext& codec) {
    const std::string url = ffmpeg::fileUrl(path);
    AVFormatContext* output = nullptr;
    check(avformat_alloc_output_context2(&output, nullptr, "mp4", url.c_str()),
          "set up the partial file");
    output_.reset(output);
    stream_ = avformat_new_stream(output, nullptr);
    if (stream_ == nullptr) ffmpeg::fail(AVERROR(ENOMEM), "set up the partial file");
    stream_->time_base = codec.time_base;
    check(avcodec_parameters_from_context(stream_->codecpar, &codec), "set up the partial file");
    check(avio_open2(&output->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr),
          "open the partial file");
    // For fdatasync only: any descriptor of the file syncs its data.
    syncFd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ffmpeg::Options options;
    // The index up front and empty, then self-contained fragments, cut by cutFragment(): every
    // fragment written is playable without anything that comes after it.
    av_dict_set(&options.dict, "movflags", "+empty_moov+default_base_moof+frag_custom", 0);
    check(avformat_write_header(output, &options.dict), "write the partial file's header");
    flush();
  }
  ~Output() {
    if (syncFd_ >= 0) ::close(syncFd_);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void write(AVPacket* packet, AVRational timeBase) {
    av_packet_rescale_ts(packet, timeBase, stream_->time_base);
    packet->stream_index = stream_->index;
    // Kept in memory by the muxer until the fragment is cut.
    check(av_write_frame(output_.get(), packet), "write the partial file");
  }

  // Writes the packets written since the last cut as one fragment and hands it to the kernel.
  void cutFragment() {
    check(av_write_frame(output_.get(), nullptr), "write the partial file");
    flush();
  }

  void syncIfDue() {
    if (Clock::now() - lastSync_ < kSyncPeriod) return;
    lastSync_ = Clock::now();
    if (syncFd_ >= 0 && ::fdatasync(syncFd_) != 0) {
      throw std::system_error(errno, std::generic_category(), "sync the partial file");
    }
  }

  void close() {
    check(av_write_trailer(output_.get()), "finish the partial file");
    flush();
    check(avio_closep(&output_->pb), "close the partial file");
  }

 private:
  void flush() {
    avio_flush(output_->pb);
    check(output_->pb->error, "write the partial file");
  }

  std::unique_ptr<AVFormatContext, ffmpeg::OutputDeleter> output_;
  AVStream* stream_ = nullptr;
  int syncFd_ = -1;
  Clock::time_point lastSync_ = Clock::now();
};

StreamingEncoder::StreamingEncoder(std::filesystem::path partialPath, std::uint32_t sampleRate)
    : partialPath_(std::move(partialPath)),
      sampleRate_(sampleRate),
      ring_(2 * std::size_t(sampleRate) * kRingSeconds) {
  // FFmpeg's log would otherwise reach standard error, which carries only the tool's own lines.
  av_log_set_level(AV_LOG_QUIET);
  thread_ = std::thread([this] { run(); });
}

StreamingEncoder::~StreamingEncoder() {
  stopThread();
}

bool StreamingEncoder::push(std::span<const std::int16_t> interleaved) noexcept {
  if (failed()) return false;
  if (ring_.writeAvailable() < interleaved.size()) {
    // Waiting would stall the I/O thread; the WAV file still has these frames.
    failed_.store(true, std::memory_order_relaxed);
    return false;
  }
  const std::size_t before = ring_.readAvailable();
  ring_.write(interleaved.data(), interleaved.size());
  const std::size_t wakeAt = wakeBacklogSamples(sampleRate_);
  // Only on crossing, so at most once per period. Without the mutex: a wake-up lost to the race
  // with the thread going to sleep costs only a delay of one period.
  if (before < wakeAt && before + interleaved.size() >= wakeAt) wake_.notify_one();
  return true;
}

void StreamingEncoder::stopThread() {
  {
    std::lock_guard guard(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

std::optional<std::uint64_t> StreamingEncoder::finish() {
  stopThread();
  if (failed()) return std::nullopt;
  return framesEncoded_;
}

void StreamingEncoder::run() {
  try {
    AacEncoder encoder;
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (!encoder.open(int(sampleRate_), stereo, AV_SAMPLE_FMT_S16)) {
      throw std::runtime_error("cannot set up the encoder");
    }
    encoderTimeBase_ = encoder.context()->time_base;
    Output output(partialPath_, *encoder.context());
    bool firstPacket = true;
    const AacEncoder::PacketSink sink = [&](AVPacket* packet) {
      if (firstPacket) firstPts_ = packet->pts;
      firstPacket = false;
      endPts_ = std::max(endPts_, packet->pts + packet->duration);
      output.write(packet, encoderTimeBase_);
    };

    std::vector<std::int16_t> block(2 * kBlockFrames);
    for (bool finishing = false; !finishing;) {
      {
        const std::size_t wakeAt = wakeBacklogSamples(sampleRate_);
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, kFragmentPeriod,
                       [&] { return finishing_ || ring_.readAvailable() >= wakeAt; });
        finishing = finishing_;
      }
      // What the ring holds now, and no more: a producer that keeps it full must not keep the
      // fragment from being cut. Once finishing is seen no push can come, so this drains the
      // ring for good.
      for (std::size_t left = ring_.readAvailable(); left > 0;) {
        const std::size_t samples = ring_.read(block.data(), std::min(block.size(), left));
        const auto* data = reinterpret_cast<const std::uint8_t*>(block.data());
        encoder.write(&data, int(samples / 2), sink);
        framesEncoded_ += samples / 2;
        left -= samples;
      }
      if (failed()) return;  // the ring overflowed: what is encoded is not the whole recording
      if (!finishing) output.cutFragment();  // when finishing, close() writes the last one
      output.syncIfDue();
    }
    encoder.flush(sink);
    output.close();
  } catch (const std::exception&) {
    failed_.store(true, std::memory_order_relaxed);
  }
}

void StreamingEncoder::remuxTo(const std::filesystem::path& destination) const {
  AVFormatContext* rawInput = nullptr;
  const std::string url = ffmpeg::fileUrl(partialPath_);
  check(avformat_open_input(&rawInput, url.c_str(), av_find_input_format("mp4"), nullptr),
        "open the partial file");
  std::unique_ptr<AVFormatContext, ffmpeg::InputDeleter> input(rawInput);
  if (input->nb_streams != 1) ffmpeg::fail(AVERROR_INVALIDDATA, "read the partial file");
  const AVStream* stream = input->streams[0];

  M4aMuxer muxer;
  if (!muxer.setUp(destination, *stream->codecpar)) {
    ffmpeg::fail(AVERROR(EINVAL), "set up the M4A file");
  }
  // symlink_status: a dangling link is something that exists, too.
  if (std::filesystem::exists(std::filesystem::symlink_status(destination))) {
    std::filesystem::remove(destination);
  }
  muxer.open();
  std::unique_ptr<AVPacket, ffmpeg::PacketDeleter> packet(av_packet_alloc());
  std::unique_ptr<AVPacket, ffmpeg::PacketDeleter> next(av_packet_alloc());
  if (!packet || !next) ffmpeg::fail(AVERROR(ENOMEM), "remux");
  // The partial file may start at zero, priming included, and its packets come without
  // durations. The finished file gets the encoder's own timeline back: the priming before zero
  // and the last packet ending on the last frame, so the muxer's edit list trims both exactly.
  const AVRational timeBase = stream->time_base;
  const int64_t end = av_rescale_q(endPts_, encoderTimeBase_, timeBase);
  int64_t shift = 0;
  bool havePacket = false;
  int ret;
  while ((ret = av_read_frame(input.get(), next.get())) >= 0) {
    if (!havePacket) shift = av_rescale_q(firstPts_, encoderTimeBase_, timeBase) - next->dts;
    next->pts += shift;
    next->dts += shift;
    if (havePacket) {
      packet->duration = next->dts - packet->dts;
      muxer.write(packet.get(), timeBase);
    }
    std::swap(packet, next);
    havePacket = true;
  }
  if (havePacket) {
    packet->duration = end - packet->dts;
    muxer.write(packet.get(), timeBase);
  }
  if (ret != AVERROR_EOF) ffmpeg::fail(ret, "read the partial file");
  muxer.finish();
}

}  // namespace ondrel
