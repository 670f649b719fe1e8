// The HTTP side of corvane-httpd, kept apart from how bytes travel: a
// request reader that is fed bytes and says when a request is complete, the
// call of a web-server extension (web/isapi.h) for one complete request, and
// the answer as the bytes that leave in one write. The HTTP parser stays
// inside http_host.cpp; this header names only plain types. The connection
// state machine that drives them (http_session.h) is the one the server,
// the fuzz target and the benchmarks run.
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
  int linger_ms = 1000;              // Reading on after the last answer.
  // An answer larger than this leaves while the extension still writes it
  // (chunked, or up to the end of the connection for HTTP/1.0) instead of
  // in one write after the call.
  std::size_t stream_after = 1u << 20;
  HttpExtensionProcFn extension = nullptr;
  // Whether GET /healthz and GET /metrics on the main port are the host's
  // (answered by the session's host) instead of the extension's.
  bool admin = false;
  // Receives the host's own messages about a request (a dropped header, a
  // replaced status), without line end; may be empty.
  std::function<void(const std::string&)> log;
};

// The peer of a connection, for the server variables.
struct PeerInfo {
  std::string remote_addr = "127.0.0.1";
  uint16_t remote_port = 0;
};

// One request whose header and whole body have arrived. A reader's request
// (RequestReader::Take) stays its own: it is valid until the reader starts
// the next one, which reuses the memory of its texts.
struct Request {
  std::string method;
  std::string target;
  unsigned version = 11;  // 10 or 11.
  bool keep_alive = true;
  std::vector<std::pair<std::string, std::string>> fields;  // In order.
  std::string body;         // Chunked bodies already decoded.
  int64_t started_us = 0;   // When its reading began (MonotonicUs).
  bool wants_json = false;  // RequestReader::wants_json.
};

// The bytes of one answer: the head (status line and header block) and the
// body, which leave together in one write. A connection keeps its answer
// between requests (Clear), so the memory of its texts is used again.
struct Answer {
  std::string head;
  std::string body;
  unsigned status = 0;
  std::size_t body_bytes = 0;  // For the log; a HEAD answer sends none.
  bool keep_alive = false;     // Whether the connection may go on.
  std::string log_data;        // What the extension gave for the log line
                               // (its conversation).

  // Empties the answer; texts that are not too large keep their memory.
  void Clear();
};

// What one connection's extension calls write besides the answer: the
// texts of the control block, the extension's header block and the server
// variable asked for last. Kept by the connection, so that a call
// allocates none of it once one like it has run.
struct CallState;

struct CallBuffers {
  // The control block and what its callbacks use, made by the first call:
  // a pending call keeps them past CallExtension.
  std::shared_ptr<CallState> state;
  std::string path;        // The decoded path (PATH_INFO).
  std::string query;       // QUERY_STRING.
  std::string translated;  // PATH_TRANSLATED.
  std::string headers;     // The extension's header block.
  std::string variable;    // The value of a server variable.
};

// One line of the access log.
struct AccessRecord {
  std::string_view client;  // Address of the peer; "-" when unknown.
  std::string_view method;  // "-" when the header did not come.
  std::string_view target;
  unsigned status = 0;
  std::size_t bytes = 0;
  int64_t latency_us = 0;
  std::string_view session;  // Empty: none.
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
  // Parses what has come so far; a request that begins now was started at
  // `now_us` (MonotonicUs).
  State Advance(int64_t now_us);
  // Whether any byte of the current request has come.
  bool started() const;
  // Whether the header of the current request is complete (its body is
  // being read).
  bool header_done() const;
  // The status for kError: 400, 413 or 501.
  unsigned error_status() const { return error_status_; }
  // Whether the current request's header, as far as it came, asks for JSON
  // (its Content-Type or Accept names application/json), so the host's own
  // answers to it are JSON.
  bool wants_json() const;
  // When the current request was started (MonotonicUs).
  int64_t started_us() const;
  // Method and target of the current request, for the log ("-" when the
  // header is not complete); valid until the reader moves on.
  std::string_view method() const;
  std::string_view target() const;
  // The request after kComplete, valid until the next Advance starts the
  // next one.
  Request& Take();
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

// How a call that the extension finishes later (it returned
// HSE_STATUS_PENDING) reaches its connection again.
struct CallCompletion {
  // Runs the function on the connection's executor after what runs there
  // now; from any thread.
  std::function<void(std::function<void()>)> post;
  // Runs on that executor once the extension is done: the answer given to
  // CallExtension is then complete.
  std::function<void()> done;
};

// Hands `request` to config.extension and turns what it sends into
// `answer`, which is cleared first (its memory used again; so is that of
// `buffers`). With `stream`, an answer that grows past config.stream_after
// leaves through it during the call, and the answer then carries nothing
// more to send (empty head and body). Returns true when the answer is
// complete. With `completion` the extension may finish the request later:
// then false, and `completion->done` comes when `answer` is complete;
// until then `request`, `stream`, `buffers` and `answer` must stay as they
// are. Without it a pending answer is a failure (500). Never throws for
// anything the client or the extension does.
bool CallExtension(const HostConfig& config, const PeerInfo& peer,
                   Request& request, const StreamWriter* stream,
                   CallBuffers& buffers, Answer& answer,
                   const CallCompletion* completion = nullptr);

// An answer made by the host itself: a small HTML page for `code`, or with
// `json` the object {"error": reason phrase}. For a HEAD request the body is
// left out.
Answer PlainAnswer(unsigned version, unsigned code, bool keep_alive, bool head,
                   bool json = false);

// An answer with `content_type` and `body` made by the host (its /healthz
// and /metrics).
Answer HostAnswer(const Request& request, unsigned code,
                  std::string_view content_type, std::string body);

// Whether the request is one of the host's own: GET or HEAD of /healthz or
// /metrics (a query string allowed).
bool IsAdminRequest(const Request& request);

// The usual reason phrase of a status code ("Not Found"); "Unknown" for a
// code without one.
std::string_view ReasonPhrase(unsigned code);

// Milliseconds and microseconds on the monotonic clock.
int64_t MonotonicMs();
int64_t MonotonicUs();

// Whether `name` is a valid header name and `value` a valid header value
// (no CR, LF, NUL or other control byte except horizontal tab).
bool IsSafeHeader(std::string_view name, std::string_view value);

}  // namespace corvane

#endif  // CORVANE_HOST_HTTP_HOST_H_
