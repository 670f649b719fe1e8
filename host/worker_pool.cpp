#include "host/worker_pool.h"

#include <system_error>

namespace corvane {

WorkerPool::WorkerPool(std::size_t max_threads)
    : max_threads_(max_threads == 0 ? 1 : max_threads) {}

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

void WorkerPool::Post(std::function<void()> task) {
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(std::move(task));
  const bool wake = waiting_ > 0;
  if (waiting_ < queue_.size() && threads_.size() < max_threads_) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // No thread now: the task waits for one that is running.
    }
  }
  lock.unlock();
  if (wake) wake_.notify_one();
}

void WorkerPool::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++waiting_;
    wake_.wait(lock, [&] { return ending_ || !queue_.empty(); });
    --waiting_;
    if (queue_.empty()) return;  // Ending.
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    task();
    task = nullptr;
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
