#include "engine/proc.h"

#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/pattern_choice.h"
#include "engine/pattern_index.h"
#include "engine/response.h"
#include "engine/scorer.h"
#include "engine/trace_record.h"
#include "text/text_util.h"

namespace corvane {

ProcClass::ProcClass() : Item(kKind) {}
ProcClass::~ProcClass() = default;

StepClass* ProcClass::AddStep(const std::string& name,
                              std::unique_ptr<StepClass> step) {
  StepClass* added = step.get();
  step->Proc = this;
  auto keep_detached = [this](std::unique_ptr<StepClass> kept) {
    if (Owner != nullptr)
      Owner->Park(std::move(kept));
    else
      detached_steps_.Add(std::move(kept));
  };
  if (name.empty()) {
    // Not attached; kept alive so that its creator may go on using it.
    keep_detached(std::move(step));
    return added;
  }
  step->Name = name;
  const int index = StepNames.IndexOf(name);
  if (index < 0) {
    StepNames.Add(name);
    Steps.Add(std::move(step));
    if (Steps.Count() == 1) StartStep = name;
  } else {
    keep_detached(Steps.Replace(index, std::move(step)));
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

BrainClass* StepClass::Brain() const {
  return Proc->Owner;
}

StepPatternClass* StepClass::AddStepPattern(
    std::unique_ptr<StepPatternClass> sp) {
  sp->Step = this;
  sp->ordinal_ = next_ordinal_++;
  BrainClass* brain = Brain();
  StepPatternClass* added =
      AttachItem(StepPatterns, std::move(sp), brain, &brain->LastSPat);
  if (index_) index_->Append(added, added->ordinal(), added->Fragments);
  return added;
}

std::unique_ptr<StepPatternClass> StepClass::DetachStepPattern(
    StepPatternClass* sp) {
  const int at = StepPatterns.IndexOf(sp);
  if (at < 0) return nullptr;
  if (index_) index_->Remove(sp->ordinal());
  sp->ordinal_ = 0;
  return StepPatterns.Remove(at);
}

void StepClass::NoteFragmentsAppended(const StepPatternClass& sp) {
  if (index_) index_->FragmentsAppended(sp.ordinal());
}

void StepClass::NoteFragmentsChanged(const StepPatternClass& sp) {
  if (index_) index_->FragmentsChanged(sp.ordinal());
}

void StepClass::Answer(const std::string& input) {
  BrainClass* brain = Brain();
  if (Scorer* other = brain->scorer()) return other->Answer(*this, input);
  if (!index_) index_ = std::make_unique<PatternIndex>();
  StepPatternClass* chosen =
      ChoosePattern(*brain, *index_, StepPatterns, input);
  if (chosen == nullptr)
    brain->Say(kNoStepPatternsMessage);
  else
    chosen->Respond(input);
}

StepPatternClass::StepPatternClass() : Item(kKind) {}
StepPatternClass::~StepPatternClass() = default;

BrainClass* StepPatternClass::Brain() const {
  return Step->Brain();
}

// Unlike a pattern's, a step pattern's fragments set no flags when added.
WordFragmentClass* StepPatternClass::AddFragment(
    std::unique_ptr<WordFragmentClass> fragment) {
  fragment->Owner = this;
  BrainClass* brain = Brain();
  WordFragmentClass* added =
      AttachItem(Fragments, std::move(fragment), brain, &brain->LastFrag);
  Step->NoteFragmentsAppended(*this);
  return added;
}

ResponseClass* StepPatternClass::AddResponse(
    std::unique_ptr<ResponseClass> response) {
  response->Owner = this;
  BrainClass* brain = Brain();
  return AttachItem(Responses, std::move(response), brain, &brain->LastResp);
}

int32_t StepPatternClass::Score(const std::string& input) {
  return ScoreFragmentsOfInput(Fragments, input, nullptr, this);
}

void StepPatternClass::Respond(const std::string& input) {
  if (Responses.empty()) return;
  BrainClass* brain = Brain();
  const int32_t pick = brain->random().Below(Responses.Count());
  if (TraceFiring* firing = brain->trace() ? NewFiring(*brain) : nullptr)
    RecordFiring(*firing, *this, -1, nullptr, nullptr, Responses.At(pick));
  Responses.At(pick)->ResolveToString(input);
  brain->LastSPat = ObjectName;
}

std::string StepPatternClass::StripFragments(const std::string& input) {
  return StripFragmentTexts(Fragments, input, nullptr, this);
}

}  // namespace corvane
