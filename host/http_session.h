// One client connection of corvane-httpd: the one state machine that the
// server runs on every TCP connection and that the fuzz target and the
// benchmarks run on a stream in memory. It reads and parses requests
// asynchronously (RequestReader), calls the extension for each complete
// request on the thread that completed it (CallExtension), and writes each
// answer with one gathering write where the socket takes it. While many
// connections are open, an answer waits for the handlers the loop already
// has in hand (SessionHost::BatchAnswers), so the answers of one round of
// the loop leave together.
//
// At most one operation of a connection is under way at any time (a read,
// a call, a write), each step starting the next, and every handler runs on
// the connection's executor (a strand when several threads run the loop),
// so a connection needs no lock. Deadlines are kept as numbers; one timer
// per connection (Asio's steady_timer) wakes at the earliest of them and is
// set again only when a deadline comes earlier than it, so serving a
// request sets no timer. Phases and their deadlines: waiting for a request
// (idle_timeout_ms), its header from its first byte (header_timeout_ms),
// its body after the header (body_timeout_ms, then 408), the answer
// (write_timeout_ms), reading on after the last answer (linger_ms).
//
// Owned by shared pointers: the server's registry holds each connection
// until it closes; pending handlers hold it alive while they run.
#ifndef CORVANE_HOST_HTTP_SESSION_H_
#define CORVANE_HOST_HTTP_SESSION_H_

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "host/http_host.h"

namespace corvane {

// What a connection needs of the server that runs it. The server's
// implementation is thread-safe; the drivers of the fuzz target and the
// benchmarks run one thread.
class SessionHost {
 public:
  virtual ~SessionHost() = default;
  virtual const HostConfig& config() const = 0;
  // True once the host stops: answers then close their connection.
  virtual bool stopping() const = 0;
  // One line of the access log.
  virtual void LogAccess(const AccessRecord& record) = 0;
  // The host's own answer to GET /healthz or /metrics.
  virtual Answer AdminAnswer(const Request& request) = 0;
  // Whether an answer waits until the loop has run the handlers it already
  // has in hand (the other connections' requests that came with it), so
  // that the answers of one round leave one after the other: a client that
  // sleeps is then woken once for the round rather than once per answer,
  // and each wake-up costs the sender a cross-core interrupt.
  virtual bool BatchAnswers() const { return false; }
  // Around every extension call on the calling thread; CallEnded is the
  // last thing a handler does and may end the thread's part in the loop
  // (by throwing, see LoopThreads).
  virtual void CallStarted() {}
  virtual void CallEnded() {}
  // The connection no longer counts against the connection caps (its last
  // answer has gone); called at most once, before Closed.
  virtual void Released(const void* connection) { (void)connection; }
  // The connection has closed; called once.
  virtual void Closed(const void* connection) { (void)connection; }
};

// What the server's registry needs of a connection, from any thread.
class Connection {
 public:
  virtual ~Connection() = default;
  // Starts reading the first request.
  virtual void Start() = 0;
  // When the server stops: ends the connection now if it waits for a
  // request; otherwise it ends after the answer in progress.
  virtual void StopIfIdle() = 0;
  // Ends the connection whatever it does (after the drain time).
  virtual void Cut() = 0;
};

// How a connection's stream is handled where TCP sockets and streams in
// memory differ.
namespace stream_ops {

// A TCP socket on any executor.
template <class Executor>
using TcpSocket =
    boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor>;

template <class Executor>
void Prepare(TcpSocket<Executor>& socket) {
  boost::system::error_code ec;
  socket.set_option(boost::asio::ip::tcp::no_delay(true), ec);
  socket.non_blocking(true, ec);
}

// Writes as much of `parts` as the socket takes now, in one system call;
// the bytes written (0 when none could be, or on an error, which the
// asynchronous write then meets).
template <class Executor>
std::size_t TryWrite(TcpSocket<Executor>& socket,
                     const std::array<boost::asio::const_buffer, 2>& parts) {
  iovec iov[2];
  int count = 0;
  for (const auto& part : parts) {
    if (part.size() == 0) continue;
    iov[count].iov_base = const_cast<void*>(part.data());
    iov[count].iov_len = part.size();
    ++count;
  }
  if (count == 0) return 0;
  msghdr message{};
  message.msg_iov = iov;
  message.msg_iovlen = static_cast<std::size_t>(count);
  for (;;) {
    const ssize_t n = ::sendmsg(socket.native_handle(), &message,
                                MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

// Writes `bytes` now, waiting at most `timeout_ms` for the socket; false
// on failure. Runs on the thread of a call that streams its answer.
template <class Executor>
bool WriteBlocking(TcpSocket<Executor>& socket, std::string_view bytes,
                   int timeout_ms) {
  const int fd = socket.native_handle();
  const int64_t deadline = MonotonicMs() + timeout_ms;
  while (!bytes.empty()) {
    const ssize_t n =
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int64_t left = deadline - MonotonicMs();
      if (left <= 0) return false;
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
        return false;
      continue;
    }
    return false;
  }
  return true;
}

// Small enough for the socket's buffer; a failure shows at the next read.
template <class Executor>
void SendSmall(TcpSocket<Executor>& socket, std::string_view bytes) {
  ::send(socket.native_handle(), bytes.data(), bytes.size(),
         MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Runs `f` on the socket's strand once the loop thread has run what it
// already has queued. Deferred on the loop itself (not posted to the
// strand), so no other loop thread is woken for it.
template <class Inner, class F>
void Defer(TcpSocket<boost::asio::strand<Inner>>& socket, F&& f) {
  boost::asio::defer(
      socket.get_executor().get_inner_executor(),
      [strand = socket.get_executor(), f = std::forward<F>(f)]() mutable {
        boost::asio::dispatch(strand, std::move(f));
      });
}

template <class Executor>
void CancelReads(TcpSocket<Executor>& socket) {
  boost::system::error_code ec;
  socket.cancel(ec);
}

template <class Executor>
void ShutdownSend(TcpSocket<Executor>& socket) {
  boost::system::error_code ec;
  socket.shutdown(boost::asio::socket_base::shutdown_send, ec);
}

template <class Executor>
void Close(TcpSocket<Executor>& socket) {
  boost::system::error_code ec;
  socket.close(ec);
}

// Any other stream (one in memory): plain synchronous writes, and no
// socket options.
template <class Stream>
void Prepare(Stream&) {}
template <class Stream>
std::size_t TryWrite(Stream&, const std::array<boost::asio::const_buffer, 2>&) {
  return 0;
}
template <class Stream>
bool WriteBlocking(Stream& stream, std::string_view bytes, int) {
  boost::system::error_code ec;
  boost::asio::write(stream, boost::asio::buffer(bytes.data(), bytes.size()),
                     ec);
  return !ec;
}
template <class Stream>
void SendSmall(Stream& stream, std::string_view bytes) {
  WriteBlocking(stream, bytes, 0);
}
template <class Stream, class F>
void Defer(Stream& stream, F&& f) {
  boost::asio::post(stream.get_executor(), std::forward<F>(f));
}
template <class Stream>
void CancelReads(Stream& stream) {
  stream.close();
}
template <class Stream>
void ShutdownSend(Stream&) {}
template <class Stream>
void Close(Stream& stream) {
  stream.close();
}

}  // namespace stream_ops

template <class Stream>
class HttpSession : public Connection,
                    public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  // With `admin_only`, every request is the host's (the admin port).
  HttpSession(Stream stream, SessionHost& host, PeerInfo peer,
              bool admin_only = false)
      : stream_(std::move(stream)),
        timer_(stream_.get_executor()),
        host_(host),
        peer_(std::move(peer)),
        admin_only_(admin_only),
        reader_(host.config().max_body) {
    stream_writer_ = [this](std::string_view bytes) {
      return stream_ops::WriteBlocking(stream_, bytes,
                                       host_.config().write_timeout_ms);
    };
    // A call the extension finishes later comes back on this connection's
    // executor, as one more extension call of a loop thread; the
    // connection lives until its answer is made.
    completion_.post = [this](std::function<void()> f) {
      boost::asio::post(stream_.get_executor(),
                        [self = this->shared_from_this(), f = std::move(f)] {
                          self->host_.CallStarted();
                          f();
                          // Last: it may end this thread's part in the loop.
                          self->host_.CallEnded();
                        });
    };
    completion_.done = [this] {
      const std::shared_ptr<HttpSession> self = std::move(pending_self_);
      Finish(*pending_request_);
    };
  }
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  void Start() override {
    boost::asio::post(
        stream_.get_executor(), [self = this->shared_from_this()] {
          stream_ops::Prepare(self->stream_);
          self->Enter(Phase::kIdle, self->host_.config().idle_timeout_ms);
          self->Read();
        });
  }

  void StopIfIdle() override {
    boost::asio::post(stream_.get_executor(),
                      [self = this->shared_from_this()] {
                        if (self->phase_ == Phase::kIdle) self->Close();
                      });
  }

  void Cut() override {
    boost::asio::post(stream_.get_executor(),
                      [self = this->shared_from_this()] { self->Close(); });
  }

  Stream& stream() { return stream_; }

 private:
  enum class Phase { kIdle, kHeader, kBody, kCall, kWrite, kLinger, kClosed };
  using error_code = boost::system::error_code;
  using Clock = std::chrono::steady_clock;

  // Sets the phase and its deadline `timeout_ms` after `now` (0: none).
  void Enter(Phase phase, int timeout_ms, Clock::time_point now) {
    phase_ = phase;
    if (timeout_ms <= 0) {
      deadline_ = Clock::time_point();
      return;
    }
    deadline_ = now + std::chrono::milliseconds(timeout_ms);
    // The timer wakes at the earliest deadline; a later one is noticed when
    // it wakes, so it is set only when the deadline comes earlier.
    if (!timer_waiting_ || deadline_ < timer_at_) ArmTimer(deadline_);
  }

  void Enter(Phase phase, int timeout_ms) {
    Enter(phase, timeout_ms,
          timeout_ms > 0 ? Clock::now() : Clock::time_point());
  }

  void ArmTimer(Clock::time_point at) {
    timer_at_ = at;
    timer_waiting_ = true;
    timer_.expires_at(at);
    timer_.async_wait([self = this->shared_from_this(),
                       at](const error_code& ec) { self->OnTimer(ec, at); });
  }

  void OnTimer(const error_code& ec, Clock::time_point armed_for) {
    // A wait that a newer one replaced says nothing.
    if (armed_for != timer_at_) return;
    timer_waiting_ = false;
    if (ec || phase_ == Phase::kClosed) return;
    if (deadline_ == Clock::time_point()) return;  // The call sets none.
    if (Clock::now() < deadline_) {
      ArmTimer(deadline_);
      return;
    }
    timed_out_ = phase_;
    switch (phase_) {
      case Phase::kBody:
        // The body missed its deadline: the read ends and 408 goes out.
        stream_ops::CancelReads(stream_);
        break;
      default:
        // Silent clients, a write that does not drain, a linger that is
        // over: the connection ends without an answer.
        Close();
        break;
    }
  }

  void Read() {
    stream_.async_read_some(
        boost::asio::buffer(read_buf_),
        [self = this->shared_from_this()](const error_code& ec, std::size_t n) {
          self->OnRead(ec, n);
        });
  }

  void OnRead(const error_code& ec, std::size_t n) {
    if (phase_ == Phase::kClosed) return;
    if (ec || n == 0) {
      if (timed_out_ == Phase::kBody) {
        answer_ = PlainAnswer(11, 408, false, false, reader_.wants_json());
        Log(reader_.method(), reader_.target(), reader_.started_us());
        Send();
        return;
      }
      // A client that closes or falls silent before a header is complete
      // gets no answer.
      Close();
      return;
    }
    reader_.Feed(std::string_view(read_buf_.data(), n));
    Process();
  }

  void Process() {
    const HostConfig& config = host_.config();
    for (;;) {
      // One reading of the clock for the request's start and its deadlines.
      const Clock::time_point now = Clock::now();
      const RequestReader::State state =
          reader_.Advance(std::chrono::duration_cast<std::chrono::microseconds>(
                              now.time_since_epoch())
                              .count());
      // The deadlines: the header counts from the request's first byte, the
      // whole body from the end of the header.
      if (reader_.header_done()) {
        if (phase_ != Phase::kBody)
          Enter(Phase::kBody, config.body_timeout_ms, now);
      } else if (reader_.started() && phase_ == Phase::kIdle) {
        Enter(Phase::kHeader, config.header_timeout_ms, now);
      }
      switch (state) {
        case RequestReader::State::kNeedMore:
          Read();
          return;
        case RequestReader::State::kContinue:
          stream_ops::SendSmall(stream_, ContinueAnswer());
          continue;
        case RequestReader::State::kError: {
          answer_ = PlainAnswer(11, reader_.error_status(), false, false,
                                reader_.wants_json());
          Log(reader_.method(), reader_.target(), reader_.started_us());
          Send();
          return;
        }
        case RequestReader::State::kComplete:
          Dispatch(reader_.Take());
          return;
      }
    }
  }

  // `request` is the reader's, valid until the next one starts.
  void Dispatch(Request& request) {
    Enter(Phase::kCall, 0);
    if (host_.stopping()) request.keep_alive = false;
    const HostConfig& config = host_.config();
    if (admin_only_ || (config.admin && IsAdminRequest(request))) {
      answer_ = host_.AdminAnswer(request);
      Finish(request);
      return;
    }
    host_.CallStarted();
    pending_request_ = &request;
    if (CallExtension(config, peer_, request, &stream_writer_, call_buffers_,
                      answer_, &completion_)) {
      Finish(request);
    } else {
      // Pending: the connection lives until the call is done. Its end is
      // posted to this strand, so it runs only after this handler.
      pending_self_ = this->shared_from_this();
    }
    // Last: it may end this thread's part in the loop.
    host_.CallEnded();
  }

  void Finish(const Request& request) {
    // A stop that began during the call: this answer is the last.
    if (host_.stopping()) CloseAfter(answer_);
    Log(request.method, request.target, request.started_us);
    Send();
  }

  // Logs answer_ to the request of `method` and `target`.
  void Log(std::string_view method, std::string_view target,
           int64_t started_us) {
    const Answer& a = answer_;
    AccessRecord r;
    r.client = peer_.remote_addr;
    r.method = method;
    r.target = target;
    r.status = a.status;
    r.bytes = a.body_bytes;
    r.latency_us = started_us > 0 ? MonotonicUs() - started_us : 0;
    r.session = a.log_data;
    host_.LogAccess(r);
  }

  // Writes answer_.
  void Send() {
    if (phase_ == Phase::kClosed) return;
    // The write and the wait for the next request count from here.
    const Clock::time_point now = Clock::now();
    Enter(Phase::kWrite, host_.config().write_timeout_ms, now);
    if (host_.BatchAnswers()) {
      stream_ops::Defer(stream_, [self = this->shared_from_this(), now] {
        self->Write(now);
      });
      return;
    }
    Write(now);
  }

  // Writes answer_, ready since `now`.
  void Write(Clock::time_point now) {
    if (phase_ == Phase::kClosed) return;
    // Head and body leave together in one system call where the socket's
    // buffer takes them, and the connection goes on at once; only the rest
    // waits for the socket.
    std::array<boost::asio::const_buffer, 2> parts = {
        boost::asio::buffer(answer_.head), boost::asio::buffer(answer_.body)};
    const std::size_t total = parts[0].size() + parts[1].size();
    std::size_t sent = stream_ops::TryWrite(stream_, parts);
    if (sent == total) {
      AfterSend(now);
      return;
    }
    const std::size_t from_head = std::min(sent, parts[0].size());
    parts[0] += from_head;
    parts[1] += sent - from_head;
    boost::asio::async_write(
        stream_, parts,
        [self = this->shared_from_this()](const error_code& ec, std::size_t) {
          if (ec) {
            self->Close();
            return;
          }
          self->AfterSend(Clock::now());
        });
  }

  // The answer has gone at `now`.
  void AfterSend(Clock::time_point now) {
    if (phase_ == Phase::kClosed) return;
    if (!answer_.keep_alive || timed_out_ != Phase::kClosed ||
        host_.stopping()) {
      Linger();
      return;
    }
    answer_.Clear();
    Enter(Phase::kIdle, host_.config().idle_timeout_ms, now);
    if (reader_.buffered() > 0) {
      Process();  // The next request came with the last one.
    } else if (host_.BatchAnswers()) {
      stream_ops::Defer(stream_, [self = this->shared_from_this()] {
        if (self->phase_ == Phase::kIdle) self->Read();
      });
    } else {
      Read();
    }
  }

  // After the last answer: the place is given up before the client can see
  // the end of the stream (so a client that reconnects at once always finds
  // it free), and what the client still sends is read and dropped for a
  // while, so that closing with unread bytes never resets the answer in
  // flight.
  void Linger() {
    Release();
    answer_ = Answer();
    timed_out_ = Phase::kClosed;
    Enter(Phase::kLinger, host_.config().linger_ms);
    stream_ops::ShutdownSend(stream_);
    LingerRead();
  }

  void LingerRead() {
    stream_.async_read_some(
        boost::asio::buffer(read_buf_),
        [self = this->shared_from_this()](const error_code& ec, std::size_t n) {
          self->lingered_ += n;
          if (ec || n == 0 || self->lingered_ >= kMaxLingerBytes) {
            self->Close();
            return;
          }
          self->LingerRead();
        });
  }

  void Release() {
    if (released_) return;
    released_ = true;
    host_.Released(this);
  }

  void Close() {
    if (phase_ == Phase::kClosed) return;
    Release();
    phase_ = Phase::kClosed;
    timer_.cancel();
    stream_ops::Close(stream_);
    host_.Closed(this);
  }

  static constexpr std::size_t kMaxLingerBytes = 4u << 20;

  Stream stream_;
  boost::asio::basic_waitable_timer<
      std::chrono::steady_clock,
      boost::asio::wait_traits<std::chrono::steady_clock>,
      typename Stream::executor_type>
      timer_;
  SessionHost& host_;
  const PeerInfo peer_;
  const bool admin_only_;
  RequestReader reader_;
  std::array<char, 16384> read_buf_{};
  Answer answer_;  // The answer being written; kept for the next one.
  CallBuffers call_buffers_;  // Kept from one extension call to the next.
  StreamWriter stream_writer_;  // Writes to the client during a call.
  CallCompletion completion_;   // How a pending call comes back.
  // While a call runs or is pending: the connection itself, and the
  // request being answered.
  std::shared_ptr<HttpSession> pending_self_;
  const Request* pending_request_ = nullptr;
  Phase phase_ = Phase::kIdle;
  Phase timed_out_ = Phase::kClosed;  // The phase a deadline ended; kClosed:
                                      // none.
  Clock::time_point deadline_{};      // Of the phase; epoch: none.
  Clock::time_point timer_at_{};      // What the timer waits for.
  bool timer_waiting_ = false;
  bool released_ = false;
  std::size_t lingered_ = 0;  // Bytes read and dropped after the last answer.
};

}  // namespace corvane

#endif  // CORVANE_HOST_HTTP_SESSION_H_
