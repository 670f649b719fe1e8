// ASCII helpers shared by every layer: case folding that changes only the
// letters a to z, comparisons without regard to that case, and hexadecimal
// digits. Re-entrant.
#ifndef CORVANE_BASE_ASCII_H_
#define CORVANE_BASE_ASCII_H_

#include <string_view>

namespace corvane {

// The byte with a to z changed to A to Z.
inline char FoldAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

// Compares two texts with the ASCII letters folded to upper case, byte by
// byte as unsigned values: <0, 0, >0.
int CompareNoCase(std::string_view a, std::string_view b);

// True when the texts are equal with the ASCII letters folded to upper case.
bool EqualNoCase(std::string_view a, std::string_view b);

// The value of a hexadecimal digit, -1 for any other byte.
inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace corvane

#endif  // CORVANE_BASE_ASCII_H_
