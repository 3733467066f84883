// Interrupting downloads: while a StopOnSignals lives, the first SIGINT,
// SIGTERM or SIGHUP asks the downloads to stop after the exchange in
// flight; a second one ends the process at once.
#pragma once

#include <atomic>

namespace vantor::cli {

class StopOnSignals {
 public:
  // stop is set by the first signal; it must outlive this object.
  explicit StopOnSignals(std::atomic<bool>& stop);
  ~StopOnSignals();  // the default handlers again
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  // The signal that asked to stop, 0 when none did.
  static int Caught();
};

}  // namespace vantor::cli
