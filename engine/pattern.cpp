#include "engine/pattern.h"

#include "base/checked.h"
#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/knowledge.h"
#include "engine/response.h"
#include "engine/trace_record.h"
#include "engine/turn_runner.h"
#include "engine/type_tables.h"

namespace corvane {

VolitionMark& VolitionMark::operator=(double value) {
  value_ = value;
  List();
  return *this;
}

void VolitionMark::List() {
  if (value_ == 0 || owner_->volition_listed_ || owner_->Mode == nullptr)
    return;
  owner_->Mode->MarkedPatterns.push_back(owner_);
  owner_->volition_listed_ = true;
}

PatternClass::PatternClass() : Item(kKind) {}
PatternClass::~PatternClass() = default;

BrainClass* PatternClass::Brain() const { return Mode->Brain(); }

WordFragmentClass* PatternClass::AddFragment(
    std::unique_ptr<WordFragmentClass> fragment) {
  fragment->Owner = this;
  BrainClass* brain = Brain();
  WordFragmentClass* added =
      AttachItem(Fragments, std::move(fragment), brain, &brain->LastFrag);
  Mode->NoteFragmentsAppended(*this);
  switch (added->RELATION) {
    case rel::kInitialize:
      HasInitialize = true;
      Mode->NoteStartOrStop(this);
      break;
    case rel::kFinalize:
      HasFinalize = true;
      Mode->NoteStartOrStop(this);
      break;
    case rel::kVolition:
      HASVOLITION = true;
      brain->HasVolition = true;
      Mode->HasVolition = true;
      VOLITIONWHEN = BrainClass::TextToReal(added->WORDFRAG, 9999999.99);
      break;
    case rel::kDoBefore:
      brain->DoBeforePatterns.push_back(this);
      break;
    case rel::kDoAfter:
      brain->DoAfterPatterns.push_back(this);
      break;
    default:
      break;
  }
  return added;
}

ResponseClass* PatternClass::AddResponse(std::unique_ptr<ResponseClass> response) {
  response->Owner = this;
  BrainClass* brain = Brain();
  return AttachItem(Responses, std::move(response), brain, &brain->LastResp);
}

ThresholdClass* PatternClass::AddThreshold(
    std::unique_ptr<ThresholdClass> threshold) {
  threshold->Pattern = this;
  return AttachItem(Thresholds, std::move(threshold), Brain(), nullptr);
}

StateClass* PatternClass::AddStateResponse(std::unique_ptr<StateClass> group) {
  group->Pattern = this;
  return AttachItem(StateResponses, std::move(group), Brain(), nullptr);
}

int32_t PatternClass::Score(TurnRunner& turn, const std::string& input) {
  return ScoreFragmentsOfInput(turn, Fragments, input, this, nullptr);
}

void PatternClass::Fire(TurnRunner& turn, const std::string& input) {
  const int32_t hits = CheckedAdd(turn.HitCount(*this), 1);
  turn.SetHitCount(*this, hits);
  const OwningList<ResponseClass>* group = &Responses;
  const ThresholdClass* threshold = nullptr;  // The group's, for a trace.
  for (int i = 0; i < Thresholds.Count(); ++i) {
    const ThresholdClass* t = Thresholds.At(i);
    if (t->THRESHFROM <= hits && hits <= t->THRESHTO) {
      group = &t->Responses;
      threshold = t;
    }
  }
  const std::string state = turn.CurrentStateName();
  const StateClass* state_group = nullptr;
  for (int i = 0; i < StateResponses.Count(); ++i) {
    const StateClass* s = StateResponses.At(i);
    if (s->STATE == state) {
      group = &s->Responses;
      state_group = s;
    }
  }
  TraceFiring* firing = turn.state().trace() ? NewFiring(turn) : nullptr;
  if (group->empty()) {
    if (firing != nullptr)
      RecordFiring(*firing, *this, hits, threshold, state_group, nullptr);
    return;
  }
  const int32_t pick = turn.state().random().Below(group->Count());
  if (firing != nullptr)
    RecordFiring(*firing, *this, hits, threshold, state_group,
                 group->At(pick));
  group->At(pick)->ResolveToString(turn, input);
  turn.state().LastPat = ObjectName;
}

std::string PatternClass::StripFragments(TurnRunner& turn,
                                         const std::string& input) {
  return StripFragmentTexts(turn, Fragments, input, this, nullptr);
}

void PatternClass::FireIfInitialize(TurnRunner& turn) {
  if (HasInitialize) Fire(turn, std::string());
}

void PatternClass::FireIfFinalize(TurnRunner& turn) {
  if (HasFinalize) Fire(turn, std::string());
}

ThresholdClass::ThresholdClass() : Item(kKind) {}
ThresholdClass::~ThresholdClass() = default;

BrainClass* ThresholdClass::Brain() const { return Pattern->Brain(); }

ResponseClass* ThresholdClass::AddResponse(
    std::unique_ptr<ResponseClass> response) {
  response->Owner = this;
  return AttachItem(Responses, std::move(response), Brain(), nullptr);
}

StateClass::StateClass() : Item(kKind) {}
StateClass::~StateClass() = default;

BrainClass* StateClass::Brain() const { return Pattern->Brain(); }

ResponseClass* StateClass::AddResponse(std::unique_ptr<ResponseClass> response) {
  response->Owner = this;
  return AttachItem(Responses, std::move(response), Brain(), nullptr);
}

}  // namespace corvane
