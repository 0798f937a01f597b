// Bytes and their hexadecimal texts, as the tests build and read them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace test_support {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// `value` in `digits` upper-case hexadecimal digits, as boot records and the
// programs' reports write it.
inline std::string hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// The same with the 0x in front.
inline std::string hex_0x(uint32_t value, int digits) { return "0x" + hex(value, digits); }

// A 32-bit field as it goes on a wire or into a file: little-endian.
inline Bytes le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

// The little-endian 32-bit field that starts at `p`.
inline uint32_t le32_at(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace test_support
