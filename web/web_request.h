// The request and response objects of one extension call, built around the
// server's control block. The server owns the control block; these objects
// only refer to it and live for the call. Not thread-safe (one call).
#ifndef CORVANE_WEB_WEB_REQUEST_H_
#define CORVANE_WEB_WEB_REQUEST_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/isapi.h"

namespace corvane {

// Size of the buffer that server variables are read into first. The
// owning form of ServerVariable reads a longer value whole, up to
// kMaxServerVariableBytes (beyond any header a server takes); the form
// with a caller's buffer reads a longer one as missing.
inline constexpr uint32_t kServerVariableBufferSize = 4096;
inline constexpr uint32_t kMaxServerVariableBytes = 1u << 20;

// Largest form body the extension reads; the host's own limit is lower.
inline constexpr std::size_t kMaxFormBodyBytes = 64u << 20;

class WebRequest {
 public:
  explicit WebRequest(EXTENSION_CONTROL_BLOCK& ecb) : ecb_(ecb) {}
  WebRequest(const WebRequest&) = delete;
  WebRequest& operator=(const WebRequest&) = delete;

  // The texts of the control block, valid for the call.
  std::string_view Method() const { return Text(ecb_.lpszMethod); }
  std::string_view PathInfo() const { return Text(ecb_.lpszPathInfo); }
  std::string_view QueryString() const { return Text(ecb_.lpszQueryString); }
  std::string_view PathTranslated() const {
    return Text(ecb_.lpszPathTranslated);
  }
  std::string_view ContentType() const { return Text(ecb_.lpszContentType); }
  uint32_t ContentLength() const { return ecb_.cbTotalBytes; }

  // The server variable's value through GetServerVariable, however long
  // (up to kMaxServerVariableBytes); nothing when the server does not know
  // it.
  std::optional<std::string> ServerVariable(std::string_view name) const;
  // The same read into `buffer`, which the value then points into.
  std::optional<std::string_view> ServerVariable(
      std::string_view name, char (&buffer)[kServerVariableBufferSize]) const;

  // The body: empty unless the content length is positive; otherwise the
  // delivered part completed through ReadClient up to the content length
  // (to the end of the data when the length is unknown, 0xFFFFFFFF). Read
  // once. Throws IoError when the server fails to deliver it, LimitError
  // when it is longer than kMaxFormBodyBytes.
  const std::string& Content();
  // The same body, without a copy when the server delivered all of it in
  // the control block; valid for the call. Throws as Content.
  std::string_view ContentView();

  // The decoded entries of the URL-encoded body (web/form_fields.h), read
  // once when first asked for. Throws as Content.
  const std::vector<std::string>& ContentFields();

  EXTENSION_CONTROL_BLOCK& ecb() { return ecb_; }

 private:
  static std::string_view Text(const char* s) {
    return s ? std::string_view(s) : std::string_view();
  }

  EXTENSION_CONTROL_BLOCK& ecb_;
  std::optional<std::string> content_;              // Set by Content().
  std::optional<std::vector<std::string>> fields_;  // Set by ContentFields().
};

// What goes back to the server: a status, headers and the content.
class WebResponse {
 public:
  // "200 OK" for the default status; the code and its reason otherwise.
  std::string StatusLine() const;

  // Each present header as "Name: value" CR LF in the fixed order Allow,
  // Set-Cookie (one per cookie), Derived-From, Expires, Last-Modified,
  // Title, WWW-Authenticate, custom headers, Content-Version,
  // Content-Encoding, Content-Type, Content-Length; then "Content:" CR LF
  // and an empty line. The length is Content's, or `content_length`.
  std::string HeaderBlock() const { return HeaderBlock(Content.size()); }
  std::string HeaderBlock(std::size_t content_length) const;

  // Sends the status line and header block through ServerSupportFunction
  // and the content through WriteClient, then marks the response sent.
  // Throws IoError when the server refuses either.
  void SendResponse(EXTENSION_CONTROL_BLOCK& ecb);
  // Sends the status line and header block for a content of
  // `content_length` bytes instead of Content, which the caller then writes
  // (WriteContent), and marks the response sent. Throws as SendResponse.
  void SendHeader(EXTENSION_CONTROL_BLOCK& ecb, std::size_t content_length);
  // Writes `data` through WriteClient; throws IoError when the server
  // refuses it.
  static void WriteContent(EXTENSION_CONTROL_BLOCK& ecb, std::string_view data);

  int StatusCode = 200;
  std::string ContentType = "text/html";
  std::string Content;
  std::string Allow;
  std::vector<std::string> Cookies;  // Each sent as one Set-Cookie header.
  std::string DerivedFrom;
  std::string Expires;
  std::string LastModified;
  std::string Title;
  std::string WWWAuthenticate;
  std::vector<std::pair<std::string, std::string>> CustomHeaders;
  std::string ContentVersion;
  std::string ContentEncoding;
  bool Sent = false;  // Set once the header block has gone out.
};

// Sends the status line and header block; false when the server refuses.
bool SendResponseHeader(EXTENSION_CONTROL_BLOCK& ecb, const std::string& status,
                        const std::string& headers);

// Sends `data` through WriteClient; false when the server refuses.
bool WriteClientAll(EXTENSION_CONTROL_BLOCK& ecb, std::string_view data);

// The error page: status 500 (or `status`) with "500 " and the message as
// the status line (line breaks turned into blanks), and a body naming the
// error's kind and message (HTML-escaped). Never throws; failures of the
// server are ignored.
void SendErrorPage(EXTENSION_CONTROL_BLOCK& ecb, std::string_view kind,
                   std::string_view message, int status = 500) noexcept;

// The body of the error page.
std::string ErrorPageBody(std::string_view kind, std::string_view message,
                          int status = 500);

}  // namespace corvane

#endif  // CORVANE_WEB_WEB_REQUEST_H_
