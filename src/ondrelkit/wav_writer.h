// An incremental RIFF/WAVE writer: a 44-byte header whose size fields wait for finalize(), then
// every appended block written straight to disk, so a crash loses nothing that was accepted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>

namespace ondrel {

class WavWriterError : public std::runtime_error {
 public:
  enum class Code { fileSizeExceeded, writeAfterFinalize };

  explicit WavWriterError(Code code);
  static WavWriterError fileSizeExceeded() { return WavWriterError(Code::fileSizeExceeded); }
  static WavWriterError writeAfterFinalize() { return WavWriterError(Code::writeAfterFinalize); }

  Code code() const { return code_; }
  friend bool operator==(const WavWriterError& a, const WavWriterError& b) {
    return a.code_ == b.code_;
  }

 private:
  Code code_;
};

class WavWriter {
 public:
  // The outcome of an append, for callers that must not throw (the audio thread).
  enum class AppendResult { ok, fileSizeExceeded, writeAfterFinalize, writeFailed };

  static constexpr std::uint32_t kHeaderBytes = 44;
  // The data may grow only while the RIFF size (data + 36) still fits in its 32-bit field.
  static constexpr std::uint32_t kMaxDataBytes = 0xFFFFFFFFu - 36;

  // Creates (or empties) the file and writes the header. Throws std::system_error when the file
  // cannot be created or the header written; std::invalid_argument for a format it cannot write.
  WavWriter(const std::filesystem::path& url, std::uint32_t sampleRate, std::uint16_t channels,
            std::uint16_t bitsPerSample);
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // One write of the samples, little-endian, behind what is there. Allocates nothing, never throws.
  // On writeFailed the file keeps exactly the earlier accepted data; lastError() holds the errno.
  AppendResult tryAppend(std::span<const std::int16_t> samples) noexcept;
  // The throwing form: WavWriterError, or std::system_error for a failed write.
  void append(std::span<const std::int16_t> samples);

  // Writes the two size fields and closes the file. Throws WavWriterError::writeAfterFinalize or
  // std::system_error; after a failure the writer stays unfinalized.
  void finalize();

  // For a process that must end before finalize(): writes both size fields of the WAV file at url
  // from its length on disk, in whole frames (a block being appended may be there only in part).
  // Only pread, pwrite and the like, so it is safe while another thread appends. Returns false
  // when the file is missing or not such a WAV file.
  static bool writeSizesFromFileLength(const std::filesystem::path& url) noexcept;

  std::uint32_t dataBytesWritten() const { return dataBytesWritten_; }
  bool isFinalized() const { return isFinalized_; }
  int lastError() const { return lastError_; }

  // Lets tests reach the size limit without writing gigabytes.
  void setDataBytesWrittenForTesting(std::uint32_t bytes) { dataBytesWritten_ = bytes; }

 private:
  int fd_ = -1;
  std::uint32_t bytesPerSample_;
  std::uint32_t dataBytesWritten_ = 0;
  bool isFinalized_ = false;
  int lastError_ = 0;
};

}  // namespace ondrel
