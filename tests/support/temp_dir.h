// A fresh temporary folder, removed with its content at the end; and what tests read of its files.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>

namespace ondrel::testing {

struct TempDir {
  const std::filesystem::path path = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "ondrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(pattern);
  }();

  TempDir() = default;
  TempDir(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The fields of a WAV file's 44-byte header, and the file's length.
struct WavHeader {
  std::string ids;  // "RIFFWAVEfmt data" when every chunk name is in place
  std::uint32_t riffSize, fmtSize, format, channels, rate, byteRate, blockAlign, bits, dataSize;
  std::uint64_t fileSize;
  bool operator==(const WavHeader&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const WavHeader& h) {
    return out << h.ids << " riff " << h.riffSize << " fmt " << h.fmtSize << "/" << h.format << "/"
               << h.channels << "/" << h.rate << "/" << h.byteRate << "/" << h.blockAlign << "/"
               << h.bits << " data " << h.dataSize << " in " << h.fileSize << " bytes";
  }
};

inline WavHeader readWavHeader(const std::filesystem::path& file) {
  char b[44] = {};
  std::ifstream(file, std::ios::binary).read(b, 44);
  const auto le = [&](int at, int size) {
    std::uint32_t value = 0;
    while (size-- > 0) value = value << 8 | std::uint8_t(b[at + size]);
    return value;
  };
  const auto id = [&](int at) { return std::string(b + at, 4); };
  return WavHeader(id(0) + id(8) + id(12) + id(36), le(4, 4), le(16, 4), le(20, 2), le(22, 2),
                   le(24, 4), le(28, 4), le(32, 2), le(34, 2), le(40, 4),
                   std::filesystem::file_size(file));
}

// The header of a 16-bit PCM file of dataBytes, while recorded (sizes 0) or once finalized.
inline WavHeader pcmWavHeader(std::uint32_t rate, std::uint32_t channels, std::uint64_t dataBytes,
                              bool finalized) {
  const auto data = finalized ? std::uint32_t(dataBytes) : 0u;
  return WavHeader("RIFFWAVEfmt data", finalized ? data + 36 : 0, 16, 1, channels, rate,
                   rate * 2 * channels, 2 * channels, 16, data, 44 + dataBytes);
}

}  // namespace ondrel::testing
