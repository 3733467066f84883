// Paces the emulated link like a full-speed USB interrupt pipe: one report
// per frame, frames on a fixed 1-ms-style grid from the link's start. A
// report waits for the next free frame, so the host's own time between
// reports is hidden up to a frame, and a late wake-up does not push every
// later frame back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vantor::sim {

// Set when the host closes its end: a report still on its way over the
// link is lost, as on a cable pulled out, and the wait for it ends at once.
class LinkStop {
 public:
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    woken_.notify_all();
  }
  // Sleeps until due; false when the link was stopped before or meanwhile.
  template <typename TimePoint>
  bool SleepUntil(TimePoint due) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !woken_.wait_until(lock, due, [this] { return stopped_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  bool stopped_ = false;
};

class LinkClock {
 public:
  using Clock = std::chrono::steady_clock;

  // stop, when given, cuts the waits short.
  explicit LinkClock(int msPerReport, LinkStop* stop = nullptr)
      : frame_(std::chrono::milliseconds(msPerReport)),
        start_(Clock::now()),
        next_(start_),
        stop_(stop) {}

  // Waits for the next free frame (no wait when the frame time is 0); false
  // when the link was stopped instead.
  bool WaitForFrame() {
    if (frame_.count() == 0) return true;
    const auto now = Clock::now();
    auto due = next_;
    if (due < now) {
      // Idle link: the next grid line after now.
      const auto frames = (now - start_ + frame_ - Clock::duration(1)) / frame_;
      due = start_ + frames * frame_;
    }
    next_ = due + frame_;
    if (stop_) return stop_->SleepUntil(due);
    std::this_thread::sleep_until(due);
    return true;
  }

 private:
  Clock::duration frame_;
  Clock::time_point start_;
  Clock::time_point next_;
  LinkStop* stop_;
};

}  // namespace vantor::sim
