#include "cli/lsp_index.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "cli/cli_support.h"
#include "cli/lint.h"
#include "engine/a1U2.h"
#include "engine/type_tables.h"
#include "langfile/CorvLangU.h"
#include "langfile/keywords.h"
#include "platform/files.h"
#include "text/text_util.h"

namespace corvane {
namespace {

// Macros whose argument names a collection (up to a "|"), or a fact.
struct MacroName {
  std::string_view opening;  // Upper case, "^FACT{".
  SymbolKind kind;
};
constexpr MacroName kMacroNames[] = {
    {"^FACT{", SymbolKind::kFact},
    {"^EXTR{", SymbolKind::kFact},
    {"^MEMBER{", SymbolKind::kCollection},
    {"^MEMBERS{", SymbolKind::kCollection},
    {"^MEMBERX{", SymbolKind::kCollection},
    {"^MEMBERSUB{", SymbolKind::kCollection},
    {"^MEMBERZ{", SymbolKind::kCollection},
};

bool IsDynamic(std::string_view name) {
  return name.find('^') != std::string_view::npos;
}

// The range of `field`'s text trimmed (the name as the engine reads it).
TextRange TrimmedRange(const std::string& text, TextRange range,
                       std::string* trimmed) {
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && IsTrimmable(text[b])) ++b;
  while (e > b && IsTrimmable(text[e - 1])) --e;
  *trimmed = text.substr(b, e - b);
  return {range.line, range.begin + static_cast<int64_t>(b),
          range.begin + static_cast<int64_t>(e)};
}

std::string Lines(const std::vector<int64_t>& numbers) {
  std::string out;
  for (std::size_t i = 0; i < numbers.size() && i < 20; ++i)
    out += (i == 0 ? "" : ", ") + std::to_string(numbers[i]);
  if (numbers.size() > 20) out += ", ...";
  return out;
}

}  // namespace

const char* SymbolKindName(SymbolKind kind) {
  static const char* const kNames[] = {
      "mode", "procedure", "step", "state", "collection", "fact", "label"};
  return kNames[static_cast<int>(kind)];
}

DocumentIndex::DocumentIndex(std::string_view text) {
  for (std::string_view line : LanguageFileLines(text))
    lines_.emplace_back(line);
  for (std::size_t i = 0; i < lines_.size(); ++i)
    ReadLine(static_cast<int64_t>(i), lines_[i]);
  CloseOutline(static_cast<int64_t>(lines_.size()) - 1);
}

std::vector<DocumentIndex::Field> DocumentIndex::BracedFields(
    int64_t line, std::string_view text, std::size_t from) const {
  std::vector<Field> fields;
  std::size_t i = from;
  while (i < text.size()) {
    const std::size_t open = text.find('{', i);
    if (open == std::string_view::npos) break;
    int depth = 0;
    std::size_t j = open;
    for (; j < text.size(); ++j) {
      if (text[j] == '{') ++depth;
      if (text[j] == '}' && --depth == 0) break;
    }
    Field field;
    field.text = std::string(text.substr(open + 1, j - open - 1));
    field.range = {line, static_cast<int64_t>(open + 1),
                   static_cast<int64_t>(std::min(j, text.size()))};
    fields.push_back(std::move(field));
    i = j + 1;
  }
  return fields;
}

void DocumentIndex::AddUse(SymbolKind kind, const std::string& name,
                           TextRange range, bool definition, std::string how) {
  if (IsDynamic(name)) return;
  SymbolUse use{kind,  name,       kind == SymbolKind::kStep ? procedure_ : "",
                range, definition, std::move(how)};
  uses_.push_back(std::move(use));
}

void DocumentIndex::MacroUses(const Field& field) {
  const std::string upper = UpperAscii(field.text);
  for (const MacroName& macro : kMacroNames) {
    for (std::size_t at = upper.find(macro.opening); at != std::string::npos;
         at = upper.find(macro.opening, at + 1)) {
      const std::size_t begin = at + macro.opening.size();
      std::size_t end = upper.find('}', begin);
      if (end == std::string::npos) continue;
      if (macro.kind == SymbolKind::kCollection)
        end = std::min(end, upper.find('|', begin));
      const std::string name = field.text.substr(begin, end - begin);
      if (name.empty() || IsDynamic(name)) continue;
      std::string how(macro.opening.substr(1, macro.opening.size() - 2));
      for (std::size_t c = 1; c < how.size(); ++c)
        how[c] =
            static_cast<char>(how[c] + 32 * (how[c] >= 'A' && how[c] <= 'Z'));
      AddUse(macro.kind, name,
             {field.range.line, field.range.begin + static_cast<int64_t>(begin),
              field.range.begin + static_cast<int64_t>(end)},
             false, "^" + how + "{}");
    }
  }
}

void DocumentIndex::CloseOutline(int64_t line) {
  if (outline_.empty()) return;
  OutlineItem& last = outline_.back();
  if (last.last_line < last.first_line) last.last_line = line;
  if (!last.children.empty() &&
      last.children.back().last_line < last.children.back().first_line)
    last.children.back().last_line = line;
}

void DocumentIndex::ReadLine(int64_t number, const std::string& line) {
  const std::size_t indent =
      std::find_if(line.begin(), line.end(),
                   [](char c) { return !IsTrimmable(c); }) -
      line.begin();
  const std::string_view text = std::string_view(line).substr(indent);
  const std::string_view keyword = LanguageKeywordOf(text);
  if (in_collection_) {
    if (keyword == "END-COLLECTION") {
      in_collection_ = false;
      if (!outline_.empty() && outline_.back().kind == SymbolKind::kCollection)
        outline_.back().last_line = number;
    }
    return;
  }
  if (keyword.empty()) return;
  const std::size_t after = indent + keyword.size();
  const std::vector<Field> fields = BracedFields(number, line, after);
  std::string name;
  const auto first_name = [&](std::size_t i) {
    name.clear();
    return i < fields.size()
               ? TrimmedRange(fields[i].text, fields[i].range, &name)
               : TextRange{number, 0, 0};
  };
  for (const Field& f : fields) MacroUses(f);

  const auto open_outline = [&](SymbolKind kind, TextRange range) {
    CloseOutline(number - 1);
    outline_.push_back({kind, name, range, number, -1, {}});
  };
  if (keyword == "MODE") {
    const TextRange r = first_name(0);
    AddUse(SymbolKind::kMode, name, r, true, "Mode");
    open_outline(SymbolKind::kMode, r);
    procedure_.clear();
  } else if (keyword == "FOR-MODE" && outline_.empty() && !first_mode_open_) {
    // Patterns before any "Mode" line belong to the brain's first mode.
    first_mode_open_ = true;
    name = "Default";
    open_outline(SymbolKind::kMode, {number, static_cast<int64_t>(indent),
                                     static_cast<int64_t>(after)});
  } else if (keyword == "PROCEDURE") {
    const TextRange r = first_name(0);
    procedure_ = name;
    AddUse(SymbolKind::kProcedure, name, r, true, "Procedure");
    open_outline(SymbolKind::kProcedure, r);
  } else if (keyword == "STEP") {
    const TextRange r = first_name(0);
    AddUse(SymbolKind::kStep, name, r, true, "Step");
    if (!outline_.empty() && outline_.back().kind == SymbolKind::kProcedure) {
      OutlineItem& proc = outline_.back();
      if (!proc.children.empty()) proc.children.back().last_line = number - 1;
      proc.children.push_back({SymbolKind::kStep, name, r, number, -1, {}});
    }
  } else if (keyword == "STATE") {
    AddUse(SymbolKind::kState, name, first_name(0), true, "State");
  } else if (keyword == "START-COLLECTION") {
    const TextRange r = first_name(0);
    AddUse(SymbolKind::kCollection, name, r, true, "Start-Collection");
    open_outline(SymbolKind::kCollection, r);
    in_collection_ = true;
  } else if (keyword == "FACT") {
    AddUse(SymbolKind::kFact, name, first_name(0), true, "Fact");
  } else if (keyword == "NAME-OBJECT") {
    AddUse(SymbolKind::kLabel, name, first_name(0), true, "Name-Object");
  } else if (keyword == "FOR-STATE") {
    AddUse(SymbolKind::kState, name, first_name(0), false, "For-State");
  } else if (keyword == "FRAGMENT") {
    const std::string kind_name =
        Trim(text.substr(keyword.size())
                 .substr(0, text.substr(keyword.size()).find(',')));
    const uint8_t relation = BrainClass::RelationCode(kind_name);
    const TextRange r = first_name(1);
    const std::string how = BrainClass::RelationName(relation);
    if (relation == rel::kInCollection || relation == rel::kInCollectionSub)
      AddUse(SymbolKind::kCollection, name, r, false, how);
    else if (relation == rel::kStateMatch)
      AddUse(SymbolKind::kState, name, r, false, how);
    else if (relation == rel::kDataMatch)
      AddUse(SymbolKind::kFact, name, r, false, how);
  } else if (keyword == "RESPONSE" || keyword == "TASK") {
    if (fields.empty()) return;
    const std::size_t type_begin =
        static_cast<std::size_t>(fields[0].range.end) + 1;
    std::string_view rest =
        std::string_view(line).substr(std::min(type_begin, line.size()));
    rest = TrimLeftView(rest);
    if (!rest.empty() && rest.front() == ',') rest.remove_prefix(1);
    const uint8_t type =
        BrainClass::ResponseTypeCode(rest.substr(0, rest.find(',')));
    const std::string how = BrainClass::ResponseTypeName(type);
    const TextRange r = first_name(1);
    switch (type) {
      case rt::kModeChange:
        AddUse(SymbolKind::kMode, name, r, false, how);
        break;
      case rt::kStartProc:
      case rt::kCallProc:
        AddUse(SymbolKind::kProcedure, name, r, false, how);
        break;
      case rt::kGotoStep:
        AddUse(SymbolKind::kStep, name, r, false, how);
        break;
      case rt::kStateChange:
        AddUse(SymbolKind::kState, name, r, false, how);
        break;
      case rt::kAssignment:
        AddUse(SymbolKind::kFact, name, r, false, how);
        break;
      case rt::kAddToCollection:
      case rt::kRemoveFromCollection:
      case rt::kLoadCollection:
      case rt::kSaveCollection:
      case rt::kClearCollection:
      case rt::kSetUnsorted:
      case rt::kWordsToCollection:
        AddUse(SymbolKind::kCollection, name, r, false, how);
        break;
      case rt::kParseCollection:
      case rt::kMergeCollection: {
        AddUse(SymbolKind::kCollection, name, r, false, how);
        const TextRange r2 = first_name(2);
        AddUse(SymbolKind::kCollection, name, r2, false, how);
        break;
      }
      case rt::kDoResponseFor:
      case rt::kDeleteObject:
      case rt::kSelfModify: {
        const TextRange r0 = first_name(0);
        AddUse(SymbolKind::kLabel, name, r0, false, how);
        break;
      }
      default:
        break;
    }
  }
}

const SymbolUse* DocumentIndex::UseAt(int64_t line, int64_t column) const {
  for (const SymbolUse& use : uses_)
    if (use.range.line == line && use.range.begin <= column &&
        column <= use.range.end && !use.name.empty())
      return &use;
  return nullptr;
}

std::vector<const SymbolUse*> DocumentIndex::UsesOf(
    const SymbolUse& use) const {
  std::vector<const SymbolUse*> out;
  const std::string key = UpperAscii(use.name);
  // A step named outside any procedure context matches steps of every
  // procedure; one with a procedure only that procedure's.
  for (const SymbolUse& other : uses_) {
    if (other.kind != use.kind || UpperAscii(other.name) != key) continue;
    if (use.kind == SymbolKind::kStep && !use.scope.empty() &&
        !other.scope.empty() &&
        UpperAscii(use.scope) != UpperAscii(other.scope))
      continue;
    out.push_back(&other);
  }
  return out;
}

std::string DocumentIndex::Hover(const SymbolUse& use) const {
  std::string out =
      "**" + std::string(SymbolKindName(use.kind)) + "** `" + use.name + "`";
  if (use.kind == SymbolKind::kStep && !use.scope.empty())
    out += " of procedure `" + use.scope + "`";
  std::vector<int64_t> defined, used;
  std::set<std::string> hows;
  for (const SymbolUse* u : UsesOf(use)) {
    (u->definition ? defined : used).push_back(u->range.line + 1);
    if (!u->definition) hows.insert(u->how);
  }
  out += "\n\n";
  if (defined.empty()) {
    out += "Not defined in this file.";
  } else {
    out += "Defined at line " + Lines(defined) + ".";
    const std::string& line = lines_[static_cast<std::size_t>(defined[0] - 1)];
    out += "\n\n```clf\n" + Trim(line) + "\n```";
  }
  if (use.kind == SymbolKind::kCollection || use.kind == SymbolKind::kMode ||
      use.kind == SymbolKind::kProcedure) {
    for (const OutlineItem& item : outline_) {
      if (item.kind != use.kind ||
          UpperAscii(item.name) != UpperAscii(use.name))
        continue;
      const int64_t span = item.last_line - item.first_line;
      if (use.kind == SymbolKind::kCollection)
        out += "\n\n" + std::to_string(std::max<int64_t>(span - 1, 0)) +
               " member lines.";
      if (use.kind == SymbolKind::kProcedure)
        out += "\n\n" + std::to_string(item.children.size()) + " steps" +
               (item.children.empty()
                    ? ""
                    : ", starting at `" + item.children[0].name + "`") +
               ".";
      if (use.kind == SymbolKind::kMode) {
        int64_t patterns = 0;
        for (int64_t l = item.first_line; l <= item.last_line; ++l)
          if (LanguageKeywordOf(TrimLeftView(
                  lines_[static_cast<std::size_t>(l)])) == "FOR-MODE")
            ++patterns;
        out += "\n\n" + std::to_string(patterns) + " patterns.";
      }
    }
  }
  out += "\n\n";
  if (used.empty()) {
    out += "Not used in this file.";
  } else {
    out += "Used at line" + std::string(used.size() == 1 ? " " : "s ") +
           Lines(used) + " (";
    bool first = true;
    for (const std::string& how : hows) {
      out += (first ? "" : ", ") + how;
      first = false;
    }
    out += ").";
  }
  return out;
}

std::vector<Diagnostic> DocumentIndex::Check(std::string_view text) {
  std::vector<Diagnostic> out;
  // The reader reads files; the text goes to one of its own for that.
  const std::string name = TemporaryFileWith("corvane-lsp-", text);
  const bool written = !name.empty();
  std::vector<std::string_view> lines = LanguageFileLines(text);
  const auto line_range = [&](int64_t number) {
    const std::size_t i =
        static_cast<std::size_t>(std::max<int64_t>(number, 1) - 1);
    const int64_t length =
        i < lines.size() ? static_cast<int64_t>(lines[i].size()) : 0;
    return TextRange{static_cast<int64_t>(i), 0, length};
  };
  if (written) {
    BrainClass brain;
    LoadLanguageFile(brain, name, [&](const LanguageProblem& problem) {
      if (problem.line <= 0) return;
      out.push_back({line_range(problem.line), true, problem.message});
    });
    for (const LintWarning& w : LintKnowledgeBase(brain, text))
      out.push_back({line_range(w.line), false, w.message});
  }
  if (written) ::unlink(name.c_str());
  return out;
}

}  // namespace corvane
