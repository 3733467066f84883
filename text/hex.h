// Byte strings as hex text: two digits per byte, no blanks. Upper-case is
// what the state file, the logs and the tools write; the history writes
// lower-case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::text {

// The value of a hex digit of either case, -1 for any other character.
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Upper-case digits, two per byte.
std::string ToHex(const std::uint8_t* p, std::size_t n);
inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  return ToHex(bytes.data(), bytes.size());
}
// Lower-case digits, two per byte.
std::string ToLowerHex(std::string_view bytes);

// Digits of either case, two per byte, and nothing else (no blanks, no
// "0x"). false, with *out untouched, when hex is anything else.
bool FromHex(std::string_view hex, std::vector<std::uint8_t>* out);
bool FromHex(std::string_view hex, std::string* out);

}  // namespace vantor::text
