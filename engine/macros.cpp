// Macro expansion: the macro expander of a turn, the condition test of
// "BranchIf" and the two collection tests of "In Collection" fragments.
#include "engine/macros.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/error.h"
#include "engine/brain.h"
#include "engine/macro_expander.h"
#include "engine/turn_runner.h"
#include "engine/collection.h"
#include "engine/fragment.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "platform/locale.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane {

// ---- Openings ----

std::size_t FindMacroOpening(std::string_view text, std::size_t from,
                             std::string_view opening) {
  const auto& upper = FStr::Module().table();
  const std::size_t n = opening.size();
  while (from < text.size()) {
    const std::size_t p = text.find('^', from);
    if (p == std::string_view::npos || text.size() - p < n) break;
    std::size_t k = 1;
    while (k < n && upper[static_cast<unsigned char>(text[p + k])] ==
                        upper[static_cast<unsigned char>(opening[k])])
      ++k;
    if (k == n) return p;
    from = p + 1;
  }
  return std::string_view::npos;
}

namespace {

// For each folded byte, the rows whose opening has it right after the
// caret; most carets of a hostile text are rejected by one look.
struct RowsBySecondByte {
  std::array<std::array<uint8_t, kMacroRows.size()>, 256> rows{};
  std::array<uint8_t, 256> count{};
};

const RowsBySecondByte& SecondByteRows() {
  static const RowsBySecondByte table = [] {
    RowsBySecondByte t;
    const auto& upper = FStr::Module().table();
    for (std::size_t r = 0; r < kMacroRows.size(); ++r) {
      const unsigned char second =
          upper[static_cast<unsigned char>(kMacroRows[r].opening[1])];
      t.rows[second][t.count[second]++] = static_cast<uint8_t>(r);
    }
    return t;
  }();
  return table;
}

// Calls `found(row)` for every opening in `text`, in text order, until it
// returns false.
template <typename Found>
void ForEachOpening(std::string_view text, Found found) {
  const auto& upper = FStr::Module().table();
  const RowsBySecondByte& by_second = SecondByteRows();
  for (std::size_t p = text.find('^'); p != std::string_view::npos;
       p = text.find('^', p + 1)) {
    if (p + 1 >= text.size()) break;
    const unsigned char second = upper[static_cast<unsigned char>(text[p + 1])];
    for (uint8_t i = 0; i < by_second.count[second]; ++i) {
      const std::size_t row = by_second.rows[second][i];
      const std::string_view o = kMacroRows[row].opening;
      if (text.size() - p < o.size()) continue;
      std::size_t k = 2;
      while (k < o.size() && upper[static_cast<unsigned char>(text[p + k])] ==
                                 upper[static_cast<unsigned char>(o[k])])
        ++k;
      if (k == o.size() && !found(row)) return;
    }
  }
}

}  // namespace

uint32_t MacroRowsIn(std::string_view text) {
  uint32_t rows = 0;
  ForEachOpening(text, [&](std::size_t row) {
    rows |= MacroRowBit(row);
    return true;
  });
  return rows;
}

bool HasMacroOpening(std::string_view text) {
  bool any = false;
  ForEachOpening(text, [&](std::size_t) {
    any = true;
    return false;
  });
  return any;
}

// ---- Arithmetic ----

namespace {

// The integer reader's marker for "no number"; an operand that reads as it
// is no integer.
constexpr int32_t kUnreadableMarker = -987654321;

}  // namespace

Operand ClassifyOperand(std::string_view text) {
  const std::string_view t = TrimView(text);
  Operand result;
  if (const auto real = ParseHostReal(t)) {
    result.kind = OperandKind::kReal;
    result.real = *real;
    return result;
  }
  if (const auto integer = TryParseInt32(t);
      integer && *integer != kUnreadableMarker) {
    result.kind = OperandKind::kInteger;
    result.integer = *integer;
    result.real = *integer;
  }
  return result;
}

std::string ArithmeticValue(char op, std::string_view argument) {
  // A "|" only as the first character does not split: ^Add{|5} is "|5".
  std::string_view left = argument, right;
  const std::size_t bar = argument.find('|');
  if (bar != std::string_view::npos && bar > 0) {
    left = argument.substr(0, bar);
    right = argument.substr(bar + 1);
  }
  const Operand a = ClassifyOperand(left);
  const Operand b = ClassifyOperand(right);
  if (a.kind == OperandKind::kNotANumber ||
      b.kind == OperandKind::kNotANumber) {
    std::string joined(left);
    joined += right;
    return joined;
  }
  if (a.kind == OperandKind::kInteger && b.kind == OperandKind::kInteger) {
    const int64_t x = a.integer, y = b.integer;
    int64_t r = 0;
    switch (op) {
      case '+':
        r = x + y;
        break;
      case '-':
        r = x - y;
        break;
      case '*':
        r = x * y;
        break;
      default:
        if (y == 0) return std::string();
        r = x / y;  // Truncates toward zero.
        break;
    }
    if (r < INT32_MIN || r > INT32_MAX) throw OverflowError("Integer overflow");
    return IntToText(r);
  }
  long double r = 0;
  switch (op) {
    case '+':
      r = a.real + b.real;
      break;
    case '-':
      r = a.real - b.real;
      break;
    case '*':
      r = a.real * b.real;
      break;
    default:
      if (b.real == 0) return std::string();
      r = a.real / b.real;
      break;
  }
  if (!std::isfinite(r)) return std::string();
  return FormatGeneralReal(r);
}

std::string FormatGeneralReal(long double value) {
  if (value == 0) return "0";  // Also -0.
  // %.14Le rounds to 15 significant digits: "-d.dddddddddddddde+XXXX".
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14Le", value);
  const char* p = buf;
  std::string out;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  std::string digits;
  for (; *p != 'e' && *p != '\0'; ++p)
    if (*p >= '0' && *p <= '9') digits.push_back(*p);
  const int exponent = *p == 'e' ? std::atoi(p + 1) : 0;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (exponent >= -4 && exponent < 15) {
    if (exponent >= 0) {
      const std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= int_digits) {
        out += digits;
        out.append(int_digits - digits.size(), '0');
      } else {
        out.append(digits, 0, int_digits);
        out.push_back(kDecimalSeparator);
        out.append(digits, int_digits, std::string::npos);
      }
    } else {
      out.push_back('0');
      out.push_back(kDecimalSeparator);
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
    return out;
  }
  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back(kDecimalSeparator);
    out.append(digits, 1, std::string::npos);
  }
  out.push_back('E');
  if (exponent < 0) out.push_back('-');
  out += std::to_string(exponent < 0 ? -exponent : exponent);
  return out;
}

// ---- Expansion ----

namespace {

enum Row {
  kFact,
  kSysFact,
  kMember,
  kMemberSub,
  kMembers,
  kMemberX,
  kMemberZ,
  kState,
  kRemain,
  kInput,
  kLastOut,
  kLastPat,
  kLastSPat,
  kLastFrag,
  kLastResp,
  kLastTask,
  kLastKnow,
  kAutoName,
  kAdd,
  kSub,
  kMul,
  kDiv,
};

// The conversation whose remainder is being computed on this thread, if
// any. The remainder computation expands the input again; leaving
// "^Remain{}" unexpanded meanwhile ends what would otherwise be an endless
// recursion.
thread_local const ConversationState* remainder_in_progress = nullptr;

class RemainderGuard {
 public:
  explicit RemainderGuard(const ConversationState* state)
      : previous_(remainder_in_progress) {
    remainder_in_progress = state;
  }
  ~RemainderGuard() { remainder_in_progress = previous_; }
  RemainderGuard(const RemainderGuard&) = delete;
  RemainderGuard& operator=(const RemainderGuard&) = delete;

 private:
  const ConversationState* previous_;
};

// The candidates of ^MemberZ{A|B}, distinct and in member order of B.
struct RelatedMembers {
  std::vector<std::string> preferred;
  std::vector<std::string> candidates;
};

// One call of ExpandMacros. Values that depend only on the input and the
// knowledge, and that cost a pass over the input, are computed once per
// call and kept here, so a long input full of the same macro stays linear:
// the word list of the input, the index matches of each collection, the
// whole-word tests of single words, the ^MemberZ candidates of each pair of
// collections and the remainder. Nothing the expansion does changes
// members, facts or fragments, so the kept values stay true for the call.
class Expander {
 public:
  Expander(TurnRunner& turn, const std::string& input, PatternClass* pattern,
           StepPatternClass* step_pattern, ExpansionNotes& notes,
           uint32_t& valued_rows)
      : brain_(turn),
        input_(input),
        pattern_(pattern),
        step_pattern_(step_pattern),
        notes_(notes),
        valued_rows_(valued_rows) {}

  // Expands every occurrence of one row in `work` and counts the
  // replacements in `replacements`. Returns false when an argument macro
  // has no closing brace: the rest of the text then stays as it is and the
  // expansion ends.
  bool ExpandRow(int row, std::string& work, std::size_t& replacements);

 private:
  std::string Value(int row, const std::string& argument);
  std::string MemberValue(const std::string& selector);
  std::string MemberSubValue(const std::string& name);
  std::string MemberXValue(const std::string& selector);
  std::string MemberZValue(const std::string& selector);
  std::string IndexedMember(const DataCollectionClass* c,
                            std::string_view index);
  const RelatedMembers& Related(const DataCollectionClass* a,
                                const DataCollectionClass* b);
  bool WordInInput(const std::string& word);
  const std::string& Remainder();
  TextEncoding encoding() const { return brain_.knowledge().text_encoding(); }

  TurnRunner& brain_;  // The turn.
  const std::string& input_;
  PatternClass* pattern_;
  StepPatternClass* step_pattern_;

  std::optional<std::unordered_set<std::string>> input_words_;
  std::unordered_map<const DataCollectionClass*, std::vector<std::string>>
      index_matches_;
  std::unordered_map<std::string, bool> word_in_input_;
  std::map<std::pair<const DataCollectionClass*, const DataCollectionClass*>,
           RelatedMembers>
      related_;
  ExpansionNotes& notes_;  // Holds the remainder once made.
  uint32_t& valued_rows_;  // The conversation's rows valued so far.
};

// The collection name of a selector: the text before its first "|", or all.
std::string_view SelectorName(std::string_view selector) {
  return selector.substr(0, selector.find('|'));
}

// The row loop restarts its search at the start of the working text after
// every replacement. Everything before the replaced stretch held no
// occurrence, so the next one can begin at most (opening length - 1) bytes
// before it; the search resumes there, which finds the same occurrence.
//
// The working text lives in two buffers: `out`, the settled text before
// the search position, and `rest`, the text from the search position on,
// stored reversed so that taking bytes from its front and putting a value
// (which may hold the row's macro again) back in front of it cost only the
// bytes moved. Resuming earlier moves the last bytes of `out` back.
//
// A row makes at most as many replacements as the text held openings of it
// when the row began, plus kMaxMacroReplacementsPerRow for openings that
// values brought in; it stops before a replacement that would grow the
// working text beyond kMaxExpandedText or bring the bytes it has inserted
// beyond that size. A stopped row leaves the rest of the text as it is and
// the later rows go on.
bool Expander::ExpandRow(int row, std::string& work,
                         std::size_t& replacements) {
  const MacroRow& entry = kMacroRows[row];
  const std::string_view opening = entry.opening;
  const std::size_t len = opening.size();
  if (row == kRemain && ((pattern_ == nullptr && step_pattern_ == nullptr) ||
                         remainder_in_progress == &brain_.state()))
    return true;
  const std::size_t first = FindMacroOpening(work, 0, opening);
  if (first == std::string::npos) return true;

  std::size_t budget = kMaxMacroReplacementsPerRow;
  for (std::size_t p = first; p != std::string::npos;
       p = FindMacroOpening(work, p + len, opening))
    ++budget;

  std::string out(work, 0, first);
  std::string rest(work.rbegin(),
                   work.rend() - static_cast<std::ptrdiff_t>(first));
  std::string().swap(work);
  const auto& upper = FStr::Module().table();
  std::size_t inserted = 0;
  bool closed = true;

  auto settle_rest = [&] {
    out.append(rest.rbegin(), rest.rend());
    rest.clear();
  };

  while (!rest.empty()) {
    // Move everything before the next "^" to `out`.
    const auto caret = std::find(rest.rbegin(), rest.rend(), '^');
    out.append(rest.rbegin(), caret);
    rest.resize(static_cast<std::size_t>(rest.rend() - caret));
    if (rest.empty()) break;
    bool match = rest.size() >= len;
    for (std::size_t k = 1; match && k < len; ++k)
      match = upper[static_cast<unsigned char>(rest[rest.size() - 1 - k])] ==
              upper[static_cast<unsigned char>(opening[k])];
    if (!match) {
      out.push_back('^');
      rest.pop_back();
      continue;
    }

    std::size_t stretch = len;
    std::string argument;
    if (entry.has_argument) {
      const auto after_opening =
          rest.rbegin() + static_cast<std::ptrdiff_t>(len);
      const auto brace = std::find(after_opening, rest.rend(), '}');
      if (brace == rest.rend()) {
        closed = false;
        settle_rest();
        break;
      }
      argument.assign(after_opening, brace);
      stretch = static_cast<std::size_t>(brace - rest.rbegin()) + 1;
    }
    if (replacements == budget) {
      settle_rest();
      break;
    }
    valued_rows_ |= MacroRowBit(static_cast<std::size_t>(row));
    // The remainder is kept by the expansion and not copied.
    std::string own_value;
    if (row != kRemain) own_value = Value(row, argument);
    const std::string& value = row == kRemain ? Remainder() : own_value;
    const std::size_t new_size =
        out.size() + rest.size() - stretch + value.size();
    if ((value.size() > stretch && new_size > kMaxExpandedText) ||
        value.size() > kMaxExpandedText - inserted) {
      settle_rest();
      break;
    }
    rest.resize(rest.size() - stretch);
    ++replacements;
    inserted += value.size();
    if (row == kRemain &&
        FindMacroOpening(value, 0, opening) != std::string::npos) {
      // The remainder is the same for every ^Remain{} of this expansion, so
      // one that holds ^Remain{} (typed by the user) would bring it back
      // forever. Its text goes out as it is instead.
      out += value;
      continue;
    }
    rest.append(value.rbegin(), value.rend());
    const std::size_t back = std::min(out.size(), len - 1);
    rest.append(out.rbegin(), out.rbegin() + static_cast<std::ptrdiff_t>(back));
    out.resize(out.size() - back);
  }
  work = std::move(out);
  return closed;
}

std::string Expander::Value(int row, const std::string& argument) {
  switch (row) {
    case kFact:
      return brain_.GetFact(argument);
    case kSysFact:
      return brain_.SystemValue(argument);
    case kMember:
      return MemberValue(argument);
    case kMemberSub:
      return MemberSubValue(argument);
    case kMembers: {
      const DataCollectionClass* c = brain_.FindCollection(argument);
      return c ? c->AllMembers(input_) : std::string();
    }
    case kMemberX:
      return MemberXValue(argument);
    case kMemberZ:
      return MemberZValue(argument);
    case kState:
      return brain_.CurrentStateName();
    case kRemain:
      return Remainder();  // Not reached: ExpandRow asks Remainder.
    case kInput:
      return brain_.RecallInput(argument);
    case kLastOut:
      return brain_.RecallOutput(argument);
    case kLastPat:
      return brain_.state().LastPat;
    case kLastSPat:
      return brain_.state().LastSPat;
    case kLastFrag:
      return brain_.state().LastFrag;
    case kLastResp:
      return brain_.state().LastResp;
    case kLastTask:
      return brain_.state().LastTask;
    case kLastKnow:
      return brain_.state().LastKnow;
    case kAutoName:
      return brain_.AutoName();
    case kAdd:
      return ArithmeticValue('+', argument);
    case kSub:
      return ArithmeticValue('-', argument);
    case kMul:
      return ArithmeticValue('*', argument);
    default:
      return ArithmeticValue('/', argument);
  }
}

// ^Member{name} keeps one pick per collection and turn: the pick is
// remembered with the turn's LastInput, which differs from turn to turn.
std::string Expander::MemberValue(const std::string& selector) {
  DataCollectionClass* c = brain_.FindCollection(SelectorName(selector));
  if (c == nullptr) return std::string();
  const std::size_t bar = selector.find('|');
  std::string value;
  if (bar == std::string::npos) {
    if (brain_.RememberedPick(*c, false, &value)) return value;
    value = c->FirstWordMember(input_);
  } else {
    value = IndexedMember(c, std::string_view(selector).substr(bar + 1));
  }
  brain_.RememberPick(*c, false, value);
  return value;
}

std::string Expander::MemberSubValue(const std::string& name) {
  DataCollectionClass* c = brain_.FindCollection(name);
  if (c == nullptr) return std::string();
  std::string value;
  if (brain_.RememberedPick(*c, true, &value)) return value;
  value = c->FirstSubstringMember(input_);
  brain_.RememberPick(*c, true, value);
  return value;
}

std::string Expander::MemberXValue(const std::string& selector) {
  DataCollectionClass* c = brain_.FindCollection(SelectorName(selector));
  return c ? c->PickMember(selector, brain_.state().random()) : std::string();
}

// Candidate n among the members, in member order, that equal a word of the
// input. The same as the collection's IndexedWordMember, with the input's
// words and each collection's matches found once per expansion.
std::string Expander::IndexedMember(const DataCollectionClass* c,
                                    std::string_view index) {
  if (input_.empty()) return std::string();
  const int32_t n = TryParseInt32(TrimView(index)).value_or(-1);
  if (n < 0) return std::string();
  auto found = index_matches_.find(c);
  if (found == index_matches_.end()) {
    if (!input_words_) {
      NameList words;
      SplitWords(input_, words, encoding());
      input_words_.emplace();
      for (const NameList::Entry& e : words.entries())
        input_words_->insert(UpperForMatch(encoding(), e.name));
    }
    std::vector<std::string> matches;
    for (const NameList::Entry& m : c->Members.entries())
      if (input_words_->count(UpperForMatch(encoding(), m.name)) > 0)
        matches.push_back(m.name);
    found = index_matches_.emplace(c, std::move(matches)).first;
  }
  const std::vector<std::string>& matches = found->second;
  return static_cast<std::size_t>(n) < matches.size()
             ? matches[static_cast<std::size_t>(n)]
             : std::string();
}

bool Expander::WordInInput(const std::string& word) {
  const auto found = word_in_input_.find(word);
  if (found != word_in_input_.end()) return found->second;
  const bool holds = FragmentInText(word, input_, encoding());
  word_in_input_.emplace(word, holds);
  return holds;
}

const RelatedMembers& Expander::Related(const DataCollectionClass* a,
                                        const DataCollectionClass* b) {
  const auto key = std::make_pair(a, b);
  const auto found = related_.find(key);
  if (found != related_.end()) return found->second;
  RelatedMembers related;
  std::unordered_set<std::string> seen_preferred, seen_candidates;
  for (const NameList::Entry& m : b->Members.entries()) {
    NameList words;
    SplitWords(m.name, words, encoding());
    bool candidate = false, preferred = false;
    for (const NameList::Entry& w : words.entries()) {
      if (!candidate && a->HasWordMember(w.name)) candidate = true;
      if (!preferred && WordInInput(w.name)) preferred = true;
      if (candidate && preferred) break;
    }
    if (!candidate) continue;
    if (seen_candidates.insert(m.name).second)
      related.candidates.push_back(m.name);
    if (preferred && seen_preferred.insert(m.name).second)
      related.preferred.push_back(m.name);
  }
  return related_.emplace(key, std::move(related)).first->second;
}

std::string Expander::MemberZValue(const std::string& selector) {
  const std::size_t bar = selector.find('|');
  if (bar == std::string::npos) return MemberXValue(selector);
  const DataCollectionClass* a =
      brain_.FindCollection(std::string_view(selector).substr(0, bar));
  const DataCollectionClass* b =
      brain_.FindCollection(std::string_view(selector).substr(bar + 1));
  if (a == nullptr || b == nullptr) return std::string();
  const RelatedMembers& related = Related(a, b);
  const std::vector<std::string>& pool =
      related.preferred.empty() ? related.candidates : related.preferred;
  if (pool.empty()) return std::string();
  return pool[static_cast<std::size_t>(
      brain_.state().random().Below(static_cast<int32_t>(pool.size())))];
}

const std::string& Expander::Remainder() {
  if (!notes_.remainder_made) {
    notes_.remainder_cut = MacroExpander(brain_).CutRemainder(
        input_, pattern_, step_pattern_, notes_.remainder, nullptr,
        notes_.remainder_rows);
    notes_.remainder_made = true;
  }
  return notes_.remainder_cut ? notes_.remainder : input_;
}

}  // namespace

std::string MacroExpander::Expand(const std::string& text,
                                  const std::string& input,
                                  PatternClass* pattern,
                                  StepPatternClass* step_pattern) {
  // Most texts hold no macro at all: only the copy of the result.
  if (text.find('^') == std::string::npos) return text;
  ExpansionNotes notes;
  return Expand(text, input, pattern, step_pattern, notes);
}

namespace {

// Gathers the rows valued by one expansion and those nested in it into
// its notes, and adds them to what the enclosing expansion has valued.
class ValuedRowsScope {
 public:
  ValuedRowsScope(uint32_t& brain_rows, uint32_t& notes_rows)
      : brain_rows_(brain_rows),
        notes_rows_(notes_rows),
        outer_(std::exchange(brain_rows, 0)) {}
  ~ValuedRowsScope() {
    notes_rows_ |= brain_rows_;
    brain_rows_ |= outer_;
  }
  ValuedRowsScope(const ValuedRowsScope&) = delete;
  ValuedRowsScope& operator=(const ValuedRowsScope&) = delete;

 private:
  uint32_t& brain_rows_;
  uint32_t& notes_rows_;
  uint32_t outer_;
};

}  // namespace

std::string MacroExpander::Expand(const std::string& text,
                                  const std::string& input,
                                  PatternClass* pattern,
                                  StepPatternClass* step_pattern,
                                  ExpansionNotes& notes) {
  // A row without an opening in the text leaves it as it is, so only the
  // rows found are visited; after a row has replaced something, the text
  // is looked at again, since values (and the bytes around them) may hold
  // openings of later rows.
  uint32_t rows = MacroRowsIn(text);
  notes.rows_after = rows;
  if (rows == 0) return text;
  // A promotion during the turn moved the knowledge: the pattern whose
  // fragments ^Remain{} takes out is the private copy.
  pattern = turn_.Live(pattern);
  step_pattern = turn_.Live(step_pattern);
  uint32_t& valued_rows = turn_.state().valued_rows_;
  ValuedRowsScope scope(valued_rows, notes.valued_rows);
  Expander expander(turn_, input, pattern, step_pattern, notes, valued_rows);
  std::string work = text;
  for (int row = 0; row < static_cast<int>(kMacroRows.size()); ++row) {
    if ((rows & MacroRowBit(static_cast<std::size_t>(row))) == 0) continue;
    std::size_t replacements = 0;
    const bool closed = expander.ExpandRow(row, work, replacements);
    if (replacements > 0) rows = MacroRowsIn(work);
    if (!closed) break;
  }
  notes.rows_after = rows;
  return work;
}

bool MacroExpander::CutRemainder(const std::string& input,
                                 PatternClass* pattern,
                                 StepPatternClass* step_pattern,
                                 std::string& rest, const uint32_t* input_rows,
                                 uint32_t& valued_rows) {
  pattern = turn_.Live(pattern);
  step_pattern = turn_.Live(step_pattern);
  RemainderGuard guard(&turn_.state());
  ValuedRowsScope scope(turn_.state().valued_rows_, valued_rows);
  return CutFragmentTexts(
      turn_, pattern != nullptr ? pattern->Fragments : step_pattern->Fragments,
      input, pattern, step_pattern, rest, input_rows);
}

bool MacroExpander::RowsWouldExpand(
    uint32_t rows, const PatternClass* pattern,
    const StepPatternClass* step_pattern) const {
  if ((pattern == nullptr && step_pattern == nullptr) ||
      remainder_in_progress == &turn_.state())
    rows &= ~MacroRowBit(kRemain);
  return rows != 0;
}

bool MacroExpander::TestCondition(const std::string& condition) {
  static constexpr std::string_view kOperators[] = {">=", "<=", "<", ">", "="};
  const std::string_view c = condition;
  std::size_t at = std::string_view::npos;
  std::string_view op;
  for (const std::string_view candidate : kOperators) {
    at = c.find(candidate);
    if (at != std::string_view::npos) {
      op = candidate;
      break;
    }
  }
  if (at == std::string_view::npos) {
    const std::string word = UpperAscii(TrimView(c));
    return word == "TRUE" || word == "YES";
  }
  const std::string_view left = TrimView(c.substr(0, at));
  const std::string_view right = TrimView(c.substr(at + op.size()));
  int order;
  const auto x = ParseHostReal(left);
  const auto y = ParseHostReal(right);
  if (x && y)
    order = *x < *y ? -1 : (*x > *y ? 1 : 0);
  else
    order = left.compare(right);  // Byte order, as unsigned bytes.
  if (op == ">=") return order >= 0;
  if (op == "<=") return order <= 0;
  if (op == "<") return order < 0;
  if (op == ">") return order > 0;
  return order == 0;
}

bool MacroExpander::CollectionHasWord(const std::string& name,
                                      const std::string& text) {
  const DataCollectionClass* c = turn_.FindCollection(name);
  return c != nullptr && c->HasWordMember(text);
}

bool MacroExpander::CollectionHasSubstring(const std::string& name,
                                           const std::string& text) {
  const DataCollectionClass* c = turn_.FindCollection(name);
  return c != nullptr && c->HasSubstringMember(text);
}

}  // namespace corvane
