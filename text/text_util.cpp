#include "text/text_util.h"

#include "base/ascii.h"

namespace corvane {

std::string_view TrimView(std::string_view text) {
  return TrimRightView(TrimLeftView(text));
}

std::string_view TrimLeftView(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsTrimmable(text[i])) ++i;
  return text.substr(i);
}

std::string_view TrimRightView(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && IsTrimmable(text[n - 1])) --n;
  return text.substr(0, n);
}

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

std::optional<int32_t> TryParseInt32(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' &&
             (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return std::nullopt;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int d = hex ? HexDigitValue(text[i])
                      : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0) return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  if (hex) {
    uint32_t bits = static_cast<uint32_t>(value);
    if (negative) bits = 0u - bits;
    return static_cast<int32_t>(bits);
  }
  if (negative) {
    if (value > 2147483648ull) return std::nullopt;
    return static_cast<int32_t>(-static_cast<int64_t>(value));
  }
  if (value > 2147483647ull) return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t ToIntOrZero(std::string_view text) {
  return TryParseInt32(TrimView(text)).value_or(0);
}

int32_t ToIntOrZeroLeading(std::string_view text) {
  return TryParseInt32(TrimLeftView(text)).value_or(0);
}

std::string IntToText(int64_t value) { return std::to_string(value); }

}  // namespace corvane
