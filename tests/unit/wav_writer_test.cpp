#include "ondrelkit/wav_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <random>
#include <system_error>

#include "temp_dir.h"

namespace ondrel {
namespace {

using testing::pcmWavHeader;
using testing::readBytes;
using testing::readWavHeader;
using testing::TempDir;

TEST(WavWriter, AppendsLittleEndianSamplesOverAnyOldFileAndFinalizePatchesBothSizes) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  testing::writeBytes(file, std::string(5000, 'x'));
  WavWriter writer(file, 48000, 2, 16);
  EXPECT_EQ(readWavHeader(file), pcmWavHeader(48000, 2, 0, false));
  writer.append(std::vector<std::int16_t>{1, -1, -32768, 4660});
  // Everything accepted is on disk before finalize; only the sizes wait.
  const auto bytes = readBytes(file);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 44, bytes.end()),
            (std::vector<std::uint8_t>{0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0x34, 0x12}));
  EXPECT_EQ(readWavHeader(file), pcmWavHeader(48000, 2, 8, false));
  writer.finalize();
  EXPECT_EQ(readWavHeader(file), pcmWavHeader(48000, 2, 8, true));
}

// Random formats, and random sequences of appends, finalizes, appends after finalize and jumps of
// the byte count towards the 4 GB limit (the file is sparse there): a format is refused exactly
// when its header cannot describe it; after every step the file is the header plus exactly the
// accepted samples; its sizes stay 0 until finalize and then say what it holds.
TEST(WavWriter, RandomSequencesKeepTheFileTrue) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  std::mt19937_64 random(17);
  for (int run = 0; run < 300; ++run) {
    const bool oddFormat = random() % 8 == 0;
    const auto rate = oddFormat ? std::uint32_t(random()) : 48000u;
    const auto channels = oddFormat ? std::uint16_t(random() % 4 ? random() % 8 : random()) : 2;
    const auto bits = std::uint16_t(oddFormat && random() % 2 ? random() % 33 : 16);
    const bool supported = bits == 16 && channels != 0 &&
                           std::uint64_t(rate) * channels * 2 <= 0xFFFFFFFFu && channels < 32768;
    std::optional<WavWriter> writer;
    try {
      writer.emplace(file, rate, channels, bits);
    } catch (const std::invalid_argument&) {
    }
    ASSERT_EQ(writer.has_value(), supported) << rate << " Hz " << channels << " x " << bits;
    if (!writer) continue;
    std::uint64_t accepted = 0, onDisk = 0;
    bool finalized = false;
    for (auto step = random() % 24; step > 0; --step) {
      using Result = WavWriter::AppendResult;
      const auto op = random() % 5;
      if (op <= 1) {
        std::vector<std::int16_t> samples(random() % 4096);
        for (auto& sample : samples) sample = std::int16_t(random());
        const std::uint64_t bytes = samples.size() * 2;
        const Result expected = finalized ? Result::writeAfterFinalize
                                : accepted + bytes > WavWriter::kMaxDataBytes
                                    ? Result::fileSizeExceeded
                                    : Result::ok;
        Result got = Result::ok;
        if (op == 0) {
          got = writer->tryAppend(samples);
        } else {
          try {
            writer->append(samples);
          } catch (const WavWriterError& error) {
            got = error.code() == WavWriterError::Code::fileSizeExceeded
                      ? Result::fileSizeExceeded
                      : Result::writeAfterFinalize;
          }
        }
        ASSERT_EQ(got, expected);
        if (got == Result::ok && bytes > 0) {
          std::vector<std::int16_t> back(samples.size());
          const int fd = ::open(file.c_str(), O_RDONLY);
          ASSERT_EQ(::pread(fd, back.data(), bytes, off_t(44 + accepted)), ssize_t(bytes));
          ::close(fd);
          ASSERT_EQ(back, samples);
          onDisk = accepted + bytes;
        }
        if (got == Result::ok) accepted += bytes;
      } else if (op == 2) {
        if (finalized) {
          EXPECT_THROW(writer->finalize(), WavWriterError);
        } else {
          writer->finalize();
        }
        finalized = true;
      } else if (op == 3 && !finalized) {
        // Only upwards: a jump down would make the writer overwrite its own data.
        accepted = std::max(accepted, WavWriter::kMaxDataBytes - random() % 70000);
        writer->setDataBytesWrittenForTesting(std::uint32_t(accepted));
      }
      ASSERT_EQ(writer->dataBytesWritten(), accepted);
      ASSERT_EQ(std::filesystem::file_size(file), 44 + onDisk);
    }
    // A jump without a write leaves sizes that count the skipped bytes, which only the test hook
    // can do.
    if (!finalized || accepted == onDisk) {
      ASSERT_EQ(readWavHeader(file), pcmWavHeader(rate, channels, onDisk, finalized));
    }
  }
}

TEST(WavWriter, RefusesDataWhoseRiffSizeWouldNotFitAndStaysUsable) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  WavWriter writer(file, 48000, 2, 16);
  // The RIFF size is data + 36, so the data stops 36 bytes short of the 32-bit maximum.
  writer.setDataBytesWrittenForTesting(WavWriter::kMaxDataBytes - 3);
  EXPECT_EQ(writer.tryAppend(std::vector<std::int16_t>{1, 2}),
            WavWriter::AppendResult::fileSizeExceeded);
  EXPECT_EQ(std::filesystem::file_size(file), 44u);
  // A smaller append that fits still goes through, up to the last representable byte.
  EXPECT_EQ(writer.tryAppend(std::vector<std::int16_t>{5}), WavWriter::AppendResult::ok);
  writer.finalize();
  EXPECT_EQ(readWavHeader(file), pcmWavHeader(48000, 2, WavWriter::kMaxDataBytes - 1, true));
  EXPECT_EQ(readWavHeader(file).riffSize, 0xFFFFFFFFu - 1);  // never wrapped
}

// A process that must end at once writes the sizes from the length, whole frames only.
TEST(WavWriter, SizesFromTheFileLengthCountWholeFrames) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  WavWriter(file, 48000, 2, 16).append(std::vector<std::int16_t>(1024, 3));
  std::ofstream(file, std::ios::app) << "xx";
  ASSERT_TRUE(WavWriter::writeSizesFromFileLength(file));
  auto expected = pcmWavHeader(48000, 2, 2048, true);
  expected.fileSize += 2;
  EXPECT_EQ(readWavHeader(file), expected);
  EXPECT_FALSE(WavWriter::writeSizesFromFileLength(dir / "missing.wav"));
}

TEST(WavWriter, AHeaderThatCannotBeWrittenFailsCreation) {
  // /dev/full accepts the open and fails every write with ENOSPC.
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  try {
    WavWriter writer("/dev/full", 48000, 2, 16);
    FAIL() << "the header write to /dev/full should have failed";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_space_on_device);
  }
}

}  // namespace
}  // namespace ondrel
