// The threads that call the extension, so that a slow turn never stalls the
// threads that serve the connections.
//
// Waking a sleeping thread costs a system call and a context switch on
// each side, so the pool keeps only as many threads running as there are
// cores for it (`active`): a task posted while that many run waits for one
// of them, which takes it without sleeping. A task that has waited longer
// than a stall time means the running threads are held up (a long turn):
// Rescue, called periodically, then starts or wakes one more thread, up to
// `max_threads`. So a slow turn delays others by at most about the stall
// time plus the rescue period, and a busy server pays for no wake-ups.
//
// Thread-safe. The pool owns its threads; the destructor joins them, so it
// requires that no task still runs (see WaitIdle).
#ifndef CORVANE_HOST_WORKER_POOL_H_
#define CORVANE_HOST_WORKER_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane {

class WorkerPool {
 public:
  WorkerPool(std::size_t max_threads, std::size_t active, int stall_ms);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task`; it runs on one of the pool's threads. A task must not
  // throw.
  void Post(std::function<void()> task);

  // Starts or wakes one more thread when the oldest queued task has waited
  // the stall time at `now_ms` (MonotonicMs). Call it periodically.
  void Rescue(int64_t now_ms);

  // Waits until no task is queued or running, or until `deadline`. True
  // when the pool is idle.
  bool WaitIdle(std::chrono::steady_clock::time_point deadline);

  // Tasks queued or running.
  std::size_t pending() const;

 private:
  struct Task {
    std::function<void()> run;
    int64_t queued_ms;
  };

  void Work();
  // Wakes a sleeping thread or starts a new one; requires mutex_.
  void AddRunnerLocked(std::unique_lock<std::mutex>& lock);

  const std::size_t max_threads_;
  const std::size_t active_;
  const int stall_ms_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;   // A thread is wanted, or the pool ends.
  std::condition_variable idle_;   // A task ended.
  std::deque<Task> queue_;         // Guarded by mutex_.
  std::size_t running_ = 0;        // Threads running a task; mutex_.
  std::size_t waking_ = 0;         // Threads woken or started, not yet
                                   // running a task; mutex_.
  std::size_t sleeping_ = 0;       // Threads waiting to be woken; mutex_.
  std::size_t wakes_ = 0;          // Wake-ups not yet taken; mutex_.
  bool ending_ = false;            // mutex_.
  std::vector<std::thread> threads_;  // Guarded by mutex_.
};

}  // namespace corvane

#endif  // CORVANE_HOST_WORKER_POOL_H_
