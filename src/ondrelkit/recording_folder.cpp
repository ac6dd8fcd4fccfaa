#include "ondrelkit/recording_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "ondrelkit/encode/ffmpeg_support.h"
#include "ondrelkit/process_tap_recorder.h"

namespace ondrel {

namespace fs = std::filesystem;

RecordingFolder::RecordingFolder(fs::path at)
    : folder(std::move(at)),
      wav(folder / "audio.wav"),
      m4a(folder / "audio.m4a"),
      partial(ProcessTapRecorder::partialURLFor(wav)),
      finishing(finishingURLFor(m4a)),
      meta(folder / "meta.json") {}

bool RecordingFolder::lock() const {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

fs::path RecordingFolder::finishingURLFor(const fs::path& m4a) {
  std::string name = m4a.filename().string();
  name.insert(0, 1, '.');
  name.append(".finishing");
  return m4a.parent_path() / name;
}

void RecordingFolder::publish(const fs::path& finishing, const fs::path& m4a) {
  // The data first: a rename that reaches the disk before the data would publish a torn file.
  ffmpeg::syncFileAndFolder(finishing, "M4A file");
  fs::rename(finishing, m4a);
  ffmpeg::syncFileAndFolder(m4a, "M4A file");
}

void RecordingFolder::writeMeta(double duration) const {
  if (!std::isfinite(duration)) return;
  const std::string text = nlohmann::json{{"duration", duration}}.dump();
  const fs::path temporary = folder / ".meta.json.tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  std::error_code ignored;
  if (!written || !closed) {
    fs::remove(temporary, ignored);
    return;
  }
  fs::rename(temporary, meta, ignored);
  if (ignored) fs::remove(temporary, ignored);
}

}  // namespace ondrel
