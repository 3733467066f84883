// SHA-256 with the system's BCrypt.
#include <windows.h>
#include <bcrypt.h>

#include <stdexcept>

#include "hex.h"
#include "sha256.h"

namespace vantor::history {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : state_(new State) {
  if (BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    delete state_;
    throw std::runtime_error("SHA-256 is not available");
  }
  try {
    Restart();
  } catch (...) {
    BCryptCloseAlgorithmProvider(state_->algorithm, 0);
    delete state_;
    throw;
  }
}

Sha256::~Sha256() {
  if (state_->hash) BCryptDestroyHash(state_->hash);
  BCryptCloseAlgorithmProvider(state_->algorithm, 0);
  delete state_;
}

void Sha256::Restart() {
  if (state_->hash) BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  if (BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0) != 0) {
    throw std::runtime_error("SHA-256 is not available");
  }
  size_ = 0;
}

void Sha256::Update(const char* data, std::size_t size) {
  BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data)),
                 static_cast<ULONG>(size), 0);
  size_ += size;
}

std::string Sha256::Final() {
  unsigned char digest[32];
  if (BCryptFinishHash(state_->hash, digest, sizeof digest, 0) != 0) return "";
  return text::ToLowerHex(std::string(reinterpret_cast<char*>(digest), sizeof digest));
}

}  // namespace vantor::history
