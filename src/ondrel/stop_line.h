// Recognises the stop command in the host's standard input, byte by byte, in bounded memory: a line
// that reads "stop" once surrounding spaces and tabs (and other Unicode space separators) are
// removed. Lines end with a line feed; a carriage return right before it is part of the terminator.
#pragma once

#include <cstddef>
#include <string>

namespace ondrel {

class StopLineMatcher {
 public:
  // Longest trimmed line kept; anything longer cannot be the command and is only skipped over.
  static constexpr std::size_t kMaxKept = 64;

  // Feeds input; returns true once a complete stop line has been seen (the bytes after it are
  // not looked at).
  bool feed(const char* data, std::size_t size);
  static bool isStopLine(std::string line);

 private:
  bool endLine();

  std::string kept_;  // the line so far, leading whitespace dropped, at most kMaxKept bytes
  bool overflowed_ = false;
};

}  // namespace ondrel
