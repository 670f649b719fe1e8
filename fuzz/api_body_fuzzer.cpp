// The JSON API's body and the text conversions at the web boundary: any
// bytes parse or are refused without a crash, accepted input converts to
// the code page and back, and the answer bodies are always valid to build.
#include <cstdint>
#include <string>

#include "web/json_api.h"
#include "web/visitor_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto request = corvane::ParseApiRequest(body, &error);
  if (request) {
    const std::string text = corvane::VisitorText(request->input, true);
    if (text.find('^') != std::string::npos) __builtin_trap();
    if (text.size() > request->input.size()) __builtin_trap();
    const std::string reply = corvane::CodePageToUtf8(text);
    (void)corvane::ApiReplyBody(reply, request->session.value_or(""));
  } else if (error.empty()) {
    __builtin_trap();
  }
  // The raw bytes as visitor text of either kind.
  const std::string raw = corvane::VisitorText(body, true);
  if (raw.find('^') != std::string::npos) __builtin_trap();
  if (corvane::Utf8ToCodePage(corvane::CodePageToUtf8(body)) != body)
    __builtin_trap();
  (void)corvane::ApiErrorBody(body);
  return 0;
}
