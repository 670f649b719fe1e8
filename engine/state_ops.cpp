// The brain's state operations: current mode, state, procedure and step,
// the procedure call stack, facts and their extraction, system values,
// collection members, hit counts, the log file, history recall, automatic
// names and the conversions between type names and codes.
#include <cfloat>
#include <cmath>
#include <vector>

#include "base/ascii.h"
#include "base/error.h"
#include "engine/brain.h"
#include "engine/collection.h"
#include "engine/knowledge.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/trace.h"
#include "engine/type_tables.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/locale.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane {

void BrainClass::SetMode(const std::string& name) {
  const int index = ModeNames.IndexOf(name);
  if (index < 0) return;
  CurrentMode = index;
  if (trace_ != nullptr)
    NoteEvent(static_cast<int>(TraceEvent::Kind::kMode), ModeNames.At(index),
              {});
}

void BrainClass::SetState(const std::string& name) {
  if (StateNames.IndexOf(name) < 0) AddState(name);
  CurrentState = StateNames.IndexOf(name);
  if (trace_ != nullptr)
    NoteEvent(static_cast<int>(TraceEvent::Kind::kState), CurrentStateName(),
              {});
}

void BrainClass::ClearState() {
  CurrentState = -1;
  if (trace_ != nullptr)
    NoteEvent(static_cast<int>(TraceEvent::Kind::kState), {}, {});
}

void BrainClass::StartProc(const std::string& name) {
  CurrentProc = ProcNames.IndexOf(name);
  if (CurrentProc != -1) Procs.At(CurrentProc)->Begin();
  if (trace_ != nullptr) NoteProcedure();
}

void BrainClass::SetStep(const std::string& name) {
  if (CurrentProc == -1) return;
  ProcClass* proc = Procs.At(CurrentProc);
  if (proc->StepNames.IndexOf(name) < 0) return;
  proc->CurrentStep = name;
  if (trace_ != nullptr) NoteProcedure();
}

void BrainClass::EndProc() {
  CurrentProc = -1;
  if (trace_ != nullptr) NoteProcedure();
}

void BrainClass::CallProc(const std::string& name) {
  if (CurrentProc != -1) {
    const ProcClass* proc = Procs.At(CurrentProc);
    ProcStack.Add(proc->Name);
    StepStack.Add(proc->CurrentStep);
  }
  StartProc(name);
}

void BrainClass::ProcReturn() {
  if (ProcStack.empty()) return;
  const std::string proc_name = ProcStack.At(ProcStack.Count() - 1);
  const std::string step_name = StepStack.At(StepStack.Count() - 1);
  ProcStack.Delete(ProcStack.Count() - 1);
  StepStack.Delete(StepStack.Count() - 1);
  CurrentProc = ProcNames.IndexOf(proc_name);
  ProcClass* proc = Procs.At(CurrentProc);
  proc->CurrentStep = step_name;
  const StepClass* step = proc->Steps.At(proc->StepNames.IndexOf(step_name));
  if (trace_ != nullptr) NoteProcedure();
  // Said as stored: a returning procedure repeats its prompt literally.
  Say(step->Prompt);
}

void BrainClass::SetFact(const std::string& name, const std::string& value) {
  const int index = FactNames.IndexOf(name);
  if (index < 0) {
    // A new fact counts against the learnt knowledge; one that does not fit
    // is not made.
    if (!ChargeLearnt(kLearntMemberCost +
                      (name.size() + value.size()) * kLearntTextByteCost))
      return;
    FactNames.Add(name);
    FactValues.Add(value);
  } else {
    FactValues.SetName(index, value);
  }
  if (trace_ != nullptr)
    NoteEvent(static_cast<int>(TraceEvent::Kind::kFact), name, value);
}

std::string BrainClass::GetFact(std::string_view name) const {
  const int index = FactNames.IndexOf(name);
  return index < 0 ? std::string("#") : FactValues.At(index);
}

namespace {

struct Segment {
  bool slot;         // An extraction slot; otherwise a literal piece.
  std::string text;  // The fact name of a slot, or the literal.
};

constexpr std::string_view kSlotOpening = "^EXTR{";

}  // namespace

bool BrainClass::ExtractFacts(const std::string& templ, const std::string& input) {
  if (TrimView(templ).empty() || TrimView(input).empty() ||
      PosNoCase(kSlotOpening, templ) == 0)
    return false;

  std::vector<Segment> segments;
  std::string rest = UpperAscii(TrimView(templ));
  bool has_literal = false, has_slot = false;
  while (!rest.empty()) {
    if (segments.size() == static_cast<std::size_t>(kMaxExtractSegments))
      throw LimitError("Extraction template has more than " +
                       std::to_string(kMaxExtractSegments) + " segments");
    const int32_t p = PosNoCase(kSlotOpening, rest);
    if (p == 1) {
      rest.erase(0, kSlotOpening.size());
      const std::size_t close = rest.find('}');
      if (close == std::string::npos || close < 1) return false;
      segments.push_back(Segment{true, Trim(std::string_view(rest).substr(0, close))});
      rest.erase(0, close + 1);
      has_slot = true;
    } else if (p > 1) {
      segments.push_back(
          Segment{false, Trim(std::string_view(rest).substr(0, static_cast<std::size_t>(p - 1)))});
      rest.erase(0, static_cast<std::size_t>(p - 1));
      has_literal = true;
    } else {
      segments.push_back(Segment{false, Trim(rest)});
      rest.clear();
      has_literal = true;
    }
  }
  if (!has_literal || !has_slot) return false;

  const std::string upper_input = UpperAscii(TrimView(input));
  for (const Segment& s : segments)
    if (!s.slot && PosNoCase(s.text, upper_input) == 0) return false;

  std::string work = Trim(input);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (work.empty()) continue;
    const Segment& s = segments[i];
    if (!s.slot) {
      const int32_t p = PosNoCase(s.text, UpperAscii(work));
      if (p > 0)
        work.erase(0, static_cast<std::size_t>(p - 1) + s.text.size());
      else
        work.erase(0, s.text.empty() ? 0 : s.text.size() - 1);
      continue;
    }
    const Segment* next_literal = nullptr;
    for (std::size_t k = i + 1; k < segments.size(); ++k)
      if (!segments[k].slot) {
        next_literal = &segments[k];
        break;
      }
    if (next_literal == nullptr) {
      SetFact(s.text, Trim(work));
      work.clear();
      continue;
    }
    const int32_t p = PosNoCase(next_literal->text, UpperAscii(work));
    if (p > 0) {
      SetFact(s.text, Trim(std::string_view(work).substr(0, static_cast<std::size_t>(p - 1))));
      work.erase(0, static_cast<std::size_t>(p - 1));
    } else {
      SetFact(s.text, std::string());
    }
  }
  return true;
}

std::string BrainClass::SystemValue(const std::string& key) const {
  const std::string k = UpperAscii(key);
  const double now = NowDateTime();
  if (k == "TIME") return FormatLongTime(now);
  if (k == "DATE") return FormatShortDate(now);
  if (k == "AGE") {
    const double reference = ParseShortDate("10/02/2002").value_or(0);
    return std::to_string(static_cast<long long>(std::trunc(now - reference)));
  }
  return "*";
}

void BrainClass::AddMember(const std::string& collection, const std::string& member) {
  DataCollectionClass* c = FindCollection(collection);
  // Only a member that is not there yet counts against the learnt knowledge.
  const std::string_view trimmed = TrimView(member);
  if (!trimmed.empty() && (c == nullptr || c->Members.IndexOf(trimmed) < 0) &&
      !ChargeLearnt(kLearntMemberCost + trimmed.size() * kLearntTextByteCost))
    return;
  if (c != nullptr) {
    c->Include(member);
    return;
  }
  // A collection with an empty name is not registered, so the member is lost.
  AddCollection(collection, std::make_unique<DataCollectionClass>())->Include(member);
}

void BrainClass::RemoveMember(const std::string& collection, const std::string& member) {
  if (DataCollectionClass* c = FindCollection(collection)) c->Exclude(member);
}

void BrainClass::ResetAllHits() {
  for (int i = 0; i < Modes.Count(); ++i) Modes.At(i)->ResetHits();
}

void BrainClass::LogLine(const std::string& file_name, const std::string& text) {
  // The text often holds what a visitor typed: a CR or LF in it would forge
  // further log lines, so every control byte becomes a blank.
  std::string line = text;
  for (char& c : line) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  line += "\r\n";
  paths_.AppendConfined(file_name, line);
}

void BrainClass::DoResponseFor(const std::string& object_name) {
  Item* item = FindNamedObject(object_name);
  if (PatternClass* p = ItemAs<PatternClass>(item))
    p->Fire(std::string());
  else if (StepPatternClass* sp = ItemAs<StepPatternClass>(item))
    sp->Respond(std::string());
}

namespace {

std::string Recall(const NameList& history, std::string_view position) {
  if (history.empty()) return {};
  const int32_t n = ToIntOrZeroLeading(position);
  if (n < 0 || n > kHighestRecallPosition || n > history.Count() - 1) return {};
  return history.At(n);
}

}  // namespace

std::string BrainClass::RecallInput(std::string_view position) const {
  return Recall(InputHistory, position);
}

std::string BrainClass::RecallOutput(std::string_view position) const {
  return Recall(OutputHistory, position);
}

char BrainClass::RandomLetter() {
  return static_cast<char>('A' + random_.Below(25));
}

std::string BrainClass::AutoName() {
  while (true) {
    std::string name = "Auto-";
    for (int i = 0; i < 10; ++i) name.push_back(RandomLetter());
    if (NamedObjects.IndexOf(name) < 0) return name;
  }
}

std::string BrainClass::ResponseTypeName(int code) {
  if (code < 0 || code >= kResponseTypeCount) return {};
  return std::string(kResponseTypeNames[static_cast<std::size_t>(code)]);
}

uint8_t BrainClass::ResponseTypeCode(std::string_view text) {
  // The table's names are trimmed already.
  const std::string_view t = TrimView(text);
  for (int i = 0; i < kResponseTypeCount; ++i) {
    const std::string_view name = kResponseTypeNames[static_cast<std::size_t>(i)];
    if (name.size() == t.size() && EqualNoCase(name, t))
      return static_cast<uint8_t>(i);
  }
  return 0;
}

std::string BrainClass::RelationName(int code) {
  if (code < 0 || code >= kRelationCount) return {};
  return std::string(kRelationNames[static_cast<std::size_t>(code)]);
}

uint8_t BrainClass::RelationCode(std::string_view text) {
  // The table's names are trimmed already.
  const std::string_view t = TrimView(text);
  for (int i = 0; i < kRelationCount; ++i) {
    const std::string_view name = kRelationNames[static_cast<std::size_t>(i)];
    if (name.size() == t.size() && EqualNoCase(name, t))
      return static_cast<uint8_t>(i);
  }
  return 0;
}

int32_t BrainClass::TextToInt(std::string_view text) { return ToIntOrZero(text); }

double BrainClass::TextToReal(std::string_view text, double previous) {
  const std::optional<long double> value = ParseHostReal(TrimView(text));
  if (!value || std::fabs(*value) > static_cast<long double>(DBL_MAX))
    return previous;
  return static_cast<double>(*value);
}

}  // namespace corvane
