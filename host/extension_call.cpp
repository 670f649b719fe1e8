// The call of the extension for one complete request: the control block,
// its server variables and callbacks, and the answer made of what the
// extension handed over during the call.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "host/http_host.h"

namespace corvane {
namespace {

// The most an extension may write for one response; more gets 500.
constexpr std::size_t kMaxResponseBytes = 256u << 20;

// Everything the callbacks of one extension call need.
struct CallContext {
  CallContext(CallBuffers& b, std::string& answer_body, CallState& s)
      : headers(b.headers), variable(b.variable), body(answer_body), state(s) {}

  // What the server variables are made of, on demand: an extension asks
  // for a few of them, so none is built before it asks.
  const Request* request = nullptr;
  const PeerInfo* peer = nullptr;
  std::string_view path;        // PATH_INFO, decoded.
  std::string_view query;       // QUERY_STRING.
  std::string_view translated;  // PATH_TRANSLATED.
  std::string_view content_type;
  bool header_sent = false;
  std::string status;     // As the extension sent it.
  std::string& headers;   // As the extension sent it.
  std::string& variable;  // The server variable asked for last.
  std::string& body;      // Everything written and not yet streamed.
  bool body_overflow = false;
  CallState& state;

  // For streaming a large answer while the extension still writes.
  const HostConfig* config = nullptr;
  const EXTENSION_CONTROL_BLOCK* ecb = nullptr;
  const StreamWriter* stream = nullptr;  // Null: never stream.
  unsigned version = 11;
  bool keep_alive = true;
  bool head_method = false;
  bool streaming = false;      // The head has gone; chunks follow.
  bool stream_failed = false;  // A write to the client failed.
  unsigned streamed_status = 0;
  std::size_t streamed_bytes = 0;
};

}  // namespace

// A connection's control block and the context that its callbacks find
// through ConnID, made once and used by one call after the other: a call
// that the extension finishes later (pending) keeps them past
// CallExtension, until it says it is done.
struct CallState {
  std::optional<CallContext> ctx;  // Made again for every call.
  EXTENSION_CONTROL_BLOCK ecb{};
  uint64_t serial = 0;  // Counts the calls; names the one running.
  // The call of `serial` returned HSE_STATUS_PENDING and is not done.
  bool pending = false;
  const CallCompletion* completion = nullptr;  // Null: cannot go pending.
  HseIoCompletionFn io_completion = nullptr;   // Registered by the call.
  void* io_context = nullptr;
  Answer* answer = nullptr;
};

namespace {

CallContext* Context(HCONN conn) {
  return static_cast<CallContext*>(conn);
}

bool StartStream(CallContext& ctx);
bool StreamChunk(CallContext& ctx, std::string_view data);

// The request header `name` (upper-case, with "_" for "-") of HTTP_NAME
// into `value`: repeated fields joined as one list, Cookie fields with
// "; ", as cookies are separated within one field. False when the request
// has none.
bool HeaderVariable(const Request& request, std::string_view name,
                    std::string& value) {
  bool found = false;
  value.clear();
  const bool cookie = name == "COOKIE";
  for (const auto& [field_name, field_value] : request.fields) {
    if (field_name.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      const char c = field_name[i] == '-' ? '_' : FoldAscii(field_name[i]);
      same = c == name[i];
    }
    if (!same) continue;
    if (found) value.append(cookie ? "; " : ", ");
    value.append(field_value);
    found = true;
  }
  return found;
}

// Every HTTP_ variable as "HTTP_NAME:value" lines, by name.
std::string AllHttp(const Request& request) {
  std::map<std::string, std::string> names;
  for (const auto& field : request.fields) {
    std::string name;
    for (char c : field.first) name += c == '-' ? '_' : FoldAscii(c);
    names.emplace(name, std::string());
  }
  std::string out;
  std::string value;
  for (auto& [name, unused] : names) {
    HeaderVariable(request, name, value);
    out.append("HTTP_").append(name).append(":").append(value).append("\n");
  }
  return out;
}

// The server variable `key` (upper-case) into `value`; false when there
// is none of that name.
bool Variable(const CallContext& ctx, std::string_view key,
              std::string& value) {
  const HostConfig& config = *ctx.config;
  const Request& request = *ctx.request;
  // The extension asks for its web root on every request.
  if (key == "APPL_PHYSICAL_PATH") {
    value.assign(config.root).append("/");
    return true;
  }
  if (key.rfind("HTTP_", 0) == 0)
    return HeaderVariable(request, key.substr(5), value);
  if (key == "REQUEST_METHOD") {
    value = request.method;
  } else if (key == "QUERY_STRING") {
    value = ctx.query;
  } else if (key == "PATH_INFO") {
    value = ctx.path;
  } else if (key == "PATH_TRANSLATED") {
    value = ctx.translated;
  } else if (key == "CONTENT_LENGTH") {
    value = std::to_string(request.body.size());
  } else if (key == "CONTENT_TYPE") {
    value = ctx.content_type;
  } else if (key == "REMOTE_ADDR" || key == "REMOTE_HOST") {
    value = ctx.peer->remote_addr;
  } else if (key == "REMOTE_PORT") {
    value = std::to_string(ctx.peer->remote_port);
  } else if (key == "SERVER_NAME") {
    value = config.server_name;
  } else if (key == "SERVER_PORT") {
    value = std::to_string(config.server_port);
  } else if (key == "SERVER_PROTOCOL") {
    value = request.version == 10 ? "HTTP/1.0" : "HTTP/1.1";
  } else if (key == "SERVER_SOFTWARE") {
    value = "corvane-httpd";
  } else if (key == "SCRIPT_NAME") {
    value.clear();
  } else if (key == "ALL_HTTP") {
    value = AllHttp(request);
  } else {
    return false;
  }
  return true;
}

IsapiBool GetServerVariableCb(HCONN conn, char* name, void* buffer,
                              uint32_t* size) {
  if (conn == nullptr || name == nullptr || size == nullptr) return kIsapiFalse;
  // Names are short; a long one (a long header's HTTP_ name) is folded on
  // the heap.
  char short_key[64];
  std::string long_key;
  const std::size_t length = std::strlen(name);
  char* key = short_key;
  if (length > sizeof short_key) {
    long_key.resize(length);
    key = long_key.data();
  }
  for (std::size_t i = 0; i < length; ++i) key[i] = FoldAscii(name[i]);
  CallContext& ctx = *Context(conn);
  std::string& value = ctx.variable;
  if (!Variable(ctx, std::string_view(key, length), value)) return kIsapiFalse;
  if (buffer == nullptr || *size <= value.size()) {
    *size = static_cast<uint32_t>(value.size() + 1);
    return kIsapiFalse;
  }
  std::memcpy(buffer, value.data(), value.size());
  static_cast<char*>(buffer)[value.size()] = '\0';
  *size = static_cast<uint32_t>(value.size() + 1);
  return kIsapiTrue;
}

IsapiBool WriteClientCb(HCONN conn, void* buffer, uint32_t* bytes,
                        uint32_t flags);

// A write of a pending call's bytes from any thread: they are taken on the
// connection's executor, and the completion function is called there.
IsapiBool WriteAsync(CallContext& ctx, const void* buffer, uint32_t bytes) {
  CallState& state = ctx.state;
  if (state.completion == nullptr || state.io_completion == nullptr)
    return kIsapiFalse;
  std::string data(static_cast<const char*>(buffer), bytes);
  state.completion->post([&state, serial = state.serial,
                          data = std::move(data)]() mutable {
    // Only for the call that asked, while it is pending.
    if (state.serial != serial || !state.pending || !state.ctx) return;
    uint32_t written = static_cast<uint32_t>(data.size());
    const bool ok = data.empty() ||
                    WriteClientCb(&*state.ctx, data.data(), &written,
                                  HSE_IO_SYNC) == kIsapiTrue;
    state.io_completion(&state.ecb, state.io_context, ok ? written : 0,
                        ok ? 0 : EIO);
  });
  return kIsapiTrue;
}

// Collects the body: the answer leaves in one write after the call.
IsapiBool WriteClientCb(HCONN conn, void* buffer, uint32_t* bytes,
                        uint32_t flags) {
  if (conn == nullptr || bytes == nullptr || (buffer == nullptr && *bytes > 0))
    return kIsapiFalse;
  CallContext& ctx = *Context(conn);
  if ((flags & HSE_IO_ASYNC) != 0) return WriteAsync(ctx, buffer, *bytes);
  if (ctx.stream_failed) return kIsapiFalse;
  if (ctx.streaming) {
    return StreamChunk(
               ctx, std::string_view(static_cast<const char*>(buffer), *bytes))
               ? kIsapiTrue
               : kIsapiFalse;
  }
  if (ctx.body.size() + *bytes > kMaxResponseBytes) {
    ctx.body_overflow = true;
    return kIsapiFalse;
  }
  ctx.body.append(static_cast<const char*>(buffer), *bytes);
  // Past the streaming size the answer goes out while it is written, so a
  // large answer is never held whole.
  if (ctx.stream != nullptr && !ctx.head_method &&
      ctx.body.size() > ctx.config->stream_after && !StartStream(ctx))
    return kIsapiFalse;
  return kIsapiTrue;
}

// The whole body came in the control block, so nothing is left to read.
IsapiBool ReadClientCb(HCONN conn, void* buffer, uint32_t* size) {
  if (conn == nullptr || size == nullptr || (buffer == nullptr && *size > 0))
    return kIsapiFalse;
  *size = 0;
  return kIsapiTrue;
}

void FinishCall(CallState& state, uint32_t result);

IsapiBool ServerSupportFunctionCb(HCONN conn, uint32_t request, void* buffer,
                                  uint32_t*, uint32_t* data_type) {
  if (conn == nullptr) return kIsapiFalse;
  CallContext& ctx = *Context(conn);
  CallState& state = ctx.state;
  if (request == HSE_REQ_IO_COMPLETION) {
    if (state.completion == nullptr || buffer == nullptr) return kIsapiFalse;
    state.io_completion = reinterpret_cast<HseIoCompletionFn>(buffer);
    state.io_context = data_type;
    return kIsapiTrue;
  }
  if (request == HSE_REQ_DONE_WITH_SESSION) {
    if (state.completion == nullptr) return kIsapiFalse;
    const uint32_t result = buffer != nullptr
                                ? *static_cast<const uint32_t*>(buffer)
                                : HSE_STATUS_SUCCESS;
    // From any thread: the answer is made on the connection's executor.
    state.completion->post([&state, result] {
      if (!state.pending) return;
      state.pending = false;
      FinishCall(state, result);
      state.completion->done();
    });
    return kIsapiTrue;
  }
  if (request != HSE_REQ_SEND_RESPONSE_HEADER || ctx.header_sent)
    return kIsapiFalse;
  ctx.header_sent = true;
  ctx.status = buffer != nullptr ? static_cast<const char*>(buffer) : "200 OK";
  // The header block travels through the uint32_t* parameter (web/isapi.h).
  if (data_type != nullptr) {
    ctx.headers = reinterpret_cast<const char*>(data_type);
  } else {
    ctx.headers.clear();
  }
  return kIsapiTrue;
}

// The path with %XX decoded into `out`; false when it would hold a NUL
// byte.
bool DecodePath(std::string_view path, std::string& out) {
  out.clear();
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
    if (c == '\0') return false;
    out += c;
  }
  return true;
}

// The path under the root into `out`: "." segments dropped, ".." never
// above the root.
void TranslatePath(const std::string& root, std::string_view path,
                   std::string& out) {
  out = root;
  // Segments kept, each as "/" and its name: a ".." drops the last one.
  std::size_t kept = 0;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "..") {
      if (kept > 0) {
        out.resize(out.rfind('/'));
        --kept;
      }
    } else if (!part.empty() && part != ".") {
      out.append("/").append(part);
      ++kept;
    }
    start = end + 1;
  }
}

// The status text as the extension sent it, split into code and reason; a
// malformed one, and an interim (1xx) code that cannot end a request,
// become 500.
std::pair<unsigned, std::string> ParseStatus(std::string_view status) {
  std::size_t digits = 0;
  while (digits < status.size() && digits < 4 && status[digits] >= '0' &&
         status[digits] <= '9')
    ++digits;
  if (digits != 3 || (status.size() > 3 && status[3] != ' '))
    return {500, "Internal Server Error"};
  const unsigned code = static_cast<unsigned>(
      (status[0] - '0') * 100 + (status[1] - '0') * 10 + (status[2] - '0'));
  if (code < 200 || code > 599) return {500, "Internal Server Error"};
  std::string reason(status.size() > 4 ? status.substr(4) : std::string_view());
  for (char c : reason) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) {
      reason = std::string(ReasonPhrase(code));
      break;
    }
  }
  return {code, reason};
}

std::string ForLog(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 300)) {
    const unsigned char u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7F || c == ' ') ? '?' : c;
  }
  return out;
}

// The final status of the call: the extension's status line, or its
// dwHttpStatusCode when it sent none.
std::pair<unsigned, std::string> FinalStatus(const CallContext& ctx) {
  if (ctx.header_sent) {
    auto status = ParseStatus(ctx.status);
    if (status.first == 500 && ctx.status.rfind("500", 0) != 0 &&
        ctx.config->log)
      ctx.config->log("replaced a malformed status from the extension: " +
                      ForLog(ctx.status));
    return status;
  }
  unsigned code = ctx.ecb->dwHttpStatusCode;
  if (code < 200 || code > 599) code = 200;
  return {code, std::string(ReasonPhrase(code))};
}

// The status line and the extension's safe header lines, without framing
// fields and without the closing empty line; `body_prefix` gets the bytes
// after the header block's empty line. Returns the status code.
unsigned ResponseHead(const CallContext& ctx, std::string* out,
                      std::string_view* body_prefix) {
  const HostConfig& config = *ctx.config;
  const auto [code, reason] = FinalStatus(ctx);
  std::string& head = *out;
  head.reserve(256 + ctx.headers.size());
  head += ctx.version >= 11 ? "HTTP/1.1 " : "HTTP/1.0 ";
  head += std::to_string(code);
  head += ' ';
  head += reason;
  head += "\r\n";
  // The header block: lines up to the first empty one; bytes after it
  // belong to the body.
  std::string_view block = ctx.headers;
  while (!block.empty()) {
    const std::size_t end = block.find("\r\n");
    const std::string_view line = block.substr(0, end);
    block = end == std::string_view::npos ? std::string_view()
                                          : block.substr(end + 2);
    if (line.empty()) {
      *body_prefix = block;
      break;
    }
    const std::size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon);
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
                   ForLog(line));
      continue;
    }
    if ((EqualNoCase(name, "Content") && value.empty()) ||
        EqualNoCase(name, "Content-Length") ||
        EqualNoCase(name, "Transfer-Encoding") ||
        EqualNoCase(name, "Connection")) {
      continue;
    }
    head.append(name).append(": ").append(value).append("\r\n");
  }
  return code;
}

bool StreamChunk(CallContext& ctx, std::string_view data) {
  if (data.empty()) return true;
  bool ok = true;
  if (ctx.version >= 11) {
    char size[24];
    const int n = std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    std::string chunk;
    chunk.reserve(static_cast<std::size_t>(n) + data.size() + 2);
    chunk.append(size, static_cast<std::size_t>(n)).append(data).append("\r\n");
    ok = (*ctx.stream)(chunk);
  } else {
    ok = (*ctx.stream)(data);  // HTTP/1.0: the end of the connection ends it.
  }
  if (!ok) {
    ctx.stream_failed = true;
    return false;
  }
  ctx.streamed_bytes += data.size();
  return true;
}

// Sends the head and everything written so far, and streams from now on.
// An answer that may carry no body is never streamed. False when the
// client cannot be written to.
bool StartStream(CallContext& ctx) {
  const unsigned code = FinalStatus(ctx).first;
  if (code == 204 || code == 304) return true;
  std::string head;
  std::string_view prefix;
  ctx.streamed_status = ResponseHead(ctx, &head, &prefix);
  if (ctx.version >= 11) {
    head += "Transfer-Encoding: chunked\r\n";
    if (!ctx.keep_alive) head += "Connection: close\r\n";
  } else {
    ctx.keep_alive = false;
  }
  head += "\r\n";
  ctx.streaming = true;
  ctx.header_sent = true;  // Later headers can no longer be sent.
  std::string first(prefix);
  first += ctx.body;
  ctx.body.clear();
  ctx.body.shrink_to_fit();
  if (!(*ctx.stream)(head)) {
    ctx.stream_failed = true;
    return false;
  }
  return StreamChunk(ctx, first);
}

}  // namespace

bool CallExtension(const HostConfig& config, const PeerInfo& peer,
                   Request& request, const StreamWriter* stream,
                   CallBuffers& buffers, Answer& answer,
                   const CallCompletion* completion) {
  answer.Clear();
  const bool head = request.method == "HEAD";
  const unsigned version = request.version;
  bool keep_alive = request.keep_alive;

  // The origin form of the target: path and query.
  std::string_view path_part = request.target;
  if (path_part.rfind("http://", 0) == 0 ||
      path_part.rfind("https://", 0) == 0) {
    const std::size_t slash = path_part.find('/', path_part.find("//") + 2);
    path_part = slash == std::string_view::npos ? std::string_view("/")
                                                : path_part.substr(slash);
  }
  const std::size_t question = path_part.find('?');
  buffers.query.assign(question == std::string_view::npos
                           ? std::string_view()
                           : path_part.substr(question + 1));
  std::string& path = buffers.path;
  if (!DecodePath(path_part.substr(0, question), path) || path.empty() ||
      path[0] != '/') {
    answer = PlainAnswer(version, 400, false, head);
    return true;
  }

  // The request's own text, or an empty one.
  char no_content_type[1] = {'\0'};
  char* content_type = no_content_type;
  for (auto& [field_name, value] : request.fields) {
    if (EqualNoCase(field_name, "Content-Type")) {
      content_type = value.data();
      break;
    }
  }
  TranslatePath(config.root, path, buffers.translated);

  if (!buffers.state) buffers.state = std::make_shared<CallState>();
  CallState& state = *buffers.state;
  ++state.serial;
  state.pending = false;
  state.completion = completion;
  state.io_completion = nullptr;
  state.io_context = nullptr;
  state.answer = &answer;
  CallContext& ctx = state.ctx.emplace(buffers, answer.body, state);
  ctx.config = &config;
  ctx.request = &request;
  ctx.peer = &peer;
  ctx.path = path;
  ctx.query = buffers.query;
  ctx.translated = buffers.translated;
  ctx.content_type = content_type;
  ctx.stream = stream;
  ctx.version = version;
  ctx.keep_alive = keep_alive;
  ctx.head_method = head;
  ctx.headers.clear();

  // The texts of the control block are the request's and the buffers'; an
  // extension only reads them.
  EXTENSION_CONTROL_BLOCK& ecb = state.ecb;
  ecb = EXTENSION_CONTROL_BLOCK{};
  ctx.ecb = &ecb;
  ecb.cbSize = sizeof ecb;
  ecb.dwVersion = MakeExtensionVersion(2, 0);
  ecb.ConnID = &ctx;
  ecb.dwHttpStatusCode = 200;
  ecb.lpszMethod = request.method.data();
  ecb.lpszQueryString = buffers.query.data();
  ecb.lpszPathInfo = path.data();
  ecb.lpszPathTranslated = buffers.translated.data();
  ecb.cbTotalBytes = static_cast<uint32_t>(request.body.size());
  ecb.cbAvailable = static_cast<uint32_t>(request.body.size());
  ecb.lpbData = reinterpret_cast<uint8_t*>(request.body.data());
  ecb.lpszContentType = content_type;
  ecb.GetServerVariable = &GetServerVariableCb;
  ecb.WriteClient = &WriteClientCb;
  ecb.ReadClient = &ReadClientCb;
  ecb.ServerSupportFunction = &ServerSupportFunctionCb;

  const uint32_t result =
      config.extension != nullptr ? config.extension(&ecb) : HSE_STATUS_ERROR;
  if (result == HSE_STATUS_PENDING && completion != nullptr) {
    state.pending = true;
    return false;
  }
  FinishCall(state, result);
  return true;
}

namespace {

// Makes the answer of the call in `state` from what the extension handed
// over, now that it returned `result` or said it was done.
void FinishCall(CallState& state, uint32_t result) {
  CallContext& ctx = *state.ctx;
  Answer& answer = *state.answer;
  const HostConfig& config = *ctx.config;
  const EXTENSION_CONTROL_BLOCK& ecb = state.ecb;
  const unsigned version = ctx.version;
  const bool head = ctx.head_method;
  const bool keep_alive = ctx.keep_alive;
  // The extension's text for the log: its conversation, made printable,
  // in the answer's own text (which keeps its memory between requests).
  std::string log_data = std::move(answer.log_data);
  log_data.clear();
  for (std::size_t i = 0; i < sizeof ecb.lpszLogData && ecb.lpszLogData[i];
       ++i) {
    const unsigned char u = static_cast<unsigned char>(ecb.lpszLogData[i]);
    log_data += (u <= 0x20 || u >= 0x7F || u == '"' || u == '\\')
                    ? '?'
                    : static_cast<char>(u);
  }

  if (ctx.streaming) {
    // The head and the body so far are out; the last chunk ends it.
    answer.head.clear();
    answer.body.clear();
    answer.status = ctx.streamed_status;
    answer.body_bytes = ctx.streamed_bytes;
    if (!ctx.stream_failed && version >= 11 &&
        !(*ctx.stream)(std::string_view("0\r\n\r\n")))
      ctx.stream_failed = true;
    answer.keep_alive = ctx.keep_alive && !ctx.stream_failed;
    answer.log_data = std::move(log_data);
    state.ctx.reset();
    return;
  }

  const bool answered = ctx.header_sent || !ctx.body.empty();
  if (ctx.body_overflow || !answered ||
      (result != HSE_STATUS_SUCCESS &&
       result != HSE_STATUS_SUCCESS_AND_KEEP_CONN && !ctx.header_sent)) {
    answer = PlainAnswer(version, 500, keep_alive, head);
    answer.log_data = std::move(log_data);
    state.ctx.reset();
    return;
  }

  std::string_view body_prefix;
  answer.log_data = std::move(log_data);
  const unsigned code = ResponseHead(ctx, &answer.head, &body_prefix);
  answer.status = code;
  answer.keep_alive = keep_alive;
  // 204 and 304 answers end at their header: a body after them would be
  // read as the next answer.
  const bool bodiless = code == 204 || code == 304;
  const std::size_t body_size = body_prefix.size() + answer.body.size();
  if (bodiless) {
    if (body_size > 0 && config.log)
      config.log("dropped " + std::to_string(body_size) + " body bytes of a " +
                 std::to_string(code) + " answer from the extension");
    answer.body.clear();
  } else {
    char length[24];
    const char* end =
        std::to_chars(length, length + sizeof length, body_size).ptr;
    answer.head.append("Content-Length: ")
        .append(length, static_cast<std::size_t>(end - length))
        .append("\r\n");
    answer.body_bytes = body_size;
    if (head) {
      answer.body.clear();
    } else if (!body_prefix.empty()) {
      answer.body.insert(0, body_prefix);
    }
  }
  if (version >= 11 && !keep_alive) answer.head += "Connection: close\r\n";
  if (version < 11 && keep_alive) answer.head += "Connection: keep-alive\r\n";
  answer.head += "\r\n";
  state.ctx.reset();
}

}  // namespace
}  // namespace corvane
