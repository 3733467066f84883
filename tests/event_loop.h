// A minimal window thread for hosts without a window system (the scripted
// test host, in the tests and the benchmarks): operations that a worker
// hands to the window thread queue up here and run when the window thread
// runs the loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vantor {

class EventLoop {
 public:
  // The thread that constructs the loop is its window thread.
  EventLoop();
  ~EventLoop();  // waits for workers still running

  // Runs op on the window thread and returns once it has run (at once when
  // called on the window thread).
  void RunAndWait(const std::function<void()>& op);
  // Starts a worker thread.
  void StartWorker(std::function<void()> work);
  // Window thread: carries out queued operations until every worker has
  // ended, then joins them.
  void RunUntilWorkersEnd();

 private:
  struct Task {
    const std::function<void()>* op;
    bool done;
  };
  std::thread::id windowThread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task*> queue_;
  std::vector<std::thread> workers_;
  int running_ = 0;
};

}  // namespace vantor
