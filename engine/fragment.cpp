#include "engine/fragment.h"

#include <vector>

#include "base/ascii.h"
#include "base/checked.h"
#include "base/owning_list.h"
#include "engine/brain.h"
#include "engine/pattern.h"
#include "engine/pattern_index.h"
#include "engine/proc.h"
#include "engine/trace.h"
#include "engine/type_tables.h"
#include "text/fstr.h"
#include "text/text_util.h"

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

  std::vector<unsigned char> folded_f(m);
  for (std::size_t i = 0; i < m; ++i) folded_f[i] = Fold(f[i]);
  std::vector<unsigned char> buf;
  buf.reserve(n);
  for (std::size_t i = 0; i < p; ++i) buf.push_back(Fold(text[i]));
  const bool hashed = m > kDirectCompareMax;
  std::vector<uint64_t> prefix;  // prefix[k]: hash of buf[0..k)
  uint64_t f_hash = 0, base_pow_m = 1;
  if (hashed) {
    for (unsigned char c : folded_f) f_hash = AddMod(MulMod(f_hash, kBase), c + 1u);
    for (std::size_t i = 0; i < m; ++i) base_pow_m = MulMod(base_pow_m, kBase);
    prefix.reserve(n + 1);
    prefix.push_back(0);
    for (unsigned char c : buf) prefix.push_back(AddMod(MulMod(prefix.back(), kBase), c + 1u));
  }
  auto ends_with_fragment = [&]() {
    const std::size_t w = buf.size();
    if (w < m) return false;
    if (hashed) {
      const uint64_t h = SubMod(prefix[w], MulMod(prefix[w - m], base_pow_m));
      if (h != f_hash) return false;
    } else if (buf[w - 1] != folded_f[m - 1]) {
      return false;
    }
    for (std::size_t k = 0; k < m; ++k)
      if (buf[w - m + k] != folded_f[k]) return false;
    return true;
  };
  for (std::size_t r = p + m; r < n;) {
    const unsigned char c = Fold(text[r++]);
    buf.push_back(c);
    if (hashed) prefix.push_back(AddMod(MulMod(prefix.back(), kBase), c + 1u));
    if (!ends_with_fragment()) continue;
    const std::size_t q = buf.size() - m;
    if (Acceptable(first, last, q > 0 ? buf[q - 1] : -1,
                   r < n ? Fold(text[r]) : -1))
      return true;
    buf.resize(q);
    if (hashed) prefix.resize(q + 1);
  }
  return false;
}

int32_t SumFragmentScores(const OwningList<WordFragmentClass>& fragments,
                          const std::string& input) {
  int32_t sum = 0;
  for (int i = 0; i < fragments.Count(); ++i)
    sum = CheckedAdd(sum, fragments.At(i)->Score(input));
  return sum;
}

std::string StripFragmentTexts(const OwningList<WordFragmentClass>& fragments,
                               const std::string& input, PatternClass* pattern,
                               StepPatternClass* step_pattern) {
  BrainClass* brain = pattern != nullptr ? pattern->Brain() : step_pattern->Brain();
  std::string rest = input;
  for (int i = 0; i < fragments.Count(); ++i) {
    const WordFragmentClass* f = fragments.At(i);
    const uint8_t r = f->RELATION;
    const bool strips = r == rel::kAnd || r == rel::kOr || r == rel::kNot ||
                        r == rel::kCustom ||
                        (pattern != nullptr && r == rel::kCustomSub);
    if (!strips) continue;
    // The fragment is expanded against the expanded current text; the
    // current text itself stays unexpanded.
    const std::string context =
        brain->ExpandMacros(rest, rest, pattern, step_pattern);
    const std::string text =
        UpperAscii(brain->ExpandMacros(f->WORDFRAG, context, pattern, step_pattern));
    const int32_t p = PosNoCase(text, UpperAscii(rest));
    if (p > 0) rest.erase(static_cast<std::size_t>(p - 1), text.size());
  }
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

int32_t ScoreFragmentsOfInput(const OwningList<WordFragmentClass>& fragments,
                              const std::string& input, PatternClass* pattern,
                              StepPatternClass* step_pattern,
                              const std::string* upper_input) {
  if (upper_input != nullptr) {
    int32_t sum = 0;
    for (int i = 0; i < fragments.Count(); ++i)
      sum = CheckedAdd(sum, fragments.At(i)->Score(input, upper_input));
    return sum;
  }
  BrainClass* brain = pattern != nullptr ? pattern->Brain() : step_pattern->Brain();
  // A text without "^" expands to itself: no copy.
  std::string expanded_copy;
  const std::string* expanded = &input;
  if (input.find('^') != std::string::npos) {
    expanded_copy = brain->ExpandMacros(input, input, pattern, step_pattern);
    expanded = &expanded_copy;
  }
  if (HasMacroOpening(*expanded)) return SumFragmentScores(fragments, *expanded);
  const std::string upper = UpperAscii(*expanded);
  int32_t sum = 0;
  for (int i = 0; i < fragments.Count(); ++i)
    sum = CheckedAdd(sum, fragments.At(i)->Score(*expanded, &upper));
  return sum;
}

int32_t WordFragmentClass::Score(const std::string& input,
                                 const std::string* upper_input) {
  BrainClass* brain = Brain();
  PatternClass* pattern = OwnerPattern();
  StepPatternClass* step_pattern = OwnerStepPattern();
  auto exp = [&](const std::string& text) {
    return brain->ExpandMacros(text, input, pattern, step_pattern);
  };
  // The input expanded and upper-cased, made at most once.
  std::string upper_copy;
  auto upper_in = [&]() -> const std::string& {
    if (upper_input != nullptr) return *upper_input;
    upper_copy = UpperAscii(exp(input));
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
      const std::string b = UpperAscii(exp(WORDFRAG));
      holds = FragmentInText(b, a);
      break;
    }
    case rel::kDataMatch: {
      const std::string a = UpperAscii(exp(THEVALUE));
      const std::string b = UpperAscii(brain->GetFact(THENAME));
      holds = a == b;
      break;
    }
    case rel::kStateMatch: {
      const std::string a = UpperAscii(exp(THENAME));
      const std::string b = UpperAscii(brain->CurrentStateName());
      holds = a == b;
      break;
    }
    case rel::kInCollection:
      holds = brain->CollectionHasWord(THENAME, input);
      break;
    case rel::kOutMatch: {
      const std::string h = UpperAscii(brain->RecallOutput(WORDFRAG));
      const std::string b = UpperAscii(exp(WORDFRAG));
      holds = FragmentInText(b, h);
      break;
    }
    case rel::kCustomSub: {
      const std::string& a = upper_in();
      const std::string b = UpperAscii(exp(WORDFRAG));
      holds = PosNoCase(b, a) > 0;
      break;
    }
    case rel::kInCollectionSub:
      holds = brain->CollectionHasSubstring(THENAME, input);
      break;
    case rel::kExtract: {
      const std::string a = upper_input != nullptr ? input : exp(input);
      const std::string b = UpperAscii(exp(WORDFRAG));
      holds = brain->ExtractFacts(b, a);
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
  brain->LastFrag = ObjectName;
  if (TurnTrace* trace = brain->trace();
      trace != nullptr && trace->collect_fragments)
    trace->scratch.push_back({RELATION, WORDFRAG.empty() ? THENAME : WORDFRAG,
                              holds, score, source()});
  return score;
}

}  // namespace corvane
