// SHA-256 of bytes given in pieces: libcrypto on Linux, BCrypt on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantor::history {

// The constructor throws std::runtime_error when SHA-256 is not available.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  // Starts again, forgetting the bytes given so far.
  void Restart();
  void Update(const char* data, std::size_t size);
  // 64 lower-case hex digits of the bytes given since the start; ends the hash.
  std::string Final();
  std::uint64_t size() const { return size_; }

 private:
  struct State;
  State* state_;
  std::uint64_t size_ = 0;
};

}  // namespace vantor::history
