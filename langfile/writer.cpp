// The language-file writer: stores a whole brain in the layout the reader
// reads back, through an atomic replacement of the file.
//
// Texts are written between braces without escaping. A text the format can
// carry (its braces pair up, no CR, LF or 0x1A byte) is written byte for
// byte. Any other text is written in the nearest form the format can carry,
// and each such change is reported to the operator, naming the item: stored
// conversation texts must never turn into knowledge on the next reading.
// Collection members are written as the reader will hold them (carried,
// trimmed, once, in the reader's order), so that a saved file read and saved
// again is the same file. docs/saving.md gives the rules for authors and
// operators.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/name_list.h"
#include "engine/brain.h"
#include "engine/collection.h"
#include "engine/fragment.h"
#include "engine/knowledge.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/response.h"
#include "engine/type_tables.h"
#include "langfile/CorvLangU.h"
#include "platform/atomic_file.h"
#include "platform/operator_messages.h"
#include "text/text_util.h"
#include "text/utf8.h"

namespace corvane {
namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 16;
// Names and labels quoted in operator messages are cut to this length, so a
// huge hostile name cannot make every message about its children huge.
constexpr std::size_t kShownNameBytes = 40;

constexpr std::string_view kTitleLine = "Corvane 8.0 Corvane-Language File";
// Lines the reader ignores: neither may begin with a keyword.
constexpr std::string_view kNoticeLine1 =
    "Written by Corvane when it stopped; every text stands between braces.";
constexpr std::string_view kNoticeLine2 =
    "Lines end in CR LF; blank lines and lines of dashes are ignored.";

// Why a text had to be changed; one bit each.
enum ChangeBits : unsigned {
  kLineBreak = 1u << 0,            // CR or LF
  kEndOfInputByte = 1u << 1,       // 0x1A, which ends the reader's input
  kLoneBrace = 1u << 2,            // a brace without its partner
  kDuplicateMember = 1u << 3,      // equal to an earlier member once carried
  kEndCollectionMember = 1u << 4,  // a member that would end the block
  kEmptyName = 1u << 5,            // a procedure or step without a name
};

// Bytes that end a line or the whole input on reading.
bool BreaksInput(char c) {
  return c == '\r' || c == '\n' || c == '\x1a';
}

// True when `text` reads back unchanged from between braces: every "}"
// closes an earlier "{" and nothing breaks the line.
bool CarriableBraced(std::string_view text) {
  std::size_t depth = 0;
  for (const char c : text) {
    if (c == '{') {
      ++depth;
    } else if (c == '}') {
      if (depth == 0) return false;
      --depth;
    } else if (BreaksInput(c)) {
      return false;
    }
  }
  return depth == 0;
}

// Line breaks and 0x1A become blanks; returns the change bits.
unsigned BlankBreaks(std::string& text) {
  unsigned changes = 0;
  for (char& c : text) {
    if (c == '\r' || c == '\n') {
      c = ' ';
      changes |= kLineBreak;
    } else if (c == '\x1a') {
      c = ' ';
      changes |= kEndOfInputByte;
    }
  }
  return changes;
}

// Turns `text` into the nearest text that CarriableBraced accepts. A "}"
// that closes nothing becomes ")"; a "{" that nothing closes becomes "(".
// The forward pass settles the lone closing braces; with those gone, a
// backward pass finds the lone opening ones (an opening brace with no
// unmatched closing brace after it). Two passes, no stack: linear.
unsigned MakeBracedCarriable(std::string& text) {
  unsigned changes = BlankBreaks(text);
  std::size_t depth = 0;
  for (char& c : text) {
    if (c == '{') {
      ++depth;
    } else if (c == '}') {
      if (depth == 0) {
        c = ')';
        changes |= kLoneBrace;
      } else {
        --depth;
      }
    }
  }
  if (depth == 0) return changes;
  std::size_t closers = 0;
  for (std::size_t i = text.size(); i-- > 0 && depth > 0;) {
    if (text[i] == '}') {
      ++closers;
    } else if (text[i] == '{') {
      if (closers == 0) {
        text[i] = '(';
        changes |= kLoneBrace;
        --depth;
      } else {
        --closers;
      }
    }
  }
  return changes;
}

bool BeginsEndCollection(std::string_view trimmed) {
  constexpr std::string_view kEnd = "END-COLLECTION";
  return trimmed.size() >= kEnd.size() &&
         UpperAscii(trimmed.substr(0, kEnd.size())) == kEnd;
}

// Makes a member a text the reader takes back as one member of the block:
// CR, LF and 1A become blanks, and a leading "End-Collection" (which would
// end the block) loses its hyphen. Returns the change bits.
unsigned MakeMemberCarriable(std::string& text) {
  unsigned changes = BlankBreaks(text);
  const std::string_view trimmed = TrimView(text);
  if (BeginsEndCollection(trimmed)) {
    const std::size_t start =
        static_cast<std::size_t>(trimmed.data() - text.data());
    text[start + 3] = ' ';  // "End-Collection" -> "End Collection"
    changes |= kEndCollectionMember;
  }
  return changes;
}

std::string DescribeChanges(unsigned changes) {
  static constexpr struct {
    unsigned bit;
    const char* text;
  } kReasons[] = {
      {kLineBreak, "CR or LF became a blank"},
      {kEndOfInputByte, "byte 1A became a blank"},
      {kLoneBrace, "unpartnered brace became a parenthesis"},
      {kDuplicateMember,
       "equal to an earlier member once carried, written once"},
      {kEndCollectionMember, "leading End-Collection became End Collection"},
      {kEmptyName, "empty name replaced by the name it is registered under"},
  };
  std::string out;
  for (const auto& reason : kReasons) {
    if ((changes & reason.bit) == 0) continue;
    if (!out.empty()) out += "; ";
    out += reason.text;
  }
  return out;
}

// A name or label as quoted in a message: cut short, control bytes shown
// as blanks, braces made to pair.
std::string Shown(std::string_view text) {
  std::string out(text.substr(0, kShownNameBytes));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  MakeBracedCarriable(out);
  if (text.size() > kShownNameBytes) out += "...";
  return out;
}

// Where an item stands in the brain, for operator messages. Each level
// points to the one that contains it; nothing is formatted unless a
// message is actually written.
struct Where {
  const Where* outer = nullptr;
  const char* kind = "";
  int index = 0;           // 1-based position among its siblings.
  bool has_name = false;   // Quote `name` in braces.
  std::string_view name;   // Name of a mode, procedure, state, ...
  std::string_view label;  // The item's ObjectName.
};

// "response 2 of pattern 1 labelled {Greet} of mode 1 {Default}".
std::string Describe(const Where& where) {
  std::string out;
  for (const Where* w = &where; w != nullptr; w = w->outer) {
    if (!out.empty()) out += " of ";
    out += w->kind;
    out += ' ';
    out += std::to_string(w->index);
    if (w->has_name) out += " {" + Shown(w->name) + "}";
    if (!w->label.empty()) out += " labelled {" + Shown(w->label) + "}";
  }
  return out;
}

void ReportChange(const Where& where, const char* field, unsigned changes) {
  std::string message = "Language file save changed " + Describe(where);
  if (field != nullptr && *field != '\0') {
    message += ", ";
    message += field;
  }
  message += ": ";
  message += DescribeChanges(changes);
  ShowOperatorMessage(message);
}

std::string_view TableName(const auto& table, int code) {
  if (code < 0 || static_cast<std::size_t>(code) >= table.size())
    return table[0];
  return table[static_cast<std::size_t>(code)];
}

// Builds the document line by line in a buffer that goes to the file every
// kFlushBytes, so a save needs little memory whatever the brain's size.
class DocumentWriter {
 public:
  explicit DocumentWriter(AtomicFileWriter& file) : file_(file) {
    out_.reserve(kFlushBytes + 4096);
  }

  void WriteBrain(const BrainClass& brain);
  void Flush() {
    file_.Write(out_);
    out_.clear();
  }

 private:
  void Raw(std::string_view text) { out_ += text; }
  void Int(int32_t value) {
    char buf[16];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, result.ptr);
  }
  void EndLine() {
    out_ += "\r\n";
    if (out_.size() >= kFlushBytes) Flush();
  }
  void Line(std::string_view text) {
    Raw(text);
    EndLine();
  }
  // "{" + text + "}", the text made carriable when it is not.
  void Braced(std::string_view text, const Where& where, const char* field);
  // The label line of the item at `where`, indented by indent + more;
  // nothing when the item has no label.
  void Label(std::string_view indent, std::string_view more,
             const Where& where);
  void Members(const DataCollectionClass& collection, const Where& where);

  void ModeBody(const KnowledgeClass& mode, const Where& where);
  void Pattern(const PatternClass& pattern, const Where& where);
  void Fragment(const WordFragmentClass& fragment, std::string_view indent,
                const Where& where);
  void Response(const ResponseClass& response, std::string_view indent,
                const Where& where);
  void Task(const TaskClass& task, std::string_view indent, const Where& where);
  void Procedure(const ProcClass& proc, std::string_view name,
                 const Where& where);
  void Step(const StepClass& step, std::string_view name, const Where& where);
  void StepPattern(const StepPatternClass& step_pattern, const Where& where);

  AtomicFileWriter& file_;
  std::string out_;  // Lines not yet handed to file_.
};

void DocumentWriter::Braced(std::string_view text, const Where& where,
                            const char* field) {
  out_ += '{';
  if (CarriableBraced(text)) {
    out_ += text;
  } else {
    std::string carried(text);
    const unsigned changes = MakeBracedCarriable(carried);
    out_ += carried;
    ReportChange(where, field, changes);
  }
  out_ += '}';
}

void DocumentWriter::Label(std::string_view indent, std::string_view more,
                           const Where& where) {
  if (where.label.empty()) return;
  Raw(indent);
  Raw(more);
  Raw("Name-Object ");
  Braced(where.label, where, "label");
  EndLine();
}

void DocumentWriter::Members(const DataCollectionClass& collection,
                             const Where& where) {
  // The reader trims each member line, adds it to a sorted collection
  // unless an equal member (ignoring case) is there, and keeps the first of
  // equal ones in file order. Writing the members in the form and order it
  // will hold them makes the next save of the read file the same file.
  const auto& members = collection.Members.entries();
  std::vector<std::string> carried(members.size());
  std::vector<unsigned> changes(members.size());
  std::vector<std::size_t> order(members.size());
  for (std::size_t m = 0; m < members.size(); ++m) {
    carried[m] = members[m].name;
    changes[m] = MakeMemberCarriable(carried[m]);
    order[m] = m;
  }
  const NameList& list = collection.Members;
  std::stable_sort(
      order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return list.Compare(TrimView(carried[a]), TrimView(carried[b])) < 0;
      });
  DataCollectionClass held;  // What the reader will make of the block.
  held.Members.SetFolding(list.folding());
  for (const std::size_t m : order) {
    const int before = held.Members.Count();
    // An empty line is skipped, a line of one blank is the blank member.
    held.Include(TrimView(carried[m]).empty() ? std::string_view(" ")
                                              : std::string_view(carried[m]));
    if (held.Members.Count() == before) changes[m] |= kDuplicateMember;
  }
  for (std::size_t m = 0; m < members.size(); ++m) {
    if (changes[m] == 0) continue;
    const Where member_where{&where, "member", static_cast<int>(m) + 1,
                             false,  {},       {}};
    ReportChange(member_where, nullptr, changes[m]);
  }
  for (const NameList::Entry& member : held.Members.entries())
    Line(member.name.empty() ? std::string_view(" ")
                             : std::string_view(member.name));
}

void DocumentWriter::WriteBrain(const BrainClass& brain) {
  // A UTF-8 knowledge base keeps its declaration: the file starts with the
  // byte-order mark, before the header's first (empty) line.
  if (brain.text_encoding() == TextEncoding::kUtf8) Raw(utf8::kByteOrderMark);
  Line("");
  Line(kTitleLine);
  Line(kNoticeLine1);
  Line(kNoticeLine2);
  Line("");

  // The first state is the one every brain is created with.
  Line("-------States--------");
  for (int i = 1; i < brain.StateNames.Count(); ++i) {
    const Where where{nullptr, "state", i + 1, false, {}, {}};
    Raw("State ");
    Braced(brain.StateNames.At(i), where, "name");
    EndLine();
  }

  // The first mode's patterns go into whatever first mode the reading
  // brain has, so its name is not written.
  Line("-------Modes---------");
  for (int i = 0; i < brain.Modes.Count(); ++i) {
    const KnowledgeClass& mode = *brain.Modes.At(i);
    const Where where{nullptr, "mode", i + 1, true, mode.Name, mode.ObjectName};
    if (i > 0) {
      Raw("Mode ");
      Braced(mode.Name, where, "name");
      EndLine();
    }
    ModeBody(mode, where);
  }

  Line("-----Procedures------");
  for (int i = 0; i < brain.Procs.Count(); ++i) {
    const ProcClass& proc = *brain.Procs.At(i);
    std::string_view name = proc.Name;
    const bool renamed_empty = name.empty() && i < brain.ProcNames.Count();
    if (renamed_empty) name = brain.ProcNames.At(i);
    const Where where{nullptr, "procedure", i + 1, true, name, proc.ObjectName};
    if (renamed_empty && !name.empty()) ReportChange(where, "name", kEmptyName);
    Procedure(proc, name, where);
    Line("");
  }

  Line("-------Facts---------");
  const int facts = brain.FactNames.Count();
  for (int i = 0; i < facts; ++i) {
    const std::string& name = brain.FactNames.At(i);
    const Where where{nullptr, "fact", i + 1, true, name, {}};
    Raw("Fact ");
    Braced(name, where, "name");
    Raw(" = ");
    Braced(i < brain.FactValues.Count()
               ? std::string_view(brain.FactValues.At(i))
               : std::string_view(),
           where, "value");
    EndLine();
  }

  Line("-----Collections-----");
  const auto& entries = brain.Collections.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto* collection =
        static_cast<const DataCollectionClass*>(entries[i].object);
    if (collection == nullptr) continue;
    const Where where{nullptr, "collection",    static_cast<int>(i) + 1,
                      true,    entries[i].name, {}};
    Raw("Start-Collection ");
    Braced(entries[i].name, where, "name");
    EndLine();
    Members(*collection, where);
    Line("End-Collection");
    Line("");
  }
  Line("");
}

void DocumentWriter::ModeBody(const KnowledgeClass& mode, const Where& where) {
  Label("", "", where);
  int n = 0;
  for (const auto& pattern : mode.Patterns) {
    const Where pattern_where{&where, "pattern", ++n,
                              false,  {},        pattern->ObjectName};
    Line("For-Mode");
    Pattern(*pattern, pattern_where);
    Line("");
  }
}

void DocumentWriter::Pattern(const PatternClass& pattern, const Where& where) {
  Label("", "", where);
  int n = 0;
  for (const auto& fragment : pattern.Fragments) {
    const Where fragment_where{&where, "fragment", ++n,
                               false,  {},         fragment->ObjectName};
    Fragment(*fragment, "", fragment_where);
  }
  n = 0;
  for (const auto& response : pattern.Responses) {
    const Where response_where{&where, "response", ++n,
                               false,  {},         response->ObjectName};
    Response(*response, "", response_where);
  }
  n = 0;
  for (const auto& threshold : pattern.Thresholds) {
    const Where threshold_where{&where, "threshold", ++n,
                                false,  {},          threshold->ObjectName};
    Raw("  Threshold ");
    Int(threshold->THRESHFROM);
    Raw(",");
    Int(threshold->THRESHTO);
    EndLine();
    Label("  ", "", threshold_where);
    int r = 0;
    for (const auto& response : threshold->Responses) {
      const Where response_where{
          &threshold_where, "response", ++r, false, {}, response->ObjectName};
      Response(*response, "  ", response_where);
    }
  }
  n = 0;
  for (const auto& group : pattern.StateResponses) {
    const Where group_where{&where, "state response", ++n, false,
                            {},     group->ObjectName};
    Raw("  For-State ");
    Braced(group->STATE, group_where, "STATE");
    EndLine();
    Label("  ", "", group_where);
    int r = 0;
    for (const auto& response : group->Responses) {
      const Where response_where{&group_where, "response",          ++r, false,
                                 {},           response->ObjectName};
      Response(*response, "  ", response_where);
    }
  }
}

void DocumentWriter::Fragment(const WordFragmentClass& fragment,
                              std::string_view indent, const Where& where) {
  Raw(indent);
  Raw("  Fragment ");
  Raw(TableName(kRelationNames, fragment.RELATION));
  Raw(",");
  Int(fragment.BONUS);
  Raw(",");
  Int(fragment.PENALTY);
  Raw(", ");
  Braced(fragment.WORDFRAG, where, "WORDFRAG");
  Raw(", ");
  Braced(fragment.THENAME, where, "THENAME");
  Raw(", ");
  Braced(fragment.THEVALUE, where, "THEVALUE");
  EndLine();
  Label(indent, "  ", where);
}

void DocumentWriter::Response(const ResponseClass& response,
                              std::string_view indent, const Where& where) {
  Raw(indent);
  Raw("  Response ");
  Braced(response.OUTTEXT, where, "OUTTEXT");
  Raw(",");
  Raw(TableName(kResponseTypeNames, response.RESPONSETYPE));
  Raw(",");
  Braced(response.THENAME, where, "THENAME");
  Raw(",");
  Braced(response.THEVALUE, where, "THEVALUE");
  EndLine();
  Label(indent, "  ", where);
  int n = 0;
  for (const auto& task : response.Tasks) {
    const Where task_where{&where, "task", ++n, false, {}, task->ObjectName};
    Task(*task, indent, task_where);
  }
}

void DocumentWriter::Task(const TaskClass& task, std::string_view indent,
                          const Where& where) {
  Raw(indent);
  Raw("    Task ");
  Braced(task.OUTTEXT, where, "OUTTEXT");
  Raw(",");
  Raw(TableName(kResponseTypeNames, task.RESPONSETYPE));
  Raw(",");
  Braced(task.THENAME, where, "THENAME");
  Raw(",");
  Braced(task.THEVALUE, where, "THEVALUE");
  EndLine();
  Label(indent, "    ", where);
}

void DocumentWriter::Procedure(const ProcClass& proc, std::string_view name,
                               const Where& where) {
  Raw("Procedure ");
  Braced(name, where, "name");
  EndLine();
  Line("");
  Label("", "", where);
  for (int i = 0; i < proc.Steps.Count(); ++i) {
    const StepClass& step = *proc.Steps.At(i);
    // A step renamed to the empty text would not be created on reading,
    // and the lines under it would go to the step before; it keeps the
    // name its procedure finds it by.
    std::string_view step_name = step.Name;
    const bool renamed_empty = step_name.empty() && i < proc.StepNames.Count();
    if (renamed_empty) step_name = proc.StepNames.At(i);
    const Where step_where{&where, "step",    i + 1,
                           true,   step_name, step.ObjectName};
    if (renamed_empty && !step_name.empty())
      ReportChange(step_where, "THENAME", kEmptyName);
    Step(step, step_name, step_where);
  }
}

void DocumentWriter::Step(const StepClass& step, std::string_view name,
                          const Where& where) {
  Raw("Step ");
  Braced(name, where, "THENAME");
  Raw(",");
  Braced(step.Prompt, where, "THEPROMPT");
  EndLine();
  Label("", "", where);
  int n = 0;
  for (const auto& step_pattern : step.StepPatterns) {
    const Where sp_where{&where, "step pattern",          ++n, false,
                         {},     step_pattern->ObjectName};
    StepPattern(*step_pattern, sp_where);
    Line("");
  }
}

void DocumentWriter::StepPattern(const StepPatternClass& step_pattern,
                                 const Where& where) {
  Line("  For-Step");
  Label("  ", "", where);
  int n = 0;
  for (const auto& fragment : step_pattern.Fragments) {
    const Where fragment_where{&where, "fragment", ++n,
                               false,  {},         fragment->ObjectName};
    Fragment(*fragment, "  ", fragment_where);
  }
  n = 0;
  for (const auto& response : step_pattern.Responses) {
    const Where response_where{&where, "response", ++n,
                               false,  {},         response->ObjectName};
    Response(*response, "  ", response_where);
  }
}

}  // namespace

namespace {

// Opens `path` for a save and writes the document; false when it cannot be
// created (said to the operator when for want of permission).
bool WriteDocument(const BrainClass& brain, const std::string& path,
                   AtomicFileWriter& file) {
  if (!file.Open(path)) {
    if (errno == EACCES || errno == EPERM || errno == EROFS)
      ShowOperatorMessage("Not saved: " + path +
                          " may not be written (read-only); it was left as "
                          "it was");
    return false;
  }
  DocumentWriter writer(file);
  writer.WriteBrain(brain);
  writer.Flush();
  return true;
}

}  // namespace

bool SaveLanguageFile(const BrainClass& brain, const std::string& path) {
  AtomicFileWriter file;
  if (!WriteDocument(brain, path, file)) return false;
  file.Commit();
  return true;
}

SaveOutcome SaveLanguageFileOver(const BrainClass& brain,
                                 const std::string& path,
                                 const FileVersion& base) {
  SaveOutcome outcome;
  AtomicFileWriter file;
  if (!WriteDocument(brain, path, file)) return outcome;
  if (file.CommitUnlessChanged(base, &outcome.conflict_path)) {
    outcome.result = SaveOutcome::Result::kSaved;
    outcome.version = file.written_version();
    return outcome;
  }
  outcome.result = SaveOutcome::Result::kConflict;
  ShowOperatorMessage("Not saved over " + path +
                      ": it changed on disk since it was read; the knowledge "
                      "base was written to " +
                      outcome.conflict_path + " instead");
  return outcome;
}

}  // namespace corvane
