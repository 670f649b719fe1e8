// The case-insensitive substring search of the system, in its two modules:
// FStr serves the engine (fragments, patterns, collections, steps, facts,
// macros) and carries the clamped substring copy; FastStrings serves the
// language-file reader's keyword tests. Both share one algorithm but each
// module owns its upper-case table (Windows-1252, filled once before main)
// and names itself in its assertion errors. Positions are 1-based; 0 means
// not found. All functions are re-entrant.
#ifndef CORVANE_TEXT_FSTR_H_
#define CORVANE_TEXT_FSTR_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// One search module: its upper-case table and the source name and line its
// assertion error carries.
class SearchModule {
 public:
  SearchModule(const char* source_name, int assertion_line);

  // The leftmost match of `needle` inside `region`, comparing bytes through
  // the upper-case table; nullptr when there is none or the needle is empty.
  // Short needles use the plain first-byte-then-backwards comparison; long
  // needles use a prefix-function scan so a hostile text stays linear.
  const char* ScanNoCase(std::string_view region, std::string_view needle) const;

  // 1-based position of the leftmost match of `needle` in `text` at or after
  // `start`, counted from the start of the whole text; 0 when none. Throws
  // AssertionError when start < 1 and RangeError when start > text.size().
  // Requires a non-empty needle and text.
  int32_t PosNoCaseFrom(std::string_view text, std::string_view needle,
                        int32_t start) const;

  // Leftmost match from position 1; 0 when either operand is empty.
  int32_t PosNoCase(std::string_view needle, std::string_view text) const;

  // As PosNoCaseFrom over the whole text; 0 when either operand is empty.
  int32_t PosNoCaseAt(std::string_view needle, std::string_view text,
                      int32_t start) const;

  unsigned char Upper(unsigned char c) const { return table_[c]; }
  const std::array<unsigned char, 256>& table() const { return table_; }

 private:
  std::array<unsigned char, 256> table_;
  // For each folded byte, the bytes that fold to it (at most two in this
  // table), so a scan can jump between candidates with memchr.
  std::array<std::array<unsigned char, 2>, 256> unfolded_{};
  std::array<uint8_t, 256> unfolded_count_{};
  const char* source_name_;
  int assertion_line_;
};

// The engine's module.
class FStr {
 public:
  static const SearchModule& Module();
  static int32_t PosNoCase(std::string_view needle, std::string_view text) {
    return Module().PosNoCase(needle, text);
  }
  static int32_t PosNoCaseAt(std::string_view needle, std::string_view text,
                             int32_t start) {
    return Module().PosNoCaseAt(needle, text, start);
  }
  static int32_t PosNoCaseFrom(std::string_view text, std::string_view needle,
                               int32_t start) {
    return Module().PosNoCaseFrom(text, needle, start);
  }

  // The `count` bytes of `text` from 1-based `index`, clamped to the end of
  // the text; empty for a count of 0 or less, an empty text, or an index
  // outside 1..size. Throws OverflowError when index + count overflows.
  static std::string CopyText(std::string_view text, int32_t index,
                              int32_t count);
};

// The language-file reader's module.
class FastStrings {
 public:
  static const SearchModule& Module();
  static int32_t PosNoCase(std::string_view needle, std::string_view text) {
    return Module().PosNoCase(needle, text);
  }
  static int32_t PosNoCaseFrom(std::string_view text, std::string_view needle,
                               int32_t start) {
    return Module().PosNoCaseFrom(text, needle, start);
  }
};

// The engine's search as a free function: needle first, text second.
inline int32_t PosNoCase(std::string_view needle, std::string_view text) {
  return FStr::PosNoCase(needle, text);
}
inline int32_t PosNoCaseAt(std::string_view needle, std::string_view text,
                           int32_t start) {
  return FStr::PosNoCaseAt(needle, text, start);
}
inline std::string CopyText(std::string_view text, int32_t index,
                            int32_t count) {
  return FStr::CopyText(text, index, count);
}

}  // namespace corvane

#endif  // CORVANE_TEXT_FSTR_H_
