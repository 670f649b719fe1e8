// The pieces of the macro expansion that stand on their own: the table of
// openings in row order, the reading of arithmetic operands, the arithmetic
// values and the general-format real writer. BrainClass::ExpandMacros (in
// engine/macros.cpp) drives them; tests and the benchmark use them directly.
// All functions are re-entrant.
#ifndef CORVANE_ENGINE_MACROS_H_
#define CORVANE_ENGINE_MACROS_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// One row of the macro table. An argument macro ends at the first "}" after
// its opening; the others are recognised only as the opening with empty
// braces.
struct MacroRow {
  std::string_view opening;  // Matched without regard to ASCII case.
  bool has_argument;
};

// The 22 rows in the order in which they are expanded.
inline constexpr std::array<MacroRow, 22> kMacroRows = {{
    {"^Fact{", true},       {"^SysFact{", true},    {"^Member{", true},
    {"^MemberSub{", true},  {"^Members{", true},    {"^MemberX{", true},
    {"^MemberZ{", true},    {"^State{}", false},    {"^Remain{}", false},
    {"^Input{", true},      {"^LastOut{", true},    {"^LastPat{}", false},
    {"^LastSPat{}", false}, {"^LastFrag{}", false}, {"^LastResp{}", false},
    {"^LastTask{}", false}, {"^LastKnow{}", false}, {"^AutoName{}", false},
    {"^Add{", true},        {"^Sub{", true},        {"^Mul{", true},
    {"^Div{", true},
}};

// The bit of row `row` of kMacroRows in a set of rows.
constexpr uint32_t MacroRowBit(std::size_t row) { return uint32_t{1} << row; }

// The rows whose value depends only on the macro's argument, the
// expansion's input and the texts of the fragments of the pattern it is
// made for (^Remain{} and the four arithmetic rows). They read nothing
// that scoring a fragment changes (facts, LastFrag) and draw no random
// numbers: an expansion that replaced only in these rows gives the same
// text and has no effects when it is made again for the same pattern.
inline constexpr uint32_t kStableMacroRows =
    MacroRowBit(8) | MacroRowBit(18) | MacroRowBit(19) | MacroRowBit(20) |
    MacroRowBit(21);

// The length of the longest opening.
inline constexpr std::size_t kLongestMacroOpening = [] {
  std::size_t longest = 0;
  for (const MacroRow& row : kMacroRows)
    longest = row.opening.size() > longest ? row.opening.size() : longest;
  return longest;
}();

// The set of rows with at least one opening in `text`, in one pass over
// its carets.
uint32_t MacroRowsIn(std::string_view text);

// True when `text` holds an opening of some row (ignoring case), so that
// expanding it may change it or have effects; false means the expansion
// is the text itself. Stops at the first opening.
bool HasMacroOpening(std::string_view text);

// Byte offset of the first occurrence of `opening` in `text` at or after
// `from`, comparing through the engine's upper-case table; npos when none.
// Requires an opening that starts with "^" and holds no other "^".
std::size_t FindMacroOpening(std::string_view text, std::size_t from,
                             std::string_view opening);

// What an arithmetic operand reads as.
enum class OperandKind { kReal, kInteger, kNotANumber };

struct Operand {
  OperandKind kind = OperandKind::kNotANumber;
  long double real = 0;  // The value when kind is kReal or kInteger.
  int32_t integer = 0;   // The value when kind is kInteger.
};

// Classifies the trimmed text: a decimal real in the host's number format
// first (so 12 is a real), else a 32-bit integer of the integer reader
// (which adds the hexadecimal forms after "$", "x" and "0x"), except its
// marker value -987654321, else not a number.
Operand ClassifyOperand(std::string_view text);

// The value of ^Add{, ^Sub{, ^Mul{ or ^Div{ (op '+', '-', '*' or '/') for
// `argument`, the text between the braces. Operands that are not both
// numbers concatenate; two integers give a 32-bit result; anything else is
// computed as long double and written by FormatGeneralReal. Division by
// zero and a real result outside the long double range give the empty
// text. Throws OverflowError when an integer result leaves 32 bits.
std::string ArithmeticValue(char op, std::string_view argument);

// The real in general format: 15 significant digits, trailing zeros
// dropped, fixed notation for magnitudes from 0.0001 up to (not including)
// 10^15, scientific otherwise (1E17, 5E-5, 1.5E20); zero is "0". Requires a
// finite value.
std::string FormatGeneralReal(long double value);

}  // namespace corvane

#endif  // CORVANE_ENGINE_MACROS_H_
