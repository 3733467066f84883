// Byte strings as hex text, as the state file, the logs and the tools
// write them: two digits per byte, no blanks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

// Upper-case digits, two per byte.
std::string ToHex(const std::uint8_t* p, std::size_t n);
inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  return ToHex(bytes.data(), bytes.size());
}

// Digits of either case, two per byte, and nothing else (no blanks, no
// "0x"). false, with *out untouched, when hex is anything else.
bool FromHex(std::string_view hex, std::vector<std::uint8_t>* out);

}  // namespace vantor
