#include "engine/proc.h"

#include "base/checked.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/response.h"
#include "engine/type_tables.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane {

ProcClass::ProcClass() : Item(kKind) {}
ProcClass::~ProcClass() = default;

StepClass* ProcClass::AddStep(const std::string& name,
                              std::unique_ptr<StepClass> step) {
  StepClass* added = step.get();
  step->Proc = this;
  if (name.empty()) {
    // Not attached; kept alive so that its creator may go on using it.
    if (Owner != nullptr) Owner->Park(std::move(step));
    return added;
  }
  step->Name = name;
  const int index = StepNames.IndexOf(name);
  if (index < 0) {
    StepNames.Add(name);
    Steps.Add(std::move(step));
    if (Steps.Count() == 1) StartStep = name;
  } else {
    std::unique_ptr<StepClass> old = Steps.Replace(index, std::move(step));
    if (Owner != nullptr) Owner->Park(std::move(old));
  }
  if (Owner != nullptr) Owner->RegisterNamedObject(added->ObjectName, added);
  return added;
}

StepClass* ProcClass::CurrentStepItem() const {
  const int index = StepNames.IndexOf(CurrentStep);
  return index < 0 ? nullptr : Steps.At(index);
}

void ProcClass::Begin() {
  CurrentStep = StepNames.IndexOf(StartStep) >= 0 ? StartStep : std::string();
  Owner->Say(CurrentStep.empty() ? std::string() : CurrentPrompt());
}

std::string ProcClass::CurrentPrompt() {
  StepClass* step = CurrentStepItem();
  if (step == nullptr) return {};
  const std::string context =
      Owner->InputHistory.empty() ? std::string() : Owner->InputHistory.At(0);
  return Owner->ExpandMacros(step->Prompt, context, nullptr, nullptr);
}

void ProcClass::Handle(const std::string& input) {
  BrainClass* brain = Owner;
  if (StepClass* step = CurrentStepItem())
    step->Answer(input);
  else
    brain->Say("There is a problem with the procedure " + Name +
               ".  There is not a current step!");
  // A response may have halted this procedure or started another; then its
  // prompt no longer belongs to the reply.
  if (brain->ProcNames.IndexOf(Name) == brain->CurrentProc)
    brain->Say(CurrentPrompt());
}

StepClass::StepClass() : Item(kKind) {}
StepClass::~StepClass() = default;

BrainClass* StepClass::Brain() const { return Proc->Owner; }

StepPatternClass* StepClass::AddStepPattern(std::unique_ptr<StepPatternClass> sp) {
  StepPatternClass* added = sp.get();
  sp->Step = this;
  StepPatterns.Add(std::move(sp));
  BrainClass* brain = Brain();
  brain->LastSPat = added->ObjectName;
  brain->RegisterNamedObject(added->ObjectName, added);
  return added;
}

void StepClass::Answer(const std::string& input) {
  int32_t best = -30000;
  StepPatternClass* chosen = nullptr;
  for (int i = 0; i < StepPatterns.Count(); ++i) {
    StepPatternClass* sp = StepPatterns.At(i);
    const int32_t score = sp->Score(input);
    if (score > best) {
      best = score;
      chosen = sp;
    }
  }
  if (chosen == nullptr)
    Brain()->Say(kNoStepPatternsMessage);
  else
    chosen->Respond(input);
}

StepPatternClass::StepPatternClass() : Item(kKind) {}
StepPatternClass::~StepPatternClass() = default;

BrainClass* StepPatternClass::Brain() const { return Step->Brain(); }

WordFragmentClass* StepPatternClass::AddFragment(
    std::unique_ptr<WordFragmentClass> fragment) {
  WordFragmentClass* added = fragment.get();
  fragment->Owner = this;
  Fragments.Add(std::move(fragment));
  BrainClass* brain = Brain();
  brain->LastFrag = added->ObjectName;
  brain->RegisterNamedObject(added->ObjectName, added);
  return added;
}

ResponseClass* StepPatternClass::AddResponse(
    std::unique_ptr<ResponseClass> response) {
  ResponseClass* added = response.get();
  response->Owner = this;
  Responses.Add(std::move(response));
  BrainClass* brain = Brain();
  brain->LastResp = added->ObjectName;
  brain->RegisterNamedObject(added->ObjectName, added);
  return added;
}

int32_t StepPatternClass::Score(const std::string& input) {
  const std::string expanded = Brain()->ExpandMacros(input, input, nullptr, this);
  int32_t sum = 0;
  for (int i = 0; i < Fragments.Count(); ++i)
    sum = CheckedAdd(sum, Fragments.At(i)->Score(expanded));
  return sum;
}

void StepPatternClass::Respond(const std::string& input) {
  if (Responses.empty()) return;
  BrainClass* brain = Brain();
  const int32_t pick = brain->random().Below(Responses.Count());
  Responses.At(pick)->ResolveToString(input);
  brain->LastSPat = ObjectName;
}

std::string StepPatternClass::StripFragments(const std::string& input) {
  BrainClass* brain = Brain();
  std::string rest = input;
  for (int i = 0; i < Fragments.Count(); ++i) {
    const WordFragmentClass* f = Fragments.At(i);
    const uint8_t r = f->RELATION;
    if (!(r == rel::kAnd || r == rel::kOr || r == rel::kNot || r == rel::kCustom))
      continue;
    const std::string context = brain->ExpandMacros(rest, rest, nullptr, this);
    const std::string text =
        UpperAscii(brain->ExpandMacros(f->WORDFRAG, context, nullptr, this));
    const int32_t p = PosNoCase(text, UpperAscii(rest));
    if (p > 0) rest.erase(static_cast<std::size_t>(p - 1), text.size());
  }
  return rest;
}

}  // namespace corvane
