// The HTTP side of corvane-httpd, kept apart from how bytes travel: a
// request reader that is fed bytes and says when a request is complete, the
// call of a web-server extension (web/isapi.h) for one complete request, and
// the answer as the bytes that leave in one write. The HTTP library stays
// inside http_host.cpp; this header names only plain types, so the event
// loop (server.h, connection.h), the fuzz target and the benchmarks share
// it.
//
// What the host adds to the extension's answer: a body over the limit gets
// 413 without reaching the extension; the whole body is read before the
// extension is called; a Transfer-Encoding whose final coding is not chunked
// gets 400; header lines with bytes that could split a header (CR, LF, NUL,
// other controls) or a malformed name are dropped; Content-Length,
// Transfer-Encoding and Connection from the extension are dropped and set by
// the host; a 204 or 304 answer leaves without a body.
#ifndef CORVANE_HOST_HTTP_HOST_H_
#define CORVANE_HOST_HTTP_HOST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/isapi.h"

namespace corvane {

// The settings of the host that requests see. Read-only while serving.
struct HostConfig {
  std::string root;  // Absolute web root, without trailing "/".
  std::string server_name = "127.0.0.1";
  uint16_t server_port = 0;
  std::size_t max_body = 64u << 10;  // Larger bodies get 413.
  int idle_timeout_ms = 5000;        // Keep-alive wait for the next request.
  int header_timeout_ms = 20000;     // A request's header must come in this.
  int body_timeout_ms = 20000;       // The whole body, after the header.
  int write_timeout_ms = 15000;      // One answer must leave in this.
  // An answer larger than this leaves while the extension still writes it
  // (chunked, or up to the end of the connection for HTTP/1.0) instead of
  // in one write after the call.
  std::size_t stream_after = 1u << 20;
  HttpExtensionProcFn extension = nullptr;
  // Receives one log line per request (without line end); may be empty.
  std::function<void(const std::string&)> log;
};

// The peer of a connection, for the server variables.
struct PeerInfo {
  std::string remote_addr = "127.0.0.1";
  uint16_t remote_port = 0;
};

// One request whose header and whole body have arrived.
struct Request {
  std::string method;
  std::string target;
  unsigned version = 11;  // 10 or 11.
  bool keep_alive = true;
  std::vector<std::pair<std::string, std::string>> fields;  // In order.
  std::string body;  // Chunked bodies already decoded.
  int64_t started_ms = 0;  // When its first byte was seen.
};

// The bytes of one answer: the head (status line and header block) and the
// body, which leave together in one write.
struct Answer {
  std::string head;
  std::string body;
  unsigned status = 0;
  std::size_t body_bytes = 0;  // For the log; a HEAD answer sends none.
  bool keep_alive = false;     // Whether the connection may go on.
};

// Reads one request after another from bytes fed to it. Keeps the bytes of
// a request after the current one (pipelining). Not thread-safe; owned by
// one connection.
class RequestReader {
 public:
  enum class State {
    kNeedMore,  // Feed more bytes.
    kContinue,  // The header asks for "100 Continue" before its body; send
                // it (ContinueAnswer), then call Advance again.
    kComplete,  // Take() gives the request.
    kError,     // error_status() gives the answer; the connection ends.
  };

  explicit RequestReader(std::size_t max_body);
  ~RequestReader();
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Adds bytes from the client.
  void Feed(std::string_view bytes);
  // Parses what has come so far.
  State Advance();
  // Whether any byte of the current request has come.
  bool started() const;
  // Whether the header of the current request is complete (its body is
  // being read).
  bool header_done() const;
  // The status for kError: 400, 413 or 501.
  unsigned error_status() const { return error_status_; }
  // Method and target of the current request, for the log ("-" when the
  // header is not complete).
  std::string method() const;
  std::string target() const;
  // The request after kComplete; the reader moves on to the next one.
  Request Take();
  // Bytes fed and not yet parsed.
  std::size_t buffered() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  unsigned error_status_ = 0;
  bool continue_sent_ = false;
};

// Turns a keep-alive answer into one that ends its connection.
void CloseAfter(Answer& answer);

// "HTTP/1.1 100 Continue" and the empty line.
std::string_view ContinueAnswer();

// Writes bytes to the client at once, waiting as long as the write timeout
// allows; false when they could not be written.
using StreamWriter = std::function<bool(std::string_view)>;

// Hands `request` to config.extension and turns what it sends into the
// answer. With `stream`, an answer that grows past config.stream_after
// leaves through it during the call, and the answer returned then carries
// nothing more to send (empty head and body). Never throws for anything
// the client or the extension does.
Answer CallExtension(const HostConfig& config, const PeerInfo& peer,
                     Request& request, const StreamWriter* stream = nullptr);

// An answer made by the host itself: a small HTML page for `code`. For a
// HEAD request the body is left out.
Answer PlainAnswer(unsigned version, unsigned code, bool keep_alive,
                   bool head);

// The log line of one answered request: method, target, status, body bytes
// and milliseconds since `started_ms`, with blanks and control bytes of
// the client's text shown as "?".
std::string RequestLogLine(std::string_view method, std::string_view target,
                           unsigned status, std::size_t bytes,
                           int64_t started_ms);

// A byte stream to one client for the synchronous driver below (fuzzing,
// benchmarks). Implementations bound every wait.
class Transport {
 public:
  virtual ~Transport() = default;
  // Reads at most `n` bytes into `buf`; the bytes read, 0 at the end of the
  // stream, -1 on an error or when no byte came in time.
  virtual long Read(char* buf, std::size_t n) = 0;
  // Writes all `n` bytes; false on an error or timeout.
  virtual bool Write(const char* buf, std::size_t n) = 0;
};

// Serves requests from `transport` one after another on the calling thread
// until the client closes, a request asks to close, an error ends the
// connection, or `stopping` becomes true between requests. The same reader
// and extension call as the server. Returns the number of requests
// answered.
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
  const std::string& output() const { return output_; }

 private:
  std::string_view input_;
  std::size_t piece_;
  std::string output_;
};

// The usual reason phrase of a status code ("Not Found"); "Unknown" for a
// code without one.
std::string_view ReasonPhrase(unsigned code);

// Milliseconds on the monotonic clock.
int64_t MonotonicMs();

// Whether `name` is a valid header name and `value` a valid header value
// (no CR, LF, NUL or other control byte except horizontal tab).
bool IsSafeHeader(std::string_view name, std::string_view value);

}  // namespace corvane

#endif  // CORVANE_HOST_HTTP_HOST_H_
