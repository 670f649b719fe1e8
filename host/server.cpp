#include "host/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/connection.h"

namespace corvane {
namespace {

namespace net = boost::asio;
using boost::system::error_code;

// How often the sweeper looks at the deadlines and the worker pool.
constexpr auto kSweepPeriod = std::chrono::milliseconds(50);
// How long a call may wait for a worker before the pool adds one.
constexpr int kStallMs = 50;
// After the drain time, how long the cut connections may take to end.
constexpr auto kCutWait = std::chrono::seconds(2);

PeerInfo Peer(const net::ip::tcp::socket& socket) {
  PeerInfo peer;
  error_code ec;
  const net::ip::tcp::endpoint remote = socket.remote_endpoint(ec);
  if (!ec) {
    peer.remote_addr = remote.address().to_string(ec);
    peer.remote_port = remote.port();
  }
  return peer;
}

}  // namespace

int OpenListener(const std::string& address, const std::string& port,
                 std::string* shown, uint16_t* bound_port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* res = nullptr;
  if (getaddrinfo(address.c_str(), port.c_str(), &hints, &res) != 0 ||
      res == nullptr) {
    std::fprintf(stderr, "corvane-httpd: bad listen address %s\n",
                 address.c_str());
    return -1;
  }
  const int fd = ::socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC, 0);
  const int one = 1;
  if (fd < 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd, res->ai_addr, res->ai_addrlen) != 0 ||
      ::listen(fd, 512) != 0) {
    std::fprintf(stderr, "corvane-httpd: cannot listen on %s port %s: %s\n",
                 address.c_str(), port.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    freeaddrinfo(res);
    return -1;
  }
  const bool v6 = res->ai_family == AF_INET6;
  freeaddrinfo(res);
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *bound_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  *shown = v6 ? "[" + address + "]" : address;
  return fd;
}

Server::Server(HostConfig config, ServerOptions options, int listen_fd)
    : config_(std::move(config)),
      options_(options),
      io_(static_cast<int>(options.io_threads)),
      acceptor_(io_),
      sweeper_(io_),
      accept_retry_(io_),
      pool_(options.workers, options.active_workers, kStallMs) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
  acceptor_.assign(addr.ss_family == AF_INET6 ? net::ip::tcp::v6()
                                              : net::ip::tcp::v4(),
                   listen_fd);
}

Server::~Server() {
  io_.stop();
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
}

void Server::Start() {
  Accept();
  Sweep();
  const std::size_t n = options_.io_threads == 0 ? 1 : options_.io_threads;
  for (std::size_t i = 0; i < n; ++i) threads_.emplace_back([this] {
    io_.run();
  });
}

void Server::Accept() {
  acceptor_.async_accept([this](const error_code& ec,
                                net::ip::tcp::socket socket) {
    OnAccept(ec, std::move(socket));
  });
}

void Server::OnAccept(const error_code& ec, net::ip::tcp::socket socket) {
  if (stopping_.load() || ec == net::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors or memory: try again shortly rather than spin.
    accept_retry_.expires_after(std::chrono::milliseconds(50));
    accept_retry_.async_wait([this](const error_code& e) {
      if (!e && !stopping_.load()) Accept();
    });
    return;
  }
  if (open_.load() >= options_.max_connections) {
    // Above the cap: 503 written without waiting (it fits the socket's
    // send buffer), then closed; the loop never waits on this client.
    static constexpr char kBusy[] =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/html\r\n"
        "Content-Length: 60\r\nConnection: close\r\n\r\n"
        "<html><body><h1>503 Service Unavailable</h1></body></html>\r\n";
    ::send(socket.native_handle(), kBusy, sizeof kBusy - 1,
           MSG_NOSIGNAL | MSG_DONTWAIT);
    error_code ignored;
    socket.close(ignored);
    Log("- - 503 60 0");
  } else {
    ++open_;
    const PeerInfo peer = Peer(socket);
    auto connection =
        std::make_shared<Connection>(std::move(socket), *this, peer);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.emplace(connection.get(), connection);
    }
    connection->Start();
  }
  Accept();
}

void Server::Sweep() {
  const int64_t now = MonotonicMs();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [raw, connection] : connections_) connection->CheckDeadline(now);
  }
  pool_.Rescue(now);
  sweeper_.expires_after(kSweepPeriod);
  sweeper_.async_wait([this](const error_code& ec) {
    if (!ec) Sweep();
  });
}

void Server::Stop() {
  if (stopping_.exchange(true)) return;
  net::post(io_, [this] {
    error_code ec;
    acceptor_.close(ec);
    accept_retry_.cancel();
  });
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [raw, connection] : connections_) connection->StopIfIdle();
}

std::size_t Server::Drain(std::chrono::steady_clock::time_point deadline) {
  const auto wait_until = [&](std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
      if (live() == 0 && pool_.pending() == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return live() == 0 && pool_.pending() == 0;
  };
  if (!wait_until(deadline)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& [raw, connection] : connections_) connection->Cut();
    }
    wait_until(std::chrono::steady_clock::now() + kCutWait);
  }
  const std::size_t running = pool_.pending();
  io_.stop();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  return running;
}

std::size_t Server::live() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_.size();
}

void Server::ReleaseSlot() {
  --open_;
}

void Server::Remove(Connection* connection) {
  std::shared_ptr<Connection> keep;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = connections_.find(connection);
  if (it == connections_.end()) return;
  // Destroyed outside the lock, by the last handler that holds it.
  keep = std::move(it->second);
  connections_.erase(it);
}

void Server::Log(const std::string& line) const {
  if (config_.log) config_.log(line);
}

}  // namespace corvane
