// The trimming, upper-casing and integer-reading rules that every subsystem
// applies to names, keywords and fields. Texts are byte strings; trimming
// removes every byte of value 0x20 or less, not only blanks; upper-casing
// changes only the ASCII letters a to z. All functions are re-entrant.
#ifndef CORVANE_TEXT_TEXT_UTIL_H_
#define CORVANE_TEXT_TEXT_UTIL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// True for the bytes that trimming removes (0x00 to 0x20).
inline bool IsTrimmable(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

// The text without trimmable bytes at both ends.
std::string_view TrimView(std::string_view text);
// The text without trimmable bytes at its start.
std::string_view TrimLeftView(std::string_view text);
// The text without trimmable bytes at its end.
std::string_view TrimRightView(std::string_view text);

inline std::string Trim(std::string_view text) {
  return std::string(TrimView(text));
}
inline std::string TrimLeft(std::string_view text) {
  return std::string(TrimLeftView(text));
}

// The text with a to z changed to A to Z; every other byte unchanged.
std::string UpperAscii(std::string_view text);

// Reads the whole text, untrimmed, as an optional "+" or "-" followed by
// decimal digits, or by hexadecimal digits after "$", "x", "X", "0x" or
// "0X". Decimal numbers must fit the signed 32-bit range; hexadecimal ones
// may use all 32 bits and are taken as two's complement ($FFFFFFFF is -1).
// Returns nothing when the text is not such a number.
std::optional<int32_t> TryParseInt32(std::string_view text);

// The trimmed text read by TryParseInt32; 0 when it is not a number.
int32_t ToIntOrZero(std::string_view text);

// The text with only its leading trimmable bytes removed, read by
// TryParseInt32; 0 when it is not a number. Trailing blanks make it fail.
int32_t ToIntOrZeroLeading(std::string_view text);

// Decimal form of an integer, with a leading "-" when negative.
std::string IntToText(int64_t value);

}  // namespace corvane

#endif  // CORVANE_TEXT_TEXT_UTIL_H_
