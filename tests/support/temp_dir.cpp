#include "temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace ondrel::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ondrel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& file, const std::string& content) {
  std::ofstream(file, std::ios::binary) << content;
}

WavHeader readWavHeader(const std::filesystem::path& file) {
  std::vector<std::uint8_t> b(44);
  std::ifstream(file, std::ios::binary).read(reinterpret_cast<char*>(b.data()), 44);
  auto le = [&](std::size_t at, int size) {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | b[at + std::size_t(i)];
    return v;
  };
  auto text = [&](std::size_t at) {
    return std::string(b.begin() + long(at), b.begin() + long(at) + 4);
  };
  return {text(0) + text(8) + text(12) + text(36),
          le(4, 4),
          le(16, 4),
          le(20, 2),
          le(22, 2),
          le(24, 4),
          le(28, 4),
          le(32, 2),
          le(34, 2),
          le(40, 4),
          std::filesystem::file_size(file)};
}

WavHeader pcmWavHeader(std::uint32_t rate, std::uint32_t channels, std::uint64_t dataBytes,
                       bool finalized) {
  const auto data = finalized ? std::uint32_t(dataBytes) : 0u;
  return {"RIFFWAVEfmt data",
          finalized ? data + 36 : 0,
          16,
          1,
          channels,
          rate,
          rate * 2 * channels,
          2 * channels,
          16,
          data,
          44 + dataBytes};
}

std::ostream& operator<<(std::ostream& out, const WavHeader& h) {
  return out << h.ids << " riff " << h.riffSize << " fmt " << h.fmtSize << "/" << h.format << "/"
             << h.channels << "/" << h.rate << "/" << h.byteRate << "/" << h.blockAlign << "/"
             << h.bits << " data " << h.dataSize << " in " << h.fileSize << " bytes";
}

}  // namespace ondrel::testing
