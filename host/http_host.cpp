#include "host/http_host.h"

#include <algorithm>
#include <array>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstring>
#include <optional>

#include "base/ascii.h"

namespace corvane {
namespace {

namespace http = boost::beast::http;
namespace net = boost::asio;
using boost::system::error_code;

// A request header larger than this gets 400.
constexpr std::size_t kMaxHeaderBytes = 64u << 10;

// The bytes of a token (a header name), as a table: header lines are
// checked on every answer.
constexpr std::array<bool, 256> kTokenChars = [] {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = table[c - 'a' + 'A'] = true;
  for (const char c : std::string_view("!#$%&'*+-.^_`|~"))
    table[static_cast<unsigned char>(c)] = true;
  return table;
}();

bool IsTokenChar(unsigned char c) {
  return kTokenChars[c];
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

// The parser's texts as standard views.
std::string_view View(boost::beast::string_view s) {
  return std::string_view(s.data(), s.size());
}

}  // namespace

struct RequestReader::Impl {
  explicit Impl(std::size_t limit) : max_body(limit) {}

  // Beast's parser of one request, which writes what it parses straight
  // into the reader's request, whose texts keep their memory from one
  // request to the next: a request on a kept-alive connection allocates
  // nothing once one like it has come.
  class Parser : public http::basic_parser<true> {
   public:
    explicit Parser(Impl& impl) : impl_(impl) {}

   private:
    void on_request_impl(http::verb, boost::beast::string_view method,
                         boost::beast::string_view target, int version,
                         error_code&) override {
      impl_.request.method.assign(View(method));
      impl_.request.target.assign(View(target));
      impl_.request.version = version >= 11 ? 11 : 10;
    }
    void on_response_impl(int, boost::beast::string_view, int,
                          error_code&) override {}
    void on_field_impl(http::field, boost::beast::string_view name,
                       boost::beast::string_view value, error_code&) override {
      auto& fields = impl_.request.fields;
      if (impl_.field_count == fields.size()) fields.emplace_back();
      auto& [field_name, field_value] = fields[impl_.field_count++];
      field_name.assign(View(name));
      field_value.assign(View(value));
    }
    void on_header_impl(error_code&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>& length,
                           error_code&) override {
      // The parser has refused a length beyond the limit.
      if (length) impl_.request.body.reserve(static_cast<std::size_t>(*length));
    }
    std::size_t on_body_impl(boost::beast::string_view body,
                             error_code&) override {
      impl_.request.body.append(body.data(), body.size());
      return body.size();
    }
    void on_chunk_header_impl(std::uint64_t, boost::beast::string_view,
                              error_code&) override {}
    std::size_t on_chunk_body_impl(std::uint64_t,
                                   boost::beast::string_view body,
                                   error_code&) override {
      impl_.request.body.append(body.data(), body.size());
      return body.size();
    }
    void on_finish_impl(error_code&) override {}

    Impl& impl_;
  };

  // Texts longer than this are let go after their request rather than
  // kept for the next one.
  static constexpr std::size_t kKeepBytes = 64u << 10;

  std::size_t max_body;
  std::string bytes;  // Fed bytes; those before `pos` are parsed.
  std::size_t pos = 0;
  std::optional<Parser> parser;
  Request request;  // The current request; fields[field_count..] are stale.
  std::size_t field_count = 0;
  bool header_checked = false;

  void Start(int64_t now_us) {
    if (request.body.capacity() > kKeepBytes) request.body = std::string();
    std::size_t kept = 0;
    for (const auto& [name, value] : request.fields)
      kept += name.capacity() + value.capacity();
    if (kept > kKeepBytes) request.fields = {};
    request.body.clear();
    field_count = 0;
    parser.emplace(*this);
    parser->header_limit(kMaxHeaderBytes);
    parser->body_limit(max_body);
    header_checked = false;
    request.started_us = now_us;
  }

  // The first field named `name`, in order; null when none.
  const std::string* Find(std::string_view name) const {
    for (std::size_t i = 0; i < field_count; ++i)
      if (EqualNoCase(request.fields[i].first, name))
        return &request.fields[i].second;
    return nullptr;
  }

  // The framing rules the library leaves to its user. 0 when the header
  // may be served, else the status that refuses it.
  unsigned CheckHeader() const {
    std::vector<std::string_view> codings;
    bool has_encoding = false;
    for (std::size_t i = 0; i < field_count; ++i) {
      const auto& [name, value] = request.fields[i];
      if (!EqualNoCase(name, "Transfer-Encoding")) continue;
      has_encoding = true;
      std::string_view list = value;
      while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view item = TrimBlanks(list.substr(0, comma));
        if (!item.empty()) codings.push_back(item);
        list = comma == std::string_view::npos ? std::string_view()
                                               : list.substr(comma + 1);
      }
    }
    if (!has_encoding) return 0;
    // A request whose body length cannot be known, or that a server
    // before us may have framed differently, is never served: the bytes
    // after it could be read as a smuggled request.
    if (request.version < 11 || codings.empty()) return 400;
    const auto is_chunked = [](std::string_view c) {
      // A coding may carry parameters after ";".
      return EqualNoCase(TrimBlanks(c.substr(0, c.find(';'))), "chunked") &&
             c.find(';') == std::string_view::npos;
    };
    if (!is_chunked(codings.back())) return 400;
    for (std::size_t i = 0; i + 1 < codings.size(); ++i) {
      // Chunked twice is a framing error; other codings are not decoded.
      if (is_chunked(codings[i])) return 400;
      return 501;
    }
    return 0;
  }
};

RequestReader::RequestReader(std::size_t max_body)
    : impl_(std::make_unique<Impl>(max_body)) {}

RequestReader::~RequestReader() = default;

void RequestReader::Feed(std::string_view bytes) {
  if (impl_->pos > 0 && impl_->pos >= impl_->bytes.size() / 2) {
    impl_->bytes.erase(0, impl_->pos);
    impl_->pos = 0;
  }
  impl_->bytes.append(bytes);
}

RequestReader::State RequestReader::Advance(int64_t now_us) {
  Impl& s = *impl_;
  if (error_status_ != 0) return State::kError;
  if (!s.parser) {
    if (s.pos == s.bytes.size()) return State::kNeedMore;
    s.Start(now_us);
  }
  for (;;) {
    auto& parser = *s.parser;
    // The header is checked before anything is served, a request without
    // a body included.
    if (parser.is_header_done() && !s.header_checked) {
      s.header_checked = true;
      if (const unsigned refused = s.CheckHeader(); refused != 0) {
        error_status_ = refused;
        return State::kError;
      }
      const std::string* expect = s.Find("Expect");
      if (expect != nullptr && s.request.version >= 11 &&
          EqualNoCase(*expect, "100-continue") && !parser.is_done() &&
          s.pos == s.bytes.size() && !continue_sent_) {
        continue_sent_ = true;
        return State::kContinue;
      }
      continue;
    }
    if (parser.is_done()) return State::kComplete;
    if (s.pos == s.bytes.size()) return State::kNeedMore;
    error_code ec;
    const std::size_t n = parser.put(
        net::buffer(s.bytes.data() + s.pos, s.bytes.size() - s.pos), ec);
    s.pos += n;
    if (ec == http::error::need_more) {
      if (n == 0) return State::kNeedMore;
      continue;
    }
    if (ec) {
      error_status_ = ec == http::error::body_limit ? 413 : 400;
      return State::kError;
    }
  }
}

bool RequestReader::started() const {
  return impl_->pos < impl_->bytes.size() ||
         (impl_->parser && impl_->parser->got_some());
}

bool RequestReader::header_done() const {
  return impl_->parser && impl_->parser->is_header_done();
}

std::string_view RequestReader::method() const {
  if (!header_done()) return "-";
  return impl_->request.method;
}

std::string_view RequestReader::target() const {
  if (!header_done()) return "-";
  return impl_->request.target;
}

bool RequestReader::wants_json() const {
  // The fields read so far: a body over the limit is refused when the
  // header ends, before the parser calls the header done.
  if (!impl_->parser) return false;
  for (const std::string_view name : {"Content-Type", "Accept"}) {
    const std::string* value = impl_->Find(name);
    if (value == nullptr) continue;
    for (std::size_t at = 0; at + 16 <= value->size(); ++at)
      if (EqualNoCase(std::string_view(*value).substr(at, 16),
                      "application/json"))
        return true;
  }
  return false;
}

int64_t RequestReader::started_us() const {
  return impl_->request.started_us;
}

std::size_t RequestReader::buffered() const {
  return impl_->bytes.size() - impl_->pos;
}

Request& RequestReader::Take() {
  Impl& s = *impl_;
  Request& r = s.request;
  r.fields.resize(s.field_count);
  r.keep_alive = s.parser->keep_alive();
  r.wants_json = wants_json();
  s.parser.reset();
  continue_sent_ = false;
  return r;
}

void Answer::Clear() {
  // Texts longer than this are let go rather than kept for the next answer.
  constexpr std::size_t kKeepBytes = 64u << 10;
  for (std::string* text : {&head, &body, &log_data}) {
    if (text->capacity() > kKeepBytes) {
      *text = std::string();
    } else {
      text->clear();
    }
  }
  status = 0;
  body_bytes = 0;
  keep_alive = false;
}

void CloseAfter(Answer& answer) {
  if (!answer.keep_alive) return;
  answer.keep_alive = false;
  static constexpr std::string_view kKeep = "Connection: keep-alive\r\n";
  const std::size_t keep = answer.head.find(kKeep);
  if (keep != std::string::npos) {
    answer.head.erase(keep, kKeep.size());  // HTTP/1.0 closes by default.
  } else if (answer.head.size() >= 2) {
    answer.head.insert(answer.head.size() - 2, "Connection: close\r\n");
  }
}

std::string_view ContinueAnswer() {
  return "HTTP/1.1 100 Continue\r\n\r\n";
}

std::string_view ReasonPhrase(unsigned code) {
  const std::string_view reason =
      http::obsolete_reason(static_cast<http::status>(code));
  return reason.empty() ? std::string_view("Unknown") : reason;
}

Answer PlainAnswer(unsigned version, unsigned code, bool keep_alive, bool head,
                   bool json) {
  const std::string status =
      std::to_string(code) + " " + std::string(ReasonPhrase(code));
  Answer a;
  a.status = code;
  a.keep_alive = keep_alive;
  if (json) {
    a.body = "{\"error\":\"" + std::string(ReasonPhrase(code)) + "\"}";
  } else {
    a.body = "<html><head><title>" + status + "</title></head><body><h1>" +
             status + "</h1></body></html>\r\n";
  }
  a.body_bytes = a.body.size();
  a.head = (version >= 11 ? "HTTP/1.1 " : "HTTP/1.0 ") + status +
           (json ? "\r\nContent-Type: application/json; charset=utf-8"
                 : "\r\nContent-Type: text/html") +
           "\r\nContent-Length: " + std::to_string(a.body.size()) + "\r\n";
  if (version >= 11 && !keep_alive) a.head += "Connection: close\r\n";
  if (version < 11 && keep_alive) a.head += "Connection: keep-alive\r\n";
  a.head += "\r\n";
  if (head) a.body.clear();
  return a;
}

Answer HostAnswer(const Request& request, unsigned code,
                  std::string_view content_type, std::string body) {
  Answer a;
  a.status = code;
  a.keep_alive = request.keep_alive;
  a.body_bytes = body.size();
  a.head = (request.version >= 11 ? "HTTP/1.1 " : "HTTP/1.0 ") +
           std::to_string(code) + " " + std::string(ReasonPhrase(code)) +
           "\r\nContent-Type: " + std::string(content_type) +
           "\r\nCache-Control: no-store\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n";
  if (request.version >= 11 && !request.keep_alive)
    a.head += "Connection: close\r\n";
  if (request.version < 11 && request.keep_alive)
    a.head += "Connection: keep-alive\r\n";
  a.head += "\r\n";
  if (request.method != "HEAD") a.body = std::move(body);
  return a;
}

bool IsAdminRequest(const Request& request) {
  if (request.method != "GET" && request.method != "HEAD") return false;
  const std::string_view path =
      std::string_view(request.target).substr(0, request.target.find('?'));
  return path == "/healthz" || path == "/metrics";
}

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

int64_t MonotonicUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace corvane
