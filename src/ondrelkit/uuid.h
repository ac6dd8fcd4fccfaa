// A random UUID and its standard upper-case text form.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ondrel {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  static Uuid random();
  // 36 characters: upper-case hexadecimal digits in groups of 8-4-4-4-12.
  std::string uuidString() const;

  friend bool operator==(const Uuid&, const Uuid&) = default;
};

}  // namespace ondrel
