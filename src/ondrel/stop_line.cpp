#include "ondrel/stop_line.h"

namespace ondrel {
namespace {

// The byte length of the space separator (Unicode Zs, or a tab) that ends text, or 0.
std::size_t trailingSpaceLength(const std::string& text) {
  const std::size_t n = text.size();
  auto endsWith = [&](std::initializer_list<unsigned char> bytes) {
    if (n < bytes.size()) return false;
    std::size_t i = n - bytes.size();
    for (unsigned char b : bytes) {
      if (static_cast<unsigned char>(text[i++]) != b) return false;
    }
    return true;
  };
  if (n == 0) return 0;
  if (text[n - 1] == ' ' || text[n - 1] == '\t') return 1;
  if (endsWith({0xC2, 0xA0})) return 2;                         // no-break space
  if (endsWith({0xE1, 0x9A, 0x80}) || endsWith({0xE3, 0x80, 0x80}) ||  // ogham, ideographic
      endsWith({0xE2, 0x80, 0xAF}) || endsWith({0xE2, 0x81, 0x9F})) {  // narrow nbsp, math
    return 3;
  }
  if (n >= 3 && static_cast<unsigned char>(text[n - 3]) == 0xE2 &&
      static_cast<unsigned char>(text[n - 2]) == 0x80) {
    const auto last = static_cast<unsigned char>(text[n - 1]);
    if (last >= 0x80 && last <= 0x8A) return 3;  // en quad .. hair space
  }
  return 0;
}

void trimTrailing(std::string& text) {
  while (std::size_t n = trailingSpaceLength(text)) text.resize(text.size() - n);
}

// The byte length of the space separator that starts text, or 0.
std::size_t leadingSpaceLength(const std::string& text, std::size_t at) {
  for (std::size_t length = 1; length <= 3 && at + length <= text.size(); ++length) {
    if (trailingSpaceLength(text.substr(at, length)) == length) return length;
  }
  return 0;
}

}  // namespace

bool StopLineMatcher::isStopLine(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  trimTrailing(line);
  std::size_t start = 0;
  while (std::size_t n = leadingSpaceLength(line, start)) start += n;
  return line.compare(start, std::string::npos, "stop") == 0;
}

bool StopLineMatcher::feed(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '\n') {
      if (endLine()) return true;
      continue;
    }
    if (overflowed_) continue;
    kept_.push_back(c);
    if (kept_.size() > kMaxKept) {
      // Only a line of "stop" padded with whitespace may still match: drop the padding.
      trimTrailing(kept_);
      std::size_t start = 0;
      while (std::size_t n = leadingSpaceLength(kept_, start)) start += n;
      kept_.erase(0, start);
      if (kept_.size() > 8) {
        overflowed_ = true;
        kept_.clear();
      }
    }
  }
  return false;
}

bool StopLineMatcher::endLine() {
  const bool stop = !overflowed_ && isStopLine(kept_);
  kept_.clear();
  overflowed_ = false;
  return stop;
}

}  // namespace ondrel
