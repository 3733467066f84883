#include "interrupt.h"

#include <csignal>

namespace vantor::cli {
namespace {

std::atomic<std::atomic<bool>*> g_stop{nullptr};
std::atomic<std::atomic<bool>*> g_then{nullptr};
// Read by the download threads as each one ends, so an atomic rather than
// a sig_atomic_t, which only the handler's own thread may read safely.
std::atomic<int> g_signal{0};
std::atomic<int> g_thenSignal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the stop flag and the signal are set by signal handlers");

#ifdef _WIN32
const int kStopSignals[] = {SIGINT, SIGTERM};
#else
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif

extern "C" void OnStopSignal(int signal) {
  std::atomic<bool>* then = g_then.load();
  if (g_signal.load() != 0 && (then == nullptr || g_thenSignal.load() != 0)) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  if (g_signal.load() == 0) {
    g_signal.store(signal);
    if (std::atomic<bool>* stop = g_stop.load()) stop->store(true, std::memory_order_relaxed);
  } else {
    g_thenSignal.store(signal);
    then->store(true, std::memory_order_relaxed);
  }
#ifdef _WIN32
  std::signal(signal, OnStopSignal);  // Windows resets the handler before the call
#endif
}

}  // namespace

StopOnSignals::StopOnSignals(std::atomic<bool>& stop, std::atomic<bool>* then) {
  g_stop.store(&stop);
  g_then.store(then);
  for (const int signal : kStopSignals) std::signal(signal, OnStopSignal);
}

StopOnSignals::~StopOnSignals() {
  for (const int signal : kStopSignals) std::signal(signal, SIG_DFL);
  g_stop.store(nullptr);
  g_then.store(nullptr);
}

int StopOnSignals::Caught() { return g_signal.load(); }

int StopOnSignals::CaughtThen() { return g_thenSignal.load(); }

}  // namespace vantor::cli
