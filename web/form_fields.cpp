#include "web/form_fields.h"

#include "base/ascii.h"

namespace corvane {

std::string DecodeFormText(std::string_view piece) {
  std::string out;
  out.reserve(piece.size());
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const char c = piece[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < piece.size() &&
               HexDigitValue(piece[i + 1]) >= 0 && HexDigitValue(piece[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(piece[i + 1]) * 16 +
                               HexDigitValue(piece[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> DecodeFormEntries(std::string_view body) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    if (end > start)
      entries.push_back(DecodeFormText(body.substr(start, end - start)));
    start = end + 1;
  }
  return entries;
}

std::string FormFieldValue(const std::vector<std::string>& entries,
                           std::string_view name) {
  for (const std::string& entry : entries) {
    const std::size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    if (EqualNoCase(std::string_view(entry).substr(0, eq), name))
      return entry.substr(eq + 1);
  }
  return std::string();
}

}  // namespace corvane
