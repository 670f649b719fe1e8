// A redis-server of its own for a test or benchmark: on 127.0.0.1 at a
// free port, its files in a temporary directory, killed when the object
// goes. Append-only persistence is on, so a server killed and started
// again keeps every write it acknowledged. Not thread-safe.
#ifndef CORVANE_TESTS_STORE_REDIS_SERVER_H_
#define CORVANE_TESTS_STORE_REDIS_SERVER_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace corvane {

class RedisServer {
 public:
  // `fsync`: the appendfsync setting ("always", "everysec", "no").
  explicit RedisServer(std::string fsync = "no") : fsync_(std::move(fsync)) {
    char name[] = "/tmp/corvane-redis-XXXXXX";
    if (mkdtemp(name) == nullptr) {
      problem_ = "cannot make a temporary directory";
      return;
    }
    dir_ = name;
    binary_ = FindBinary();
    if (binary_.empty()) {
      problem_ =
          "redis-server not found on PATH nor in /usr/bin: install the Debian "
          "package redis-server (scripts/deps.sh does)";
      return;
    }
    // A port found free may be taken before the server binds it; then
    // another is tried.
    for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
      port_ = FreePort();
      Start();
    }
  }
  ~RedisServer() {
    Kill();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  // True while the server runs; otherwise problem() says why not.
  bool ok() const { return pid_ > 0; }
  const std::string& problem() const { return problem_; }
  int port() const { return port_; }
  std::string url() const {
    return "redis://127.0.0.1:" + std::to_string(port_);
  }

  // Kills the server with SIGKILL and waits for it.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // Starts the server (again) on its port and directory and waits until
  // it answers PING, reading its append-only file first. False, with
  // problem(), when it does not come up within 20 s.
  bool Start() {
    if (pid_ > 0) return true;
    if (binary_.empty() || dir_.empty()) return false;  // problem() says why

    const std::string port = std::to_string(port_);
    const std::string log = dir_ + "/redis.log";
    std::vector<std::string> args = {
        binary_,        "--port",      port,
        "--bind",       "127.0.0.1",   "--dir",
        dir_,           "--save",      "",
        "--appendonly", "yes",         "--appendfsync",
        fsync_,         "--daemonize", "no",
        "--logfile",    log,           "--protected-mode",
        "yes",          "--databases", "4"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
      problem_ = "cannot fork";
      return false;
    }
    if (pid == 0) {
      // The server dies with the test program, even when that is killed.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      const int null = ::open("/dev/null", O_RDWR);
      if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
      }
      ::execv(binary_.c_str(), argv.data());
      ::_exit(127);
    }
    pid_ = pid;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        problem_ = "redis-server exited at start; see its log " + log;
        return false;
      }
      if (Pings()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill();
    problem_ = "redis-server did not answer within 20 s";
    return false;
  }

 private:
  static std::string FindBinary() {
    const char* path = std::getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/bin:/usr/sbin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
      const std::size_t end = std::min(dirs.find(':', start), dirs.size());
      const std::string candidate =
          dirs.substr(start, end - start) + "/redis-server";
      if (end > start && ::access(candidate.c_str(), X_OK) == 0)
        return candidate;
      start = end + 1;
    }
    return "";
  }

  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
  }

  // True when the server answers PING with PONG (not LOADING).
  bool Pings() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool pong = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      timeval tv{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      const char ping[] = "PING\r\n";
      char reply[64] = {};
      if (::send(fd, ping, sizeof ping - 1, MSG_NOSIGNAL) ==
              static_cast<ssize_t>(sizeof ping - 1) &&
          ::recv(fd, reply, sizeof reply - 1, 0) > 0)
        pong = std::strncmp(reply, "+PONG", 5) == 0;
    }
    ::close(fd);
    return pong;
  }

  std::string fsync_;
  std::string dir_;
  std::string binary_;
  std::string problem_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace corvane

#endif  // CORVANE_TESTS_STORE_REDIS_SERVER_H_
