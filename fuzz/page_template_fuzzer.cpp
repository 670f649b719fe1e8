// The page template: tag scanning and parameter splitting never read
// outside the template, and a page without tags is the template itself.
#include <cstdint>
#include <string>

#include "web/page_producer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string templ(reinterpret_cast<const char*>(data), size);
  bool saw_tag = false;
  const std::string page = corvane::ProduceContent(
      templ,
      [&](std::string_view name, const std::vector<corvane::TagParam>& params) {
        saw_tag = true;
        std::string out(name);
        for (const corvane::TagParam& p : params) out += p.name + p.value;
        return out;
      });
  if (!saw_tag && page != templ) __builtin_trap();
  (void)corvane::ProduceContent(templ, nullptr);
  (void)corvane::EscapeHtml(templ);
  return 0;
}
