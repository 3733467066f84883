// SHA-256 of a file with the system's BCrypt.
#include <windows.h>
#include <bcrypt.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "history.h"

namespace vantor::history {

bool HashFile(const std::string& path, std::string* sha256, std::uint64_t* size,
              std::string* error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenForReading(path), &std::fclose);
  if (!file) return *error = path + ": " + std::strerror(errno), false;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    return *error = path + ": SHA-256 is not available", false;
  }
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  std::uint64_t total = 0;
  char buffer[64 * 1024];
  std::size_t n;
  while (ok && (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    ok = BCryptHashData(hash, reinterpret_cast<PUCHAR>(buffer), static_cast<ULONG>(n), 0) == 0;
    total += n;
  }
  unsigned char digest[32];
  ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (std::ferror(file.get())) return *error = path + ": " + std::strerror(errno), false;
  if (!ok) return *error = path + ": SHA-256 failed", false;
  *sha256 = Hex(std::string(reinterpret_cast<char*>(digest), sizeof digest));
  *size = total;
  return true;
}

}  // namespace vantor::history
