#include "event_loop.h"

namespace vantor {

EventLoop::EventLoop() : windowThread_(std::this_thread::get_id()) {}

EventLoop::~EventLoop() { RunUntilWorkersEnd(); }

void EventLoop::RunAndWait(const std::function<void()>& op) {
  if (std::this_thread::get_id() == windowThread_) {
    op();
    return;
  }
  Task task{&op, false};
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(&task);
  changed_.notify_all();
  changed_.wait(lock, [&] { return task.done; });
}

void EventLoop::StartWorker(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++running_;
  workers_.emplace_back([this, work = std::move(work)] {
    work();
    std::lock_guard<std::mutex> done(mutex_);
    --running_;
    changed_.notify_all();
  });
}

void EventLoop::RunUntilWorkersEnd() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !queue_.empty() || running_ == 0; });
    if (queue_.empty()) break;
    Task* task = queue_.front();
    queue_.pop_front();
    lock.unlock();
    (*task->op)();
    lock.lock();
    task->done = true;
    changed_.notify_all();
  }
  std::vector<std::thread> workers;
  workers.swap(workers_);
  lock.unlock();
  for (auto& w : workers) w.join();
}

}  // namespace vantor
