// SHA-256 with OpenSSL's libcrypto (EVP).
#include <openssl/evp.h>

#include <stdexcept>

#include "hex.h"
#include "sha256.h"

namespace vantor::history {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state_(new State) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr) {
    delete state_;
    throw std::runtime_error("SHA-256 is not available");
  }
  try {
    Restart();
  } catch (...) {
    EVP_MD_CTX_free(state_->context);
    delete state_;
    throw;
  }
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(state_->context);
  delete state_;
}

void Sha256::Restart() {
  if (EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
  size_ = 0;
}

void Sha256::Update(const char* data, std::size_t size) {
  EVP_DigestUpdate(state_->context, data, size);
  size_ += size;
}

std::string Sha256::Final() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context, digest, &length);
  return text::ToLowerHex(std::string(reinterpret_cast<char*>(digest), length));
}

}  // namespace vantor::history
