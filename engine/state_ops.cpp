// The brain's state operations: current mode, state, procedure and step,
// the procedure call stack, facts and their extraction, system values,
// collection members, hit counts, the log file, history recall, automatic
// names and the conversions between type names and codes.
#include <cfloat>
#include <cmath>
#include <vector>

#include "base/ascii.h"
#include "base/error.h"
#include "engine/turn_runner.h"

#include <algorithm>

#include "engine/brain.h"
#include "engine/collection.h"
#include "engine/effects.h"
#include "engine/fragment.h"
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
#include "text/word_index.h"

namespace corvane {

void TurnRunner::SetMode(const std::string& name) {
  const int index = knowledge_->ModeNames.IndexOf(name);
  if (index < 0) return;
  state_->CurrentMode = index;
  if (state_->trace_ != nullptr)
    NoteEvent(static_cast<int>(TraceEvent::Kind::kMode),
              knowledge_->ModeNames.At(index), {});
}

void TurnRunner::SetState(const std::string& name) {
  if (StateIndexOf(name) < 0) RegisterState(name);
  state_->CurrentState = StateIndexOf(name);
  if (state_->trace_ != nullptr)
    NoteEvent(static_cast<int>(TraceEvent::Kind::kState), CurrentStateName(),
              {});
}

void TurnRunner::ClearState() {
  state_->CurrentState = -1;
  if (state_->trace_ != nullptr)
    NoteEvent(static_cast<int>(TraceEvent::Kind::kState), {}, {});
}

void TurnRunner::StartProc(const std::string& name) {
  state_->CurrentProc = knowledge_->ProcNames.IndexOf(name);
  if (state_->CurrentProc != -1)
    knowledge_->Procs.At(state_->CurrentProc)->Begin(*this);
  if (state_->trace_ != nullptr) NoteProcedure();
}

void TurnRunner::SetStep(const std::string& name) {
  if (state_->CurrentProc == -1) return;
  ProcClass* proc = knowledge_->Procs.At(state_->CurrentProc);
  if (proc->StepNames.IndexOf(name) < 0) return;
  SetCurrentStep(*proc, name);
  if (state_->trace_ != nullptr) NoteProcedure();
}

void TurnRunner::EndProc() {
  state_->CurrentProc = -1;
  if (state_->trace_ != nullptr) NoteProcedure();
}

void TurnRunner::CallProc(const std::string& name) {
  if (state_->CurrentProc != -1) {
    const ProcClass* proc = knowledge_->Procs.At(state_->CurrentProc);
    state_->ProcStack.Add(proc->Name);
    state_->StepStack.Add(CurrentStepOf(*proc));
  }
  StartProc(name);
}

void TurnRunner::ProcReturn() {
  ConversationState& s = *state_;
  if (s.ProcStack.empty()) return;
  const std::string proc_name = s.ProcStack.At(s.ProcStack.Count() - 1);
  const std::string step_name = s.StepStack.At(s.StepStack.Count() - 1);
  s.ProcStack.Delete(s.ProcStack.Count() - 1);
  s.StepStack.Delete(s.StepStack.Count() - 1);
  s.CurrentProc = knowledge_->ProcNames.IndexOf(proc_name);
  ProcClass* proc = knowledge_->Procs.At(s.CurrentProc);
  SetCurrentStep(*proc, step_name);
  const StepClass* step = proc->Steps.At(proc->StepNames.IndexOf(step_name));
  if (s.trace_ != nullptr) NoteProcedure();
  // Said as stored: a returning procedure repeats its prompt literally.
  Say(step->Prompt);
}

void TurnRunner::SetFact(const std::string& name, const std::string& value) {
  const int index = knowledge_->FactNames.IndexOf(name);
  ConversationSideTables* side = state_->side_.get();
  if (index >= 0) {
    if (side == nullptr) {
      knowledge_->FactValues.SetName(index, value);
    } else {
      auto& list = side->fact_values;
      const auto at = std::lower_bound(
          list.begin(), list.end(), index,
          [](const auto& entry, int k) { return entry.first < k; });
      if (at != list.end() && at->first == index)
        at->second = value;
      else
        list.insert(at, {index, value});
    }
  } else if (const int own =
                 side != nullptr ? side->new_fact_names.IndexOf(name) : -1;
             own >= 0) {
    side->new_fact_values.SetName(own, value);
  } else {
    // A new fact counts against the learnt knowledge; one that does not fit
    // is not made.
    if (!ChargeLearnt(kLearntMemberCost +
                      (name.size() + value.size()) * kLearntTextByteCost))
      return;
    if (side == nullptr) {
      knowledge_->FactNames.Add(name);
      knowledge_->FactValues.Add(value);
    } else {
      side->new_fact_names.Add(name);
      side->new_fact_values.Add(value);
    }
  }
  if (state_->trace_ != nullptr)
    NoteEvent(static_cast<int>(TraceEvent::Kind::kFact), name, value);
}

std::string TurnRunner::GetFact(std::string_view name) const {
  const int index = knowledge_->FactNames.IndexOf(name);
  if (index >= 0) return FactValue(index);
  const ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) return "#";
  const int own = side->new_fact_names.IndexOf(name);
  return own < 0 ? std::string("#") : side->new_fact_values.At(own);
}

namespace {

struct Segment {
  bool slot;         // An extraction slot; otherwise a literal piece.
  std::string text;  // The fact name of a slot, or the literal.
};

constexpr std::string_view kSlotOpening = "^EXTR{";

}  // namespace

bool TurnRunner::ExtractFacts(const std::string& templ, const std::string& input) {
  if (TrimView(templ).empty() || TrimView(input).empty() ||
      PosNoCase(kSlotOpening, templ) == 0)
    return false;

  const TextEncoding encoding = knowledge().text_encoding();
  // Where the literal `text` (upper-cased for matching) first occurs in
  // `work` as it is: its offset and the length of the matching stretch,
  // which in UTF-8 may differ from the literal's own length.
  auto find_literal = [encoding](const std::string& text,
                                 const std::string& work, std::size_t& offset,
                                 std::size_t& length) {
    if (encoding == TextEncoding::kUtf8)
      return !text.empty() && utf8::FindFolded(text, work, offset, length);
    const int32_t p = PosNoCase(text, UpperAscii(work));
    if (p <= 0) return false;
    offset = static_cast<std::size_t>(p - 1);
    length = text.size();
    return true;
  };
  // A literal as it is matched: folded in UTF-8.
  auto literal = [encoding](std::string_view text) {
    return encoding == TextEncoding::kUtf8 ? utf8::Fold(TrimView(text))
                                           : Trim(text);
  };
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
      segments.push_back(Segment{
          false, literal(std::string_view(rest).substr(
                     0, static_cast<std::size_t>(p - 1)))});
      rest.erase(0, static_cast<std::size_t>(p - 1));
      has_literal = true;
    } else {
      segments.push_back(Segment{false, literal(rest)});
      rest.clear();
      has_literal = true;
    }
  }
  if (!has_literal || !has_slot) return false;

  const std::string upper_input = UpperForMatch(encoding, TrimView(input));
  for (const Segment& s : segments)
    if (!s.slot && PosInMatchText(encoding, s.text, upper_input) == 0)
      return false;

  std::string work = Trim(input);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (work.empty()) continue;
    const Segment& s = segments[i];
    if (!s.slot) {
      std::size_t offset = 0, length = 0;
      if (find_literal(s.text, work, offset, length))
        work.erase(0, offset + length);
      else
        work.erase(0, CutTextIn(encoding, work,
                                s.text.empty() ? 0 : s.text.size() - 1)
                          .size());
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
    std::size_t offset = 0, length = 0;
    if (find_literal(next_literal->text, work, offset, length)) {
      SetFact(s.text, Trim(std::string_view(work).substr(0, offset)));
      work.erase(0, offset);
    } else {
      SetFact(s.text, std::string());
    }
  }
  return true;
}

std::string TurnRunner::SystemValue(const std::string& key) const {
  const std::string k = UpperAscii(key);
  const double now = Now();
  if (k == "TIME") return FormatLongTime(now);
  if (k == "DATE") return FormatShortDate(now);
  if (k == "AGE") {
    const double reference = ParseShortDate("10/02/2002").value_or(0);
    return std::to_string(static_cast<long long>(std::trunc(now - reference)));
  }
  return "*";
}

void TurnRunner::AddMember(const std::string& collection,
                           const std::string& member) {
  DataCollectionClass* c = FindCollection(collection);
  // Only a member that is not there yet counts against the learnt knowledge.
  const std::string_view trimmed = TrimView(member);
  if (!trimmed.empty() && (c == nullptr || c->Members.IndexOf(trimmed) < 0) &&
      !ChargeLearnt(kLearntMemberCost + trimmed.size() * kLearntTextByteCost))
    return;
  if (c != nullptr) {
    // An empty text or one already there changes nothing, so it leaves a
    // shared collection shared.
    if (member.empty() || c->Members.IndexOf(trimmed) >= 0) return;
    Writable(c)->Include(member);
    return;
  }
  // A collection with an empty name is not registered, so the member is lost.
  if (DataCollectionClass* made = FindOrCreateCollection(collection))
    made->Include(member);
}

void TurnRunner::RemoveMember(const std::string& collection,
                              const std::string& member) {
  DataCollectionClass* c = FindCollection(collection);
  if (c == nullptr || member.empty() || c->Members.IndexOf(TrimView(member)) < 0)
    return;
  Writable(c)->Exclude(member);
}

void TurnRunner::ResetAllHits() {
  ConversationSideTables* side = state_->side_.get();
  if (side == nullptr) {
    for (int i = 0; i < knowledge_->Modes.Count(); ++i)
      ResetHits(*knowledge_->Modes.At(i));
    return;
  }
  std::erase_if(side->hit_counts, [&](const auto& entry) {
    return entry.first->ordinal() != 0 &&
           knowledge_->Modes.IndexOf(entry.first->Mode) >= 0;
  });
}

void TurnRunner::LogLine(const std::string& file_name, const std::string& text) {
  // The text often holds what a visitor typed: a CR or LF in it would forge
  // further log lines, so every control byte becomes a blank.
  std::string line = text;
  for (char& c : line) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  line += "\r\n";
  state_->effects().AppendLog(file_name, line, knowledge_->paths());
}

void TurnRunner::DoResponseFor(const std::string& object_name) {
  Item* item = knowledge_->FindNamedObject(object_name);
  if (PatternClass* p = ItemAs<PatternClass>(item))
    p->Fire(*this, std::string());
  else if (StepPatternClass* sp = ItemAs<StepPatternClass>(item))
    sp->Respond(*this, std::string());
}

namespace {

std::string Recall(const TextHistory& history, std::string_view position) {
  if (history.empty()) return {};
  const int32_t n = ToIntOrZeroLeading(position);
  if (n < 0 || n > kHighestRecallPosition || n > history.Count() - 1) return {};
  return std::string(history.At(n));
}

}  // namespace

std::string TurnRunner::RecallInput(std::string_view position) const {
  return Recall(state_->InputHistory, position);
}

std::string TurnRunner::RecallOutput(std::string_view position) const {
  return Recall(state_->OutputHistory, position);
}

char TurnRunner::RandomLetter() {
  return static_cast<char>('A' + state_->random_.Below(25));
}

std::string TurnRunner::AutoName() {
  while (true) {
    std::string name = "Auto-";
    for (int i = 0; i < 10; ++i) name.push_back(RandomLetter());
    if (knowledge_->NamedObjects.IndexOf(name) < 0) return name;
  }
}

void TurnRunner::NoteEvent(int kind, std::string text, std::string value) {
  TraceEvent event;
  event.kind = static_cast<TraceEvent::Kind>(kind);
  event.text = std::move(text);
  event.value = std::move(value);
  state_->trace_->events.push_back(std::move(event));
}

void TurnRunner::NoteProcedure() {
  const int32_t at = state_->CurrentProc;
  if (at >= 0 && at < knowledge_->Procs.Count()) {
    const ProcClass* proc = knowledge_->Procs.At(at);
    NoteEvent(static_cast<int>(TraceEvent::Kind::kProcedure), proc->Name,
              CurrentStepOf(*proc));
  } else {
    NoteEvent(static_cast<int>(TraceEvent::Kind::kProcedure), {}, {});
  }
}

std::string TurnRunner::AskWordIndex(const std::string& phrase,
                                     const std::string& directory) {
  return knowledge_->word_index().Ask(phrase, directory, knowledge_->paths(),
                                      state_->random_);
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
