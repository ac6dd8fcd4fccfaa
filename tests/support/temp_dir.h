// A fresh folder under the system's temporary folder, removed with everything in it at the end;
// and the files tests read there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace ondrel::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::string& content);

// The fields of a WAV file's 44-byte header, and the file's length.
struct WavHeader {
  std::string ids;  // "RIFFWAVEfmt data" when every chunk name is in place
  std::uint32_t riffSize = 0, fmtSize = 0, format = 0, channels = 0, rate = 0, byteRate = 0,
                blockAlign = 0, bits = 0, dataSize = 0;
  std::uint64_t fileSize = 0;
  bool operator==(const WavHeader&) const = default;
};
std::ostream& operator<<(std::ostream& out, const WavHeader& h);
WavHeader readWavHeader(const std::filesystem::path& file);
// What the header of a 16-bit PCM file holding dataBytes says while it is recorded (sizes 0) or
// once finalized.
WavHeader pcmWavHeader(std::uint32_t rate, std::uint32_t channels, std::uint64_t dataBytes,
                       bool finalized);

}  // namespace ondrel::testing
