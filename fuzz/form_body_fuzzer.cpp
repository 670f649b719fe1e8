// The form body: decoding, the field lookup, and a whole request through the
// extension's request object with the body delivered in pieces.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/error.h"
#include "web/form_fields.h"
#include "web/isapi.h"
#include "web/web_request.h"

namespace {

struct Feed {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

corvane::IsapiBool Read(corvane::HCONN conn, void* buffer, uint32_t* size) {
  Feed* f = static_cast<Feed*>(conn);
  const size_t n = std::min<size_t>({*size, f->size - f->pos, 7});
  if (n > 0) std::memcpy(buffer, f->data + f->pos, n);
  f->pos += n;
  *size = static_cast<uint32_t>(n);
  return corvane::kIsapiTrue;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> entries = corvane::DecodeFormEntries(body);
  (void)corvane::FormFieldValue(entries, "T1");
  for (const std::string& e : entries)
    if (e.size() > body.size()) __builtin_trap();

  // The same body with only its first bytes delivered up front.
  Feed feed{data, size, std::min<size_t>(size, size / 3)};
  std::string first(body.substr(0, feed.pos));
  corvane::EXTENSION_CONTROL_BLOCK ecb{};
  ecb.ConnID = &feed;
  ecb.cbTotalBytes = static_cast<uint32_t>(size);
  ecb.cbAvailable = static_cast<uint32_t>(first.size());
  ecb.lpbData = reinterpret_cast<uint8_t*>(first.data());
  ecb.ReadClient = &Read;
  corvane::WebRequest request(ecb);
  try {
    if (request.Content() != body) __builtin_trap();
    (void)request.ContentFields();
  } catch (const corvane::Error&) {
  }
  return 0;
}
