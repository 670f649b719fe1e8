#include "engine/proc.h"

#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/pattern_choice.h"
#include "engine/pattern_index.h"
#include "engine/response.h"
#include "engine/scorer.h"
#include "base/error.h"
#include "engine/trace_record.h"
#include "engine/turn_runner.h"
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

StepClass* ProcClass::StepNamed(const std::string& name) const {
  const int index = StepNames.IndexOf(name);
  return index < 0 ? nullptr : Steps.At(index);
}

void ProcClass::Begin(TurnRunner& turn) {
  const std::string step =
      StepNames.IndexOf(StartStep) >= 0 ? StartStep : std::string();
  turn.SetCurrentStep(*this, step);
  turn.Say(step.empty() ? std::string() : CurrentPrompt(turn));
}

std::string ProcClass::CurrentPrompt(TurnRunner& turn) {
  StepClass* step = turn.CurrentStepItem(*this);
  if (step == nullptr) return {};
  const TextHistory& history = turn.state().InputHistory;
  const std::string context =
      history.empty() ? std::string() : std::string(history.At(0));
  return turn.ExpandMacros(step->Prompt, context, nullptr, nullptr);
}

void ProcClass::Handle(TurnRunner& turn, const std::string& input) {
  if (StepClass* step = turn.CurrentStepItem(*this))
    step->Answer(turn, input);
  else
    turn.Say("There is a problem with the procedure " + Name +
             ".  There is not a current step!");
  // A response may have halted this procedure or started another; then its
  // prompt no longer belongs to the reply. It may also have promoted the
  // conversation: the procedure is then the private copy.
  ProcClass* self = turn.Live(this);
  if (turn.knowledge().ProcNames.IndexOf(self->Name) == turn.state().CurrentProc)
    turn.Say(self->CurrentPrompt(turn));
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

void StepClass::Answer(TurnRunner& turn, const std::string& input) {
  if (Scorer* other = turn.state().scorer())
    return other->Answer(turn, *this, input);
  if (!index_) {
    if (turn.knowledge().frozen()) throw AssertionError(__FILE__, __LINE__);
    index_ = std::make_unique<PatternIndex>();
  }
  StepPatternClass* chosen = ChoosePattern(turn, *index_, StepPatterns, input);
  if (chosen == nullptr)
    turn.Say(kNoStepPatternsMessage);
  else
    chosen->Respond(turn, input);
}

void StepClass::FreezeIndex(uint64_t generation, TextEncoding encoding) {
  if (!index_) index_ = std::make_unique<PatternIndex>();
  RefreshIndexOf(*index_, StepPatterns, generation, encoding);
  index_->Freeze();
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

int32_t StepPatternClass::Score(TurnRunner& turn, const std::string& input) {
  return ScoreFragmentsOfInput(turn, Fragments, input, nullptr, this);
}

void StepPatternClass::Respond(TurnRunner& turn, const std::string& input) {
  if (Responses.empty()) return;
  const int32_t pick = turn.state().random().Below(Responses.Count());
  if (TraceFiring* firing = turn.state().trace() ? NewFiring(turn) : nullptr)
    RecordFiring(*firing, *this, -1, nullptr, nullptr, Responses.At(pick));
  Responses.At(pick)->ResolveToString(turn, input);
  turn.state().LastSPat = ObjectName;
}

std::string StepPatternClass::StripFragments(TurnRunner& turn,
                                             const std::string& input) {
  return StripFragmentTexts(turn, Fragments, input, nullptr, this);
}

}  // namespace corvane
