#include "host/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <vector>

#include "host/server.h"

namespace corvane {
namespace {

namespace net = boost::asio;
using boost::system::error_code;

// How long and how much the host reads from a client after its last answer,
// so that closing with unread bytes never resets the answer in flight.
constexpr int kLingerMs = 1000;
constexpr std::size_t kMaxLingerBytes = 4u << 20;

}  // namespace

Connection::Connection(net::ip::tcp::socket socket, Server& server,
                       PeerInfo peer)
    : socket_(std::move(socket)),
      server_(server),
      peer_(std::move(peer)),
      reader_(server.config().max_body) {}

void Connection::Start() {
  error_code ec;
  socket_.set_option(net::ip::tcp::no_delay(true), ec);
  socket_.non_blocking(true, ec);
  Enter(Phase::kIdle, MonotonicMs() + server_.config().idle_timeout_ms);
  Read();
}

bool Connection::Enter(Phase phase, int64_t deadline_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  phase_ = phase;
  deadline_ms_ = deadline_ms;
  return !cut_;
}

void Connection::CheckDeadline(int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || cut_ || deadline_ms_ == 0 || now_ms < deadline_ms_) return;
  cut_ = true;
  cut_phase_ = phase_;
  // A late body still gets its 408, so only the reading side is shut.
  ::shutdown(socket_.native_handle(),
             phase_ == Phase::kBody ? SHUT_RD : SHUT_RDWR);
}

void Connection::StopIfIdle() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || cut_ || phase_ != Phase::kIdle) return;
  cut_ = true;
  cut_phase_ = phase_;
  ::shutdown(socket_.native_handle(), SHUT_RDWR);
}

void Connection::Cut() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || cut_) return;
  cut_ = true;
  cut_phase_ = phase_;
  ::shutdown(socket_.native_handle(), SHUT_RDWR);
}

void Connection::Read() {
  socket_.async_read_some(
      net::buffer(read_buf_),
      [self = shared_from_this()](const error_code& ec, std::size_t n) {
        self->OnRead(ec, n);
      });
}

void Connection::OnRead(const error_code& ec, std::size_t n) {
  if (ec || n == 0) {
    bool late_body = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      late_body = cut_ && cut_phase_ == Phase::kBody;
    }
    if (late_body) {
      const Answer a = PlainAnswer(11, 408, false, false);
      server_.Log(RequestLogLine(reader_.method(), reader_.target(), a.status,
                                 a.body_bytes, MonotonicMs()));
      Send(a);
      return;
    }
    // A client that closes or falls silent before a header is complete
    // gets no answer.
    Close();
    return;
  }
  reader_.Feed(std::string_view(read_buf_, n));
  Process();
}

void Connection::Process() {
  const HostConfig& config = server_.config();
  for (;;) {
    const RequestReader::State state = reader_.Advance();
    // The deadlines: the header counts from the request's first byte, the
    // whole body from the end of the header.
    Phase phase = Phase::kIdle;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      phase = phase_;
    }
    if (reader_.header_done()) {
      if (phase != Phase::kBody)
        Enter(Phase::kBody, MonotonicMs() + config.body_timeout_ms);
    } else if (reader_.started() && phase == Phase::kIdle) {
      Enter(Phase::kHeader, MonotonicMs() + config.header_timeout_ms);
    }
    switch (state) {
      case RequestReader::State::kNeedMore:
        Read();
        return;
      case RequestReader::State::kContinue: {
        // Small enough for the socket's buffer; a failure shows at the
        // next read.
        const std::string_view c = ContinueAnswer();
        ::send(socket_.native_handle(), c.data(), c.size(),
               MSG_NOSIGNAL | MSG_DONTWAIT);
        continue;
      }
      case RequestReader::State::kError: {
        const Answer a = PlainAnswer(11, reader_.error_status(), false, false);
        server_.Log(RequestLogLine(reader_.method(), reader_.target(),
                                   a.status, a.body_bytes, MonotonicMs()));
        Send(a);
        return;
      }
      case RequestReader::State::kComplete:
        Dispatch(reader_.Take());
        return;
    }
  }
}

void Connection::Dispatch(Request request) {
  Enter(Phase::kCall, 0);
  server_.pool().Post([self = shared_from_this(),
                       request = std::move(request)]() mutable {
    if (self->server_.stopping()) request.keep_alive = false;
    const StreamWriter stream = [&self](std::string_view bytes) {
      return self->WriteNow(bytes);
    };
    Answer a =
        CallExtension(self->server_.config(), self->peer_, request, &stream);
    // A stop that began during the call: this answer is the last.
    if (self->server_.stopping()) CloseAfter(a);
    self->server_.Log(RequestLogLine(request.method, request.target, a.status,
                                     a.body_bytes, request.started_ms));
    self->Send(std::move(a));
  });
}

bool Connection::WriteNow(std::string_view bytes) {
  // On a worker thread during the call: the connection does nothing else
  // meanwhile, so the socket is this thread's alone.
  const int fd = socket_.native_handle();
  const int64_t deadline = MonotonicMs() + server_.config().write_timeout_ms;
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

void Connection::Send(Answer answer) {
  answer_ = std::move(answer);
  answer_sent_ = 0;
  if (!Enter(Phase::kWrite,
             MonotonicMs() + server_.config().write_timeout_ms) &&
      answer_.status != 408) {
    Close();
    return;
  }
  // Head and body leave together in one system call where the socket's
  // buffer takes them; only the rest waits for the socket.
  const std::size_t total = answer_.head.size() + answer_.body.size();
  while (answer_sent_ < total) {
    iovec parts[2];
    int count = 0;
    if (answer_sent_ < answer_.head.size()) {
      parts[count].iov_base = answer_.head.data() + answer_sent_;
      parts[count].iov_len = answer_.head.size() - answer_sent_;
      ++count;
    }
    const std::size_t body_done =
        answer_sent_ > answer_.head.size() ? answer_sent_ - answer_.head.size()
                                           : 0;
    if (body_done < answer_.body.size()) {
      parts[count].iov_base = answer_.body.data() + body_done;
      parts[count].iov_len = answer_.body.size() - body_done;
      ++count;
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<std::size_t>(count);
    const ssize_t n = ::sendmsg(socket_.native_handle(), &message,
                                MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      answer_sent_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      SendRest();
      return;
    }
    Close();
    return;
  }
  AfterSend();
}

void Connection::SendRest() {
  // The library's write waits for the socket and writes on.
  std::vector<net::const_buffer> rest;
  if (answer_sent_ < answer_.head.size())
    rest.emplace_back(answer_.head.data() + answer_sent_,
                      answer_.head.size() - answer_sent_);
  const std::size_t body_done = answer_sent_ > answer_.head.size()
                                    ? answer_sent_ - answer_.head.size()
                                    : 0;
  if (body_done < answer_.body.size())
    rest.emplace_back(answer_.body.data() + body_done,
                      answer_.body.size() - body_done);
  net::async_write(socket_, rest,
                   [self = shared_from_this()](const error_code& ec,
                                               std::size_t) {
                     if (ec) {
                       self->Close();
                       return;
                     }
                     self->AfterSend();
                   });
}

void Connection::AfterSend() {
  bool cut = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cut = cut_;
  }
  if (!answer_.keep_alive || cut || server_.stopping()) {
    Finish();
    return;
  }
  answer_ = Answer();
  Enter(Phase::kIdle, MonotonicMs() + server_.config().idle_timeout_ms);
  if (reader_.buffered() > 0) {
    Process();  // The next request came with the last one.
  } else {
    Read();
  }
}

void Connection::Finish() {
  // The place is given up before the client can see the end of the
  // stream, so a client that reconnects at once always finds it free.
  if (slot_held_) {
    slot_held_ = false;
    server_.ReleaseSlot();
  }
  answer_ = Answer();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = Phase::kLinger;
    deadline_ms_ = MonotonicMs() + kLingerMs;
    if (!closed_) ::shutdown(socket_.native_handle(), SHUT_WR);
  }
  Linger();
}

void Connection::Linger() {
  socket_.async_read_some(
      net::buffer(read_buf_),
      [self = shared_from_this()](const error_code& ec, std::size_t n) {
        self->lingered_ += n;
        if (ec || n == 0 || self->lingered_ >= kMaxLingerBytes) {
          self->Close();
          return;
        }
        self->Linger();
      });
}

void Connection::Close() {
  if (slot_held_) {
    slot_held_ = false;
    server_.ReleaseSlot();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    phase_ = Phase::kClosed;
    deadline_ms_ = 0;
    error_code ec;
    socket_.close(ec);
  }
  server_.Remove(this);
}

}  // namespace corvane
