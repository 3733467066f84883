#include "hex.h"

#include <utility>

namespace vantor::text {
namespace {

std::string Digits(const unsigned char* p, std::size_t n, const char* digits) {
  std::string out(2 * n, '0');
  for (std::size_t i = 0; i < n; ++i) {
    out[2 * i] = digits[p[i] >> 4];
    out[2 * i + 1] = digits[p[i] & 0x0F];
  }
  return out;
}

template <class Bytes>
bool Decode(std::string_view hex, Bytes* out) {
  if (hex.size() % 2 != 0) return false;
  Bytes bytes(hex.size() / 2, 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit(hex[2 * i]);
    const int low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<typename Bytes::value_type>(high << 4 | low);
  }
  *out = std::move(bytes);
  return true;
}

}  // namespace

std::string ToHex(const std::uint8_t* p, std::size_t n) { return Digits(p, n, "0123456789ABCDEF"); }

std::string ToLowerHex(std::string_view bytes) {
  return Digits(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                "0123456789abcdef");
}

bool FromHex(std::string_view hex, std::vector<std::uint8_t>* out) { return Decode(hex, out); }

bool FromHex(std::string_view hex, std::string* out) { return Decode(hex, out); }

}  // namespace vantor::text
