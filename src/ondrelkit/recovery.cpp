#include "ondrelkit/recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

#include "ondrelkit/encode/aac_encoder.h"
#include "ondrelkit/encode/ffmpeg_support.h"
#include "ondrelkit/encode/m4a_muxer.h"
#include "ondrelkit/wav_writer.h"

namespace ondrel {
namespace {

namespace fs = std::filesystem;
using ffmpeg::check;

// Packets encoded again before the splice, so that the new encoder's state has settled where its
// packets take over from the old ones.
constexpr std::int64_t kPrerollPackets = 8;
constexpr std::size_t kBlockFrames = 4096;

struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::uint16_t le16(const std::uint8_t* p) {
  return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

// The WAV file as ondrel writes it: 16-bit stereo PCM behind a 44-byte header.
struct Wav {
  int fd = -1;
  std::uint32_t rate = 0;
  std::int64_t frames = 0;
};

// Makes the header's sizes true (they are zero after a kill, and the last frame may be torn),
// then reads it.
Wav openWav(const fs::path& path, FileDescriptor& owner) {
  const std::runtime_error notOurs("audio.wav is not a recording ondrel can recover");
  if (!WavWriter::writeSizesFromFileLength(path)) throw notOurs;
  owner.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::uint8_t header[WavWriter::kHeaderBytes];
  if (owner.fd < 0 || ::pread(owner.fd, header, sizeof header, 0) != ssize_t(sizeof header)) {
    throw notOurs;
  }
  Wav wav{owner.fd, le32(header + 24), le32(header + 40) / 4};
  if (le16(header + 20) != 1 || le16(header + 22) != 2 || le16(header + 34) != 16 ||
      wav.rate == 0) {
    throw notOurs;
  }
  return wav;
}

// The finished file's packets in order, each stamped in samples: all but the last get the
// encoder's frame as duration, the last ends where the recording ends. Packets from `holdFrom` on
// are held until that end is known.
class Splice {
 public:
  Splice(const fs::path& destination, const AVCodecContext& codec, std::int64_t holdFrom)
      : frameSize_(codec.frame_size), holdFrom_(holdFrom) {
    std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> parameters(
        avcodec_parameters_alloc(), [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
    if (!parameters || avcodec_parameters_from_context(parameters.get(), &codec) < 0 ||
        !muxer_.setUp(destination, *parameters)) {
      ffmpeg::fail(AVERROR(EINVAL), "set up the M4A file");
    }
    timeBase_ = AVRational{1, codec.sample_rate};
    muxer_.open();
  }

  void add(const AVPacket& packet, std::int64_t pts) {
    std::unique_ptr<AVPacket, ffmpeg::PacketDeleter> copy(av_packet_clone(&packet));
    if (!copy) ffmpeg::fail(AVERROR(ENOMEM), "copy a packet");
    copy->pts = copy->dts = pts;
    copy->duration = frameSize_;
    if (pts < holdFrom_) {
      muxer_.write(copy.get(), timeBase_);
    } else {
      held_.push_back(std::move(copy));
    }
  }

  void finish(std::int64_t end) {
    for (std::size_t i = 0; i < held_.size() && held_[i]->pts < end; ++i) {
      AVPacket* packet = held_[i].get();
      if (i + 1 == held_.size() || held_[i + 1]->pts >= end) packet->duration = end - packet->pts;
      muxer_.write(packet, timeBase_);
    }
    muxer_.finish();
  }

 private:
  M4aMuxer muxer_;
  AVRational timeBase_{1, 1};
  const std::int64_t frameSize_;
  const std::int64_t holdFrom_;
  std::vector<std::unique_ptr<AVPacket, ffmpeg::PacketDeleter>> held_;
};

// Copies the partial file's packets that are wholly on disk and were encoded from this WAV file's
// audio (same codec and rate), stamped on the encoder's timeline: packet k starts at k frames
// minus the priming. Returns how many were copied; none when the file is missing or not such a
// file.
std::int64_t copyPartial(const fs::path& partial, const AVCodecContext& codec, Splice& splice) {
  AVFormatContext* raw = nullptr;
  const std::string url = ffmpeg::fileUrl(partial);
  if (avformat_open_input(&raw, url.c_str(), av_find_input_format("mp4"), nullptr) < 0) return 0;
  std::unique_ptr<AVFormatContext, ffmpeg::InputDeleter> input(raw);
  const AVCodecParameters* stored = input->nb_streams == 1 ? input->streams[0]->codecpar : nullptr;
  if (stored == nullptr || stored->codec_id != codec.codec_id ||
      stored->sample_rate != codec.sample_rate ||
      stored->ch_layout.nb_channels != codec.ch_layout.nb_channels) {
    return 0;
  }
  std::error_code unknown;
  const auto size = fs::file_size(partial, unknown);
  if (unknown) return 0;
  std::unique_ptr<AVPacket, ffmpeg::PacketDeleter> packet(av_packet_alloc());
  if (!packet) ffmpeg::fail(AVERROR(ENOMEM), "read the partial file");
  std::int64_t count = 0;
  // Up to the first packet that reaches the end of the file: one cut there may have lost its tail.
  // Its loss costs one packet encoded again.
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    const bool whole = packet->size > 0 && packet->pos >= 0 &&
                       std::uint64_t(packet->pos) + std::uint64_t(packet->size) < size;
    if (whole) splice.add(*packet, count * codec.frame_size - codec.initial_padding);
    av_packet_unref(packet.get());
    if (!whole) break;
    ++count;
  }
  return count;
}

}  // namespace

RecoveredRecording recoverRecording(const RecordingFolder& files,
                                    const RecoveryProgress& progress) {
  if (!fs::exists(fs::symlink_status(files.wav))) {
    const bool finished = fs::exists(fs::symlink_status(files.m4a));
    throw NothingToRecover("nothing to recover in " + files.folder.string() +
                           (finished ? ": the recording is finished" : ": there is no audio.wav"));
  }
  // FFmpeg's log would otherwise reach standard error, which carries only the tool's own lines.
  av_log_set_level(AV_LOG_QUIET);
  FileDescriptor owner{-1};
  const Wav wav = openWav(files.wav, owner);
  std::error_code ignored;
  fs::remove(files.finishing, ignored);  // a finish that was killed

  // The encoder as the recording had it: it provides the codec parameters, and the packets
  // the partial file lacks.
  AacEncoder encoder;
  const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  if (!encoder.open(int(wav.rate), stereo, AV_SAMPLE_FMT_S16)) {
    throw std::runtime_error("cannot set up the encoder");
  }
  const AVCodecContext& codec = *encoder.context();
  const std::int64_t frameSize = codec.frame_size;
  // The recording's length on the encoder's timeline (its rate differs only for a rate AAC
  // cannot carry).
  const std::int64_t end = av_rescale(wav.frames, codec.sample_rate, wav.rate);
  const double total = double(wav.frames) / wav.rate;

  std::int64_t length = end;
  try {
    Splice splice(files.finishing, codec, end - frameSize);
    const std::int64_t copied =
        codec.sample_rate == int(wav.rate) ? copyPartial(files.partial, codec, splice) : 0;
    // Packet k of an encoder holds the frames from (k - 1) x frameSize to (k + 1) x frameSize,
    // the first after the priming: packets 0 to copied - 1 give every frame before
    // (copied - 1) x frameSize whole.
    const std::int64_t covered = std::max<std::int64_t>(copied - 1, 0) * frameSize;
    if (progress) progress(double(covered) / codec.sample_rate, total);
    if (covered >= end) {
      // The partial file holds it all. More than a packet past the WAV file's end: the WAV
      // file lacks frames that the partial file has, so it ends there.
      if (covered - end >= frameSize) length = covered;
      splice.finish(length);
    } else {
      // A new encoder from a frame on the same grid, a few packets before the splice; its packets
      // from the splice on continue the copied ones.
      const std::int64_t start = std::max<std::int64_t>(copied - kPrerollPackets, 0) * frameSize;
      const std::int64_t firstKept = copied * frameSize - codec.initial_padding;
      const AacEncoder::PacketSink sink = [&](AVPacket* packet) {
        const std::int64_t pts = start + packet->pts;
        if (pts >= firstKept) splice.add(*packet, pts);
      };
      std::vector<std::int16_t> block(2 * kBlockFrames);
      for (std::int64_t at = start; at < wav.frames;) {
        const std::int64_t frames = std::min<std::int64_t>(kBlockFrames, wav.frames - at);
        const ssize_t bytes = 4 * frames;
        const ssize_t read = ::pread(wav.fd, block.data(), bytes, WavWriter::kHeaderBytes + 4 * at);
        if (read != bytes) {
          throw std::system_error(read < 0 ? errno : EIO, std::generic_category(),
                                  "read audio.wav");
        }
        if constexpr (std::endian::native == std::endian::big) {
          for (auto& sample : block)
            sample = std::int16_t(le16(reinterpret_cast<std::uint8_t*>(&sample)));
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(block.data());
        encoder.write(&data, int(frames), sink);
        at += frames;
        if (progress) progress(double(at) / wav.rate, total);
      }
      encoder.flush(sink);
      splice.finish(end);
    }
    RecordingFolder::publish(files.finishing, files.m4a);
  } catch (...) {
    fs::remove(files.finishing, ignored);
    throw;
  }
  fs::remove(files.wav, ignored);
  fs::remove(files.partial, ignored);
  return {std::uint64_t(length), std::uint32_t(codec.sample_rate)};
}

}  // namespace ondrel
