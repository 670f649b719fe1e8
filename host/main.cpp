// corvane-httpd: a small HTTP server that loads a web-server extension
// (web/isapi.h) and hands it every request, one thread per connection.
//
//   corvane-httpd [--listen ADDR] [--port N] [--root DIR] [--extension PATH]
//                 [--max-connections N] [--max-body BYTES]
//                 [--sessions [--max-sessions N] [--session-idle MINUTES]
//                  [--session-dir DIR]]
//
// The first line on standard error is the address it listens on; then one
// line per request. SIGINT or SIGTERM stops accepting, lets the requests in
// flight finish (a few seconds at most), calls TerminateExtension and
// unloads the extension, which saves its state; the exit status is then 0.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/http_host.h"
#include "host/session_options.h"

namespace corvane {
namespace {

// How long one read or write may wait for the client.
constexpr int kIoTimeoutMs = 15000;
// How long shutdown waits for requests in flight, then for the rest after
// their connections were cut.
constexpr int kDrainMs = 5000;
constexpr int kCutMs = 2000;

struct Options {
  std::string listen = "127.0.0.1";
  std::string port = "8080";
  std::string root = "var/wwwroot";
  std::string extension;  // Empty: corvane-isapi.so beside the binary.
  std::size_t max_connections = 256;
  std::size_t max_body = 1u << 20;
  SessionOptions sessions;
};

const char kUsage[] =
    "usage: corvane-httpd [options]\n"
    "Serves HTTP and hands every request to a web-server extension.\n"
    "  --listen ADDR          address to listen on (default 127.0.0.1)\n"
    "  --port N               port to listen on; 0 picks a free one (default "
    "8080)\n"
    "  --root DIR             web root: the extension's files live here\n"
    "                         (default var/wwwroot)\n"
    "  --extension PATH       extension library to load (default "
    "corvane-isapi.so\n"
    "                         beside this program)\n"
    "  --max-connections N    open connections served at once; more get 503\n"
    "                         (default 256)\n"
    "  --max-body BYTES       largest request body; larger ones get 413\n"
    "                         (default 1048576)\n"
    "%s"
    "  --help                 show this text\n"
    "The first line on standard error is the address listened on. SIGINT or\n"
    "SIGTERM stops the server after the requests in flight and unloads the\n"
    "extension, which saves its state.\n";

std::mutex log_mutex;

void LogLine(const std::string& text) {
  const std::string line = text + "\n";
  std::lock_guard<std::mutex> lock(log_mutex);
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n =
        ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

bool ParseCount(const char* text, std::size_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
  *out = static_cast<std::size_t>(v);
  return true;
}

// Exits with status 2 after a usage message when the arguments are wrong.
Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf(kUsage, kSessionUsage);
      std::exit(0);
    }
    std::string session_error;
    const int taken =
        TakeSessionOption(argc, argv, &i, &o.sessions, &session_error);
    if (taken < 0) {
      std::fprintf(stderr, "corvane-httpd: %s\n", session_error.c_str());
      std::exit(2);
    }
    if (taken > 0) continue;
    if (i + 1 >= argc) {
      std::fprintf(stderr, "corvane-httpd: %s needs a value\n", arg.c_str());
      std::fprintf(stderr, kUsage, kSessionUsage);
      std::exit(2);
    }
    const char* value = argv[++i];
    std::size_t n = 0;
    if (arg == "--listen") {
      o.listen = value;
    } else if (arg == "--port") {
      if (!ParseCount(value, &n) || n > 65535) {
        std::fprintf(stderr, "corvane-httpd: bad port %s\n", value);
        std::exit(2);
      }
      o.port = value;
    } else if (arg == "--root") {
      o.root = value;
    } else if (arg == "--extension") {
      o.extension = value;
    } else if (arg == "--max-connections") {
      if (!ParseCount(value, &n) || n == 0) {
        std::fprintf(stderr, "corvane-httpd: bad connection count %s\n", value);
        std::exit(2);
      }
      o.max_connections = n;
    } else if (arg == "--max-body") {
      if (!ParseCount(value, &n) || n > 0xFFFFFFFEu) {
        std::fprintf(stderr, "corvane-httpd: bad body size %s\n", value);
        std::exit(2);
      }
      o.max_body = n;
    } else {
      std::fprintf(stderr, "corvane-httpd: unknown option %s\n", arg.c_str());
      std::fprintf(stderr, kUsage, kSessionUsage);
      std::exit(2);
    }
  }
  std::string session_error;
  if (!CheckSessionOptions(o.sessions, &session_error)) {
    std::fprintf(stderr, "corvane-httpd: %s\n", session_error.c_str());
    std::exit(2);
  }
  return o;
}

std::string BesideProgram(const char* name) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  std::string path(self, static_cast<std::size_t>(n));
  const std::size_t slash = path.find_last_of('/');
  return (slash == std::string::npos ? std::string(".")
                                     : path.substr(0, slash)) +
         "/" + name;
}

// A connected socket with every wait bounded. Reads and writes wait at most
// kIoTimeoutMs each (and a read no longer than the deadline, when set);
// the wait for a further request also ends when the server stops.
class SocketTransport : public Transport {
 public:
  // `on_finish_writes` runs once the last answer is out, just before the
  // sending side is shut and the host lingers to read what the client
  // still sends.
  SocketTransport(int fd, int wake_fd, std::function<void()> on_finish_writes)
      : fd_(fd), wake_fd_(wake_fd), on_finish_writes_(std::move(on_finish_writes)) {}

  long Read(char* buf, std::size_t n) override {
    for (;;) {
      int timeout = kIoTimeoutMs;
      if (deadline_ms_ != 0) {
        const int64_t left = deadline_ms_ - MonotonicMs();
        if (left <= 0) return -1;
        timeout = static_cast<int>(std::min<int64_t>(timeout, left));
      }
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, timeout);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return -1;
      const ssize_t k = ::recv(fd_, buf, n, 0);
      if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return k < 0 ? -1 : static_cast<long>(k);
    }
  }

  bool Write(const char* buf, std::size_t n) override {
    while (n > 0) {
      pollfd p{fd_, POLLOUT, 0};
      const int r = ::poll(&p, 1, kIoTimeoutMs);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      const ssize_t k = ::send(fd_, buf, n, MSG_NOSIGNAL);
      if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (k <= 0) return false;
      buf += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }

  bool WaitForRequest(int timeout_ms) override {
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    for (;;) {
      const int r = ::poll(p, 2, timeout_ms);
      if (r < 0 && errno == EINTR) continue;
      return r > 0 && (p[1].revents & POLLIN) == 0 &&
             (p[0].revents & POLLIN) != 0;
    }
  }

  void SetReadDeadline(int64_t deadline_ms) override {
    deadline_ms_ = deadline_ms;
  }

  // The place is given up before the client can see the end of the
  // stream, so a client that reconnects at once always finds it free.
  void FinishWrites() override {
    if (on_finish_writes_) on_finish_writes_();
    ::shutdown(fd_, SHUT_WR);
  }

 private:
  int fd_;
  int wake_fd_;
  int64_t deadline_ms_ = 0;
  std::function<void()> on_finish_writes_;
};

// One connection's thread and socket. The socket is closed by its thread
// under the registry lock, so shutdown never touches a reused descriptor.
struct Connection {
  int fd = -1;
  bool done = false;
  // Holds one of the open connections the cap allows. Released as soon as
  // the last answer is out: a client that has read its answer may connect
  // again at once, while the old socket still lingers.
  bool counted = false;
  std::thread thread;
};

class Server {
 public:
  Server(const Options& options, HostConfig config, int listen_fd,
         int wake_read)
      : options_(options),
        config_(std::move(config)),
        listen_fd_(listen_fd),
        wake_read_(wake_read) {}

  // Accepts until `stopping` is set and `wake_read_` becomes readable.
  void AcceptLoop() {
    while (!stopping_.load()) {
      pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
      const int r = ::poll(p, 2, 1000);
      Reap();
      if (r < 0 && errno != EINTR) break;
      if (r <= 0 || (p[1].revents & POLLIN) != 0) continue;
      if ((p[0].revents & POLLIN) == 0) continue;
      sockaddr_storage addr{};
      socklen_t len = sizeof addr;
      const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr),
                               &len, SOCK_CLOEXEC);
      if (fd < 0) continue;
      PeerInfo peer = Peer(addr);
      std::lock_guard<std::mutex> lock(mutex_);
      if (open_ >= options_.max_connections) {
        RefuseBusy(fd);
        continue;
      }
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto conn = std::make_unique<Connection>();
      conn->fd = fd;
      conn->counted = true;
      Connection* c = conn.get();
      ++open_;
      ++live_;
      try {
        c->thread = std::thread([this, c, peer] { Serve(c, peer); });
      } catch (const std::system_error&) {
        --open_;
        --live_;
        ::close(fd);
        continue;
      }
      connections_.push_back(std::move(conn));
    }
  }

  void Stop() { stopping_.store(true); }

  // Waits for the connections to end: first as they finish their requests,
  // then after their sockets were cut. True when none is left.
  bool Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(kDrainMs),
                           [&] { return live_ == 0; })) {
      for (auto& c : connections_)
        if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);
      if (!changed_.wait_for(lock, std::chrono::milliseconds(kCutMs),
                             [&] { return live_ == 0; })) {
        return false;
      }
    }
    lock.unlock();
    Reap();
    return true;
  }

 private:
  static PeerInfo Peer(const sockaddr_storage& addr) {
    PeerInfo peer;
    char host[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
      const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
      inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
      peer.remote_port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
      const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
      inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
      peer.remote_port = ntohs(a->sin6_port);
    }
    peer.remote_addr = host;
    return peer;
  }

  // Above the cap: 503 written without waiting (it fits the socket's send
  // buffer), then closed; the accepting thread never blocks on a client.
  static void RefuseBusy(int fd) {
    static constexpr char kBusy[] =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/html\r\n"
        "Content-Length: 60\r\nConnection: close\r\n\r\n"
        "<html><body><h1>503 Service Unavailable</h1></body></html>\r\n";
    ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
    LogLine("- - 503 60 0");
  }

  void Serve(Connection* c, const PeerInfo& peer) {
    SocketTransport transport(c->fd, wake_read_, [this, c] {
      std::lock_guard<std::mutex> lock(mutex_);
      ReleaseSlotLocked(c);
    });
    ServeConnection(transport, config_, peer, stopping_);
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(c->fd);
    c->fd = -1;
    c->done = true;
    ReleaseSlotLocked(c);
    --live_;
    changed_.notify_all();
  }

  // Requires mutex_.
  void ReleaseSlotLocked(Connection* c) {
    if (!c->counted) return;
    c->counted = false;
    --open_;
  }

  // Joins the threads of finished connections.
  void Reap() {
    std::list<std::unique_ptr<Connection>> finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done) {
          finished.splice(finished.end(), connections_, it++);
        } else {
          ++it;
        }
      }
    }
    for (auto& c : finished) c->thread.join();
  }

  const Options& options_;
  const HostConfig config_;
  const int listen_fd_;
  const int wake_read_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t open_ = 0;  // Connections counted against the cap; mutex_.
  std::size_t live_ = 0;  // Connection threads not yet finished; mutex_.
  std::list<std::unique_ptr<Connection>> connections_;  // Guarded by mutex_.
};

int OpenListener(const Options& o, std::string* shown, uint16_t* port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* res = nullptr;
  if (getaddrinfo(o.listen.c_str(), o.port.c_str(), &hints, &res) != 0 ||
      res == nullptr) {
    std::fprintf(stderr, "corvane-httpd: bad listen address %s\n",
                 o.listen.c_str());
    return -1;
  }
  const int fd = ::socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC, 0);
  const int one = 1;
  if (fd < 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd, res->ai_addr, res->ai_addrlen) != 0 ||
      ::listen(fd, 512) != 0) {
    std::fprintf(stderr, "corvane-httpd: cannot listen on %s port %s: %s\n",
                 o.listen.c_str(), o.port.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    freeaddrinfo(res);
    return -1;
  }
  const bool v6 = res->ai_family == AF_INET6;
  freeaddrinfo(res);
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                   : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  *shown = v6 ? "[" + o.listen + "]" : o.listen;
  return fd;
}

int Run(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  char real_root[PATH_MAX];
  struct stat st {};
  if (realpath(options.root.c_str(), real_root) == nullptr ||
      stat(real_root, &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "corvane-httpd: the web root %s is not a directory\n",
                 options.root.c_str());
    return 2;
  }
  const std::string extension = options.extension.empty()
                                    ? BesideProgram("corvane-isapi.so")
                                    : options.extension;

  // SIGINT and SIGTERM are taken by one thread through sigwait; every other
  // thread, started later, inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  void* library = ::dlopen(extension.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "corvane-httpd: cannot load %s: %s\n",
                 extension.c_str(), dlerror());
    return 1;
  }
  auto get_version = reinterpret_cast<GetExtensionVersionFn>(
      ::dlsym(library, kGetExtensionVersionName));
  auto proc = reinterpret_cast<HttpExtensionProcFn>(
      ::dlsym(library, kHttpExtensionProcName));
  auto terminate = reinterpret_cast<TerminateExtensionFn>(
      ::dlsym(library, kTerminateExtensionName));
  HSE_VERSION_INFO version{};
  if (get_version == nullptr || proc == nullptr || !get_version(&version)) {
    std::fprintf(stderr, "corvane-httpd: %s is not a usable extension\n",
                 extension.c_str());
    ::dlclose(library);
    return 1;
  }
  std::string session_error;
  if (!ApplySessionOptions(library, options.sessions, &session_error)) {
    std::fprintf(stderr, "corvane-httpd: %s\n", session_error.c_str());
    ::dlclose(library);
    return 1;
  }

  std::string shown;
  uint16_t port = 0;
  const int listen_fd = OpenListener(options, &shown, &port);
  if (listen_fd < 0) {
    ::dlclose(library);
    return 1;
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) return 1;

  LogLine("corvane-httpd listening on http://" + shown + ":" +
          std::to_string(port) + "/");

  HostConfig config;
  config.root = real_root;
  config.server_name = options.listen;
  config.server_port = port;
  config.max_body = options.max_body;
  config.extension = proc;
  config.log = LogLine;
  Server server(options, config, listen_fd, wake[0]);

  std::thread signal_thread([&] {
    int sig = 0;
    sigwait(&signals, &sig);
    LogLine(std::string("corvane-httpd: ") +
            (sig == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
    server.Stop();
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake[1], &byte, 1);
  });

  server.AcceptLoop();
  ::close(listen_fd);
  signal_thread.join();
  if (!server.Drain()) {
    // A request still runs inside the extension; unloading it now would
    // pull its code away under that thread.
    LogLine("corvane-httpd: requests still running; exiting without unloading");
    std::fflush(nullptr);
    ::_exit(1);
  }
  if (terminate != nullptr) terminate(HSE_TERM_MUST_UNLOAD);
  ::dlclose(library);
  LogLine("corvane-httpd: stopped");
  return 0;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  return corvane::Run(argc, argv);
}
