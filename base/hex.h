// Bytes written as hex digits, for digests and random identifiers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The bytes as lower-case hex digits, two a byte.
inline std::string TernHexLower(const uint8_t* bytes, size_t count) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
  }
  return text;
}
