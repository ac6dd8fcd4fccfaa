#include "ondrelkit/wav_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <system_error>

#include "temp_dir.h"

namespace ondrel {
namespace {

using testing::readBytes;
using testing::readLe32;
using testing::TempDir;

const std::vector<std::uint8_t> kHeader48kStereo = {
    0x52, 0x49, 0x46, 0x46, 0x00, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6D, 0x74,
    0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x00, 0xEE,
    0x02, 0x00, 0x04, 0x00, 0x10, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00};

TEST(WavWriter, CreationWritesTheHeaderOverAnyExistingFile) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  testing::writeBytes(file, std::string(5000, 'x'));
  WavWriter writer(file, 48000, 2, 16);
  EXPECT_EQ(readBytes(file), kHeader48kStereo);
  EXPECT_EQ(writer.dataBytesWritten(), 0u);
}

TEST(WavWriter, CreationInAMissingFolderFailsWithThePlatformError) {
  TempDir dir;
  try {
    WavWriter writer(dir / "missing" / "audio.wav", 48000, 2, 16);
    FAIL() << "created a file in a folder that does not exist";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(WavWriter, RefusesFormatsItCannotDescribe) {
  TempDir dir;
  EXPECT_THROW(WavWriter(dir / "a.wav", 48000, 2, 24), std::invalid_argument);
  EXPECT_THROW(WavWriter(dir / "b.wav", 48000, 0, 16), std::invalid_argument);
  EXPECT_THROW(WavWriter(dir / "c.wav", 0xFFFFFFFFu, 2, 16), std::invalid_argument);
}

TEST(WavWriter, AppendsLittleEndianSamplesAndFinalizePatchesBothSizes) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  WavWriter writer(file, 48000, 2, 16);
  const std::vector<std::int16_t> samples = {1, -1, -32768, 4660};
  writer.append(samples);
  EXPECT_EQ(writer.dataBytesWritten(), 8u);
  writer.append(std::vector<std::int16_t>{});
  EXPECT_EQ(writer.dataBytesWritten(), 8u);

  // Everything accepted is on disk before finalize; only the sizes wait.
  auto bytes = readBytes(file);
  ASSERT_EQ(bytes.size(), 52u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 44, bytes.end()),
            (std::vector<std::uint8_t>{0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0x34, 0x12}));
  EXPECT_EQ(readLe32(bytes, 4), 0u);
  EXPECT_EQ(readLe32(bytes, 40), 0u);

  writer.finalize();
  bytes = readBytes(file);
  ASSERT_EQ(bytes.size(), 52u);
  EXPECT_EQ(readLe32(bytes, 4), 44u);
  EXPECT_EQ(readLe32(bytes, 40), 8u);
}

TEST(WavWriter, FinalizeWithoutAppendsGivesAnEmptyValidFile) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  WavWriter writer(file, 44100, 2, 16);
  writer.finalize();
  const auto bytes = readBytes(file);
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(readLe32(bytes, 4), 36u);
  EXPECT_EQ(readLe32(bytes, 24), 44100u);
  EXPECT_EQ(readLe32(bytes, 28), 176400u);
  EXPECT_EQ(readLe32(bytes, 40), 0u);
}

TEST(WavWriter, AfterFinalizeEveryCallFailsAndTheFileStaysAsItWas) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  WavWriter writer(file, 48000, 2, 16);
  writer.append(std::vector<std::int16_t>{7, 8});
  writer.finalize();
  const auto finished = readBytes(file);

  EXPECT_EQ(writer.tryAppend(std::vector<std::int16_t>{1, 2}),
            WavWriter::AppendResult::writeAfterFinalize);
  try {
    writer.append(std::vector<std::int16_t>{1});
    FAIL();
  } catch (const WavWriterError& error) {
    EXPECT_EQ(error, WavWriterError::writeAfterFinalize());
    EXPECT_STREQ(error.what(), "writeAfterFinalize");
  }
  EXPECT_THROW(writer.finalize(), WavWriterError);
  EXPECT_EQ(readBytes(file), finished);
}

TEST(WavWriter, RefusesDataWhoseRiffSizeWouldNotFitAndStaysUsable) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  WavWriter writer(file, 48000, 2, 16);
  // The RIFF size is data + 36, so the data stops 36 bytes short of the 32-bit maximum.
  writer.setDataBytesWrittenForTesting(WavWriter::kMaxDataBytes - 3);
  EXPECT_EQ(writer.tryAppend(std::vector<std::int16_t>{1, 2}),
            WavWriter::AppendResult::fileSizeExceeded);
  try {
    writer.append(std::vector<std::int16_t>{1, 2});
    FAIL();
  } catch (const WavWriterError& error) {
    EXPECT_EQ(error.code(), WavWriterError::Code::fileSizeExceeded);
    EXPECT_STREQ(error.what(), "fileSizeExceeded");
  }
  EXPECT_EQ(readBytes(file).size(), 44u);
  EXPECT_EQ(writer.dataBytesWritten(), WavWriter::kMaxDataBytes - 3);

  // A smaller append that fits still goes through, up to the last representable byte.
  EXPECT_EQ(writer.tryAppend(std::vector<std::int16_t>{5}), WavWriter::AppendResult::ok);
  EXPECT_EQ(writer.tryAppend(std::vector<std::int16_t>{}), WavWriter::AppendResult::ok);
  EXPECT_EQ(writer.dataBytesWritten(), WavWriter::kMaxDataBytes - 1);
  writer.finalize();
  // The file is sparse up to there; read only its header.
  std::vector<std::uint8_t> header(44);
  std::ifstream(file, std::ios::binary).read(reinterpret_cast<char*>(header.data()), 44);
  EXPECT_EQ(readLe32(header, 4), 0xFFFFFFFFu - 1);  // still representable, never wrapped
  EXPECT_EQ(readLe32(header, 40), WavWriter::kMaxDataBytes - 1);
  EXPECT_EQ(std::filesystem::file_size(file), 44ull + WavWriter::kMaxDataBytes - 1);

  WavWriter full(dir / "full.wav", 48000, 2, 16);
  full.setDataBytesWrittenForTesting(WavWriter::kMaxDataBytes);
  EXPECT_EQ(full.tryAppend(std::vector<std::int16_t>{1}),
            WavWriter::AppendResult::fileSizeExceeded);
  EXPECT_EQ(full.tryAppend(std::vector<std::int16_t>{}), WavWriter::AppendResult::ok);
}

TEST(WavWriter, DestroyedWithoutFinalizeKeepsEveryAcceptedSample) {
  TempDir dir;
  const auto file = dir / "audio.wav";
  {
    WavWriter writer(file, 48000, 2, 16);
    writer.append(std::vector<std::int16_t>(1024, 3));
  }
  const auto bytes = readBytes(file);
  ASSERT_EQ(bytes.size(), 44u + 2048u);
  EXPECT_EQ(readLe32(bytes, 4), 0u);
  EXPECT_EQ(readLe32(bytes, 40), 0u);
  EXPECT_EQ(bytes[44], 3);

  // A process that must end at once writes the sizes from the length, whole frames only.
  std::ofstream(file, std::ios::app) << "xx";
  ASSERT_TRUE(WavWriter::writeSizesFromFileLength(file));
  EXPECT_EQ(readLe32(readBytes(file), 4), 2048u + 36u);
  EXPECT_EQ(readLe32(readBytes(file), 40), 2048u);
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
