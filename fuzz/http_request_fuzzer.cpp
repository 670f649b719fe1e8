// HTTP requests to the host: bytes from a client, in pieces, through the
// host's connection state machine (the one corvane-httpd runs on every TCP
// connection, here on a stream in memory), with an extension that reads
// the body and answers with status and header text taken from the request
// itself (a 204 or 304 with a body included).
#include <cstdint>
#include <cstring>
#include <string>

#include "host/memory_session.h"

namespace {

// Answers with the query string as its header block, so hostile header
// text from the input reaches the host's checks.
uint32_t Extension(corvane::EXTENSION_CONTROL_BLOCK* ecb) {
  char buf[1000];
  uint64_t got = ecb->cbAvailable;
  while (got < ecb->cbTotalBytes) {
    uint32_t n = sizeof buf;
    if (!ecb->ReadClient(ecb->ConnID, buf, &n) || n == 0) break;
    got += n;
  }
  // The body comes back after "body" (line ends made harmless), in two
  // writes, so answers past the streaming size are streamed.
  std::string echo(reinterpret_cast<const char*>(ecb->lpbData),
                   ecb->cbAvailable);
  for (char& c : echo)
    if (c == '\n' || c == '\r') c = '.';
  char var[64];
  uint32_t size = sizeof var;
  char name[] = "HTTP_HOST";
  ecb->GetServerVariable(ecb->ConnID, name, var, &size);
  std::string query = ecb->lpszQueryString;
  for (char& c : query)
    if (c == '~') c = '\n';
  std::string headers = query + "\r\n\r\n";
  alignas(uint32_t) static thread_local char block[4096];
  const size_t n = std::min(headers.size(), sizeof block - 1);
  std::memcpy(block, headers.data(), n);
  block[n] = '\0';
  std::string status = std::string(ecb->lpszPathInfo).substr(1);
  uint32_t status_size = static_cast<uint32_t>(status.size());
  ecb->ServerSupportFunction(ecb->ConnID, corvane::HSE_REQ_SEND_RESPONSE_HEADER,
                             status.data(), &status_size,
                             reinterpret_cast<uint32_t*>(block));
  char body[] = "body";
  uint32_t bytes = 4;
  ecb->WriteClient(ecb->ConnID, body, &bytes, 0);
  for (std::size_t half : {echo.size() / 2, echo.size() - echo.size() / 2}) {
    std::string part = echo.substr(0, half);
    echo.erase(0, half);
    bytes = static_cast<uint32_t>(part.size());
    ecb->WriteClient(ecb->ConnID, part.data(), &bytes, 0);
  }
  return corvane::HSE_STATUS_SUCCESS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  corvane::HostConfig config;
  config.root = "/srv/root";
  config.max_body = 4096;
  config.stream_after = 64;
  config.extension = &Extension;
  // Some inputs reach the host's own /healthz and /metrics.
  config.admin = size % 2 == 0;
  corvane::MemoryHost host(config);
  const std::string out = corvane::ServeInMemory(host, input, size % 13 + 1);
  // No answer may carry a header line split by the extension's text.
  for (size_t i = 0; i + 1 < out.size(); ++i) {
    if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) __builtin_trap();
  }
  // A 204 or 304 answer ends at its empty line: what follows is the next
  // answer or nothing, and it names no length.
  for (const char* bodiless :
       {"HTTP/1.1 204 ", "HTTP/1.1 304 ", "HTTP/1.0 204 ", "HTTP/1.0 304 "}) {
    for (size_t at = out.find(bodiless); at != std::string::npos;
         at = out.find(bodiless, at + 1)) {
      if (at != 0 && (at < 2 || out.compare(at - 2, 2, "\r\n") != 0)) continue;
      const size_t end = out.find("\r\n\r\n", at);
      if (end == std::string::npos) __builtin_trap();
      const std::string head = out.substr(at, end - at);
      if (head.find("\r\nContent-Length:") != std::string::npos)
        __builtin_trap();
      if (end + 4 < out.size() && out.compare(end + 4, 5, "HTTP/") != 0)
        __builtin_trap();
    }
  }
  return 0;
}
