// Runs a clean-up once when a scope ends, by return or by exception,
// unless it was dismissed first.
#pragma once

#include <utility>

namespace vantor {

template <class F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F cleanUp) : cleanUp_(std::move(cleanUp)) {}
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  // A clean-up that fails while no other exception is in flight reports
  // its exception to the caller.
  ~ScopeGuard() noexcept(false) {
    if (armed_) cleanUp_();
  }

  void Dismiss() { armed_ = false; }

 private:
  F cleanUp_;
  bool armed_ = true;
};

}  // namespace vantor
