// Runs corvane-httpd for end-to-end tests: on a free loopback port, with a
// temporary web root, its standard error in a file; and a minimal HTTP
// client over plain sockets.
#ifndef CORVANE_TESTS_HOST_HOST_TEST_HELPERS_H_
#define CORVANE_TESTS_HOST_HOST_TEST_HELPERS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace corvane {

class HttpdProcess {
 public:
  // Starts the host on port 0 with `root` and `extension` (empty: the real
  // one) and waits for the line that names its port.
  HttpdProcess(const std::string& root, const std::string& extension,
               const std::vector<std::string>& extra_args = {});
  // Kills the process if it still runs.
  ~HttpdProcess();
  HttpdProcess(const HttpdProcess&) = delete;
  HttpdProcess& operator=(const HttpdProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Sends `signal` and waits at most `timeout_ms` for the exit; the exit
  // status, or -1 when it did not exit (or died of a signal).
  int Stop(int signal, int timeout_ms);
  // Everything the process wrote to standard error so far.
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_path_;
};

// Runs corvane-httpd with `args` until it ends, at most `timeout_ms`.
struct Finished {
  int status = -1;  // The exit status; -1 when it did not end in time (it is
                    // killed then) or died of a signal.
  std::string log;  // Standard error.
};
Finished RunHttpd(const std::vector<std::string>& args, int timeout_ms);

// A client connection to 127.0.0.1:port with a 20 s receive timeout, from
// `source` (a loopback address such as 127.0.0.2) when given.
class Client {
 public:
  explicit Client(int port, const char* source = nullptr);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  bool Send(const std::string& data);
  // Reads until the server closes the connection (or the timeout).
  std::string ReadAll();
  // Whether bytes or the end arrive within `timeout_ms`.
  bool Readable(int timeout_ms);
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// One request on a fresh connection with "Connection: close"; the whole
// response. A body goes as a form unless `extra_headers` names a
// Content-Type.
std::string Fetch(int port, const std::string& method, const std::string& path,
                  const std::string& body = "",
                  const std::string& extra_headers = "");

// The status line of a response (without CR LF).
std::string StatusLine(const std::string& response);
// The body of a response (after the empty line).
std::string Body(const std::string& response);

}  // namespace corvane

#endif  // CORVANE_TESTS_HOST_HOST_TEST_HELPERS_H_
