// Interrupting downloads: while a StopOnSignals lives, the first SIGINT,
// SIGTERM or SIGHUP asks the downloads to stop after the exchange in
// flight; a second one ends the process at once. With a second stage (the
// station), the first stops the watching, the second the downloads, a
// third ends the process.
#pragma once

#include <atomic>

namespace vantor::cli {

class StopOnSignals {
 public:
  // stop is set by the first signal, then (when given) by the second; both
  // must outlive this object.
  explicit StopOnSignals(std::atomic<bool>& stop, std::atomic<bool>* then = nullptr);
  ~StopOnSignals();  // the default handlers again
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  // The signal that asked to stop, 0 when none did.
  static int Caught();
  // The one that set then, 0 when none did.
  static int CaughtThen();
};

}  // namespace vantor::cli
