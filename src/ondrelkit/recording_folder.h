// The files of one recording's folder, and what every way of finishing one shares: the folder's
// lock, the finished M4A file published under its name only once it is whole, and meta.json.
#pragma once

#include <filesystem>

namespace ondrel {

struct RecordingFolder {
  explicit RecordingFolder(std::filesystem::path folder);

  std::filesystem::path folder;
  std::filesystem::path wav;        // "audio.wav", written as the audio comes
  std::filesystem::path m4a;        // "audio.m4a", only ever whole
  std::filesystem::path partial;    // the M4A encoded while recording, hidden
  std::filesystem::path finishing;  // the M4A being finished, hidden until it is renamed
  std::filesystem::path meta;       // "meta.json"

  // Locks the folder for the life of the process (the descriptor is never closed), so that no
  // second ondrel can write over or finish this recording. The kernel lets go of it with the
  // process, however it ends. False when another process holds it; a folder that cannot be opened
  // to lock counts as free.
  bool lock() const;
  // Where an M4A file is written before it is published as `m4a`: hidden, beside it.
  static std::filesystem::path finishingURLFor(const std::filesystem::path& m4a);
  // The file written at `finishing` synced, renamed over `m4a`, and the folder synced: a kill at
  // any moment leaves either the old state or the whole file under its name. Throws
  // std::system_error.
  static void publish(const std::filesystem::path& finishing, const std::filesystem::path& m4a);
  // {"duration": seconds}, written beside it and renamed over it. Best effort: meta.json is a
  // convenience the M4A file can stand in for.
  void writeMeta(double duration) const;
};

}  // namespace ondrel
