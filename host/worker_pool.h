// The threads that call the extension, so that a slow turn never stalls the
// threads that serve the connections. Threads are started as tasks need
// them, up to a fixed number; a task waits in the queue when all are busy.
//
// Thread-safe. The pool owns its threads; the destructor joins them, so it
// requires that no task still runs (see WaitIdle).
#ifndef CORVANE_HOST_WORKER_POOL_H_
#define CORVANE_HOST_WORKER_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t max_threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task`; it runs on one of the pool's threads. A task must not
  // throw.
  void Post(std::function<void()> task);

  // Waits until no task is queued or running, or until `deadline`. True
  // when the pool is idle.
  bool WaitIdle(std::chrono::steady_clock::time_point deadline);

  // Tasks queued or running.
  std::size_t pending() const;

 private:
  void Work();

  const std::size_t max_threads_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;   // A task was queued, or the pool ends.
  std::condition_variable idle_;   // A task ended.
  std::deque<std::function<void()>> queue_;  // Guarded by mutex_.
  std::size_t running_ = 0;        // Tasks being run; mutex_.
  std::size_t waiting_ = 0;        // Threads waiting for a task; mutex_.
  bool ending_ = false;            // mutex_.
  std::vector<std::thread> threads_;  // Guarded by mutex_.
};

}  // namespace corvane

#endif  // CORVANE_HOST_WORKER_POOL_H_
