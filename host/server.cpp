#include "host/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/strand.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace corvane {
namespace {

namespace net = boost::asio;
using boost::system::error_code;

// After the drain time, how long the cut connections may take to end.
constexpr auto kCutWait = std::chrono::seconds(2);

PeerInfo Peer(const Server::Socket& socket) {
  PeerInfo peer;
  error_code ec;
  const net::ip::tcp::endpoint remote = socket.remote_endpoint(ec);
  if (!ec) {
    peer.remote_addr = remote.address().to_string(ec);
    peer.remote_port = remote.port();
  }
  return peer;
}

void AssignListener(net::ip::tcp::acceptor& acceptor, int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  acceptor.assign(
      addr.ss_family == AF_INET6 ? net::ip::tcp::v6() : net::ip::tcp::v4(), fd);
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

Server::Server(HostConfig config, ServerOptions options, int listen_fd,
               AccessLog& log)
    : config_(std::move(config)),
      options_(options),
      log_(log),
      io_(static_cast<int>(options.io_threads + options.extra_threads)),
      acceptor_(io_),
      admin_acceptor_(io_),
      accept_retry_(io_),
      threads_(io_, options.io_threads, options.extra_threads,
               options.stall_ms),
      requests_(metrics_.CounterByCode("corvane_http_requests_total",
                                       "Answered requests by status.", "status",
                                       600)),
      latency_(metrics_.Histogram(
          "corvane_http_request_seconds",
          "Time from a request's first byte to its answer.", LatencyBuckets())),
      refused_(metrics_.Counter(
          "corvane_http_refused_total",
          "Connections answered 503 at once, above --max-connections.")),
      refused_address_(
          metrics_.Counter("corvane_http_refused_address_total",
                           "Connections answered 503 at once, above "
                           "--max-conns-per-address.")) {
  metrics_.GaugeFunction("corvane_http_connections", "Open client connections.",
                         [this] {
                           std::lock_guard<std::mutex> lock(mutex_);
                           return static_cast<int64_t>(connections_.size());
                         });
  metrics_.GaugeFunction(
      "corvane_http_calls_in_progress", "Extension calls running now.",
      [this] { return static_cast<int64_t>(threads_.calls()); });
  AssignListener(acceptor_, listen_fd);
  if (options_.admin_fd >= 0)
    AssignListener(admin_acceptor_, options_.admin_fd);
}

Server::~Server() {
  threads_.Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.clear();
}

void Server::Start() {
  Accept(acceptor_, false);
  if (admin_acceptor_.is_open()) Accept(admin_acceptor_, true);
  threads_.Start();
}

void Server::Accept(net::ip::tcp::acceptor& acceptor, bool admin) {
  // Each connection runs on a strand of its own: the loop may run on more
  // than one thread.
  acceptor.async_accept(
      net::make_strand(io_),
      [this, &acceptor, admin](const error_code& ec, Socket socket) {
        OnAccept(acceptor, admin, ec, std::move(socket));
      });
}

void Server::Refuse(Socket& socket, const std::string& address,
                    const char* why) {
  // Written without waiting (it fits the socket's send buffer), then
  // closed: the loop never waits on this client.
  static constexpr char kBusy[] =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/html\r\n"
      "Content-Length: 60\r\nConnection: close\r\n\r\n"
      "<html><body><h1>503 Service Unavailable</h1></body></html>\r\n";
  ::send(socket.native_handle(), kBusy, sizeof kBusy - 1,
         MSG_NOSIGNAL | MSG_DONTWAIT);
  error_code ignored;
  socket.close(ignored);
  AccessRecord r;
  r.client = address;
  r.method = "-";
  r.target = why;
  r.status = 503;
  r.bytes = 60;
  LogAccess(r);
}

void Server::OnAccept(net::ip::tcp::acceptor& acceptor, bool admin,
                      const error_code& ec, Socket socket) {
  if (stopping_.load() || ec == net::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors or memory: try again shortly rather than spin.
    accept_retry_.expires_after(std::chrono::milliseconds(50));
    accept_retry_.async_wait([this, &acceptor, admin](const error_code& e) {
      if (!e && !stopping_.load()) Accept(acceptor, admin);
    });
    return;
  }
  const PeerInfo peer = Peer(socket);
  bool over_total = false, over_address = false;
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t& from_address = per_address_[peer.remote_addr];
    // The admin port has a cap of its own: the main port's clients cannot
    // take away the operator's view.
    over_total = !admin && open_ >= options_.max_connections;
    over_address = !admin && !over_total && options_.max_per_address > 0 &&
                   from_address >= options_.max_per_address;
    if (!over_total && !over_address) {
      connection = std::make_shared<HttpSession<Socket>>(std::move(socket),
                                                         *this, peer, admin);
      Entry& entry = connections_[connection.get()];
      entry.connection = connection;
      entry.address = peer.remote_addr;
      entry.counted = !admin;
      if (!admin) {
        ++open_;
        ++from_address;
      }
    } else if (from_address == 0) {
      per_address_.erase(peer.remote_addr);
    }
  }
  if (over_total) {
    refused_.Add();
    Refuse(socket, peer.remote_addr, "(--max-connections)");
  } else if (over_address) {
    refused_address_.Add();
    Refuse(socket, peer.remote_addr, "(--max-conns-per-address)");
  } else {
    connection->Start();
  }
  Accept(acceptor, admin);
}

void Server::Released(const void* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = connections_.find(connection);
  if (it == connections_.end() || !it->second.counted) return;
  it->second.counted = false;
  --open_;
  const auto from = per_address_.find(it->second.address);
  if (from != per_address_.end() && --from->second == 0)
    per_address_.erase(from);
}

void Server::Closed(const void* connection) {
  Released(connection);
  std::shared_ptr<Connection> keep;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = connections_.find(connection);
  if (it == connections_.end()) return;
  // Destroyed outside the lock, by the last handler that holds it.
  keep = std::move(it->second.connection);
  connections_.erase(it);
}

void Server::LogAccess(const AccessRecord& record) {
  requests_.Add(record.status);
  latency_.ObserveNs(record.latency_us * 1000);
  log_.Access(record);
}

bool Server::Query(const char* what, std::string* text) {
  if (options_.query == nullptr) return false;
  std::string buffer(4096, '\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    uint32_t size = static_cast<uint32_t>(buffer.size());
    const bool yes = options_.query(what, buffer.data(), &size) != kIsapiFalse;
    if (size <= buffer.size()) {
      *text = std::string(buffer.data(), size > 0 ? size - 1 : 0);
      return yes;
    }
    buffer.assign(size, '\0');
  }
  return false;
}

std::string Server::MetricsText() {
  std::string text = metrics_.Text();
  std::string extension;
  Query("metrics", &extension);
  return text + extension;
}

Answer Server::AdminAnswer(const Request& request) {
  const std::string_view path =
      std::string_view(request.target).substr(0, request.target.find('?'));
  if (request.method != "GET" && request.method != "HEAD")
    return PlainAnswer(request.version, 405, request.keep_alive,
                       request.method == "HEAD");
  if (path == "/healthz") {
    // Healthy when the extension is loaded and says it can serve (its
    // store is reachable); an extension that cannot be asked is loaded,
    // which is all there is to know.
    std::string why;
    const bool healthy = options_.query == nullptr || Query("health", &why);
    if (why.empty()) why = healthy ? "ok" : "unavailable";
    return HostAnswer(request, healthy ? 200 : 503, "text/plain; charset=utf-8",
                      why + "\n");
  }
  if (path == "/metrics")
    return HostAnswer(request, 200, kMetricsContentType, MetricsText());
  return PlainAnswer(request.version, 404, request.keep_alive,
                     request.method == "HEAD");
}

void Server::Stop() {
  if (stopping_.exchange(true)) return;
  net::post(io_, [this] {
    error_code ec;
    acceptor_.close(ec);
    admin_acceptor_.close(ec);
    accept_retry_.cancel();
  });
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [raw, entry] : connections_) entry.connection->StopIfIdle();
}

std::size_t Server::Drain(std::chrono::steady_clock::time_point deadline) {
  const auto wait_until = [&](std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
      if (live() == 0 && threads_.calls() == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return live() == 0 && threads_.calls() == 0;
  };
  if (!wait_until(deadline)) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& [raw, entry] : connections_) entry.connection->Cut();
    }
    wait_until(std::chrono::steady_clock::now() + kCutWait);
  }
  return threads_.Stop();
}

std::size_t Server::live() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_.size();
}

}  // namespace corvane
