// The HTTP side of corvane-httpd: serves the requests of one connection by
// handing each to a web-server extension (web/isapi.h) through a control
// block, and turns what the extension sends back into the HTTP response.
// The HTTP library stays inside http_host.cpp; this header names only plain
// types, so the program, the fuzz target and the benchmarks share it.
//
// What the host adds to the extension's answer: a body over the limit gets
// 413 without reaching the extension; header lines with bytes that could
// split a header (CR, LF, NUL, other controls) or a malformed name are
// dropped; Content-Length, Transfer-Encoding and Connection from the
// extension are dropped and set by the host; timeouts bound every read and
// write. Thread-safe: each connection is served on its own thread and
// shares only the read-only HostConfig.
#ifndef CORVANE_HOST_HTTP_HOST_H_
#define CORVANE_HOST_HTTP_HOST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "web/isapi.h"

namespace corvane {

// A byte stream to one client. Implementations bound every wait.
class Transport {
 public:
  virtual ~Transport() = default;
  // Reads at most `n` bytes into `buf`; the bytes read, 0 at the end of the
  // stream, -1 on an error or when no byte came in time.
  virtual long Read(char* buf, std::size_t n) = 0;
  // Writes all `n` bytes; false on an error or timeout.
  virtual bool Write(const char* buf, std::size_t n) = 0;
  // Waits for the next request: true when bytes are ready to read, false on
  // the idle timeout, shutdown or an error.
  virtual bool WaitForRequest(int timeout_ms) = 0;
  // Limits the reads from now on to end by `deadline_ms` on the monotonic
  // clock (milliseconds); 0 lifts the limit.
  virtual void SetReadDeadline(int64_t deadline_ms) { (void)deadline_ms; }
  // Ends the writing direction: the client sees the end of the stream.
  virtual void FinishWrites() {}
};

// The settings of the host that requests see.
struct HostConfig {
  std::string root;  // Absolute web root, without trailing "/".
  std::string server_name = "127.0.0.1";
  uint16_t server_port = 0;
  std::size_t max_body = 1u << 20;  // Larger bodies get 413.
  int idle_timeout_ms = 5000;       // Keep-alive wait for the next request.
  int header_timeout_ms = 20000;    // A request's header must come in this.
  HttpExtensionProcFn extension = nullptr;
  // Receives one log line per request (without line end); may be empty.
  std::function<void(const std::string&)> log;
};

// The peer of a connection, for the server variables.
struct PeerInfo {
  std::string remote_addr = "127.0.0.1";
  uint16_t remote_port = 0;
};

// Serves requests from `transport` until the client closes, a request asks
// to close, a timeout or error ends the connection, or `stopping` becomes
// true between requests. Returns the number of requests answered.
std::size_t ServeConnection(Transport& transport, const HostConfig& config,
                            const PeerInfo& peer,
                            const std::atomic<bool>& stopping);

// A transport over bytes in memory (fuzzing, benchmarks): reads `input` in
// pieces of at most `piece` bytes, collects what is written.
class MemoryTransport : public Transport {
 public:
  explicit MemoryTransport(std::string_view input, std::size_t piece = 1u << 16)
      : input_(input), piece_(piece == 0 ? 1 : piece) {}
  long Read(char* buf, std::size_t n) override;
  bool Write(const char* buf, std::size_t n) override;
  bool WaitForRequest(int) override { return !input_.empty(); }
  const std::string& output() const { return output_; }

 private:
  std::string_view input_;
  std::size_t piece_;
  std::string output_;
};

// Milliseconds on the monotonic clock.
int64_t MonotonicMs();

// Whether `name` is a valid header name and `value` a valid header value
// (no CR, LF, NUL or other control byte except horizontal tab).
bool IsSafeHeader(std::string_view name, std::string_view value);

}  // namespace corvane

#endif  // CORVANE_HOST_HTTP_HOST_H_
