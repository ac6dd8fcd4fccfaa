#include "ondrelkit/wav_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "temp_dir.h"

namespace ondrel {
namespace {

using testing::pcmWavHeader;
using testing::readWavHeader;
using Result = WavWriter::AppendResult;

// Random formats, refused exactly when the header cannot hold them; random appends, finalizes and
// jumps near the 4 GB limit, over the last file: the file is the header and what was accepted.
TEST(WavWriter, RandomSequencesKeepTheFileTrue) {
  testing::TempDir dir;
  const auto file = dir / "audio.wav";
  std::ofstream(file) << std::string(5000, 'x');
  std::mt19937_64 random(17);
  for (int run = 0; run < 300; ++run) {
    const bool odd = random() % 8 == 0;
    const auto rate = odd ? std::uint32_t(random()) : 48000u;
    const auto channels = std::uint16_t(odd ? (random() % 4 ? random() % 8 : random()) : 2);
    const auto bits = std::uint16_t(odd && random() % 2 ? random() % 33 : 16);
    if (bits != 16 || channels == 0 || channels >= 32768 ||
        std::uint64_t(rate) * channels * 2 > 0xFFFFFFFFu) {
      EXPECT_THROW(WavWriter(file, rate, channels, bits), std::invalid_argument) << rate << " Hz";
      continue;
    }
    WavWriter writer(file, rate, channels, bits);
    std::uint64_t accepted = 0, onDisk = 0;
    bool finalized = false;
    for (auto step = random() % 24; step > 0; --step) {
      const auto op = random() % 5;
      if (op <= 1) {
        std::vector<std::int16_t> samples(random() % (random() % 2 ? 4 : 4096));
        for (auto& sample : samples) sample = std::int16_t(random());
        const std::uint64_t bytes = samples.size() * 2;
        Result got = Result::ok;
        try {
          got = op == 0 ? writer.tryAppend(samples) : (writer.append(samples), Result::ok);
        } catch (const WavWriterError& error) {
          got = error.code() == WavWriterError::Code::fileSizeExceeded ? Result::fileSizeExceeded
                                                                       : Result::writeAfterFinalize;
        }
        ASSERT_EQ(got, finalized                                     ? Result::writeAfterFinalize
                       : accepted + bytes > WavWriter::kMaxDataBytes ? Result::fileSizeExceeded
                                                                     : Result::ok);
        if (got == Result::ok && bytes > 0) {
          std::vector<std::int16_t> back(samples.size());
          const int fd = ::open(file.c_str(), O_RDONLY);
          ASSERT_EQ(::pread(fd, back.data(), bytes, off_t(44 + accepted)), ssize_t(bytes));
          ::close(fd);
          ASSERT_EQ(back, samples);
          onDisk = accepted + bytes;
        }
        accepted += got == Result::ok ? bytes : 0;
      } else if (op == 2) {
        if (finalized) {
          EXPECT_THROW(writer.finalize(), WavWriterError);
        } else {
          writer.finalize();
        }
        finalized = true;
      } else if (op == 3 && !finalized) {
        // Only upwards: a jump down would make the writer overwrite its own data.
        accepted =
            std::max(accepted, WavWriter::kMaxDataBytes - random() % (random() % 2 ? 8 : 70000));
        writer.setDataBytesWrittenForTesting(std::uint32_t(accepted));
      }
      ASSERT_EQ(writer.dataBytesWritten(), accepted);
      ASSERT_EQ(std::filesystem::file_size(file), 44 + onDisk);
    }
    // Unless a jump was not written over: the sizes then count bytes that only the hook skipped.
    if (!finalized || accepted == onDisk) {
      ASSERT_EQ(readWavHeader(file), pcmWavHeader(rate, channels, onDisk, finalized));
    }
  }
}

// A process that must end at once writes the sizes from the length, whole frames only.
TEST(WavWriter, SizesFromTheFileLengthCountWholeFrames) {
  testing::TempDir dir;
  const auto file = dir / "audio.wav";
  WavWriter(file, 48000, 2, 16).append(std::vector<std::int16_t>(1024, 3));
  std::ofstream(file, std::ios::app) << "xx";
  ASSERT_TRUE(WavWriter::writeSizesFromFileLength(file));
  auto expected = pcmWavHeader(48000, 2, 2048, true);
  expected.fileSize += 2;
  EXPECT_EQ(readWavHeader(file), expected);
  EXPECT_FALSE(WavWriter::writeSizesFromFileLength(dir / "missing.wav"));
}

}  // namespace
}  // namespace ondrel
