// Paces the emulated link like a full-speed USB interrupt pipe: one report
// per frame, frames on a fixed 1-ms-style grid from the link's start. A
// report waits for the next free frame, so the host's own time between
// reports is hidden up to a frame, and a late wake-up does not push every
// later frame back.
#pragma once

#include <chrono>
#include <thread>

namespace vantor::sim {

class LinkClock {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LinkClock(int msPerReport)
      : frame_(std::chrono::milliseconds(msPerReport)), start_(Clock::now()), next_(start_) {}

  // Waits for the next free frame (no wait when the frame time is 0).
  void WaitForFrame() {
    if (frame_.count() == 0) return;
    const auto now = Clock::now();
    auto due = next_;
    if (due < now) {
      // Idle link: the next grid line after now.
      const auto frames = (now - start_ + frame_ - Clock::duration(1)) / frame_;
      due = start_ + frames * frame_;
    }
    std::this_thread::sleep_until(due);
    next_ = due + frame_;
  }

 private:
  Clock::duration frame_;
  Clock::time_point start_;
  Clock::time_point next_;
};

}  // namespace vantor::sim
