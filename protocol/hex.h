// Bytes as upper-case hex text and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

std::string ToHex(const std::uint8_t* bytes, std::size_t n);
// Whole pairs of hex digits (either case) only; false otherwise.
bool FromHex(std::string_view text, std::vector<std::uint8_t>* bytes);

}  // namespace vantor
