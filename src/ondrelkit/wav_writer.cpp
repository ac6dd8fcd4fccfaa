#include "ondrelkit/wav_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace ondrel {
namespace {

std::array<std::uint8_t, 4> le32(std::uint32_t v) {
  return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

std::system_error systemError(int error, const std::string& what) {
  return std::system_error(error, std::generic_category(), what);
}

// Writes all bytes at offset, retrying interrupted and partial writes. Returns 0 or an errno.
int writeAllAt(int fd, const void* data, std::size_t size, off_t offset) noexcept {
  auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(fd, p, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    size -= std::size_t(n);
    offset += n;
  }
  return 0;
}

}  // namespace

WavWriterError::WavWriterError(Code code)
    : std::runtime_error(code == Code::fileSizeExceeded ? "fileSizeExceeded"
                                                        : "writeAfterFinalize"),
      code_(code) {}

WavWriter::WavWriter(const std::filesystem::path& url, std::uint32_t sampleRate,
                     std::uint16_t channels, std::uint16_t bitsPerSample)
    : bytesPerSample_(bitsPerSample / 8u) {
  // Samples are always written as 2 bytes, so only 16-bit files can be described truthfully.
  const std::uint64_t byteRate = std::uint64_t(sampleRate) * channels * bytesPerSample_;
  const std::uint32_t blockAlign = std::uint32_t(channels) * bytesPerSample_;
  if (bitsPerSample != 16 || channels == 0 || byteRate > 0xFFFFFFFFu || blockAlign > 0xFFFFu) {
    throw std::invalid_argument("unsupported WAV format");
  }

  fd_ = ::open(url.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) throw systemError(errno, "could not create " + url.string());

  std::array<std::uint8_t, kHeaderBytes> header{};
  auto put = [&header, at = std::size_t{0}](std::span<const std::uint8_t> bytes) mutable {
    for (std::uint8_t b : bytes) header[at++] = b;
  };
  auto put16 = [&put](std::uint32_t v) { put(std::array{std::uint8_t(v), std::uint8_t(v >> 8)}); };
  auto putText = [&put](const char(&text)[5]) {
    put(std::span(reinterpret_cast<const std::uint8_t*>(text), 4));
  };
  putText("RIFF");
  put(le32(0));
  putText("WAVE");
  putText("fmt ");
  put(le32(16));
  put16(1);
  put16(channels);
  put(le32(sampleRate));
  put(le32(std::uint32_t(byteRate)));
  put16(blockAlign);
  put16(bitsPerSample);
  putText("data");
  put(le32(0));

  if (int error = writeAllAt(fd_, header.data(), header.size(), 0)) {
    ::close(fd_);
    fd_ = -1;
    throw systemError(error, "could not write the header of " + url.string());
  }
}

WavWriter::~WavWriter() {
  if (fd_ >= 0) ::close(fd_);
}

WavWriter::AppendResult WavWriter::tryAppend(std::span<const std::int16_t> samples) noexcept {
  if (isFinalized_) return AppendResult::writeAfterFinalize;
  const std::uint64_t bytes = std::uint64_t(samples.size()) * 2;
  if (dataBytesWritten_ + bytes > kMaxDataBytes) return AppendResult::fileSizeExceeded;

  const off_t end = off_t(kHeaderBytes) + off_t(dataBytesWritten_);
  int error = 0;
  if constexpr (std::endian::native == std::endian::little) {
    error = writeAllAt(fd_, samples.data(), std::size_t(bytes), end);
  } else {
    std::vector<std::uint8_t> encoded;
    encoded.reserve(std::size_t(bytes));
    for (std::int16_t s : samples) {
      encoded.push_back(std::uint8_t(std::uint16_t(s)));
      encoded.push_back(std::uint8_t(std::uint16_t(s) >> 8));
    }
    error = writeAllAt(fd_, encoded.data(), encoded.size(), end);
  }
  if (error != 0) {
    // A partial write must not leave a torn frame behind the accepted data.
    (void)::ftruncate(fd_, end);
    lastError_ = error;
    return AppendResult::writeFailed;
  }
  dataBytesWritten_ += std::uint32_t(bytes);
  return AppendResult::ok;
}

void WavWriter::append(std::span<const std::int16_t> samples) {
  switch (tryAppend(samples)) {
    case AppendResult::ok:
      return;
    case AppendResult::fileSizeExceeded:
      throw WavWriterError::fileSizeExceeded();
    case AppendResult::writeAfterFinalize:
      throw WavWriterError::writeAfterFinalize();
    case AppendResult::writeFailed:
      throw systemError(lastError_, "could not write audio data");
  }
}

void WavWriter::finalize() {
  if (isFinalized_) throw WavWriterError::writeAfterFinalize();
  if (fd_ < 0) throw systemError(EBADF, "could not finalize the WAV file");
  const auto riffSize = le32(dataBytesWritten_ + 36);
  const auto dataSize = le32(dataBytesWritten_);
  if (int error = writeAllAt(fd_, riffSize.data(), riffSize.size(), 4)) {
    throw systemError(error, "could not finalize the WAV file");
  }
  if (int error = writeAllAt(fd_, dataSize.data(), dataSize.size(), 40)) {
    throw systemError(error, "could not finalize the WAV file");
  }
  // The recording cannot be repeated: make sure it is on disk before it is called finished.
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    throw systemError(errno, "could not finalize the WAV file");
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) throw systemError(errno, "could not close the WAV file");
  isFinalized_ = true;
}

bool WavWriter::writeSizesFromFileLength(const std::filesystem::path& url) noexcept {
  const int fd = ::open(url.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  std::uint8_t header[kHeaderBytes];
  struct stat status {};
  bool written = false;
  if (::pread(fd, header, sizeof header, 0) == ssize_t(sizeof header) &&
      std::memcmp(header, "RIFF", 4) == 0 && std::memcmp(header + 8, "WAVE", 4) == 0 &&
      std::memcmp(header + 36, "data", 4) == 0 && ::fstat(fd, &status) == 0) {
    const std::uint32_t blockAlign = std::max(1u, std::uint32_t(header[32] | header[33] << 8));
    std::uint64_t data = std::uint64_t(status.st_size) - kHeaderBytes;
    data = std::min<std::uint64_t>(data - data % blockAlign,
                                   kMaxDataBytes - kMaxDataBytes % blockAlign);
    const auto riffSize = le32(std::uint32_t(data) + 36);
    const auto dataSize = le32(std::uint32_t(data));
    written = writeAllAt(fd, riffSize.data(), riffSize.size(), 4) == 0 &&
              writeAllAt(fd, dataSize.data(), dataSize.size(), 40) == 0;
  }
  ::close(fd);
  return written;
}

}  // namespace ondrel
