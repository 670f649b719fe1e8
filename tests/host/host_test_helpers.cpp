#include "tests/host/host_test_helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace corvane {
namespace {

// Starts the program args[0] with `args`, its standard error into
// `log_fd`, which is closed here. Returns the child's pid.
// The child only calls what is safe after a fork in a program with
// threads: its arguments are made before, since an allocation in the child
// can wait for ever on a lock that another thread held at the fork.
pid_t Spawn(std::vector<std::string> args, int log_fd) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(log_fd, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(log_fd);
  return pid;
}

}  // namespace

HttpdProcess::HttpdProcess(const std::string& root,
                           const std::string& extension,
                           const std::vector<std::string>& extra_args) {
  log_path_ = root + "/httpd-test.log";
  std::vector<std::string> args = {CORVANE_BINARY_DIR "/corvane-httpd",
                                   "--port", "0", "--root", root};
  if (!extension.empty()) {
    args.push_back("--extension");
    args.push_back(extension);
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  const int log_fd =
      ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log_fd < 0) throw std::runtime_error("cannot create the log file");
  pid_ = Spawn(args, log_fd);
  // The first line names the address: ".../http://127.0.0.1:PORT/".
  for (int i = 0; i < 1000 && port_ == 0; ++i) {
    const std::string log = Log();
    const std::size_t colon = log.find("127.0.0.1:");
    if (colon != std::string::npos && log.find('\n') != std::string::npos) {
      port_ = std::atoi(log.c_str() + colon + 10);
      break;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("corvane-httpd ended at start: " + log);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (port_ == 0)
    throw std::runtime_error("corvane-httpd named no port: " + Log());
}

HttpdProcess::~HttpdProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  std::remove(log_path_.c_str());
}

int HttpdProcess::Stop(int signal, int timeout_ms) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

std::string HttpdProcess::Log() const {
  std::ifstream in(log_path_, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Finished RunHttpd(const std::vector<std::string>& args, int timeout_ms) {
  char path[] = "/tmp/corvane-httpd-run-XXXXXX";
  const int log_fd = ::mkstemp(path);
  if (log_fd < 0) throw std::runtime_error("cannot create the log file");
  std::vector<std::string> all = {CORVANE_BINARY_DIR "/corvane-httpd"};
  all.insert(all.end(), args.begin(), args.end());
  const pid_t pid = Spawn(all, log_fd);
  Finished done;
  int status = 0;
  bool ended = false;
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      ended = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    done.status = WEXITSTATUS(status);
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  done.log = s.str();
  std::remove(path);
  return done;
}

Client::Client(int port, const char* source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (source != nullptr) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
      throw std::runtime_error("cannot bind the client");
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{20, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("cannot connect");
}

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

bool Client::Send(const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Client::ReadAll() {
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

bool Client::Readable(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) > 0;
}

std::string Fetch(int port, const std::string& method, const std::string& path,
                  const std::string& body, const std::string& extra_headers) {
  Client c(port);
  std::string req = method + " " + path +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!body.empty() || method == "POST") {
    // A form unless the caller names the type.
    if (extra_headers.find("Content-Type:") == std::string::npos)
      req += "Content-Type: application/x-www-form-urlencoded\r\n";
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  req += extra_headers + "\r\n" + body;
  c.Send(req);
  return c.ReadAll();
}

std::string StatusLine(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

std::string Body(const std::string& response) {
  const std::size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : response.substr(end + 4);
}

}  // namespace corvane
