// Word fragments, the units that recognise things in the input, and the
// three word-matching helpers the whole engine uses. Words are runs of the
// capitals A to Z after ASCII upper-casing; every other byte separates.
// A fragment belongs to one pattern or one step pattern. Not thread-safe.
#ifndef CORVANE_ENGINE_FRAGMENT_H_
#define CORVANE_ENGINE_FRAGMENT_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/label.h"
#include "base/name_list.h"
#include "engine/item.h"
#include "text/utf8.h"

namespace corvane {

class BrainClass;
class PatternClass;
class StepPatternClass;
class TurnRunner;

// True exactly for the bytes 65 to 90.
inline bool IsCapital(unsigned char b) { return b >= 65 && b <= 90; }

// Appends the upper-cased words of `text` to `list` (the list's own rules
// apply: a sorted list files them in order and drops repeats).
void SplitWords(std::string_view text, NameList& list);

// True when `fragment` (upper-cased, trimmed) occurs in `text` as a whole
// word or phrase. A rejected occurrence is cut out and the search starts
// again, so the bytes on both sides of the cut become neighbours. Runs in
// near-linear time; see the .cpp for how.
bool FragmentInText(std::string_view fragment, std::string_view text);

// FragmentInText for a fragment already trimmed and not empty, whose
// leftmost occurrence in `text` (comparing through the engine's upper-case
// table) is known to start at byte `first`: the search starts there.
bool FragmentInTextAt(std::string_view fragment, std::string_view text,
                      std::size_t first);

// The helpers for a knowledge base in `encoding`. The code page gives the
// functions above. In UTF-8, words are runs of letters and marks and case
// is folded (text/utf8.h); SplitWords gives the words upper-cased
// (utf8::UpperCode), to be folded for comparison.
void SplitWords(std::string_view text, NameList& list, TextEncoding encoding);
// FragmentInText on texts as they are: both are folded first in UTF-8.
bool FragmentInText(std::string_view fragment, std::string_view text,
                    TextEncoding encoding);
// FragmentInText on texts made by UpperForMatch (the fragment not yet
// trimmed): in UTF-8 they are not folded again.
bool FragmentInMatchText(std::string_view fragment, std::string_view text,
                         TextEncoding encoding);
// FragmentInTextAt on texts made by UpperForMatch, the fragment trimmed and
// not empty, its leftmost occurrence starting at byte `first`.
bool FragmentInMatchTextAt(std::string_view fragment, std::string_view text,
                           std::size_t first, TextEncoding encoding);
// PosNoCase (needle first) on texts as they are; in UTF-8 the position is
// that in the folded text, so only whether it is 0 means anything there.
int32_t PosNoCaseIn(TextEncoding encoding, std::string_view needle,
                    std::string_view text);
// As PosNoCaseIn, on texts made by UpperForMatch.
int32_t PosInMatchText(TextEncoding encoding, std::string_view needle,
                       std::string_view text);

class WordFragmentClass;
template <typename T>
class OwningList;

// The sum of the fragments' scores for the raw input of a turn, in list
// order; throws OverflowError when the sum overflows. The result and the
// effects are those of expanding the input once for the owner and scoring
// each fragment with that (each expanding it again), but cheaper: the
// owner's expansion of the input is made only when the input holds a
// macro; when the expanded input holds no macro opening, fragments neither
// expand it again nor copy it, and it is upper-cased once for all of them.
// When it does hold one, the fragments' second expansion is made once and
// reused as long as it used only rows that expand the same way each time
// (kStableMacroRows).
// `upper_input`, when given, says that the input holds no macro opening
// and is its upper-cased form, so that neither is looked at again.
int32_t ScoreFragmentsOfInput(TurnRunner& turn,
                              const OwningList<WordFragmentClass>& fragments,
                              const std::string& input, PatternClass* pattern,
                              StepPatternClass* step_pattern,
                              const std::string* upper_input = nullptr);

// Whether StripFragmentTexts takes out a fragment of kind `relation`: AND,
// OR, NOT and CUSTOM, and for a pattern (not a step pattern) CUSTOM-Sub.
bool StripsFragmentText(uint8_t relation, bool of_pattern);

// The input with the first occurrence of each matching fragment's expanded
// text taken out, as a plain substring. A pattern (`pattern` given) strips
// the kinds AND, OR, NOT, CUSTOM and CUSTOM-Sub; a step pattern the first
// four only.
std::string StripFragmentTexts(TurnRunner& turn,
                               const OwningList<WordFragmentClass>& fragments,
                               const std::string& input, PatternClass* pattern,
                               StepPatternClass* step_pattern);

// StripFragmentTexts without copying an input it does not change: false
// when nothing is taken out, else true with the result in `rest`.
// `input_rows`, when given, are the rows of the macro table with an
// opening in the input (see MacroRowsIn). A brain with another Scorer
// installed (engine/scorer.h) hands the work to it.
bool CutFragmentTexts(TurnRunner& turn,
                      const OwningList<WordFragmentClass>& fragments,
                      const std::string& input, PatternClass* pattern,
                      StepPatternClass* step_pattern, std::string& rest,
                      const uint32_t* input_rows);

class WordFragmentClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kFragment;
  WordFragmentClass() : Item(kKind) {}

  PatternClass* OwnerPattern() const;
  StepPatternClass* OwnerStepPattern() const;
  // The owner's brain, for attaching. Requires an owner.
  BrainClass* Brain() const;

  // The fragment's score for an input that the owner has already expanded
  // once. Sets the conversation's LastFrag on every call. Throws
  // OverflowError when a failing fragment negates a PENALTY of -2147483648.
  int32_t Score(TurnRunner& turn, const std::string& input) {
    return Score(turn, input, nullptr);
  }
  // As Score, with the fragment's own expansion of the input made already:
  // `upper_input`, when given, is that expansion upper-cased, and
  // `expanded_input` the expansion itself, or null when it is the input
  // (which then holds no macro opening). The input is not expanded again.
  int32_t Score(TurnRunner& turn, const std::string& input,
                const std::string* upper_input,
                const std::string* expanded_input = nullptr);

  // The small fields first: they share the first word with the kind tag.
  uint8_t RELATION = 0;     // Fragment kind, 0 to 17.
  int32_t BONUS = 0;        // Score when it holds (kinds that use it).
  int32_t PENALTY = 0;      // Minus this when it fails (same kinds).
  Label ObjectName;         // Named-object label.
  std::string WORDFRAG;     // The fragment text; may hold macros.
  std::string THENAME;      // Fact name, state text or collection name.
  std::string THEVALUE;     // Value compared by "Data-Match".
  Item* Owner = nullptr;    // PatternClass or StepPatternClass; not owned.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_FRAGMENT_H_
