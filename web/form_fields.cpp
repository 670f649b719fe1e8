#include "web/form_fields.h"

namespace corvane {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

}  // namespace

std::string DecodeFormText(std::string_view piece) {
  std::string out;
  out.reserve(piece.size());
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const char c = piece[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < piece.size() &&
               HexValue(piece[i + 1]) >= 0 && HexValue(piece[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(piece[i + 1]) * 16 +
                               HexValue(piece[i + 2]));
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
    if (EqualsNoCase(std::string_view(entry).substr(0, eq), name))
      return entry.substr(eq + 1);
  }
  return std::string();
}

}  // namespace corvane
