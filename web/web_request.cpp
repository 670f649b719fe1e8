#include "web/web_request.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "base/error.h"
#include "web/form_fields.h"
#include "web/page_producer.h"

namespace corvane {
namespace {

// Bytes asked from ReadClient at a time.
constexpr uint32_t kReadChunk = 64u << 10;

// Bytes handed to WriteClient at a time.
constexpr std::size_t kWriteChunk = 1u << 20;

const char* ReasonPhrase(int code) {
  switch (code) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

void AddHeader(std::string& block, std::string_view name,
               std::string_view value) {
  if (value.empty()) return;
  block.append(name).append(": ").append(value).append("\r\n");
}

}  // namespace

std::optional<std::string_view> WebRequest::ServerVariable(
    std::string_view name, char (&buffer)[kServerVariableBufferSize]) const {
  if (ecb_.GetServerVariable == nullptr) return std::nullopt;
  // The interface passes the name as a mutable text; names are short.
  char short_name[64];
  std::string long_name;
  char* name_buf = short_name;
  if (name.size() < sizeof short_name) {
    std::memcpy(short_name, name.data(), name.size());
    short_name[name.size()] = '\0';
  } else {
    long_name = name;
    name_buf = long_name.data();
  }
  uint32_t size = kServerVariableBufferSize;
  if (!ecb_.GetServerVariable(ecb_.ConnID, name_buf, buffer, &size))
    return std::nullopt;
  // The value ends at its terminating zero, within the bytes reported.
  const std::size_t limit = std::min<std::size_t>(size, sizeof buffer);
  const std::size_t len = std::find(buffer, buffer + limit, '\0') - buffer;
  return std::string_view(buffer, len);
}

std::optional<std::string> WebRequest::ServerVariable(
    std::string_view name) const {
  char buffer[kServerVariableBufferSize];
  const std::optional<std::string_view> value = ServerVariable(name, buffer);
  if (value) return std::string(*value);
  if (ecb_.GetServerVariable == nullptr) return std::nullopt;
  // A value longer than the buffer (a long Cookie header) is read again
  // into one of the size the server asks for, up to kMaxServerVariableBytes.
  std::string name_text(name);
  uint32_t size = 0;
  ecb_.GetServerVariable(ecb_.ConnID, name_text.data(), nullptr, &size);
  if (size <= kServerVariableBufferSize || size > kMaxServerVariableBytes)
    return std::nullopt;
  std::string long_value(size, '\0');
  uint32_t got = size;
  if (!ecb_.GetServerVariable(ecb_.ConnID, name_text.data(), long_value.data(),
                              &got))
    return std::nullopt;
  const std::size_t limit = std::min<std::size_t>(got, long_value.size());
  long_value.resize(
      std::find(long_value.begin(), long_value.begin() + limit, '\0') -
      long_value.begin());
  return long_value;
}

const std::string& WebRequest::Content() {
  if (content_) return *content_;
  std::string body;
  const uint32_t total = ecb_.cbTotalBytes;
  if (total > 0) {
    const bool unknown_length = total == 0xFFFFFFFFu;
    if (!unknown_length && total > kMaxFormBodyBytes)
      throw LimitError("Request body too large");
    uint32_t available = std::min(ecb_.cbAvailable, total);
    if (ecb_.lpbData == nullptr) available = 0;
    body.assign(reinterpret_cast<const char*>(ecb_.lpbData), available);
    // The rest comes from the server; the buffer grows with what arrives,
    // never with what the length announces.
    while (unknown_length || body.size() < total) {
      if (ecb_.ReadClient == nullptr) throw IoError("Request body incomplete");
      const std::size_t want =
          unknown_length
              ? kReadChunk
              : std::min<std::size_t>(kReadChunk, total - body.size());
      const std::size_t old_size = body.size();
      body.resize(old_size + want);
      uint32_t got = static_cast<uint32_t>(want);
      if (!ecb_.ReadClient(ecb_.ConnID, body.data() + old_size, &got))
        throw IoError("Error reading the request body");
      got = std::min<uint32_t>(got, static_cast<uint32_t>(want));
      body.resize(old_size + got);
      if (got == 0) {
        if (unknown_length) break;
        throw IoError("Request body incomplete");
      }
      if (body.size() > kMaxFormBodyBytes)
        throw LimitError("Request body too large");
    }
  }
  content_ = std::move(body);
  return *content_;
}

std::string_view WebRequest::ContentView() {
  if (content_) return *content_;
  const uint32_t total = ecb_.cbTotalBytes;
  if (total == 0) return std::string_view();
  if (total != 0xFFFFFFFFu && ecb_.lpbData != nullptr &&
      ecb_.cbAvailable >= total) {
    if (total > kMaxFormBodyBytes) throw LimitError("Request body too large");
    return std::string_view(reinterpret_cast<const char*>(ecb_.lpbData), total);
  }
  return Content();
}

const std::vector<std::string>& WebRequest::ContentFields() {
  if (!fields_) fields_ = DecodeFormEntries(ContentView());
  return *fields_;
}

std::string WebResponse::StatusLine() const {
  std::string line = std::to_string(StatusCode);
  line += ' ';
  line += ReasonPhrase(StatusCode);
  return line;
}

std::string WebResponse::HeaderBlock(std::size_t content_length) const {
  std::string block;
  block.reserve(128);
  AddHeader(block, "Allow", Allow);
  for (const std::string& cookie : Cookies)
    AddHeader(block, "Set-Cookie", cookie);
  AddHeader(block, "Derived-From", DerivedFrom);
  AddHeader(block, "Expires", Expires);
  AddHeader(block, "Last-Modified", LastModified);
  AddHeader(block, "Title", Title);
  AddHeader(block, "WWW-Authenticate", WWWAuthenticate);
  for (const auto& [name, value] : CustomHeaders) AddHeader(block, name, value);
  AddHeader(block, "Content-Version", ContentVersion);
  AddHeader(block, "Content-Encoding", ContentEncoding);
  AddHeader(block, "Content-Type", ContentType);
  char length[24];
  const auto [end, ec] =
      std::to_chars(length, length + sizeof length, content_length);
  (void)ec;  // The buffer holds any std::size_t.
  AddHeader(block, "Content-Length", std::string_view(length, end - length));
  block += "Content:\r\n\r\n";
  return block;
}

void WebResponse::SendHeader(EXTENSION_CONTROL_BLOCK& ecb,
                             std::size_t content_length) {
  if (!SendResponseHeader(ecb, StatusLine(), HeaderBlock(content_length)))
    throw IoError("The server refused the response header");
  Sent = true;
  ecb.dwHttpStatusCode = static_cast<uint32_t>(StatusCode);
}

void WebResponse::WriteContent(EXTENSION_CONTROL_BLOCK& ecb,
                               std::string_view data) {
  if (!WriteClientAll(ecb, data))
    throw IoError("The server refused the response");
}

void WebResponse::SendResponse(EXTENSION_CONTROL_BLOCK& ecb) {
  SendHeader(ecb, Content.size());
  WriteContent(ecb, Content);
}

bool SendResponseHeader(EXTENSION_CONTROL_BLOCK& ecb, const std::string& status,
                        const std::string& headers) {
  if (ecb.ServerSupportFunction == nullptr) return false;
  // The interface passes both as mutable texts but only reads them. The
  // header block travels through a uint32_t* parameter: a string's
  // characters start at an address aligned for uint32_t, its own buffer
  // or one from operator new.
  static_assert(alignof(std::string) >= alignof(uint32_t) &&
                __STDCPP_DEFAULT_NEW_ALIGNMENT__ >= alignof(uint32_t));
  uint32_t size = static_cast<uint32_t>(status.size());
  return ecb.ServerSupportFunction(
             ecb.ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
             const_cast<char*>(status.c_str()), &size,
             reinterpret_cast<uint32_t*>(const_cast<char*>(headers.c_str()))) !=
         0;
}

bool WriteClientAll(EXTENSION_CONTROL_BLOCK& ecb, std::string_view data) {
  if (data.empty()) return true;
  if (ecb.WriteClient == nullptr) return false;
  while (!data.empty()) {
    const std::size_t n = std::min(data.size(), kWriteChunk);
    uint32_t bytes = static_cast<uint32_t>(n);
    // The interface takes a mutable pointer but only reads the bytes.
    if (!ecb.WriteClient(ecb.ConnID, const_cast<char*>(data.data()), &bytes,
                         HSE_IO_SYNC) ||
        bytes == 0) {
      return false;
    }
    data.remove_prefix(std::min<std::size_t>(bytes, n));
  }
  return true;
}

std::string ErrorPageBody(std::string_view kind, std::string_view message,
                          int status) {
  const std::string title =
      status == 500 ? std::string("Internal Server Error 500")
                    : ReasonPhrase(status) + (" " + std::to_string(status));
  return "<html><title>" + title + "</title>\r\n<h1>" + title +
         "</h1><hr>\r\n"
         "Exception: " +
         EscapeHtml(kind) +
         "<br>\r\n"
         "Message: " +
         EscapeHtml(message) + "<br></html>\r\n";
}

void SendErrorPage(EXTENSION_CONTROL_BLOCK& ecb, std::string_view kind,
                   std::string_view message, int status) noexcept {
  try {
    ecb.dwHttpStatusCode = static_cast<uint32_t>(status);
    std::string line = std::to_string(status) + " ";
    for (char c : message)
      line += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
    const std::string body = ErrorPageBody(kind, message, status);
    const std::string headers = "Content-Type: text/html\r\nContent-Length: " +
                                std::to_string(body.size()) +
                                "\r\nContent:\r\n\r\n";
    if (SendResponseHeader(ecb, line, headers)) WriteClientAll(ecb, body);
  } catch (...) {
    // Out of memory while building the page: the server answers the error.
  }
}

}  // namespace corvane
