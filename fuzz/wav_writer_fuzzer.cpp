// Fuzzes WavWriter with sequences of appends, finalizes, appends after finalize and jumps of the
// byte count close to the 4 GB limit. After every step the file on disk must be the 44-byte header
// plus exactly the accepted bytes; after finalize the size fields must say so. Only the header and
// the bytes just written are read back: near the limit the file is a sparse 4 GB file.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "ondrelkit/wav_writer.h"

namespace {

using ondrel::WavWriter;
using ondrel::WavWriterError;

[[noreturn]] void fail(const char* what, std::uint64_t value = 0) {
  std::fprintf(stderr, "wav_writer_fuzzer: %s (%llu)\n", what,
               static_cast<unsigned long long>(value));
  std::abort();
}

// tmpfs, so a sparse file near 4 GB costs only the pages written.
std::filesystem::path scratchPath() {
  const char* dir = std::getenv("TMPDIR");
  std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
  if (dir != nullptr && *dir != '\0') base = dir;
  return base / ("ondrel_wav_fuzz_" + std::to_string(::getpid()) + ".wav");
}

std::uint64_t fileSize(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) fail("stat failed", std::uint64_t(errno));
  return std::uint64_t(st.st_size);
}

std::vector<std::uint8_t> readAt(const std::filesystem::path& path, std::uint64_t offset,
                                 std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("open for reading failed", std::uint64_t(errno));
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, bytes.data() + done, size - done, off_t(offset + done));
    if (n <= 0) fail("short read", offset + done);
    done += std::size_t(n);
  }
  ::close(fd);
  return bytes;
}

std::uint32_t le32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
         std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}
std::uint32_t le16At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8;
}

void checkHeader(const std::filesystem::path& path, std::uint32_t sampleRate,
                 std::uint16_t channels, bool finalized, std::uint32_t dataBytes) {
  const std::vector<std::uint8_t> h = readAt(path, 0, WavWriter::kHeaderBytes);
  if (std::memcmp(h.data(), "RIFF", 4) != 0 || std::memcmp(h.data() + 8, "WAVEfmt ", 8) != 0 ||
      std::memcmp(h.data() + 36, "data", 4) != 0) {
    fail("header chunk ids wrong");
  }
  if (le32At(h, 16) != 16 || le16At(h, 20) != 1) fail("fmt chunk not 16-byte PCM");
  if (le16At(h, 22) != channels) fail("channel count wrong", le16At(h, 22));
  if (le32At(h, 24) != sampleRate) fail("sample rate wrong", le32At(h, 24));
  if (le32At(h, 28) != sampleRate * 2u * channels) fail("byte rate wrong", le32At(h, 28));
  if (le16At(h, 32) != 2u * channels || le16At(h, 34) != 16) fail("block align or bits wrong");
  // Before finalize both sizes are 0: a crash then leaves a header that readers treat as "size
  // unknown" rather than one that lies.
  const std::uint32_t riff = finalized ? dataBytes + 36 : 0;
  if (!finalized) dataBytes = 0;
  if (le32At(h, 4) != riff) fail("RIFF size wrong", le32At(h, 4));
  if (le32At(h, 40) != dataBytes) fail("data size wrong", le32At(h, 40));
}

enum class Outcome { ok, fileSizeExceeded, writeAfterFinalize };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  static const std::filesystem::path path = scratchPath();

  // The format, including ones the writer must refuse.
  const bool oddFormat = input.ConsumeIntegralInRange<int>(0, 7) == 0;
  const std::uint32_t sampleRate = oddFormat ? input.ConsumeIntegral<std::uint32_t>() : 48000u;
  const std::uint16_t channels = oddFormat ? input.ConsumeIntegral<std::uint16_t>() : 2;
  const std::uint16_t bits = oddFormat ? input.ConsumeIntegral<std::uint16_t>() : 16;
  const bool supported = bits == 16 && channels != 0 &&
                         std::uint64_t(sampleRate) * channels * 2 <= 0xFFFFFFFFu &&
                         std::uint32_t(channels) * 2 <= 0xFFFFu;
  std::optional<WavWriter> writer;
  try {
    writer.emplace(path, sampleRate, channels, bits);
  } catch (const std::invalid_argument&) {
    if (supported) fail("refused a writable format", bits);
    return 0;
  }
  if (!supported) fail("accepted a format it cannot describe", bits);

  std::uint64_t accepted = 0;  // what the writer has taken, as the writer counts it
  std::uint64_t onDisk = 0;    // data bytes behind the header; differs only after a jump
  bool finalized = false;
  std::vector<std::int16_t> samples;

  checkHeader(path, sampleRate, channels, false, 0);
  if (fileSize(path) != WavWriter::kHeaderBytes) fail("fresh file is not just the header");

  for (int step = 0; step < 64 && input.remaining_bytes() > 0; ++step) {
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:    // tryAppend
      case 1: {  // append
        const bool throwing = input.ConsumeBool();
        samples.resize(input.ConsumeIntegralInRange<std::size_t>(0, 8192));
        // A cheap pattern from one seed: every sample differs, so misplaced bytes show.
        const auto seed = input.ConsumeIntegral<std::uint16_t>();
        for (std::size_t i = 0; i < samples.size(); ++i) {
          samples[i] = static_cast<std::int16_t>(seed + i * 40503u);
        }
        const std::uint64_t bytes = std::uint64_t(samples.size()) * 2;
        const Outcome expected = finalized ? Outcome::writeAfterFinalize
                                 : accepted + bytes > WavWriter::kMaxDataBytes
                                     ? Outcome::fileSizeExceeded
                                     : Outcome::ok;
        Outcome got = Outcome::ok;
        if (throwing) {
          try {
            writer->append(samples);
          } catch (const WavWriterError& e) {
            got = e.code() == WavWriterError::Code::fileSizeExceeded ? Outcome::fileSizeExceeded
                                                                     : Outcome::writeAfterFinalize;
          } catch (const std::system_error& e) {
            fail("append failed on tmpfs", std::uint64_t(e.code().value()));
          }
        } else {
          switch (writer->tryAppend(samples)) {
            case WavWriter::AppendResult::ok:
              break;
            case WavWriter::AppendResult::fileSizeExceeded:
              got = Outcome::fileSizeExceeded;
              break;
            case WavWriter::AppendResult::writeAfterFinalize:
              got = Outcome::writeAfterFinalize;
              break;
            case WavWriter::AppendResult::writeFailed:
              fail("tryAppend failed on tmpfs", std::uint64_t(writer->lastError()));
          }
        }
        if (got != expected) fail("append outcome wrong", std::uint64_t(got) * 10 + int(expected));
        if (got == Outcome::ok) {
          if (!samples.empty()) {
            const std::vector<std::uint8_t> back =
                readAt(path, WavWriter::kHeaderBytes + accepted, std::size_t(bytes));
            for (std::size_t i = 0; i < samples.size(); ++i) {
              const auto value = std::uint16_t(back[2 * i] | back[2 * i + 1] << 8);
              if (value != std::uint16_t(samples[i])) fail("sample on disk differs", i);
            }
          }
          accepted += bytes;
          // An empty append writes nothing, so after a jump the file still ends where it did.
          if (bytes > 0) onDisk = accepted;
        }
        break;
      }
      case 2: {  // finalize
        try {
          writer->finalize();
          if (finalized) fail("finalized twice");
          finalized = true;
        } catch (const WavWriterError& e) {
          if (!finalized || e.code() != WavWriterError::Code::writeAfterFinalize) {
            fail("finalize threw the wrong error");
          }
        } catch (const std::system_error& e) {
          fail("finalize failed on tmpfs", std::uint64_t(e.code().value()));
        }
        if (writer->isFinalized() != finalized) fail("isFinalized wrong");
        break;
      }
      case 3: {  // jump the count towards the limit, as a recording of nearly 4 GB would be
        if (finalized) break;
        const auto below = input.ConsumeIntegralInRange<std::uint32_t>(0, 70000);
        const std::uint64_t target =
            below > WavWriter::kMaxDataBytes ? 0 : WavWriter::kMaxDataBytes - below;
        // Only upwards: a jump down would make the writer overwrite its own data.
        if (target < accepted) break;
        writer->setDataBytesWrittenForTesting(std::uint32_t(target));
        accepted = target;
        break;
      }
      default:
        break;
    }
    if (writer->dataBytesWritten() != accepted)
      fail("byte count wrong", writer->dataBytesWritten());
    if (fileSize(path) != WavWriter::kHeaderBytes + onDisk) fail("file size wrong", fileSize(path));
  }

  // An unfinalized file keeps zero sizes; a finalized one states exactly what it holds. A jump
  // without a write leaves sizes that include the skipped bytes, which only the test hook can do.
  if (finalized && accepted == onDisk) {
    checkHeader(path, sampleRate, channels, true, std::uint32_t(accepted));
  } else if (!finalized) {
    checkHeader(path, sampleRate, channels, false, 0);
  }
  writer.reset();
  ::unlink(path.c_str());
  return 0;
}
