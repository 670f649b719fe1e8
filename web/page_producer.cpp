#include "web/page_producer.h"

#include <algorithm>

namespace corvane {
namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

bool IsIdentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<TagParam> ParseTagParams(std::string_view text) {
  std::vector<TagParam> params;
  text = Trim(text);
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) break;
    // A parameter runs to the next blank outside quotes.
    const std::size_t start = i;
    char quote = 0;
    while (i < text.size() && (quote != 0 || !IsBlank(text[i]))) {
      if (quote != 0) {
        if (text[i] == quote) quote = 0;
      } else if (text[i] == '"' || text[i] == '\'') {
        quote = text[i];
      }
      ++i;
    }
    const std::string_view item = text.substr(start, i - start);
    const std::size_t eq = item.find('=');
    TagParam param;
    param.name = std::string(item.substr(0, eq));
    if (eq != std::string_view::npos) {
      std::string_view value = item.substr(eq + 1);
      if (value.size() >= 2 &&
          (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      param.value = std::string(value);
    }
    params.push_back(std::move(param));
  }
  return params;
}

void ScanTemplate(std::string_view templ,
                  const std::function<void(std::string_view text)>& on_text,
                  const std::function<void(std::string_view name,
                                           std::string_view params)>& on_tag) {
  std::size_t pos = 0;
  while (pos < templ.size()) {
    const std::size_t lt = templ.find("<#", pos);
    if (lt == std::string_view::npos) break;
    // Without a ">" after it no later tag can close either, so the rest is
    // copied as it is; this keeps the scan linear for "<#<#<#...".
    const std::size_t gt = templ.find('>', lt + 2);
    if (gt == std::string_view::npos) break;
    on_text(templ.substr(pos, lt - pos));
    std::size_t name_end = lt + 2;
    while (name_end < gt && IsIdentChar(templ[name_end])) ++name_end;
    on_tag(templ.substr(lt + 2, name_end - lt - 2),
           templ.substr(name_end, gt - name_end));
    pos = gt + 1;
  }
  on_text(templ.substr(pos));
}

std::string ProduceContent(std::string_view templ, const TagHandler& handler) {
  std::string out;
  out.reserve(templ.size());
  ScanTemplate(
      templ, [&](std::string_view text) { out.append(text); },
      [&](std::string_view name, std::string_view params) {
        if (handler) out += handler(name, ParseTagParams(params));
      });
  return out;
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  // Runs without a special byte are copied whole.
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* ref = nullptr;
    switch (text[i]) {
      case '&':
        ref = "&amp;";
        break;
      case '<':
        ref = "&lt;";
        break;
      case '>':
        ref = "&gt;";
        break;
      case '"':
        ref = "&quot;";
        break;
      case '\'':
        ref = "&#39;";
        break;
      default:
        continue;
    }
    out.append(text.substr(start, i - start)).append(ref);
    start = i + 1;
  }
  out.append(text.substr(start));
  return out;
}

}  // namespace corvane
