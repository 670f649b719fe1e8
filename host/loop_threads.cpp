#include "host/loop_threads.h"

#include <algorithm>
#include <chrono>

#include "host/http_host.h"

namespace corvane {
namespace {

// Thrown by CallEnded to take a thread out of the loop; caught in Run.
struct LeaveLoop {};

// The slot of the loop thread running on this thread; null elsewhere.
thread_local void* current_slot = nullptr;

}  // namespace

LoopThreads::LoopThreads(boost::asio::io_context& io, std::size_t base,
                         std::size_t extra, int stall_ms)
    : io_(io),
      base_(base == 0 ? 1 : base),
      max_(base_ + extra),
      stall_ms_(stall_ms < 1 ? 1 : stall_ms) {}

LoopThreads::~LoopThreads() {
  Stop();
}

void LoopThreads::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < base_; ++i) AddThreadLocked();
  watcher_ = std::thread([this] { Watch(); });
}

void LoopThreads::AddThreadLocked() {
  Slot& slot = slots_.emplace_back();
  ++in_loop_;
  try {
    slot.thread = std::thread([this, &slot] { Run(&slot); });
  } catch (const std::system_error&) {
    // No thread now: the watcher tries again.
    --in_loop_;
    slots_.pop_back();
  }
}

void LoopThreads::Run(Slot* slot) {
  current_slot = slot;
  for (;;) {
    try {
      io_.run();
      break;
    } catch (const LeaveLoop&) {
      break;
    }
  }
  slot->done = true;
}

void LoopThreads::CallStarted() {
  ++calls_;
  if (auto* slot = static_cast<Slot*>(current_slot))
    slot->call_since_ms = MonotonicMs();
}

void LoopThreads::CallEnded() {
  --calls_;
  auto* slot = static_cast<Slot*>(current_slot);
  if (slot == nullptr) return;
  slot->call_since_ms = 0;
  // More threads than wanted are free now that this call is over: this one
  // goes, unless the loop is stopping anyway.
  std::size_t in_loop = in_loop_.load();
  while (in_loop > base_ && in_loop - calls_.load() > base_) {
    if (in_loop_.compare_exchange_weak(in_loop, in_loop - 1)) throw LeaveLoop();
  }
}

void LoopThreads::Watch() {
  const auto period = std::chrono::milliseconds(std::max(1, stall_ms_ / 10));
  std::unique_lock<std::mutex> lock(mutex_);
  auto wait = period;
  while (!stopping_) {
    stop_.wait_for(lock, wait);
    if (stopping_) break;
    // Threads that left the loop are joined.
    for (auto it = slots_.begin(); it != slots_.end();) {
      if (it->done.load()) {
        if (it->thread.joinable()) it->thread.join();
        it = slots_.erase(it);
      } else {
        ++it;
      }
    }
    const int64_t now = MonotonicMs();
    std::size_t busy = 0;
    bool stalled = false;
    // No call can have stalled before this: a call that starts after this
    // look stalls a stall time later at the earliest.
    int64_t next_stall = now + stall_ms_;
    for (const Slot& s : slots_) {
      const int64_t since = s.call_since_ms.load();
      if (since == 0) continue;
      ++busy;
      if (now - since >= stall_ms_) {
        stalled = true;
      } else {
        next_stall = std::min(next_stall, since + stall_ms_);
      }
    }
    if (stalled && busy >= in_loop_.load() && in_loop_.load() < max_)
      AddThreadLocked();
    // While a call is stalled, whether every thread is in a call changes
    // with every call: look ten times per stall time. Otherwise nothing
    // can happen before the next call could stall, so a busy loop of short
    // calls wakes the watcher about once per stall time.
    wait = stalled ? period
                   : std::chrono::milliseconds(std::max<int64_t>(
                         1, next_stall - now));
  }
}

std::size_t LoopThreads::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return 0;
    stopped_ = true;
    stopping_ = true;
  }
  stop_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  io_.stop();
  std::size_t in_calls = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  for (Slot& s : slots_) {
    if (s.call_since_ms.load() != 0) {
      // Its call goes on; the thread leaves the loop when it returns.
      ++in_calls;
      s.thread.detach();
      continue;
    }
    if (s.thread.joinable()) s.thread.join();
  }
  // Detached threads still reach their slots: they stay allocated.
  if (in_calls > 0) {
    new std::list<Slot>(std::move(slots_));
  } else {
    slots_.clear();
  }
  return in_calls;
}

}  // namespace corvane
