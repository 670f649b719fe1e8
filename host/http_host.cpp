#include "host/http_host.h"

#include "base/ascii.h"

#include <algorithm>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <vector>

namespace corvane {
namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using boost::system::error_code;

// A request header larger than this gets 400.
constexpr std::size_t kMaxHeaderBytes = 64u << 10;
// How long and how much the host reads from a client after its last answer.
constexpr int kLingerMs = 1000;
constexpr std::size_t kMaxLingerBytes = 4u << 20;
// The most an extension may write for one response.
constexpr std::size_t kMaxResponseBytes = 256u << 20;

// Adapts a Transport to the synchronous stream interface of the HTTP library.
class StreamAdapter {
 public:
  explicit StreamAdapter(Transport& transport) : transport_(transport) {}

  template <class MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, error_code& ec) {
    ec = {};
    for (auto it = net::buffer_sequence_begin(buffers);
         it != net::buffer_sequence_end(buffers); ++it) {
      net::mutable_buffer b = *it;
      if (b.size() == 0) continue;
      const long n = transport_.Read(static_cast<char*>(b.data()), b.size());
      if (n < 0) {
        ec = net::error::timed_out;
        return 0;
      }
      if (n == 0) {
        ec = net::error::eof;
        return 0;
      }
      return static_cast<std::size_t>(n);
    }
    return 0;
  }
  template <class MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers) {
    error_code ec;
    const std::size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

  template <class ConstBufferSequence>
  std::size_t write_some(const ConstBufferSequence& buffers, error_code& ec) {
    ec = {};
    std::size_t total = 0;
    for (auto it = net::buffer_sequence_begin(buffers);
         it != net::buffer_sequence_end(buffers); ++it) {
      net::const_buffer b = *it;
      if (b.size() == 0) continue;
      if (!transport_.Write(static_cast<const char*>(b.data()), b.size())) {
        ec = net::error::broken_pipe;
        return total;
      }
      total += b.size();
    }
    return total;
  }
  template <class ConstBufferSequence>
  std::size_t write_some(const ConstBufferSequence& buffers) {
    error_code ec;
    const std::size_t n = write_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

 private:
  Transport& transport_;
};

bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0;
}

// Everything the callbacks of one extension call need. The control block's
// ConnID points here.
struct CallContext {
  Transport* transport = nullptr;
  std::map<std::string, std::string> variables;  // Upper-case names.
  uint64_t body_remaining = 0;  // Body bytes not yet read from the client.
  bool read_failed = false;
  bool header_sent = false;
  std::string status;   // As the extension sent it.
  std::string headers;  // As the extension sent it.
  std::string body;     // Everything written.
  bool body_overflow = false;
};

CallContext* Context(HCONN conn) {
  return static_cast<CallContext*>(conn);
}

IsapiBool GetServerVariableCb(HCONN conn, char* name, void* buffer,
                              uint32_t* size) {
  if (conn == nullptr || name == nullptr || size == nullptr) return kIsapiFalse;
  std::string key(name);
  for (char& c : key) c = FoldAscii(c);
  const auto it = Context(conn)->variables.find(key);
  if (it == Context(conn)->variables.end()) return kIsapiFalse;
  const std::string& value = it->second;
  if (buffer == nullptr || *size <= value.size()) {
    *size = static_cast<uint32_t>(value.size() + 1);
    return kIsapiFalse;
  }
  std::memcpy(buffer, value.data(), value.size());
  static_cast<char*>(buffer)[value.size()] = '\0';
  *size = static_cast<uint32_t>(value.size() + 1);
  return kIsapiTrue;
}

IsapiBool WriteClientCb(HCONN conn, void* buffer, uint32_t* bytes, uint32_t) {
  if (conn == nullptr || bytes == nullptr || (buffer == nullptr && *bytes > 0))
    return kIsapiFalse;
  CallContext& ctx = *Context(conn);
  if (ctx.body.size() + *bytes > kMaxResponseBytes) {
    ctx.body_overflow = true;
    return kIsapiFalse;
  }
  ctx.body.append(static_cast<const char*>(buffer), *bytes);
  return kIsapiTrue;
}

IsapiBool ReadClientCb(HCONN conn, void* buffer, uint32_t* size) {
  if (conn == nullptr || size == nullptr || (buffer == nullptr && *size > 0))
    return kIsapiFalse;
  CallContext& ctx = *Context(conn);
  if (ctx.body_remaining == 0 || *size == 0) {
    *size = 0;
    return kIsapiTrue;
  }
  const std::size_t want =
      static_cast<std::size_t>(std::min<uint64_t>(*size, ctx.body_remaining));
  const long n = ctx.read_failed
                     ? -1
                     : ctx.transport->Read(static_cast<char*>(buffer), want);
  if (n <= 0) {
    ctx.read_failed = true;
    *size = 0;
    return kIsapiFalse;
  }
  ctx.body_remaining -= static_cast<uint64_t>(n);
  *size = static_cast<uint32_t>(n);
  return kIsapiTrue;
}

IsapiBool ServerSupportFunctionCb(HCONN conn, uint32_t request, void* buffer,
                                  uint32_t*, uint32_t* data_type) {
  if (conn == nullptr) return kIsapiFalse;
  CallContext& ctx = *Context(conn);
  if (request != HSE_REQ_SEND_RESPONSE_HEADER || ctx.header_sent)
    return kIsapiFalse;
  ctx.header_sent = true;
  ctx.status = buffer != nullptr ? std::string(static_cast<const char*>(buffer))
                                 : "200 OK";
  // The header block travels through the uint32_t* parameter (web/isapi.h).
  if (data_type != nullptr)
    ctx.headers = reinterpret_cast<const char*>(data_type);
  return kIsapiTrue;
}

// The path with %XX decoded; nothing when it would hold a NUL byte.
std::optional<std::string> DecodePath(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '%' && i + 2 < path.size() && hex(path[i + 1]) >= 0 &&
        hex(path[i + 2]) >= 0) {
      c = static_cast<char>(hex(path[i + 1]) * 16 + hex(path[i + 2]));
      i += 2;
    }
    if (c == '\0') return std::nullopt;
    out += c;
  }
  return out;
}

// The path under the root: "." segments dropped, ".." never above the root.
std::string TranslatePath(const std::string& root, std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out = root;
  for (std::string_view part : parts) out.append("/").append(part);
  return out;
}

// The status text as the extension sent it, split into code and reason; a
// malformed one becomes 500.
std::pair<unsigned, std::string> ParseStatus(std::string_view status) {
  std::size_t digits = 0;
  while (digits < status.size() && digits < 4 && status[digits] >= '0' &&
         status[digits] <= '9')
    ++digits;
  if (digits != 3 || (status.size() > 3 && status[3] != ' '))
    return {500, "Internal Server Error"};
  const unsigned code =
      static_cast<unsigned>(std::stoi(std::string(status.substr(0, 3))));
  if (code < 200 || code > 599) return {500, "Internal Server Error"};
  std::string reason(status.size() > 4 ? status.substr(4) : std::string_view());
  for (char c : reason) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) {
      reason =
          std::string(http::obsolete_reason(static_cast<http::status>(code)));
      break;
    }
  }
  return {code, reason};
}

std::string SanitizeForLog(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 300)) {
    const unsigned char u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7F || c == ' ') ? '?' : c;
  }
  return out;
}

std::string PlainPage(unsigned code, std::string_view reason) {
  return "<html><head><title>" + std::to_string(code) + " " +
         std::string(reason) + "</title></head><body><h1>" +
         std::to_string(code) + " " + std::string(reason) +
         "</h1></body></html>\r\n";
}

// Sends a response made by the host itself.
bool SendPlain(StreamAdapter& stream, unsigned version, unsigned code,
               bool keep_alive, bool head, std::size_t* bytes) {
  const std::string reason(
      http::obsolete_reason(static_cast<http::status>(code)));
  http::response<http::string_body> res;
  res.version(version);
  res.result(code);
  res.set(http::field::content_type, "text/html");
  res.body() = PlainPage(code, reason);
  res.keep_alive(keep_alive);
  res.prepare_payload();
  *bytes = res.body().size();
  if (head) res.body().clear();
  error_code ec;
  http::write(stream, res, ec);
  return !ec;
}

}  // namespace

bool IsSafeHeader(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (char c : name)
    if (!IsTokenChar(static_cast<unsigned char>(c))) return false;
  for (char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) return false;
  }
  return true;
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

long MemoryTransport::Read(char* buf, std::size_t n) {
  const std::size_t k = std::min({n, piece_, input_.size()});
  if (k == 0) return 0;  // An empty input may have no data pointer.
  std::memcpy(buf, input_.data(), k);
  input_.remove_prefix(k);
  return static_cast<long>(k);
}

bool MemoryTransport::Write(const char* buf, std::size_t n) {
  output_.append(buf, n);
  return true;
}

std::size_t ServeConnection(Transport& transport, const HostConfig& config,
                            const PeerInfo& peer,
                            const std::atomic<bool>& stopping) {
  StreamAdapter stream(transport);
  beast::flat_buffer buffer(kMaxHeaderBytes + 8192);
  std::size_t served = 0;
  for (;;) {
    if (stopping.load()) break;
    if (buffer.size() == 0 && !transport.WaitForRequest(config.idle_timeout_ms))
      break;
    const int64_t started = MonotonicMs();
    transport.SetReadDeadline(started + config.header_timeout_ms);

    http::request_parser<http::empty_body> parser;
    parser.header_limit(kMaxHeaderBytes);
    // The host checks the length itself; the library's "no limit" value
    // compares wrongly in this version, so the limit is the largest number.
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    error_code ec;
    http::read_header(stream, buffer, parser, ec);
    transport.SetReadDeadline(0);
    std::size_t bytes = 0;
    const auto log = [&](std::string_view method, std::string_view target,
                         unsigned status) {
      if (!config.log) return;
      config.log(SanitizeForLog(method) + " " + SanitizeForLog(target) + " " +
                 std::to_string(status) + " " + std::to_string(bytes) + " " +
                 std::to_string(MonotonicMs() - started));
    };
    if (ec) {
      // A client that closes or falls silent between requests gets no
      // answer; a malformed or oversized header gets 400 and the end.
      if (ec != http::error::end_of_stream && ec != net::error::eof &&
          ec != net::error::timed_out) {
        SendPlain(stream, 11, 400, false, false, &bytes);
        log("-", "-", 400);
      }
      break;
    }
    const http::request_header<>& header = parser.get().base();
    const std::string method(header.method_string());
    const std::string target(header.target());
    const unsigned version = header.version();
    const bool head = header.method() == http::verb::head;
    bool keep_alive = parser.keep_alive();

    // The origin form of the target: path and query.
    std::string_view path_part = target;
    if (path_part.rfind("http://", 0) == 0 ||
        path_part.rfind("https://", 0) == 0) {
      const std::size_t slash = path_part.find('/', path_part.find("//") + 2);
      path_part = slash == std::string_view::npos ? std::string_view("/")
                                                  : path_part.substr(slash);
    }
    const std::size_t question = path_part.find('?');
    const std::string query(question == std::string_view::npos
                                ? std::string_view()
                                : path_part.substr(question + 1));
    const std::optional<std::string> path =
        DecodePath(path_part.substr(0, question));
    if (!path || path->empty() || (*path)[0] != '/') {
      SendPlain(stream, version, 400, false, head, &bytes);
      log(method, target, 400);
      break;
    }

    // The body: its length known up front, or read whole when chunked.
    std::string body_start;
    uint64_t body_rest = 0;
    uint64_t content_length = 0;
    if (parser.chunked()) {
      http::request_parser<http::string_body> body_parser(std::move(parser));
      body_parser.body_limit(config.max_body);
      http::read(stream, buffer, body_parser, ec);
      if (ec) {
        const unsigned status = ec == http::error::body_limit ? 413 : 400;
        SendPlain(stream, version, status, false, head, &bytes);
        log(method, target, status);
        break;
      }
      body_start = std::move(body_parser.get().body());
      content_length = body_start.size();
    } else {
      content_length = parser.content_length().value_or(0);
      if (content_length > config.max_body) {
        // The body is never read, so the connection cannot go on.
        SendPlain(stream, version, 413, false, head, &bytes);
        log(method, target, 413);
        break;
      }
      const std::size_t buffered = static_cast<std::size_t>(
          std::min<uint64_t>(buffer.size(), content_length));
      body_start.assign(static_cast<const char*>(buffer.data().data()),
                        buffered);
      buffer.consume(buffered);
      body_rest = content_length - buffered;
      const auto expect = header.find(http::field::expect);
      if (body_rest > 0 && expect != header.end() &&
          EqualNoCase(expect->value(), "100-continue") && version >= 11) {
        static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        if (!transport.Write(kContinue, sizeof kContinue - 1)) break;
      }
    }

    // The control block and its server variables.
    CallContext ctx;
    ctx.transport = &transport;
    ctx.body_remaining = body_rest;
    auto& vars = ctx.variables;
    vars["REQUEST_METHOD"] = method;
    vars["QUERY_STRING"] = query;
    vars["PATH_INFO"] = *path;
    vars["PATH_TRANSLATED"] = TranslatePath(config.root, *path);
    vars["CONTENT_LENGTH"] = std::to_string(content_length);
    vars["REMOTE_ADDR"] = peer.remote_addr;
    vars["REMOTE_HOST"] = peer.remote_addr;
    vars["REMOTE_PORT"] = std::to_string(peer.remote_port);
    vars["SERVER_NAME"] = config.server_name;
    vars["SERVER_PORT"] = std::to_string(config.server_port);
    vars["SERVER_PROTOCOL"] = version == 10 ? "HTTP/1.0" : "HTTP/1.1";
    vars["SERVER_SOFTWARE"] = "corvane-httpd";
    vars["APPL_PHYSICAL_PATH"] = config.root + "/";
    vars["SCRIPT_NAME"] = "";
    std::string all_http;
    for (const auto& field : header) {
      std::string name = "HTTP_";
      for (char c : field.name_string()) name += c == '-' ? '_' : FoldAscii(c);
      std::string& slot = vars[name];
      if (!slot.empty()) slot += ", ";
      slot.append(field.value());
    }
    for (const auto& [name, value] : vars)
      if (name.rfind("HTTP_", 0) == 0) all_http += name + ":" + value + "\n";
    vars["ALL_HTTP"] = all_http;
    const auto content_type = header.find(http::field::content_type);
    vars["CONTENT_TYPE"] = content_type == header.end()
                               ? std::string()
                               : std::string(content_type->value());

    std::string method_buf = method, query_buf = query, path_buf = *path,
                translated_buf = vars["PATH_TRANSLATED"],
                type_buf = vars["CONTENT_TYPE"];
    EXTENSION_CONTROL_BLOCK ecb{};
    ecb.cbSize = sizeof ecb;
    ecb.dwVersion = MakeExtensionVersion(2, 0);
    ecb.ConnID = &ctx;
    ecb.dwHttpStatusCode = 200;
    ecb.lpszMethod = method_buf.data();
    ecb.lpszQueryString = query_buf.data();
    ecb.lpszPathInfo = path_buf.data();
    ecb.lpszPathTranslated = translated_buf.data();
    ecb.cbTotalBytes = static_cast<uint32_t>(content_length);
    ecb.cbAvailable = static_cast<uint32_t>(body_start.size());
    ecb.lpbData = reinterpret_cast<uint8_t*>(body_start.data());
    ecb.lpszContentType = type_buf.data();
    ecb.GetServerVariable = &GetServerVariableCb;
    ecb.WriteClient = &WriteClientCb;
    ecb.ReadClient = &ReadClientCb;
    ecb.ServerSupportFunction = &ServerSupportFunctionCb;

    const uint32_t result =
        config.extension != nullptr ? config.extension(&ecb) : HSE_STATUS_ERROR;

    // A body the extension left unread ends the connection after the
    // answer: the client may never send it (a refused request), so the
    // answer must not wait for it.
    if (ctx.body_remaining > 0) keep_alive = false;
    if (ctx.read_failed) keep_alive = false;

    const bool answered = ctx.header_sent || !ctx.body.empty();
    if (ctx.body_overflow || !answered ||
        (result != HSE_STATUS_SUCCESS &&
         result != HSE_STATUS_SUCCESS_AND_KEEP_CONN && !ctx.header_sent)) {
      const bool ok = SendPlain(stream, version, 500, keep_alive, head, &bytes);
      log(method, target, 500);
      ++served;
      if (!ok || !keep_alive) break;
      continue;
    }

    http::response<http::string_body> res;
    res.version(version);
    unsigned code = ctx.header_sent ? 200 : ecb.dwHttpStatusCode;
    std::string reason;
    if (ctx.header_sent) {
      std::tie(code, reason) = ParseStatus(ctx.status);
    } else {
      if (code < 200 || code > 599) code = 200;
      reason =
          std::string(http::obsolete_reason(static_cast<http::status>(code)));
    }
    res.result(code);
    res.reason(reason);
    // The header block: lines up to the first empty one; bytes after it
    // belong to the body.
    std::string_view block = ctx.headers;
    std::string body_prefix;
    while (!block.empty()) {
      const std::size_t end = block.find("\r\n");
      const std::string_view line = block.substr(0, end);
      block = end == std::string_view::npos ? std::string_view()
                                            : block.substr(end + 2);
      if (line.empty()) {
        body_prefix = std::string(block);
        break;
      }
      const std::size_t colon = line.find(':');
      std::string_view name = line.substr(0, colon);
      std::string_view value = colon == std::string_view::npos
                                   ? std::string_view()
                                   : line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
      if (colon == std::string_view::npos || !IsSafeHeader(name, value)) {
        if (config.log)
          config.log("dropped unsafe header line from the extension: " +
                     SanitizeForLog(line));
        continue;
      }
      if ((EqualNoCase(name, "Content") && value.empty()) ||
          EqualNoCase(name, "Content-Length") ||
          EqualNoCase(name, "Transfer-Encoding") ||
          EqualNoCase(name, "Connection")) {
        continue;
      }
      res.insert(name, value);
    }
    res.body() = body_prefix + ctx.body;
    res.keep_alive(keep_alive);
    res.prepare_payload();
    bytes = res.body().size();
    if (head) {
      res.body().clear();
      res.content_length(bytes);
    }
    http::write(stream, res, ec);
    log(method, target, code);
    ++served;
    if (ec || !keep_alive) break;
  }
  // Closing with unread bytes from the client would reset the connection
  // and could destroy the answer in flight; so the host stops writing and
  // reads what the client still sends, for a short, bounded while.
  transport.FinishWrites();
  transport.SetReadDeadline(MonotonicMs() + kLingerMs);
  char sink[16384];
  for (std::size_t drained = 0; drained < kMaxLingerBytes;) {
    const long n = transport.Read(sink, sizeof sink);
    if (n <= 0) break;
    drained += static_cast<std::size_t>(n);
  }
  transport.SetReadDeadline(0);
  return served;
}

}  // namespace corvane
