// Recognises the stop command in the host's standard input, byte by byte, in constant memory: a
// line that reads "stop" once surrounding spaces and tabs (and the other Unicode space separators)
// are removed. Lines end with a line feed; a carriage return right before it belongs to the
// terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ondrel {

class StopLineMatcher {
 public:
  // Feeds input; returns true once a complete stop line has been seen (the bytes after it are
  // not looked at).
  bool feed(const char* data, std::size_t size);

  static bool isStopLine(const std::string& line);

 private:
  bool endLine();
  void byte(std::uint8_t b);
  void character(bool isSpace, const std::uint8_t* bytes, std::size_t size);
  void flushPartial();

  // The line after its leading spaces: at most the bytes of "stop", then only trailing spaces.
  char core_[4] = {};
  std::size_t coreSize_ = 0;
  bool spaceAfterCore_ = false;
  bool impossible_ = false;       // the line can no longer read "stop"
  bool pendingCr_ = false;        // a carriage return that ends the line if a line feed follows
  std::uint8_t partial_[3] = {};  // the start of what may be a multi-byte space separator
  std::size_t partialSize_ = 0;
};

}  // namespace ondrel
