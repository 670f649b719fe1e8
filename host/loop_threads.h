// The threads that run the host's event loop, and that call the extension
// on the thread that read the request: handing a request to another thread
// would cost a wake-up on each side, a system call and a context switch
// each, for every request.
//
// A call that takes long (a slow turn, a large answer to a slow client)
// holds its thread. A watcher looks when the earliest call in progress
// reaches the stall time, and then ten times per stall time while one has:
// when every loop thread is inside a call and one call has run for the
// stall time, it starts one more thread in the loop (up to `base` +
// `extra`), so the other connections go on; so a slow turn delays other
// requests by about the stall time at most. When a call ends and more threads are outside calls
// than `base`, the thread that made it leaves the loop, so a busy host
// runs `base` threads and pays for no wake-ups between them.
//
// Thread-safe. Owns its threads; Stop joins the ones that can be joined.
#ifndef CORVANE_HOST_LOOP_THREADS_H_
#define CORVANE_HOST_LOOP_THREADS_H_

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace corvane {

class LoopThreads {
 public:
  LoopThreads(boost::asio::io_context& io, std::size_t base, std::size_t extra,
              int stall_ms);
  // Stops (Stop) when that was not done.
  ~LoopThreads();
  LoopThreads(const LoopThreads&) = delete;
  LoopThreads& operator=(const LoopThreads&) = delete;

  // Starts the `base` threads and the watcher.
  void Start();

  // Around an extension call on a loop thread. CallEnded must be the last
  // thing the handler does: it may throw (an exception the loop thread
  // catches) to take the thread out of the loop. Outside a loop thread
  // they only count.
  void CallStarted();
  void CallEnded();

  // Extension calls in progress.
  std::size_t calls() const { return calls_.load(); }

  // Stops the loop and joins every thread that is not inside a call;
  // returns how many are (they end when their call returns, and must not
  // be waited for). Later calls return 0.
  std::size_t Stop();

 private:
  struct Slot {
    std::atomic<int64_t> call_since_ms{0};  // 0: not in a call.
    std::atomic<bool> done{false};          // The thread has left the loop.
    std::thread thread;
  };
  // Starts one thread in the loop; requires mutex_.
  void AddThreadLocked();
  void Run(Slot* slot);
  void Watch();

  boost::asio::io_context& io_;
  const std::size_t base_;
  const std::size_t max_;
  const int stall_ms_;
  std::atomic<std::size_t> calls_{0};
  std::atomic<std::size_t> in_loop_{0};  // Threads in the loop.
  std::mutex mutex_;
  std::condition_variable stop_;
  std::list<Slot> slots_;  // Guarded by mutex_; one per thread.
  std::thread watcher_;
  bool stopping_ = false;  // mutex_.
  bool stopped_ = false;   // mutex_.
};

}  // namespace corvane

#endif  // CORVANE_HOST_LOOP_THREADS_H_
