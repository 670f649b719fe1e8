#include "host/worker_pool.h"

#include <system_error>

#include "host/http_host.h"

namespace corvane {

WorkerPool::WorkerPool(std::size_t max_threads, std::size_t active,
                       int stall_ms)
    : max_threads_(max_threads == 0 ? 1 : max_threads),
      active_(active == 0 ? 1 : (active > max_threads_ ? max_threads_ : active)),
      stall_ms_(stall_ms) {}

WorkerPool::~WorkerPool() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& t : threads) t.join();
}

void WorkerPool::AddRunnerLocked(std::unique_lock<std::mutex>& lock) {
  if (sleeping_ > wakes_) {
    ++wakes_;
    ++waking_;
    lock.unlock();
    wake_.notify_one();
    lock.lock();
    return;
  }
  if (threads_.size() < max_threads_) {
    try {
      threads_.emplace_back([this] { Work(); });
      ++waking_;
    } catch (const std::system_error&) {
      // No thread now: the task waits for one that runs.
    }
  }
}

void WorkerPool::Post(std::function<void()> task) {
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(Task{std::move(task), MonotonicMs()});
  // A thread that runs or is on its way takes the task when it is done.
  if (running_ + waking_ < active_) AddRunnerLocked(lock);
}

void WorkerPool::Rescue(int64_t now_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (queue_.empty()) return;
  if (running_ + waking_ < active_ ||
      now_ms - queue_.front().queued_ms >= stall_ms_) {
    AddRunnerLocked(lock);
  }
}

void WorkerPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  bool woken = true;  // A new thread was started for a task.
  for (;;) {
    if (queue_.empty() || ending_) {
      if (woken) {
        --waking_;
        woken = false;
      }
      if (ending_) return;
      ++sleeping_;
      wake_.wait(lock, [&] { return ending_ || wakes_ > 0; });
      --sleeping_;
      if (wakes_ > 0) {
        --wakes_;
        woken = true;
      }
      continue;
    }
    Task task = std::move(queue_.front());
    queue_.pop_front();
    if (woken) {
      --waking_;
      woken = false;
    }
    ++running_;
    lock.unlock();
    task.run();
    task.run = nullptr;
    lock.lock();
    --running_;
    if (running_ == 0 && queue_.empty()) idle_.notify_all();
  }
}

bool WorkerPool::WaitIdle(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_until(lock, deadline,
                          [&] { return running_ == 0 && queue_.empty(); });
}

std::size_t WorkerPool::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_ + queue_.size();
}

}  // namespace corvane
