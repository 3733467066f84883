#include "codepage.h"

#include <cstring>

namespace vantor::download {

std::size_t TextLength(const char* bytes, std::size_t n) {
  if (bytes == nullptr) return 0;
  const void* nul = std::memchr(bytes, 0, n);
  return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes) : n;
}

}  // namespace vantor::download
