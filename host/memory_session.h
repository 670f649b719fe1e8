// The host's connection (http_session.h) on a stream in memory, for the
// fuzz target, the benchmarks and tests: the same state machine as on a
// TCP socket, driven by one thread until the client's bytes are used up.
// Header-only, and not part of corvane-httpd.
#ifndef CORVANE_HOST_MEMORY_SESSION_H_
#define CORVANE_HOST_MEMORY_SESSION_H_

#include <boost/asio/io_context.hpp>
#include <boost/beast/_experimental/test/stream.hpp>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "host/http_session.h"

namespace corvane {

// A host for one connection on the calling thread: it counts the requests
// answered and may collect their log lines.
class MemoryHost : public SessionHost {
 public:
  explicit MemoryHost(HostConfig config) : config_(std::move(config)) {}
  const HostConfig& config() const override { return config_; }
  bool stopping() const override { return false; }
  void LogAccess(const AccessRecord& record) override {
    ++answered_;
    statuses_ += std::to_string(record.status) + " ";
  }
  Answer AdminAnswer(const Request& request) override {
    return HostAnswer(request, 200, "text/plain", "ok\n");
  }
  std::size_t answered() const { return answered_; }
  // The status of every answer so far, each followed by a blank.
  const std::string& statuses() const { return statuses_; }

 private:
  HostConfig config_;
  std::size_t answered_ = 0;
  std::string statuses_;
};

// Serves `input` as one client's bytes, read in pieces of at most `piece`
// bytes, through a connection of `host`, until the connection ends; the
// client has closed its side after the last byte. Returns what the host
// wrote.
inline std::string ServeInMemory(MemoryHost& host, std::string_view input,
                                 std::size_t piece) {
  namespace test = boost::beast::test;
  boost::asio::io_context io(1);
  test::stream server_side(io);
  test::stream client_side(io);
  server_side.connect(client_side);
  server_side.read_size(piece == 0 ? 1 : piece);
  server_side.append(input);
  // The client sends nothing more: after the input the host reads the end,
  // and may still write.
  server_side.close_remote();
  auto session = std::make_shared<HttpSession<test::stream>>(
      std::move(server_side), host, PeerInfo{});
  session->Start();
  io.run();
  return std::string(client_side.str());
}

}  // namespace corvane

#endif  // CORVANE_HOST_MEMORY_SESSION_H_
