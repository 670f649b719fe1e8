#include "engine/fragment.h"

#include <optional>
#include <vector>

#include "base/ascii.h"
#include "base/checked.h"
#include "base/owning_list.h"
#include "engine/brain.h"
#include "engine/macros.h"
#include "engine/pattern.h"
#include "engine/pattern_index.h"
#include "engine/proc.h"
#include "engine/scorer.h"
#include "engine/trace.h"
#include "engine/turn_runner.h"
#include "engine/type_tables.h"
#include "text/fstr.h"
#include "text/text_util.h"
#include "text/utf8.h"

namespace corvane {
namespace {

// The byte as the search compares it. For ASCII this is the ASCII upper
// case, and no other byte folds into A to Z, so IsCapital of a folded byte
// equals IsCapital of the ASCII-upper-cased byte.
inline unsigned char Fold(char c) {
  return FStr::Module().Upper(static_cast<unsigned char>(c));
}

// An occurrence is whole when nothing capital touches a capital end of it.
// `before` and `after` are the folded neighbours, or -1 at an end.
bool Acceptable(unsigned char first, unsigned char last, int before, int after) {
  const bool starts = before < 0 || !IsCapital(first) ||
                      !IsCapital(static_cast<unsigned char>(before));
  const bool ends = after < 0 || !IsCapital(last) ||
                    !IsCapital(static_cast<unsigned char>(after));
  return starts && ends;
}

// Needles up to this length are compared directly at each step; longer
// ones through prefix hashes, so each step costs O(1).
constexpr std::size_t kDirectCompareMax = 16;

// Hashing modulo the Mersenne prime 2^61 - 1.
constexpr uint64_t kMod = (1ull << 61) - 1;
__extension__ typedef unsigned __int128 Uint128;
inline uint64_t MulMod(uint64_t a, uint64_t b) {
  const Uint128 p = static_cast<Uint128>(a) * b;
  uint64_t r = static_cast<uint64_t>(p >> 61) + (static_cast<uint64_t>(p) & kMod);
  return r >= kMod ? r - kMod : r;
}
inline uint64_t AddMod(uint64_t a, uint64_t b) {
  const uint64_t r = a + b;
  return r >= kMod ? r - kMod : r;
}
inline uint64_t SubMod(uint64_t a, uint64_t b) { return a >= b ? a - b : a + kMod - b; }
constexpr uint64_t kBase = 0x1F3D5B79A2C4E6Full % kMod;

// The kept buffer of a search that cuts rejected occurrences out: bytes
// are pushed one at a time, the needle is recognised the moment its last
// byte arrives, and a rejected occurrence is popped off the end again.
// Needles longer than kDirectCompareMax are recognised through prefix
// hashes, so every step costs O(1).
class CutSearchBuffer {
 public:
  // `needle` and `kept` are already folded as the search compares them.
  CutSearchBuffer(std::string needle, std::string_view kept, std::size_t room)
      : needle_(std::move(needle)), hashed_(needle_.size() > kDirectCompareMax) {
    buf_.reserve(room);
    if (hashed_) {
      for (char c : needle_) needle_hash_ = Step(needle_hash_, c);
      for (std::size_t i = 0; i < needle_.size(); ++i)
        base_pow_m_ = MulMod(base_pow_m_, kBase);
      prefix_.reserve(room + 1);
      prefix_.push_back(0);
    }
    for (char c : kept) Push(c);
  }

  void Push(char c) {
    buf_.push_back(c);
    if (hashed_) prefix_.push_back(Step(prefix_.back(), c));
  }

  bool EndsWithNeedle() const {
    const std::size_t m = needle_.size();
    const std::size_t w = buf_.size();
    if (w < m) return false;
    if (hashed_) {
      const uint64_t h = SubMod(prefix_[w], MulMod(prefix_[w - m], base_pow_m_));
      if (h != needle_hash_) return false;
    } else if (buf_[w - 1] != needle_[m - 1]) {
      return false;
    }
    return std::string_view(buf_).substr(w - m) == needle_;
  }

  // Where the needle at the end starts.
  std::size_t NeedleStart() const { return buf_.size() - needle_.size(); }

  // Pops the needle at the end off the buffer.
  void CutNeedle() {
    const std::size_t q = NeedleStart();
    buf_.resize(q);
    if (hashed_) prefix_.resize(q + 1);
  }

  std::string_view kept() const { return buf_; }

 private:
  static uint64_t Step(uint64_t h, char c) {
    return AddMod(MulMod(h, kBase), static_cast<unsigned char>(c) + 1u);
  }

  std::string needle_;
  bool hashed_;
  std::string buf_;
  std::vector<uint64_t> prefix_;  // prefix_[k]: hash of buf_[0..k)
  uint64_t needle_hash_ = 0;
  uint64_t base_pow_m_ = 1;
};

// The kinds whose test expands the input (a second time, for a pattern).
bool TestsExpandedInput(uint8_t relation) {
  switch (relation) {
    case rel::kAnd:
    case rel::kOr:
    case rel::kNot:
    case rel::kCustom:
    case rel::kCustomSub:
    case rel::kExtract:
      return true;
    default:
      return false;
  }
}

}  // namespace

void SplitWords(std::string_view text, NameList& list) {
  if (text.empty()) return;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    std::string word;
    while (j < text.size()) {
      char c = text[j];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      if (!IsCapital(static_cast<unsigned char>(c))) break;
      word.push_back(c);
      ++j;
    }
    if (!word.empty()) list.Add(std::move(word));
    i = j < text.size() ? j + 1 : j;
  }
}

// Finds `fragment` as a whole word or phrase. A rejected occurrence is cut
// out and the search goes on, so bytes on both sides of the cut become
// neighbours, and the next occurrence is the leftmost one of the shortened
// text. All occurrences have the fragment's length, so the leftmost start
// is also the leftmost end: the text is streamed byte by byte into a kept
// buffer, and an occurrence is recognised the moment its last byte arrives.
// A rejected one is popped off the end of the buffer; what stays before it
// was checked already. Every byte is appended once and popped at most once.
bool FragmentInText(std::string_view fragment, std::string_view text) {
  const std::string_view f = TrimView(fragment);
  if (f.empty()) return false;
  if (EqualNoCase(f, text)) return true;
  const SearchModule& module = FStr::Module();
  const char* hit = module.ScanNoCase(text, f);
  if (hit == nullptr) return false;
  return FragmentInTextAt(f, text, static_cast<std::size_t>(hit - text.data()));
}

bool FragmentInTextAt(std::string_view f, std::string_view text,
                      std::size_t p) {
  const std::size_t m = f.size();
  const std::size_t n = text.size();
  const unsigned char first = Fold(f.front());
  const unsigned char last = Fold(f.back());
  // The common case: the first occurrence is whole.
  if (Acceptable(first, last, p > 0 ? Fold(text[p - 1]) : -1,
                 p + m < n ? Fold(text[p + m]) : -1))
    return true;

  std::string folded_f(m, '\0');
  for (std::size_t i = 0; i < m; ++i) folded_f[i] = static_cast<char>(Fold(f[i]));
  CutSearchBuffer buf(std::move(folded_f), {}, n);
  for (std::size_t i = 0; i < p; ++i) buf.Push(static_cast<char>(Fold(text[i])));
  for (std::size_t r = p + m; r < n;) {
    buf.Push(static_cast<char>(Fold(text[r++])));
    if (!buf.EndsWithNeedle()) continue;
    const std::size_t q = buf.NeedleStart();
    if (Acceptable(first, last,
                   q > 0 ? static_cast<unsigned char>(buf.kept()[q - 1]) : -1,
                   r < n ? Fold(text[r]) : -1))
      return true;
    buf.CutNeedle();
  }
  return false;
}

// The same search for a UTF-8 knowledge base, on texts already folded
// (utf8::Fold): bytes compare as they are, and the neighbours of an
// occurrence are whole characters, a word character being a letter or a
// mark. Valid UTF-8 needles only match at character starts, and cutting
// whole occurrences out keeps the kept bytes valid, so the character
// before a cut is decoded backwards from it.
bool FoldedFragmentInTextAt(std::string_view f, std::string_view text,
                            std::size_t p) {
  const std::size_t m = f.size();
  const std::size_t n = text.size();
  const bool first_word = utf8::WordCodeAt(f, 0);
  const bool last_word = utf8::WordCodeBefore(f, m);
  auto acceptable = [&](std::string_view left, std::size_t q, std::size_t r) {
    const bool starts = !first_word || !utf8::WordCodeBefore(left, q);
    const bool ends = !last_word || !utf8::WordCodeAt(text, r);
    return starts && ends;
  };
  if (acceptable(text, p, p + m)) return true;
  CutSearchBuffer buf(std::string(f), text.substr(0, p), n);
  for (std::size_t r = p + m; r < n;) {
    buf.Push(text[r++]);
    if (!buf.EndsWithNeedle()) continue;
    const std::size_t q = buf.NeedleStart();
    if (acceptable(buf.kept(), q, r)) return true;
    buf.CutNeedle();
  }
  return false;
}

bool FragmentInFoldedText(std::string_view fragment, std::string_view text) {
  const std::string_view f = TrimView(fragment);
  if (f.empty()) return false;
  if (f == text) return true;
  const std::size_t hit = text.find(f);
  if (hit == std::string_view::npos) return false;
  return FoldedFragmentInTextAt(f, text, hit);
}

bool FragmentInText(std::string_view fragment, std::string_view text,
                    TextEncoding encoding) {
  if (encoding == TextEncoding::kCodePage) return FragmentInText(fragment, text);
  return FragmentInFoldedText(utf8::Fold(TrimView(fragment)), utf8::Fold(text));
}

bool FragmentInMatchText(std::string_view fragment, std::string_view text,
                         TextEncoding encoding) {
  if (encoding == TextEncoding::kCodePage) return FragmentInText(fragment, text);
  return FragmentInFoldedText(fragment, text);
}

bool FragmentInMatchTextAt(std::string_view fragment, std::string_view text,
                           std::size_t first, TextEncoding encoding) {
  if (encoding == TextEncoding::kCodePage)
    return FragmentInTextAt(fragment, text, first);
  return FoldedFragmentInTextAt(fragment, text, first);
}

void SplitWords(std::string_view text, NameList& list, TextEncoding encoding) {
  if (encoding == TextEncoding::kCodePage) return SplitWords(text, list);
  // Words are upper-cased, as in the code page; they compare folded.
  std::size_t i = 0;
  while (i < text.size()) {
    std::string word;
    std::size_t j = i;
    while (j < text.size()) {
      const utf8::Decoded d = utf8::Decode(text, j);
      if (!d.valid || !utf8::IsWordCode(d.code)) break;
      utf8::Append(word, utf8::UpperCode(d.code));
      j += d.length;
    }
    if (!word.empty()) list.Add(std::move(word));
    // One separating character is skipped, as one separating byte is in
    // the code page.
    i = j < text.size() ? j + utf8::Decode(text, j).length : j;
  }
}

int32_t PosNoCaseIn(TextEncoding encoding, std::string_view needle,
                    std::string_view text) {
  if (encoding == TextEncoding::kCodePage) return PosNoCase(needle, text);
  if (needle.empty() || text.empty()) return 0;
  const std::string n = utf8::Fold(needle);
  const std::string t = utf8::Fold(text);
  const std::size_t at = t.find(n);
  return at == std::string::npos ? 0 : CheckedCount(at + 1);
}

int32_t PosInMatchText(TextEncoding encoding, std::string_view needle,
                       std::string_view text) {
  if (encoding == TextEncoding::kCodePage) return PosNoCase(needle, text);
  if (needle.empty() || text.empty()) return 0;
  const std::size_t at = text.find(needle);
  return at == std::string_view::npos ? 0 : CheckedCount(at + 1);
}

bool StripsFragmentText(uint8_t r, bool of_pattern) {
  return r == rel::kAnd || r == rel::kOr || r == rel::kNot ||
         r == rel::kCustom || (of_pattern && r == rel::kCustomSub);
}

bool CutFragmentTexts(TurnRunner& turn,
                      const OwningList<WordFragmentClass>& fragments,
                      const std::string& input, PatternClass* pattern,
                      StepPatternClass* step_pattern, std::string& rest,
                      const uint32_t* input_rows) {
  if (Scorer* other = turn.state().scorer())
    return other->CutFragmentTexts(turn, fragments, input, pattern,
                                   step_pattern, rest);
  MacroExpander macros = turn.macros();
  const TextEncoding encoding = turn.knowledge().text_encoding();
  // Each fragment's text is expanded against the expanded current text;
  // the current text itself stays unexpanded. While the current text holds
  // no opening that would expand, its expansion is the text itself and has
  // no effects, so it is not made, and a fragment text without a caret is
  // its own expansion. A cut can only make a new opening from bytes next
  // to it, so only those are looked at again. The input is copied at the
  // first cut.
  bool rest_expands = macros.RowsWouldExpand(
      input_rows != nullptr ? *input_rows : MacroRowsIn(input), pattern,
      step_pattern);
  const std::string* current = &input;
  for (int i = 0; i < fragments.Count(); ++i) {
    const WordFragmentClass* f = fragments.At(i);
    if (!StripsFragmentText(f->RELATION, pattern != nullptr)) continue;
    std::string context;
    if (rest_expands)
      context = macros.Expand(*current, *current, pattern, step_pattern);
    const std::string text = UpperForMatch(
        encoding, f->WORDFRAG.find('^') == std::string::npos
                      ? f->WORDFRAG
                      : macros.Expand(f->WORDFRAG,
                                      rest_expands ? context : *current,
                                      pattern, step_pattern));
    // Folding ignores ASCII case, so the current text need not be
    // upper-cased first. In UTF-8 a folded character may differ in length
    // from the one it folds, so the cut is the stretch that matched.
    std::size_t cut = 0;
    std::size_t cut_length = text.size();
    if (encoding == TextEncoding::kCodePage) {
      const int32_t p = PosNoCase(text, *current);
      if (p <= 0) continue;
      cut = static_cast<std::size_t>(p - 1);
    } else if (text.empty() ||
               !utf8::FindFolded(text, *current, cut, cut_length)) {
      continue;
    }
    if (current == &input) {
      rest = input;
      current = &rest;
    }
    rest.erase(cut, cut_length);
    if (!rest_expands) {
      const std::size_t from =
          cut >= kLongestMacroOpening ? cut - (kLongestMacroOpening - 1) : 0;
      rest_expands = macros.RowsWouldExpand(
          MacroRowsIn(
              std::string_view(rest).substr(from, 2 * kLongestMacroOpening)),
          pattern, step_pattern);
    }
  }
  return current == &rest;
}

std::string StripFragmentTexts(TurnRunner& turn,
                               const OwningList<WordFragmentClass>& fragments,
                               const std::string& input, PatternClass* pattern,
                               StepPatternClass* step_pattern) {
  std::string rest;
  if (!CutFragmentTexts(turn, fragments, input, pattern, step_pattern, rest,
                        nullptr))
    return input;
  return rest;
}

PatternClass* WordFragmentClass::OwnerPattern() const {
  return ItemAs<PatternClass>(Owner);
}

StepPatternClass* WordFragmentClass::OwnerStepPattern() const {
  return ItemAs<StepPatternClass>(Owner);
}

BrainClass* WordFragmentClass::Brain() const {
  if (PatternClass* p = OwnerPattern()) return p->Brain();
  if (StepPatternClass* sp = OwnerStepPattern()) return sp->Brain();
  return nullptr;
}

namespace {

// Expands `text` against itself for the pattern or step pattern, through
// `kept`. What kept holds is reused when it was made from the same text,
// valued only stable rows, and either needed no remainder or needed one
// equal to this pattern's: the expansion is then a function of the text
// and the remainder. The remainder is computed here, first thing, just as
// the expansion itself would compute it (the rows before ^Remain{} value
// nothing for this text), and handed to the expansion when one is made.
// `reusable` says whether expanding the same text again for this pattern
// would give the same result without effects.
const KeptExpansion& ExpandKept(MacroExpander& macros, KeptExpansion& kept,
                                const std::string& text,
                                const uint32_t* text_rows,
                                PatternClass* pattern,
                                StepPatternClass* step_pattern,
                                bool& reusable) {
  ExpansionNotes notes;
  if (kept.valid && kept.text == text) {
    if (!kept.notes.remainder_made) {
      reusable = true;
      return kept;
    }
    notes.remainder_cut =
        macros.CutRemainder(text, pattern, step_pattern, notes.remainder,
                           &kept.text_rows, notes.remainder_rows);
    notes.remainder_made = true;
    reusable = (notes.remainder_rows & ~kStableMacroRows) == 0;
    if (notes.remainder_cut == kept.notes.remainder_cut &&
        (!notes.remainder_cut || notes.remainder == kept.notes.remainder))
      return kept;
  } else {
    kept.text = text;
    kept.text_rows = text_rows != nullptr ? *text_rows : MacroRowsIn(text);
  }
  kept.valid = false;
  kept.have_upper = false;
  kept.result = macros.Expand(text, text, pattern, step_pattern, notes);
  notes.valued_rows |= notes.remainder_rows;
  kept.notes = std::move(notes);
  kept.valid = (kept.notes.valued_rows & ~kStableMacroRows) == 0;
  reusable = kept.valid;
  return kept;
}

const std::string& KeptUpper(KeptExpansion& kept, TextEncoding encoding) {
  if (!kept.have_upper) {
    kept.upper = UpperForMatch(encoding, kept.result);
    kept.have_upper = true;
  }
  return kept.upper;
}

}  // namespace

int32_t ScoreFragmentsOfInput(TurnRunner& turn,
                              const OwningList<WordFragmentClass>& fragments,
                              const std::string& input, PatternClass* pattern,
                              StepPatternClass* step_pattern,
                              const std::string* upper_input) {
  if (upper_input != nullptr) {
    int32_t sum = 0;
    for (int i = 0; i < fragments.Count(); ++i)
      sum = CheckedAdd(sum, fragments.At(i)->Score(turn, input, upper_input));
    return sum;
  }
  const TextEncoding encoding = turn.knowledge().text_encoding();
  // A text without "^" expands to itself: no copy.
  if (input.find('^') == std::string::npos) {
    const std::string upper = UpperForMatch(encoding, input);
    int32_t sum = 0;
    for (int i = 0; i < fragments.Count(); ++i)
      sum = CheckedAdd(sum, fragments.At(i)->Score(turn, input, &upper));
    return sum;
  }
  // Outside a choice (a pattern scored on its own) nothing is kept for
  // later patterns.
  KeptExpansions local;
  KeptExpansions& kept =
      turn.kept_expansions() != nullptr ? *turn.kept_expansions() : local;
  MacroExpander macros = turn.macros();
  bool reusable = false;
  KeptExpansion& first = kept.input;
  ExpandKept(macros, first, input, nullptr, pattern, step_pattern, reusable);
  const std::string& expanded = first.result;
  if (first.notes.rows_after == 0) {
    const std::string& upper = KeptUpper(first, encoding);
    int32_t sum = 0;
    for (int i = 0; i < fragments.Count(); ++i)
      sum = CheckedAdd(sum, fragments.At(i)->Score(turn, expanded, &upper));
    return sum;
  }
  // Fragments that test the input expand the expanded input again, first
  // thing in their test. That expansion is made here instead, at the same
  // point, and reused by the later fragments when that changes nothing.
  KeptExpansion& second = kept.second;
  bool have_second = false;
  int32_t sum = 0;
  for (int i = 0; i < fragments.Count(); ++i) {
    WordFragmentClass* f = fragments.At(i);
    if (!TestsExpandedInput(f->RELATION)) {
      sum = CheckedAdd(sum, f->Score(turn, expanded));
      continue;
    }
    if (!have_second || !reusable) {
      ExpandKept(macros, second, expanded, &first.notes.rows_after, pattern,
                 step_pattern, reusable);
      have_second = true;
    }
    sum = CheckedAdd(sum,
                     f->Score(turn, expanded, &KeptUpper(second, encoding), &second.result));
  }
  return sum;
}

int32_t WordFragmentClass::Score(TurnRunner& turn, const std::string& input,
                                 const std::string* upper_input,
                                 const std::string* expanded_input) {
  PatternClass* pattern = OwnerPattern();
  StepPatternClass* step_pattern = OwnerStepPattern();
  auto exp = [&](const std::string& text) {
    return turn.ExpandMacros(text, input, pattern, step_pattern);
  };
  // exp(text) upper-cased; a text without a caret is its own expansion, so
  // it is upper-cased as it is, without a copy first.
  const TextEncoding encoding = turn.knowledge().text_encoding();
  auto up = [encoding](const std::string& text) {
    return UpperForMatch(encoding, text);
  };
  auto up_exp = [&](const std::string& text) {
    return text.find('^') == std::string::npos ? up(text) : up(exp(text));
  };
  // The input expanded and upper-cased, made at most once.
  std::string upper_copy;
  auto upper_in = [&]() -> const std::string& {
    if (upper_input != nullptr) return *upper_input;
    upper_copy = up_exp(input);
    return upper_copy;
  };
  bool holds = false;
  bool tested = true;
  switch (RELATION) {
    case rel::kAnd:
    case rel::kOr:
    case rel::kNot:
    case rel::kCustom: {
      const std::string& a = upper_in();
      const std::string b = up_exp(WORDFRAG);
      holds = FragmentInMatchText(b, a, encoding);
      break;
    }
    case rel::kDataMatch: {
      const std::string a = up_exp(THEVALUE);
      const std::string b = up(turn.GetFact(THENAME));
      holds = a == b;
      break;
    }
    case rel::kStateMatch: {
      const std::string a = up_exp(THENAME);
      const std::string b = up(turn.CurrentStateName());
      holds = a == b;
      break;
    }
    case rel::kInCollection:
      holds = turn.macros().CollectionHasWord(THENAME, input);
      break;
    case rel::kOutMatch: {
      const std::string h = up(turn.RecallOutput(WORDFRAG));
      const std::string b = up_exp(WORDFRAG);
      holds = FragmentInMatchText(b, h, encoding);
      break;
    }
    case rel::kCustomSub: {
      const std::string& a = upper_in();
      const std::string b = up_exp(WORDFRAG);
      holds = PosInMatchText(encoding, b, a) > 0;
      break;
    }
    case rel::kInCollectionSub:
      holds = turn.macros().CollectionHasSubstring(THENAME, input);
      break;
    case rel::kExtract: {
      const std::string a =
          upper_input == nullptr
              ? exp(input)
              : (expanded_input != nullptr ? *expanded_input : input);
      // The template's fact names are upper-cased as names are (a to z
      // only), in UTF-8 too, so ^Fact{} finds what ^Extr{} set; its
      // literals are folded where they are matched.
      const std::string b =
          encoding == TextEncoding::kCodePage
              ? up_exp(WORDFRAG)
              : UpperAscii(WORDFRAG.find('^') == std::string::npos
                               ? WORDFRAG
                               : exp(WORDFRAG));
      holds = turn.ExtractFacts(b, a);
      break;
    }
    default:
      tested = false;
      break;
  }
  int32_t score = 0;
  if (tested) {
    switch (RELATION) {
      case rel::kAnd: score = holds ? 100 : -100; break;
      case rel::kOr: score = holds ? 50 : 0; break;
      case rel::kNot: score = holds ? -100 : 100; break;
      default: score = holds ? BONUS : CheckedNeg(PENALTY); break;
    }
  }
  turn.state().LastFrag = ObjectName;
  if (TurnTrace* trace = turn.state().trace();
      trace != nullptr && trace->collect_fragments)
    trace->scratch.push_back({RELATION, WORDFRAG.empty() ? THENAME : WORDFRAG,
                              holds, score, source()});
  return score;
}

}  // namespace corvane
