// The server of corvane-httpd: the listening sockets (the main port and an
// optional admin port), the threads of the event loop (LoopThreads), the
// connection registry with its caps (in all, and per client address), the
// host's /healthz and /metrics, and the orderly stop.
//
// Thread-safe where said. The server owns its connections and threads; the
// extension (in HostConfig) and the log outlive it.
#ifndef CORVANE_HOST_SERVER_H_
#define CORVANE_HOST_SERVER_H_

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/metrics.h"
#include "host/access_log.h"
#include "host/http_session.h"
#include "host/loop_threads.h"
#include "web/isapi.h"

namespace corvane {

struct ServerOptions {
  std::size_t max_connections = 256;  // More at once get 503.
  std::size_t max_per_address = 64;   // From one client address; 0: no cap.
  std::size_t io_threads = 1;         // Threads of the event loop.
  std::size_t extra_threads = 32;     // Added for calls that take long.
  int stall_ms = 50;                  // How long a call may hold every
                                      // thread before one is added.
  int admin_fd = -1;  // A listening socket for /healthz and /metrics only.
  // The extension's answers for /healthz and /metrics; may be null.
  QueryExtensionFn query = nullptr;
};

// Opens a listening TCP socket on `address` and `port` (numeric; port 0
// picks one). Returns the descriptor, and sets `shown` ("127.0.0.1" or
// "[::1]") and `bound_port`; -1 after a message on standard error.
int OpenListener(const std::string& address, const std::string& port,
                 std::string* shown, uint16_t* bound_port);

class Server : public SessionHost {
 public:
  // A connection's socket: each runs on a strand of its own, since the
  // loop may run on more than one thread.
  using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
  using Socket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, Strand>;

  // Takes over `listen_fd` (and options.admin_fd). `log` outlives the
  // server.
  Server(HostConfig config, ServerOptions options, int listen_fd,
         AccessLog& log);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts the loop's threads; returns at once.
  void Start();

  // Stops accepting and ends connections that wait for a request; the
  // requests in progress go on. Thread-safe; later calls do nothing.
  void Stop();

  // After Stop: waits until every connection has ended and no extension
  // call runs, at most until `deadline`; then cuts what is left and stops
  // the loop. Returns the number of extension calls still running (their
  // connections are cut, but the calls cannot be; the server must then not
  // be destroyed, since their threads still use it).
  std::size_t Drain(std::chrono::steady_clock::time_point deadline);

  // SessionHost, for the connections. Thread-safe.
  const HostConfig& config() const override { return config_; }
  bool stopping() const override { return stopping_.load(); }
  void LogAccess(const AccessRecord& record) override;
  Answer AdminAnswer(const Request& request) override;
  // Only with many connections open do enough requests come in one round
  // for the wake-ups saved to outweigh the wait; with a few, the answers
  // leave at once.
  bool BatchAnswers() const override { return open_.load() > kBatchAbove; }
  void CallStarted() override { threads_.CallStarted(); }
  void CallEnded() override { threads_.CallEnded(); }
  void Released(const void* connection) override;
  void Closed(const void* connection) override;

  // The host's metrics and the extension's, in the text format.
  std::string MetricsText();

 private:
  struct Entry {
    std::shared_ptr<Connection> connection;
    std::string address;
    bool counted = true;  // Counts against the caps.
  };

  void Accept(boost::asio::ip::tcp::acceptor& acceptor, bool admin);
  void OnAccept(boost::asio::ip::tcp::acceptor& acceptor, bool admin,
                const boost::system::error_code& ec, Socket socket);
  // Answers 503 at once, without waiting, and closes.
  void Refuse(Socket& socket, const std::string& address, const char* why);
  std::size_t live() const;
  // The extension's answer to `what`; false when it has no answer.
  bool Query(const char* what, std::string* text);

  const HostConfig config_;
  const ServerOptions options_;
  AccessLog& log_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::ip::tcp::acceptor admin_acceptor_;
  boost::asio::steady_timer accept_retry_;
  LoopThreads threads_;
  std::atomic<bool> stopping_{false};

  MetricsRegistry metrics_;
  MetricCounterByCode& requests_;
  MetricHistogram& latency_;
  MetricCounter& refused_;
  MetricCounter& refused_address_;

  mutable std::mutex mutex_;
  std::unordered_map<const void*, Entry> connections_;        // mutex_.
  std::unordered_map<std::string, std::size_t> per_address_;  // mutex_.
  // Connections counted against the cap; changed under mutex_.
  std::atomic<std::size_t> open_{0};
  // Answers wait for the loop's round above this many open connections.
  static constexpr std::size_t kBatchAbove = 16;
};

}  // namespace corvane

#endif  // CORVANE_HOST_SERVER_H_
