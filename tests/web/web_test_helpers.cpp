#include "tests/web/web_test_helpers.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "web/CorvISAPIU.h"
#include "web/web_app.h"

namespace corvane {
namespace {

struct Call {
  FakeRequest* request;
  std::size_t read_pos;
};

IsapiBool GetVar(HCONN conn, char* name, void* buffer, uint32_t* size) {
  FakeRequest* r = static_cast<Call*>(conn)->request;
  const auto it = r->variables.find(name);
  if (it == r->variables.end()) return kIsapiFalse;
  if (*size <= it->second.size()) {
    *size = static_cast<uint32_t>(it->second.size() + 1);
    return kIsapiFalse;
  }
  std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
  *size = static_cast<uint32_t>(it->second.size() + 1);
  return kIsapiTrue;
}

IsapiBool Write(HCONN conn, void* buffer, uint32_t* bytes, uint32_t) {
  static_cast<Call*>(conn)->request->written.append(static_cast<char*>(buffer),
                                                    *bytes);
  return kIsapiTrue;
}

IsapiBool Read(HCONN conn, void* buffer, uint32_t* size) {
  Call* call = static_cast<Call*>(conn);
  FakeRequest* r = call->request;
  if (r->on_read) r->on_read();
  if (r->read_fails) return kIsapiFalse;
  const std::size_t n = std::min({static_cast<std::size_t>(*size), r->piece,
                                  r->body.size() - call->read_pos});
  std::memcpy(buffer, r->body.data() + call->read_pos, n);
  call->read_pos += n;
  *size = static_cast<uint32_t>(n);
  return kIsapiTrue;
}

IsapiBool Support(HCONN conn, uint32_t request, void* buffer, uint32_t*,
                  uint32_t* data_type) {
  FakeRequest* r = static_cast<Call*>(conn)->request;
  if (request != HSE_REQ_SEND_RESPONSE_HEADER) return kIsapiFalse;
  ++r->header_calls;
  r->status = static_cast<char*>(buffer);
  r->headers = reinterpret_cast<char*>(data_type);
  return kIsapiTrue;
}

}  // namespace

uint32_t FakeRequest::Run(WebApplication* app) {
  std::string method_buf = method, query_buf = query, path_buf = path,
              type_buf = content_type, translated = "";
  const std::size_t avail = std::min(delivered, body.size());
  std::string data = body.substr(0, avail);
  Call call{this, avail};
  EXTENSION_CONTROL_BLOCK ecb{};
  ecb.cbSize = sizeof ecb;
  ecb.ConnID = &call;
  ecb.dwHttpStatusCode = 200;
  ecb.lpszMethod = method_buf.data();
  ecb.lpszQueryString = query_buf.data();
  ecb.lpszPathInfo = path_buf.data();
  ecb.lpszPathTranslated = translated.data();
  ecb.lpszContentType = type_buf.data();
  ecb.cbTotalBytes = static_cast<uint32_t>(body.size());
  ecb.cbAvailable = static_cast<uint32_t>(avail);
  ecb.lpbData = reinterpret_cast<uint8_t*>(data.data());
  ecb.GetServerVariable = &GetVar;
  ecb.WriteClient = &Write;
  ecb.ReadClient = &Read;
  ecb.ServerSupportFunction = &Support;
  const uint32_t result =
      app ? app->HandleRequest(ecb) : HttpExtensionProc(&ecb);
  status_code = ecb.dwHttpStatusCode;
  log_data.assign(ecb.lpszLogData,
                  strnlen(ecb.lpszLogData, sizeof ecb.lpszLogData));
  return result;
}

std::string ClfLines(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* line : lines) out.append(line).append("\r\n");
  return out;
}

}  // namespace corvane
