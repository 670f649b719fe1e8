// The server of corvane-httpd: the listening socket, the I/O threads of
// the event loop, the connection registry with its cap, the sweeper that
// enforces deadlines, the worker pool for extension calls, and the orderly
// stop.
//
// Thread-safe where said. The server owns its connections, threads and the
// pool; the extension (in HostConfig) outlives it.
#ifndef CORVANE_HOST_SERVER_H_
#define CORVANE_HOST_SERVER_H_

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/http_host.h"
#include "host/worker_pool.h"

namespace corvane {

class Connection;

struct ServerOptions {
  std::size_t max_connections = 256;  // More at once get 503.
  std::size_t io_threads = 1;         // Threads of the event loop.
  std::size_t workers = 32;           // Extension calls at once, at most.
  std::size_t active_workers = 1;     // Calls running at once before the
                                      // pool wakes more (WorkerPool).
};

// Opens a listening TCP socket on `address` and `port` (numeric; port 0
// picks one). Returns the descriptor, and sets `shown` ("127.0.0.1" or
// "[::1]") and `bound_port`; -1 after a message on standard error.
int OpenListener(const std::string& address, const std::string& port,
                 std::string* shown, uint16_t* bound_port);

class Server {
 public:
  // Takes over `listen_fd`.
  Server(HostConfig config, ServerOptions options, int listen_fd);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts the I/O threads; returns at once.
  void Start();

  // Stops accepting and ends connections that wait for a request; the
  // requests in progress go on. Thread-safe; later calls do nothing.
  void Stop();

  // After Stop: waits until every connection has ended and no extension
  // call runs, at most until `deadline`; then cuts what is left and stops
  // the I/O threads. Returns the number of extension calls still running
  // (their connections are cut, but the calls cannot be).
  std::size_t Drain(std::chrono::steady_clock::time_point deadline);

  // For connections.
  const HostConfig& config() const { return config_; }
  bool stopping() const { return stopping_.load(); }
  WorkerPool& pool() { return pool_; }
  void ReleaseSlot();
  void Remove(Connection* connection);
  void Log(const std::string& line) const;

 private:
  void Accept();
  void OnAccept(const boost::system::error_code& ec,
                boost::asio::ip::tcp::socket socket);
  void Sweep();
  std::size_t live() const;

  const HostConfig config_;
  const ServerOptions options_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer sweeper_;
  boost::asio::steady_timer accept_retry_;
  WorkerPool pool_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> open_{0};  // Connections counted against the cap.

  mutable std::mutex mutex_;
  std::unordered_map<Connection*, std::shared_ptr<Connection>>
      connections_;  // Guarded by mutex_.
};

}  // namespace corvane

#endif  // CORVANE_HOST_SERVER_H_
