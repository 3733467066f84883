// SHA-256 of a file with OpenSSL's libcrypto (EVP).
#include <openssl/evp.h>

#include <cerrno>
#include <memory>

#include "history.h"

namespace vantor::history {

bool HashFile(const std::string& path, std::string* sha256, std::uint64_t* size,
              std::string* error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenForReading(path), &std::fclose);
  if (!file) return *error = path + ": " + SystemReason(errno), false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return *error = path + ": SHA-256 is not available", false;
  }
  std::uint64_t total = 0;
  char buffer[64 * 1024];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    EVP_DigestUpdate(context.get(), buffer, n);
    total += n;
  }
  if (std::ferror(file.get())) return *error = path + ": " + SystemReason(errno), false;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  *sha256 = Hex(std::string(reinterpret_cast<char*>(digest), length));
  *size = total;
  return true;
}

}  // namespace vantor::history
