// Transcoder: the M4A files are checked with FFmpeg's own demuxers and decoders.
#include "ondrelkit/transcoder.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "capture_fd.h"
#include "child_process.h"
#include "decoded_audio.h"
#include "ondrelkit/streaming_encoder.h"
#include "ondrelkit/wav_writer.h"
#include "temp_dir.h"

namespace ondrel {
namespace {

namespace fs = std::filesystem;
using testing::decodeAudio;

struct Tone {
  double frequency = 0;  // 0: silence
  double startSeconds = 0;
};

// One tone per channel, interleaved.
std::vector<int16_t> toneSamples(uint32_t rate, const std::vector<Tone>& channels,
                                 uint32_t frames) {
  std::vector<int16_t> samples;
  samples.reserve(size_t{frames} * channels.size());
  for (uint32_t i = 0; i < frames; ++i) {
    for (const Tone& tone : channels) {
      double t = static_cast<double>(i) / rate;
      double value = tone.frequency > 0 && t >= tone.startSeconds
                         ? 0.5 * std::sin(2 * std::numbers::pi * tone.frequency * t)
                         : 0.0;
      samples.push_back(static_cast<int16_t>(std::lround(value * 32767)));
    }
  }
  return samples;
}

// Written by the recorder's own WAV writer.
void writeWav(const fs::path& path, uint32_t rate, const std::vector<Tone>& channels,
              uint32_t frames) {
  WavWriter writer(path, rate, static_cast<uint16_t>(channels.size()), 16);
  writer.append(toneSamples(rate, channels, frames));
  writer.finalize();
}

// The two ways to the same M4A file: the whole-file transcode of the WAV, and the encoder that
// runs while recording, fed in the I/O thread's blocks and remuxed at the end.
enum class Way { transcode, whileRecording };

void makeM4a(Way way, const fs::path& m4a, uint32_t rate, const std::vector<Tone>& stereo,
             uint32_t frames) {
  if (way == Way::transcode) {
    writeWav(m4a.parent_path() / "audio.wav", rate, stereo, frames);
    Transcoder::wavToM4A(m4a.parent_path() / "audio.wav", m4a);
    return;
  }
  const std::vector<int16_t> samples = toneSamples(rate, stereo, frames);
  StreamingEncoder encoder(m4a.parent_path() / ".audio.m4a.partial", rate);
  for (size_t at = 0; at < samples.size(); at += 960) {
    ASSERT_TRUE(
        encoder.push(std::span(samples).subspan(at, std::min<size_t>(960, samples.size() - at))));
  }
  ASSERT_EQ(encoder.finish(), frames);
  encoder.remuxTo(m4a);
}

std::string readFile(const fs::path& path) {
  const auto bytes = testing::readBytes(path);
  return {bytes.begin(), bytes.end()};
}

class TranscoderTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
};

class TranscoderRateTest : public TranscoderTest,
                           public ::testing::WithParamInterface<std::tuple<int, Way>> {};

TEST_P(TranscoderRateTest, EncodesEachChannelInPlaceAtTheWavRateAndFullLength) {
  const auto [rate, way] = GetParam();
  const fs::path m4a = dir_ / "audio.m4a";
  // Left starts late, so a timeline shifted by the encoder's priming shows in the onset. The odd
  // length ends in a short frame and is no whole number of milliseconds.
  const uint32_t frames = 3 * static_cast<uint32_t>(rate) + 7;
  ASSERT_NO_FATAL_FAILURE(
      makeM4a(way, m4a, static_cast<uint32_t>(rate), {{440, 0.5}, {2500, 0}}, frames));

  const auto audio = decodeAudio(m4a);
  EXPECT_EQ(audio.codec, "aac LC");
  EXPECT_EQ(audio.channels, 2u);
  EXPECT_EQ(audio.sampleRate, uint32_t(rate));
  // Every sample, the short last frame included; the priming and the padding are not counted.
  EXPECT_EQ(audio.statedFrames, frames);
  EXPECT_NEAR(double(audio.bitRate), 128000, 20000);
  // The priming stays before zero and an edit list hides it; the timeline is not shifted.
  EXPECT_EQ(audio.firstPts, -1024);

  std::string file = readFile(m4a);
  EXPECT_EQ(file.substr(4, 8), "ftypM4A ");
  EXPECT_LT(file.find("moov"), file.find("mdat")) << "faststart puts the index first";

  // The decoder gives the last packet whole, so up to a frame more comes out.
  EXPECT_NEAR(double(audio.frames()), frames, 1024);
  size_t onset = 0;
  while (onset < audio.frames() && std::abs(audio.samples[2 * onset]) < 0.25f) ++onset;
  EXPECT_NEAR(static_cast<double>(onset), 0.5 * rate, 0.003 * rate);
  EXPECT_GT(audio.toneAmplitude(0, 440, 1, 2), 0.4);
  EXPECT_GT(audio.toneAmplitude(1, 2500, 1, 2), 0.4);
  EXPECT_LT(audio.toneAmplitude(0, 2500, 1, 2), 0.02);
  EXPECT_LT(audio.toneAmplitude(1, 440, 1, 2), 0.02);
}

INSTANTIATE_TEST_SUITE_P(TranscoderRates, TranscoderRateTest,
                         ::testing::Combine(::testing::Values(48000, 44100),
                                            ::testing::Values(Way::transcode,
                                                              Way::whileRecording)));

TEST_F(TranscoderTest, OtherWavShapesStillGiveStereoAtAnAacRate) {
  // Mono is spread over both channels; a rate AAC cannot carry goes to the next one up.
  struct Case {
    uint32_t rate;
    std::vector<Tone> channels;
    uint32_t expectedRate;
  };
  for (const Case& c :
       {Case{16000, {{1000, 0}}, 16000}, Case{37800, {{1000, 0}, {1000, 0}}, 44100}}) {
    SCOPED_TRACE(c.rate);
    const fs::path wav = dir_ / "in.wav";
    const fs::path m4a = dir_ / "out.m4a";
    writeWav(wav, c.rate, c.channels, 2 * c.rate);
    Transcoder::wavToM4A(wav, m4a);
    const auto audio = decodeAudio(m4a);
    EXPECT_EQ(audio.channels, 2u);
    EXPECT_EQ(audio.sampleRate, c.expectedRate);
    // What the resampler still holds at the end is encoded too.
    EXPECT_NEAR(double(audio.statedFrames), 2.0 * c.expectedRate, 2);
    EXPECT_GT(audio.toneAmplitude(0, 1000, 0.5, 1.5), 0.3);
    EXPECT_GT(audio.toneAmplitude(1, 1000, 0.5, 1.5), 0.3);
  }
}

TEST_F(TranscoderTest, ReplacesWhateverIsAtTheDestination) {
  const fs::path wav = dir_ / "audio.wav";
  writeWav(wav, 48000, {{440, 0}, {880, 0}}, 48000);

  const fs::path oldFile = dir_ / "file.m4a";
  std::ofstream(oldFile) << std::string(10'000'000, 'x');  // longer than the new file
  const fs::path emptyFolder = dir_ / "folder.m4a";
  fs::create_directory(emptyFolder);
  const fs::path danglingLink = dir_ / "link.m4a";
  fs::create_symlink(dir_ / "nowhere", danglingLink);

  for (const fs::path& destination : {oldFile, emptyFolder, danglingLink}) {
    SCOPED_TRACE(destination);
    Transcoder::wavToM4A(wav, destination);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(destination)));
    EXPECT_LT(fs::file_size(destination), 100'000u);
    EXPECT_EQ(decodeAudio(destination).statedFrames, 48000);
  }
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
}

TEST_F(TranscoderTest, PrintsNothingOnStandardError) {
  // Standard error belongs to the tool's own lines; FFmpeg would log the faststart pass there.
  const fs::path wav = dir_ / "audio.wav";
  writeWav(wav, 48000, {{440, 0}, {880, 0}}, 24000);
  const std::string err = testing::captureFd(STDERR_FILENO, [&] {
    EXPECT_NO_THROW(Transcoder::wavToM4A(wav, dir_ / "audio.m4a"));
    EXPECT_THROW(Transcoder::wavToM4A(dir_ / "audio.m4a", dir_ / "again.m4a"), TranscodeError);
  });
  EXPECT_EQ(err, "");
}

TEST_F(TranscoderTest, AnUnusableSourceFailsBeforeTouchingTheDestination) {
  const fs::path garbage = dir_ / "garbage.wav";
  std::ofstream(garbage) << std::string(100'000, '\x5a');
  const fs::path text = dir_ / "notes.wav";
  std::ofstream(text) << "RIFF but not really a wave file\n";
  const fs::path empty = dir_ / "empty.wav";
  std::ofstream{empty};
  const fs::path headerOnly = dir_ / "header.wav";
  writeWav(headerOnly, 48000, {{440, 0}, {440, 0}}, 48000);
  fs::resize_file(headerOnly, 20);  // cut inside the fmt chunk
  const fs::path folder = dir_ / "folder.wav";
  fs::create_directory(folder);
  // Decodable audio, but not the WAV file a recording leaves.
  const fs::path flac = dir_ / "audio.flac";
  testing::runToEnd({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=1", flac.string()});
  ASSERT_TRUE(fs::exists(flac));

  const fs::path destination = dir_ / "audio.m4a";
  const std::string previous = "an older recording";
  std::ofstream(destination) << previous;

  for (const fs::path& source :
       {dir_ / "missing.wav", garbage, text, empty, headerOnly, folder, flac}) {
    SCOPED_TRACE(source);
    try {
      Transcoder::wavToM4A(source, destination);
      ADD_FAILURE() << "no error";
    } catch (const TranscodeError& e) {
      EXPECT_EQ(e, TranscodeError::exportFailed("could not create export session"));
      EXPECT_STREQ(e.what(), "exportFailed(\"could not create export session\")");
    }
    EXPECT_EQ(readFile(destination), previous);
  }
}

// An export failure keeps FFmpeg's own error, never exportFailed.
void expectExportError(const fs::path& wav, const fs::path& destination, std::errc expected) {
  try {
    Transcoder::wavToM4A(wav, destination);
    ADD_FAILURE() << "no error";
  } catch (const TranscodeError& e) {
    ADD_FAILURE() << "an export failure became " << e.what();
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), expected) << e.what();
    EXPECT_NE(std::string(e.what()).find(std::make_error_code(expected).message()),
              std::string::npos)
        << e.what();
  }
}

TEST_F(TranscoderTest, AnExportFailurePassesThroughWithItsOwnError) {
  const fs::path wav = dir_ / "audio.wav";
  writeWav(wav, 48000, {{440, 0}, {880, 0}}, 5 * 48000);
  expectExportError(wav, dir_ / "missing-folder" / "audio.m4a",
                    std::errc::no_such_file_or_directory);

  const fs::path complete = dir_ / "complete.m4a";
  Transcoder::wavToM4A(wav, complete);
  const auto size = static_cast<rlim_t>(fs::file_size(complete));

  // A file-size limit makes write(2) fail as a full disk would, at a chosen byte: in the header,
  // among the packets, and at the last bytes, which only the trailer and the close write.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  for (rlim_t limit : {rlim_t{16}, size / 2, size - 1}) {
    SCOPED_TRACE(limit);
    rlimit lowered = saved;
    lowered.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    expectExportError(wav, dir_ / "limited.m4a", std::errc::file_too_large);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  }
  signal(SIGXFSZ, previousHandler);
}

}  // namespace
}  // namespace ondrel
