// The macro expander: replaces the macros of a text (^Fact{...},
// ^Member{...}, ^Remain{}, the arithmetic ...) by their values, in the
// rows of the macro table (engine/macros.h), for one turn. It reads the
// knowledge and the conversation through the turn (TurnRunner), so on
// shared knowledge it sees the conversation's own facts, collections and
// picks; it changes the conversation only through the remembered picks of
// ^Member{ and ^MemberSub{, facts an "EXTRACT" fragment stores while a
// remainder is computed, and the draws of the generator.
//
// Owns nothing; a MacroExpander lives for the calls of one caller. Used by
// the thread that runs the turn. Throws OverflowError when integer
// arithmetic leaves 32 bits, and what the turn throws while a remainder is
// computed.
#ifndef CORVANE_ENGINE_MACRO_EXPANDER_H_
#define CORVANE_ENGINE_MACRO_EXPANDER_H_

#include <cstdint>
#include <string>

namespace corvane {

class PatternClass;
class StepPatternClass;
class TurnRunner;

// What one expansion did, for callers that reuse expansions. A caller
// may also set the remainder beforehand (remainder_made and the two after
// it), which the expansion then uses instead of computing it.
struct ExpansionNotes {
  // Rows whose value was computed (a bit each, see MacroRowBit), by this
  // expansion and every expansion nested in it.
  uint32_t valued_rows = 0;
  uint32_t rows_after = 0;      // Rows with an opening in the result.
  bool remainder_made = false;  // Whether ^Remain{} needed the remainder.
  bool remainder_cut = false;   // Whether it differs from the input.
  std::string remainder;        // The remainder, when it differs.
  uint32_t remainder_rows = 0;  // Rows valued while computing it.
};

// Expansions kept by the scoring of one pattern for the next patterns of
// the same choice (see ScoreFragmentsOfInput): the turn's input expanded,
// and that expanded again. Scratch of one choice, on its stack.
struct KeptExpansion {
  bool valid = false;      // Whether the next pattern may reuse it.
  std::string text;        // What was expanded, against itself.
  uint32_t text_rows = 0;  // Rows with an opening in it.
  ExpansionNotes notes;
  std::string result;
  bool have_upper = false;
  std::string upper;  // The result upper-cased, once asked for.
};
struct KeptExpansions {
  KeptExpansion input;
  KeptExpansion second;
};

class MacroExpander {
 public:
  explicit MacroExpander(TurnRunner& turn) : turn_(turn) {}

  // Expands the macros of `text` against `input`, on behalf of `pattern` or
  // `step_pattern` (at most one given).
  std::string Expand(const std::string& text, const std::string& input,
                     PatternClass* pattern, StepPatternClass* step_pattern);
  std::string Expand(const std::string& text, const std::string& input,
                     PatternClass* pattern, StepPatternClass* step_pattern,
                     ExpansionNotes& notes);
  // The remainder that ^Remain{} gives for `input` on behalf of the pattern
  // or step pattern, with the same effects: false when it is the input
  // itself, else true with the remainder in `rest`. `input_rows`, when
  // given, are the rows with an opening in the input; `valued_rows` gets
  // the rows valued meanwhile.
  bool CutRemainder(const std::string& input, PatternClass* pattern,
                    StepPatternClass* step_pattern, std::string& rest,
                    const uint32_t* input_rows, uint32_t& valued_rows);
  // False when expanding a text whose openings are of `rows`, for the
  // pattern or step pattern, surely gives the text itself and has no
  // effects.
  bool RowsWouldExpand(uint32_t rows, const PatternClass* pattern,
                       const StepPatternClass* step_pattern) const;

  // The condition test of "BranchIf" on an expanded condition.
  static bool TestCondition(const std::string& condition);
  // The tests of "In Collection" and "In Collection-Sub" fragments, on the
  // conversation's view of the collection.
  bool CollectionHasWord(const std::string& name, const std::string& text);
  bool CollectionHasSubstring(const std::string& name, const std::string& text);

 private:
  TurnRunner& turn_;
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_MACRO_EXPANDER_H_
