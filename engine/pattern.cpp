#include "engine/pattern.h"

#include "base/checked.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/knowledge.h"
#include "engine/response.h"
#include "engine/type_tables.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane {

PatternClass::PatternClass() : Item(kKind) {}
PatternClass::~PatternClass() = default;

BrainClass* PatternClass::Brain() const { return Mode->Brain(); }

WordFragmentClass* PatternClass::AddFragment(
    std::unique_ptr<WordFragmentClass> fragment) {
  WordFragmentClass* added = fragment.get();
  fragment->Owner = this;
  Fragments.Add(std::move(fragment));
  BrainClass* brain = Brain();
  switch (added->RELATION) {
    case rel::kInitialize:
      HasInitialize = true;
      break;
    case rel::kFinalize:
      HasFinalize = true;
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
  brain->LastFrag = added->ObjectName;
  brain->RegisterNamedObject(added->ObjectName, added);
  return added;
}

ResponseClass* PatternClass::AddResponse(std::unique_ptr<ResponseClass> response) {
  ResponseClass* added = response.get();
  response->Owner = this;
  Responses.Add(std::move(response));
  BrainClass* brain = Brain();
  brain->LastResp = added->ObjectName;
  brain->RegisterNamedObject(added->ObjectName, added);
  return added;
}

ThresholdClass* PatternClass::AddThreshold(
    std::unique_ptr<ThresholdClass> threshold) {
  ThresholdClass* added = threshold.get();
  threshold->Pattern = this;
  Thresholds.Add(std::move(threshold));
  Brain()->RegisterNamedObject(added->ObjectName, added);
  return added;
}

StateClass* PatternClass::AddStateResponse(std::unique_ptr<StateClass> group) {
  StateClass* added = group.get();
  group->Pattern = this;
  StateResponses.Add(std::move(group));
  Brain()->RegisterNamedObject(added->ObjectName, added);
  return added;
}

int32_t PatternClass::Score(const std::string& input) {
  const std::string expanded = Brain()->ExpandMacros(input, input, this, nullptr);
  int32_t sum = 0;
  for (int i = 0; i < Fragments.Count(); ++i)
    sum = CheckedAdd(sum, Fragments.At(i)->Score(expanded));
  return sum;
}

void PatternClass::Fire(const std::string& input) {
  HITCOUNT = CheckedAdd(HITCOUNT, 1);
  const OwningList<ResponseClass>* group = &Responses;
  for (int i = 0; i < Thresholds.Count(); ++i) {
    const ThresholdClass* t = Thresholds.At(i);
    if (t->THRESHFROM <= HITCOUNT && HITCOUNT <= t->THRESHTO)
      group = &t->Responses;
  }
  BrainClass* brain = Brain();
  const std::string state = brain->CurrentStateName();
  for (int i = 0; i < StateResponses.Count(); ++i) {
    const StateClass* s = StateResponses.At(i);
    if (s->STATE == state) group = &s->Responses;
  }
  if (group->empty()) return;
  const int32_t pick = brain->random().Below(group->Count());
  group->At(pick)->ResolveToString(input);
  brain->LastPat = ObjectName;
}

std::string PatternClass::StripFragments(const std::string& input) {
  BrainClass* brain = Brain();
  std::string rest = input;
  for (int i = 0; i < Fragments.Count(); ++i) {
    const WordFragmentClass* f = Fragments.At(i);
    const uint8_t r = f->RELATION;
    if (!(r == rel::kAnd || r == rel::kOr || r == rel::kNot ||
          r == rel::kCustom || r == rel::kCustomSub))
      continue;
    const std::string context = brain->ExpandMacros(rest, rest, this, nullptr);
    const std::string text =
        UpperAscii(brain->ExpandMacros(f->WORDFRAG, context, this, nullptr));
    const int32_t p = PosNoCase(text, UpperAscii(rest));
    if (p > 0) rest.erase(static_cast<std::size_t>(p - 1), text.size());
  }
  return rest;
}

void PatternClass::FireIfInitialize() {
  if (HasInitialize) Fire(std::string());
}

void PatternClass::FireIfFinalize() {
  if (HasFinalize) Fire(std::string());
}

ThresholdClass::ThresholdClass() : Item(kKind) {}
ThresholdClass::~ThresholdClass() = default;

BrainClass* ThresholdClass::Brain() const { return Pattern->Brain(); }

ResponseClass* ThresholdClass::AddResponse(
    std::unique_ptr<ResponseClass> response) {
  ResponseClass* added = response.get();
  response->Owner = this;
  Responses.Add(std::move(response));
  Brain()->RegisterNamedObject(added->ObjectName, added);
  return added;
}

StateClass::StateClass() : Item(kKind) {}
StateClass::~StateClass() = default;

BrainClass* StateClass::Brain() const { return Pattern->Brain(); }

ResponseClass* StateClass::AddResponse(std::unique_ptr<ResponseClass> response) {
  ResponseClass* added = response.get();
  response->Owner = this;
  Responses.Add(std::move(response));
  Brain()->RegisterNamedObject(added->ObjectName, added);
  return added;
}

}  // namespace corvane
