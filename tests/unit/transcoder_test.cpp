// The whole-file transcode and the encoder that runs while recording, checked by FFmpeg's decoder.
#include "ondrelkit/encode/transcoder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cmath>
#include <fstream>
#include <span>

#include "decoded_audio.h"
#include "ondrelkit/encode/streaming_encoder.h"
#include "ondrelkit/wav_writer.h"
#include "temp_dir.h"

namespace ondrel {
namespace {

namespace fs = std::filesystem;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// A tone per channel; the left one starts at 0.5 s, where a shift by the priming would show.
std::vector<std::int16_t> tones(std::uint32_t rate, const std::vector<double>& hz,
                                std::uint32_t frames) {
  std::vector<std::int16_t> samples;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double t = double(i) / rate;
    for (std::size_t c = 0; c < hz.size(); ++c) {
      const double value = c == 0 && t < 0.5 ? 0 : 0.5 * std::sin(2 * M_PI * hz[c] * t);
      samples.push_back(std::int16_t(std::lround(value * 32767)));
    }
  }
  return samples;
}

void writeWav(const fs::path& path, std::uint32_t rate, const std::vector<double>& hz,
              std::uint32_t frames) {
  WavWriter writer(path, rate, std::uint16_t(hz.size()), 16);
  writer.append(tones(rate, hz, frames));
  writer.finalize();
}

struct Shape {
  std::uint32_t rate, channels;
  bool whileRecording;  // the encoder fed in the I/O thread's blocks and remuxed, or the transcode
  std::uint32_t aacRate;
};

void PrintTo(const Shape& s, std::ostream* out) {
  *out << s.channels << " x " << s.rate << (s.whileRecording ? " Hz encoded" : " Hz transcoded");
}

class TranscoderRates : public ::testing::TestWithParam<Shape> {};

// Mono goes to both channels, a rate AAC cannot carry to the next one up, nothing to stderr.
TEST_P(TranscoderRates, EncodesEachChannelInPlaceAtAnAacRateAndFullLengthQuietly) {
  const auto [rate, channels, whileRecording, aacRate] = GetParam();
  testing::TempDir dir;
  const fs::path m4a = dir / "audio.m4a";
  // The odd length ends in a short frame and is no whole number of milliseconds.
  const std::uint32_t frames = 3 * rate + 7;
  const std::vector<double> hz = channels == 1 ? std::vector{440.0} : std::vector{440.0, 2500.0};
  CaptureStderr();
  if (whileRecording) {
    const std::vector<std::int16_t> samples = tones(rate, hz, frames);
    StreamingEncoder encoder(dir / ".audio.m4a.partial", rate);
    for (std::size_t at = 0; at < samples.size(); at += 960) {
      EXPECT_TRUE(encoder.push(
          std::span(samples).subspan(at, std::min<std::size_t>(960, samples.size() - at))));
    }
    EXPECT_EQ(encoder.finish(), frames);
    encoder.remuxTo(m4a);
  } else {
    writeWav(dir / "audio.wav", rate, hz, frames);
    Transcoder::wavToM4A(dir / "audio.wav", m4a);
  }
  EXPECT_EQ(GetCapturedStderr(), "");

  const auto audio = testing::decodeAudio(m4a);
  EXPECT_EQ(audio.codec, "aac LC");
  EXPECT_EQ(audio.channels, 2u);
  EXPECT_EQ(audio.sampleRate, aacRate);
  // At 16 kHz a tone takes fewer bits than the encoder may spend.
  EXPECT_NEAR(double(audio.bitRate), aacRate > 16000 ? 128000 : 80000, 20000);
  // Every frame (the short last one, what a resampler held), not the priming and padding.
  EXPECT_NEAR(double(audio.statedFrames), double(frames) * aacRate / rate, rate == aacRate ? 0 : 2);
  // The priming stays before zero and an edit list hides it; the timeline is not shifted.
  EXPECT_EQ(audio.firstPts, -1024);
  const std::string file = testing::readFile(m4a);
  EXPECT_EQ(file.substr(4, 8), "ftypM4A ");
  EXPECT_LT(file.find("moov"), file.find("mdat")) << "faststart puts the index first";

  // The decoder gives the last packet whole, so up to a frame more comes out.
  EXPECT_NEAR(double(audio.frames()), double(audio.statedFrames), 1024);
  std::size_t onset = 0;
  while (onset < audio.frames() && std::abs(audio.samples[2 * onset]) < 0.25f) ++onset;
  EXPECT_NEAR(double(onset), 0.5 * aacRate, 0.003 * aacRate);
  EXPECT_GT(audio.toneAmplitude(0, 440, 1, 2), 0.3);  // mono spread at -3 dB
  EXPECT_GT(audio.toneAmplitude(1, hz.back(), 1, 2), 0.3);
  EXPECT_LT(audio.toneAmplitude(0, 2500, 1, 2), 0.02);
  EXPECT_LT(audio.toneAmplitude(1, 440, 1, 2), channels == 1 ? 1 : 0.02);
}

INSTANTIATE_TEST_SUITE_P(
    TranscoderShapes, TranscoderRates,
    ::testing::Values(Shape{48000, 2, false, 48000}, Shape{44100, 2, false, 44100},
                      Shape{48000, 2, true, 48000}, Shape{44100, 2, true, 44100},
                      Shape{16000, 1, false, 16000}, Shape{37800, 2, false, 44100}));

// Any destination is replaced. A source that is no recording's WAV file fails before the
// destination is touched. A failure to write keeps FFmpeg's own error: a missing folder, or a
// file-size limit failing write(2) as a full disk would, in the header, the packets, or the last
// bytes (the trailer and the close). Nothing goes to standard error.
TEST(TranscoderTest, ReplacesAnyDestinationOrFailsWithItsOwnError) {
  testing::TempDir dir;
  const fs::path wav = dir / "audio.wav", m4a = dir / "audio.m4a", oldFile = dir / "old.m4a",
                 folder = dir / "folder.m4a", link = dir / "link.m4a", kept = dir / "kept.m4a",
                 garbage = dir / "garbage.wav", cut = dir / "cut.wav";
  writeWav(wav, 48000, {440, 880}, 5 * 48000);
  Transcoder::wavToM4A(wav, m4a);
  fs::copy_file(wav, cut);
  fs::resize_file(cut, 20);                                // inside the fmt chunk
  std::ofstream(oldFile) << std::string(10'000'000, 'x');  // longer than the new file
  std::ofstream(kept) << "an older recording";
  std::ofstream(garbage) << std::string(100'000, '\x5a');
  fs::create_directory(folder);
  fs::create_symlink(dir / "nowhere", link);
  const auto size = rlim_t(fs::file_size(m4a));
  const std::string unusable = R"(exportFailed("could not create export session"))";
  const struct {
    fs::path source, destination;
    std::string error;  // "" for none, or what the error's text holds
    rlim_t sizeLimit = RLIM_INFINITY;
  } cases[] = {
      {wav, oldFile, ""},
      {wav, folder, ""},
      {wav, link, ""},
      {wav, dir / "missing" / "audio.m4a", "No such file or directory"},
      {wav, dir / "limited.m4a", "File too large", 16},
      {wav, dir / "limited.m4a", "File too large", size / 2},
      {wav, dir / "limited.m4a", "File too large", size - 1},
      {dir / "missing.wav", kept, unusable},
      {garbage, kept, unusable},
      {cut, kept, unusable},
  };
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, SIG_IGN);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source.string() + " to " + c.destination.string());
    const rlimit limited{std::min(c.sizeLimit, saved.rlim_cur), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string error;
    CaptureStderr();
    try {
      Transcoder::wavToM4A(c.source, c.destination);
    } catch (const std::exception& e) {
      error = e.what();
    }
    EXPECT_EQ(GetCapturedStderr(), "");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_TRUE(c.error.empty() ? error.empty() : error.find(c.error) != std::string::npos)
        << error;
    if (c.error.empty()) {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(c.destination)));
      EXPECT_LT(fs::file_size(c.destination), 100'000u);
      EXPECT_EQ(testing::decodeAudio(c.destination).statedFrames, 5 * 48000);
    }
  }
  EXPECT_EQ(testing::readFile(kept), "an older recording");
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

}  // namespace
}  // namespace ondrel
