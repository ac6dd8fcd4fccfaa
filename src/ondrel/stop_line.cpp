#include "ondrel/stop_line.h"

#include <cstring>

namespace ondrel {
namespace {

// The UTF-8 space separators (Unicode Zs) beyond the ASCII space: no-break space, ogham space,
// en quad .. hair space, narrow no-break space, medium mathematical space, ideographic space.
bool isMultiByteSpace(const std::uint8_t* s, std::size_t n) {
  if (n == 2) return s[0] == 0xC2 && s[1] == 0xA0;
  if (n != 3) return false;
  if (s[0] == 0xE1) return s[1] == 0x9A && s[2] == 0x80;
  if (s[0] == 0xE3) return s[1] == 0x80 && s[2] == 0x80;
  if (s[0] == 0xE2 && s[1] == 0x80) return (s[2] >= 0x80 && s[2] <= 0x8A) || s[2] == 0xAF;
  if (s[0] == 0xE2 && s[1] == 0x81) return s[2] == 0x9F;
  return false;
}

// Whether s (n bytes) is the beginning of one of those separators.
bool mayStartSpace(const std::uint8_t* s, std::size_t n) {
  static const std::uint8_t kSpaces[][3] = {{0xC2, 0xA0, 0},
                                            {0xE1, 0x9A, 0x80},
                                            {0xE3, 0x80, 0x80},
                                            {0xE2, 0x80, 0x80},
                                            {0xE2, 0x81, 0x9F}};
  for (const auto& space : kSpaces) {
    if (std::memcmp(space, s, n) == 0) return true;
  }
  return false;
}

}  // namespace

bool StopLineMatcher::isStopLine(const std::string& line) {
  StopLineMatcher matcher;
  for (char c : line) {
    if (c == '\n') return false;
  }
  const std::string terminated = line + "\n";
  return matcher.feed(terminated.data(), terminated.size());
}

bool StopLineMatcher::feed(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const auto b = static_cast<std::uint8_t>(data[i]);
    if (b == '\n') {
      if (endLine()) return true;
      continue;
    }
    if (pendingCr_) {  // the carriage return was not the terminator: it is text
      pendingCr_ = false;
      flushPartial();
      const std::uint8_t cr = '\r';
      character(false, &cr, 1);
    }
    if (b == '\r') {
      pendingCr_ = true;
      continue;
    }
    byte(b);
  }
  return false;
}

void StopLineMatcher::byte(std::uint8_t b) {
  partial_[partialSize_++] = b;
  if (isMultiByteSpace(partial_, partialSize_)) {
    character(true, partial_, partialSize_);
    partialSize_ = 0;
  } else if (!mayStartSpace(partial_, partialSize_)) {
    // Not a separator: the first byte is text, and the rest may start one of their own.
    const std::uint8_t first = partial_[0];
    const std::size_t restSize = partialSize_ - 1;
    std::uint8_t rest[2] = {partial_[1], partial_[2]};
    partialSize_ = 0;
    character(first == ' ' || first == '\t', &first, 1);
    for (std::size_t i = 0; i < restSize; ++i) byte(rest[i]);
  }
}

void StopLineMatcher::flushPartial() {
  const std::size_t n = partialSize_;
  const std::uint8_t copy[3] = {partial_[0], partial_[1], partial_[2]};
  partialSize_ = 0;
  for (std::size_t i = 0; i < n; ++i) character(false, &copy[i], 1);
}

void StopLineMatcher::character(bool isSpace, const std::uint8_t* bytes, std::size_t size) {
  if (impossible_) return;
  if (isSpace) {
    spaceAfterCore_ = coreSize_ > 0;
    return;
  }
  if (spaceAfterCore_ || coreSize_ + size > sizeof core_) {
    impossible_ = true;
    return;
  }
  std::memcpy(core_ + coreSize_, bytes, size);
  coreSize_ += size;
}

bool StopLineMatcher::endLine() {
  pendingCr_ = false;
  flushPartial();
  const bool stop = !impossible_ && coreSize_ == 4 && std::memcmp(core_, "stop", 4) == 0;
  coreSize_ = 0;
  spaceAfterCore_ = false;
  impossible_ = false;
  return stop;
}

}  // namespace ondrel
