#include "cli/lint.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "engine/a1U2.h"
#include "engine/type_tables.h"
#include "langfile/keywords.h"
#include "text/text_util.h"
#include "text/utf8.h"

namespace corvane {
namespace {

bool IsAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9');
}

// A name compared loosely: letters and digits only, upper-cased.
std::string Loose(std::string_view name) {
  std::string out;
  for (char c : name)
    if (IsAlnum(c)) out.push_back(c >= 'a' && c <= 'z' ? c - 32 : c);
  return out;
}

// Edit distance of two short texts (bounded by the callers to 40 bytes).
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// " (did you mean 'X'?)" for the known name closest to `name`, or "".
template <std::size_t N>
std::string Suggestion(std::string_view name,
                       const std::array<std::string_view, N>& known) {
  const std::string loose = Loose(name);
  if (loose.empty() || loose.size() > 40) return {};
  std::size_t best = 3;
  std::string_view best_name;
  for (std::string_view k : known) {
    const std::size_t d = Distance(loose, Loose(k));
    if (d < best) {
      best = d;
      best_name = k;
    }
  }
  if (best_name.empty()) return {};
  return " (did you mean '" + std::string(best_name) + "'?)";
}

// The reader's braced-field scan: the index just after the field (and a
// comma after it), so that the field after it can be found; npos when the
// field's braces never close (the field takes the rest of the line).
std::size_t SkipBracedField(std::string_view rest) {
  long long depth = 0;
  std::size_t i = 0;
  for (; i < rest.size(); ++i) {
    const char c = rest[i];
    if (c == '{') {
      ++depth;
    } else if (c == '}') {
      if (depth == 1) break;
      --depth;
    }
  }
  if (i >= rest.size()) return std::string_view::npos;
  ++i;
  std::size_t j = i;
  while (j < rest.size() && IsTrimmable(rest[j])) ++j;
  if (j < rest.size() && rest[j] == ',') return j + 1;
  return i;
}

std::string CommaField(std::string_view rest) {
  rest = TrimLeftView(rest);
  return Trim(rest.substr(0, rest.find(',')));
}

bool NameIn(const NameList& names, std::string_view name) {
  return names.IndexOf(name) >= 0;
}

// A name that is decided while the conversation runs: not checked.
bool IsDynamic(std::string_view name) {
  return name.find('^') != std::string_view::npos;
}

// Where a macro's braces do not pair up in `text`, or "" when they do.
// Only texts with a macro opening ("^" and a letter) are judged.
std::string BraceProblem(std::string_view text) {
  bool has_macro = false;
  for (std::size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '^' && IsAlnum(text[i + 1])) has_macro = true;
  if (!has_macro) return {};
  long long depth = 0;
  for (char c : text) {
    if (c == '{') {
      ++depth;
    } else if (c == '}') {
      if (depth == 0) return "a '}' that closes no macro";
      --depth;
    }
  }
  if (depth > 0)
    return depth == 1 ? "a macro that is never closed with '}'"
                      : std::to_string(depth) +
                            " macros that are never closed with '}'";
  return {};
}

// Collects the warnings of one reading.
class Linter {
 public:
  Linter(const BrainClass& brain, std::vector<LintWarning>& out)
      : brain_(brain), out_(out) {
    for (int i = 0; i < brain.Collections.Count(); ++i)
      collections_.insert(Key(brain.Collections.At(i)));
  }

  void Run(std::string_view file_text) {
    ScanLines(file_text);
    // Names that responses may create count as defined.
    WalkResponses([&](const auto& r, const ProcClass*) { NoteCreated(r); });
    for (int m = 0; m < brain_.Modes.Count(); ++m)
      CheckMode(*brain_.Modes.At(m));
    for (int p = 0; p < brain_.Procs.Count(); ++p)
      CheckProc(*brain_.Procs.At(p));
    CheckLabels();
  }

 private:
  void Warn(const Item& item, std::string message) {
    if (!item.source().from_file()) return;
    Warn(item.source().line, std::move(message));
  }
  void Warn(int64_t line, std::string message) {
    out_.push_back({line, std::move(message)});
  }

  // ---- The lines as written ----

  void ScanLines(std::string_view file_text) {
    const std::vector<std::string_view> lines = LanguageFileLines(file_text);
    bool in_collection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const int64_t number = static_cast<int64_t>(i) + 1;
      const std::string_view text = TrimLeftView(lines[i]);
      if (in_collection) {
        if (LanguageKeywordOf(text) == "END-COLLECTION") in_collection = false;
        continue;
      }
      const std::string_view keyword = LanguageKeywordOf(text);
      if (keyword.empty()) {
        CheckMisspeltKeyword(number, text);
        continue;
      }
      if (keyword == "START-COLLECTION") in_collection = true;
      const std::string_view after = text.substr(keyword.size());
      CheckKeywordLine(number, keyword, after);
      if (keyword == "FRAGMENT") CheckFragmentKind(number, after);
      if (keyword == "RESPONSE" || keyword == "TASK")
        CheckResponseType(number, keyword, after);
    }
  }

  // A data line (read as a comment) whose first word is a keyword but for
  // up to two edits, and whose rest has the shape of that keyword's line:
  // most likely a misspelt keyword, whose item was never created. Comments
  // that begin with such a word but hold no fields are left alone.
  void CheckMisspeltKeyword(int64_t line, std::string_view text) {
    std::size_t end = 0;
    while (end < text.size() && (IsAlnum(text[end]) || text[end] == '-')) ++end;
    if (end < 2 || end > 40) return;
    const std::string word = UpperAscii(text.substr(0, end));
    const std::string_view rest = TrimView(text.substr(end));
    std::size_t best = 3;
    std::string_view best_keyword;
    for (std::size_t k = 1; k < kLanguageKeywords.size(); ++k) {
      const std::string_view keyword = kLanguageKeywords[k];
      if (keyword == "AUTO-NAME" || !LineShapeFits(keyword, rest)) continue;
      const std::size_t d = Distance(word, std::string(keyword));
      if (d < best) {
        best = d;
        best_keyword = keyword;
      }
    }
    // A short word is a keyword but for two edits too easily.
    if (best_keyword.empty() || best * 2 >= word.size()) return;
    Warn(line, "the line begins with '" + std::string(text.substr(0, end)) +
                   "', which is no keyword, so the line is a comment and "
                   "creates nothing (did you mean '" +
                   KeywordSpelling(best_keyword) + "'?)");
  }

  // Whether `rest`, what follows the first word, could be the rest of a
  // line of `keyword`: nothing for the keywords without fields, numbers
  // for a threshold, a braced field for the others.
  static bool LineShapeFits(std::string_view keyword, std::string_view rest) {
    if (keyword == "FOR-MODE" || keyword == "FOR-STEP" ||
        keyword == "END-COLLECTION")
      return rest.empty();
    if (keyword == "THRESHOLD")
      return !rest.empty() &&
             rest.find_first_not_of("0123456789,- \t") ==
                 std::string_view::npos &&
             rest.find_first_of("0123456789") != std::string_view::npos;
    return rest.find('{') != std::string_view::npos;
  }

  // Comment lines that begin with a keyword are read as keyword lines.
  void CheckKeywordLine(int64_t line, std::string_view keyword,
                        std::string_view after) {
    const std::string shown(keyword);
    const std::string why =
        "the line begins with the keyword " + shown + " and is read as a " +
        shown +
        " line; if it is a comment, begin it with a word that is no keyword";
    if (!after.empty() && (IsAlnum(after.front()) || after.front() == '-'))
      return Warn(line, why);
    const bool takes_fields = keyword != "FOR-MODE" && keyword != "FOR-STEP" &&
                              keyword != "END-COLLECTION" &&
                              keyword != "AUTO-NAME" && keyword != "THRESHOLD";
    if (takes_fields && after.find('{') == std::string_view::npos)
      return Warn(line, why);
    if (!takes_fields && keyword != "THRESHOLD" && !TrimView(after).empty())
      return Warn(line, why);
    if (keyword == "THRESHOLD" &&
        std::none_of(after.begin(), after.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
      return Warn(line, why);
  }

  void CheckFragmentKind(int64_t line, std::string_view after) {
    const std::string name = CommaField(after);
    if (BrainClass::RelationCode(name) != rel::kNone ||
        UpperAscii(name) == "NONE")
      return;
    Warn(line, "unknown fragment kind '" + name +
                   "' is read as None, which never holds" +
                   Suggestion(name, kRelationNames));
  }

  void CheckResponseType(int64_t line, std::string_view keyword,
                         std::string_view after) {
    const std::size_t skipped = SkipBracedField(after);
    if (skipped == std::string_view::npos) {
      Warn(line,
           "the braces of the text do not pair up, so the rest of the "
           "line is read as the text and the type as None");
      return;
    }
    const std::string name = CommaField(after.substr(skipped));
    if (BrainClass::ResponseTypeCode(name) != rt::kNone ||
        UpperAscii(name) == "NONE")
      return;
    Warn(line, "unknown " +
                   std::string(keyword == "TASK" ? "task" : "response") +
                   " type '" + name + "' is read as None" +
                   Suggestion(name, kResponseTypeNames));
  }

  // ---- The knowledge as read ----

  // Calls fn(response or task, procedure of its step or nullptr) for every
  // response and task.
  template <typename Fn>
  void WalkResponses(Fn&& fn) {
    const auto each_response = [&](const OwningList<ResponseClass>& list,
                                   const ProcClass* proc) {
      for (int i = 0; i < list.Count(); ++i) {
        const ResponseClass* r = list.At(i);
        fn(*r, proc);
        for (int t = 0; t < r->Tasks.Count(); ++t) fn(*r->Tasks.At(t), proc);
      }
    };
    for (int m = 0; m < brain_.Modes.Count(); ++m) {
      const KnowledgeClass* mode = brain_.Modes.At(m);
      for (int p = 0; p < mode->Patterns.Count(); ++p) {
        const PatternClass* pattern = mode->Patterns.At(p);
        each_response(pattern->Responses, nullptr);
        for (int t = 0; t < pattern->Thresholds.Count(); ++t)
          each_response(pattern->Thresholds.At(t)->Responses, nullptr);
        for (int s = 0; s < pattern->StateResponses.Count(); ++s)
          each_response(pattern->StateResponses.At(s)->Responses, nullptr);
      }
    }
    for (int p = 0; p < brain_.Procs.Count(); ++p) {
      const ProcClass* proc = brain_.Procs.At(p);
      for (int s = 0; s < proc->Steps.Count(); ++s) {
        const StepClass* step = proc->Steps.At(s);
        for (int sp = 0; sp < step->StepPatterns.Count(); ++sp)
          each_response(step->StepPatterns.At(sp)->Responses, proc);
      }
    }
  }

  template <typename R>
  void NoteCreated(const R& r) {
    switch (r.RESPONSETYPE) {
      case rt::kAddToCollection:
      case rt::kLoadCollection:
      case rt::kWordsToCollection:
        collections_.insert(Key(Trim(r.THENAME)));
        break;
      case rt::kParseCollection:
      case rt::kMergeCollection:
        collections_.insert(Key(Trim(r.THENAME)));
        collections_.insert(Key(Trim(r.THEVALUE)));
        break;
      default:
        break;
    }
  }

  bool CollectionKnown(const std::string& name) const {
    return collections_.count(Key(Trim(name))) > 0;
  }

  void CheckTexts(const Item& item,
                  std::initializer_list<const std::string*> texts) {
    for (const std::string* text : texts) {
      const std::string problem = BraceProblem(*text);
      if (!problem.empty())
        Warn(item, "unbalanced macro braces in '" + *text + "': " + problem);
    }
  }

  void CheckFragment(const WordFragmentClass& f) {
    CheckTexts(f, {&f.WORDFRAG, &f.THENAME, &f.THEVALUE});
    if (IsDynamic(f.THENAME)) return;
    if ((f.RELATION == rel::kInCollection ||
         f.RELATION == rel::kInCollectionSub) &&
        !CollectionKnown(f.THENAME))
      Warn(f, "the fragment tests the collection '" + f.THENAME +
                  "', which nothing defines or fills");
    if (f.RELATION == rel::kStateMatch && !NameIn(brain_.StateNames, f.THENAME))
      Warn(f, "the fragment tests the state '" + f.THENAME +
                  "', which no State line declares");
  }

  template <typename R>
  void CheckResponse(const R& r, const ProcClass* proc) {
    CheckTexts(r, {&r.OUTTEXT, &r.THENAME.str(), &r.THEVALUE.str()});
    const std::string name = Trim(r.THENAME);
    const std::string type = BrainClass::ResponseTypeName(r.RESPONSETYPE);
    const auto undefined = [&](const char* what) {
      Warn(r, type + " names the " + what + " '" + name +
                  "', which nothing defines");
    };
    if (IsDynamic(name)) return;
    switch (r.RESPONSETYPE) {
      case rt::kModeChange:
        if (!NameIn(brain_.ModeNames, name)) undefined("mode");
        break;
      case rt::kStateChange:
        if (!NameIn(brain_.StateNames, name))
          Warn(r, type + " names the state '" + name +
                      "', which no State line declares (it is created when "
                      "the change runs)");
        break;
      case rt::kStartProc:
      case rt::kCallProc:
        if (!NameIn(brain_.ProcNames, name)) undefined("procedure");
        break;
      case rt::kGotoStep: {
        bool found = proc != nullptr && NameIn(proc->StepNames, name);
        for (int p = 0; proc == nullptr && !found && p < brain_.Procs.Count();
             ++p)
          found = NameIn(brain_.Procs.At(p)->StepNames, name);
        if (!found)
          undefined(proc != nullptr ? "step of its procedure" : "step");
        break;
      }
      case rt::kRemoveFromCollection:
      case rt::kSaveCollection:
      case rt::kClearCollection:
      case rt::kSetUnsorted:
        if (!CollectionKnown(name)) undefined("collection");
        break;
      case rt::kDoResponseFor:
      case rt::kDeleteObject: {
        const std::string label = Trim(r.OUTTEXT);
        if (!IsDynamic(label) && brain_.FindNamedObject(label) == nullptr)
          Warn(r, type + " names the label '" + label +
                      "', which no Name-Object line gives");
        break;
      }
      default:
        break;
    }
  }

  // Goto and BranchIf tasks jump to a label that a Set Label task of the
  // same list sets.
  void CheckTaskLabels(const ResponseClass& r) {
    std::set<std::string> labels;
    for (int t = 0; t < r.Tasks.Count(); ++t) {
      const TaskClass* task = r.Tasks.At(t);
      if (task->RESPONSETYPE == rt::kSetLabel)
        labels.insert(Key(Trim(task->THENAME)));
    }
    for (int t = 0; t < r.Tasks.Count(); ++t) {
      const TaskClass* task = r.Tasks.At(t);
      if (task->RESPONSETYPE != rt::kGoto &&
          task->RESPONSETYPE != rt::kBranchIf)
        continue;
      const std::string label = Trim(task->THENAME);
      if (IsDynamic(label) || labels.count(Key(label)) > 0) continue;
      Warn(*task, BrainClass::ResponseTypeName(task->RESPONSETYPE) +
                      " jumps to the label '" + label +
                      "', which no Set Label task of its list sets");
    }
  }

  void CheckResponses(const OwningList<ResponseClass>& list,
                      const ProcClass* proc) {
    for (int i = 0; i < list.Count(); ++i) {
      const ResponseClass* r = list.At(i);
      CheckResponse(*r, proc);
      for (int t = 0; t < r->Tasks.Count(); ++t)
        CheckResponse(*r->Tasks.At(t), proc);
      CheckTaskLabels(*r);
    }
  }

  // The lowest and highest score a fragment can give.
  static std::pair<int64_t, int64_t> FragmentRange(const WordFragmentClass& f) {
    switch (f.RELATION) {
      case rel::kAnd:
      case rel::kNot:
        return {-100, 100};
      case rel::kOr:
        return {0, 50};
      case rel::kDataMatch:
      case rel::kStateMatch:
      case rel::kInCollection:
      case rel::kOutMatch:
      case rel::kCustom:
      case rel::kCustomSub:
      case rel::kInCollectionSub:
      case rel::kExtract: {
        const int64_t hit = f.BONUS;
        const int64_t miss = -static_cast<int64_t>(f.PENALTY);
        return {std::min(hit, miss), std::max(hit, miss)};
      }
      default:
        return {0, 0};
    }
  }

  // Patterns fired for other reasons than winning a turn.
  static bool FiresOtherwise(const PatternClass& p) {
    for (int i = 0; i < p.Fragments.Count(); ++i) {
      switch (p.Fragments.At(i)->RELATION) {
        case rel::kInitialize:
        case rel::kFinalize:
        case rel::kDoBefore:
        case rel::kDoAfter:
        case rel::kVolition:
        case rel::kExternal:
          return true;
        default:
          break;
      }
    }
    return false;
  }

  void CheckMode(const KnowledgeClass& mode) {
    // The highest lowest score of an earlier pattern: a later pattern
    // that cannot score above it never wins, since ties go to the earlier.
    bool have_floor = false;
    int64_t floor = 0;
    const PatternClass* floor_pattern = nullptr;
    for (int i = 0; i < mode.Patterns.Count(); ++i) {
      const PatternClass* p = mode.Patterns.At(i);
      int64_t low = 0;
      int64_t high = 0;
      for (int f = 0; f < p->Fragments.Count(); ++f) {
        const WordFragmentClass* fragment = p->Fragments.At(f);
        CheckFragment(*fragment);
        const auto range = FragmentRange(*fragment);
        low += range.first;
        high += range.second;
      }
      CheckResponses(p->Responses, nullptr);
      int responses = p->Responses.Count();
      for (int t = 0; t < p->Thresholds.Count(); ++t) {
        CheckResponses(p->Thresholds.At(t)->Responses, nullptr);
        responses += p->Thresholds.At(t)->Responses.Count();
      }
      for (int s = 0; s < p->StateResponses.Count(); ++s)
        responses += p->StateResponses.At(s)->Responses.Count();
      if (responses == 0)
        Warn(*p,
             "the pattern has no response: when it fires it says nothing, "
             "and a turn it wins replies with an empty line");
      for (int s = 0; s < p->StateResponses.Count(); ++s) {
        const StateClass* group = p->StateResponses.At(s);
        if (!IsDynamic(group->STATE) &&
            !NameIn(brain_.StateNames, group->STATE))
          Warn(*group, "the responses for the state '" + group->STATE +
                           "' never apply: no State line declares it");
        CheckResponses(group->Responses, nullptr);
      }
      if (!FiresOtherwise(*p)) {
        if (high <= -30000) {
          Warn(*p, "the pattern can never win: it scores at most " +
                       std::to_string(high) +
                       ", and only scores above -30000 "
                       "count");
        } else if (have_floor && high <= floor) {
          Warn(*p, "the pattern can never win" +
                       (mode.Name.empty() ? std::string()
                                          : " in mode '" + mode.Name + "'") +
                       ": it scores at most " + std::to_string(high) +
                       ", and the earlier pattern at line " +
                       std::to_string(floor_pattern->source().line) +
                       " scores at least " + std::to_string(floor) +
                       " (ties go to the earlier pattern)");
        }
      }
      if (p->source().from_file() && (!have_floor || low > floor)) {
        have_floor = true;
        floor = low;
        floor_pattern = p;
      }
    }
  }

  void CheckProc(const ProcClass& proc) {
    for (int s = 0; s < proc.Steps.Count(); ++s) {
      const StepClass* step = proc.Steps.At(s);
      CheckTexts(*step, {&step->Prompt});
      for (int sp = 0; sp < step->StepPatterns.Count(); ++sp) {
        const StepPatternClass* pattern = step->StepPatterns.At(sp);
        for (int f = 0; f < pattern->Fragments.Count(); ++f)
          CheckFragment(*pattern->Fragments.At(f));
        CheckResponses(pattern->Responses, &proc);
        if (pattern->Responses.empty())
          Warn(*pattern,
               "the step pattern has no response: when it wins, nothing is "
               "said but the step's prompt again");
      }
    }
  }

  // A label given twice: name lookups reach only the first.
  void CheckLabels() {
    std::map<std::string, const Item*> first;
    for (int i = 0; i < brain_.NamedObjects.Count(); ++i) {
      const std::string& label = brain_.NamedObjects.At(i);
      const Item* item =
          static_cast<const Item*>(brain_.NamedObjects.ObjectAt(i));
      if (TrimView(label).empty() || item == nullptr) continue;
      const auto [at, added] = first.emplace(Key(label), item);
      if (added || at->second == item) continue;
      std::string where;
      if (at->second->source().from_file())
        where = " (first at line " + std::to_string(at->second->source().line) +
                ")";
      Warn(*item, "the label '" + label + "' is given again" + where +
                      "; names reach only the first item with it");
    }
  }

  // A name as the knowledge base compares it: folded as its name lists
  // fold, so that names equal there are equal here.
  std::string Key(std::string_view name) const {
    return FoldName(brain_.name_folding(), name);
  }

  const BrainClass& brain_;
  std::vector<LintWarning>& out_;
  std::set<std::string> collections_;  // Folded names.
};

}  // namespace

std::string KeywordSpelling(std::string_view keyword) {
  std::string out(keyword);
  bool start = true;
  for (char& c : out) {
    if (!start && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    start = c == '-';
  }
  return out;
}

std::vector<std::string_view> LanguageFileLines(std::string_view input) {
  const std::size_t eof_mark = input.find('\x1a');
  if (eof_mark != std::string_view::npos) input = input.substr(0, eof_mark);
  const bool unix_lines = input.find('\r') == std::string_view::npos;
  const char line_end = unix_lines ? '\n' : '\r';
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < input.size()) {
    const std::size_t end = input.find(line_end, pos);
    if (end == std::string_view::npos) {
      lines.push_back(input.substr(pos));
      break;
    }
    lines.push_back(input.substr(pos, end - pos));
    pos = end + 1;
    if (!unix_lines && pos < input.size() && input[pos] == '\n') ++pos;
  }
  return lines;
}

namespace {

// Texts in the wrong encoding: UTF-8 in a file read in the code page (shown
// and matched as single bytes), and bytes that are no UTF-8 in a file
// declared UTF-8 (read as U+FFFD).
void LintEncoding(const BrainClass& brain, std::string_view file_text,
                  std::vector<LintWarning>& warnings) {
  const bool utf8_file = brain.text_encoding() == TextEncoding::kUtf8;
  const std::vector<std::string_view> lines = LanguageFileLines(file_text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const int64_t number = static_cast<int64_t>(i) + 1;
    if (utf8_file) {
      const std::size_t bad = utf8::FirstInvalid(line);
      if (bad != std::string_view::npos)
        warnings.push_back(
            {number, "invalid UTF-8 at byte " + std::to_string(bad + 1) +
                         " of the line; it is read as U+FFFD"});
    } else if (utf8::HasMultiByteSequence(line)) {
      warnings.push_back(
          {number,
           "the line holds UTF-8 text, but the file is read in the code page "
           "(one byte per character); declare UTF-8 with a byte-order mark or "
           "a line 'Encoding: UTF-8' before the first keyword line"});
    }
  }
}

}  // namespace

std::vector<LintWarning> LintKnowledgeBase(const BrainClass& brain,
                                           std::string_view file_text) {
  std::vector<LintWarning> warnings;
  Linter(brain, warnings).Run(file_text);
  LintEncoding(brain, file_text, warnings);
  std::stable_sort(warnings.begin(), warnings.end(),
                   [](const LintWarning& a, const LintWarning& b) {
                     return a.line < b.line;
                   });
  return warnings;
}

}  // namespace corvane
