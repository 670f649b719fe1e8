#include "engine/response.h"

#include "base/name_list.h"
#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/knowledge.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/effects.h"
#include "engine/trace.h"
#include "engine/turn_runner.h"
#include "engine/type_tables.h"
#include "text/text_util.h"

namespace corvane {
namespace {

// The jump target recorded for `label`: the value of the first entry (in
// the list's sorted order) whose name part equals the label; -1 when there
// is none or it is not a number.
int32_t LabelTarget(const NameList& labels, std::string_view label) {
  for (const NameList::Entry& e : labels.entries()) {
    const std::size_t eq = e.name.find('=');
    const std::string_view name =
        std::string_view(e.name).substr(0, eq == std::string::npos ? e.name.size() : eq);
    if (!labels.Equal(name, label)) continue;
    if (eq == std::string::npos) return -1;
    return TryParseInt32(std::string_view(e.name).substr(eq + 1)).value_or(-1);
  }
  return -1;
}

}  // namespace

ResponseClass::ResponseClass() : Item(kKind) {}
ResponseClass::~ResponseClass() = default;

PatternClass* ResponseClass::OwnerPattern() const {
  if (PatternClass* p = ItemAs<PatternClass>(Owner)) return p;
  if (ThresholdClass* t = ItemAs<ThresholdClass>(Owner)) return t->Pattern;
  if (StateClass* s = ItemAs<StateClass>(Owner)) return s->Pattern;
  return nullptr;
}

StepPatternClass* ResponseClass::OwnerStepPattern() const {
  return ItemAs<StepPatternClass>(Owner);
}

BrainClass* ResponseClass::Brain() const {
  if (PatternClass* p = OwnerPattern()) return p->Brain();
  if (StepPatternClass* sp = OwnerStepPattern()) return sp->Brain();
  return nullptr;
}

TaskClass* ResponseClass::AddTask(std::unique_ptr<TaskClass> task) {
  task->Response = this;
  BrainClass* brain = Brain();
  return AttachItem(Tasks, std::move(task), brain, &brain->LastTask);
}

std::string ResponseClass::Exp(TurnRunner& turn, const std::string& text,
                               const std::string& input) {
  return turn.ExpandMacros(text, input, OwnerPattern(), OwnerStepPattern());
}

bool ResponseClass::RunAction(TurnRunner& turn, uint8_t type,
                              const std::string& name_text,
                              const std::string& value_text,
                              const std::string& out_text,
                              const std::string& input) {
  // Arguments are expanded when the action needs them, in the order
  // value, name, output text ("Parse Collection": output text first).
  auto exp = [&](const std::string& text) { return Exp(turn, text, input); };
  switch (type) {
    case rt::kModeChange:
      turn.SetMode(exp(name_text));
      return true;
    case rt::kAssignment: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      turn.SetFact(name, value);
      return true;
    }
    case rt::kAction:
      // The command line is handed over as stored; its outcome is ignored.
      turn.state().effects().Launch(name_text, turn.knowledge().paths());
      return true;
    case rt::kResetHits:
      if (PatternClass* p = OwnerPattern()) turn.SetHitCount(*p, 0);
      return true;
    case rt::kStateChange:
      turn.SetState(exp(name_text));
      return true;
    case rt::kResetState:
      turn.ClearState();
      return true;
    case rt::kResetKmHits:
      if (PatternClass* p = OwnerPattern())
        if (p->Mode != nullptr) p->Mode->ResetHits(turn);
      return true;
    case rt::kResetBrainHits:
      turn.ResetAllHits();
      return true;
    case rt::kAddToCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      turn.AddMember(name, value);
      return true;
    }
    case rt::kRemoveFromCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      turn.RemoveMember(name, value);
      return true;
    }
    case rt::kSubmitThis:
      turn.Submit(exp(name_text));
      return true;
    case rt::kLogThis: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      turn.LogLine(name, value);
      return true;
    }
    case rt::kStartProc:
      turn.StartProc(exp(name_text));
      return true;
    case rt::kGotoStep:
      turn.SetStep(exp(name_text));
      return true;
    case rt::kHaltProc:
      turn.EndProc();
      return true;
    case rt::kCallProc:
      turn.CallProc(exp(name_text));
      return true;
    case rt::kProcReturn:
      turn.ProcReturn();
      return true;
    case rt::kSelfModify: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      const std::string label = exp(out_text);
      turn.SetObjectField(label, name, value);
      return true;
    }
    case rt::kLoadCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      turn.LoadCollection(name, value);
      return true;
    }
    case rt::kSaveCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      turn.SaveCollection(name, value);
      return true;
    }
    case rt::kClearCollection:
      turn.ClearCollection(exp(name_text));
      return true;
    case rt::kParseCollection: {
      const std::string text = exp(out_text);
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      turn.ParseCollection(name, value, text);
      return true;
    }
    case rt::kDeleteObject:
      turn.DeleteNamedObject(exp(out_text));
      return true;
    case rt::kMakeCode:
      turn.MakeCode(exp(out_text));
      return true;
    case rt::kMergeCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      turn.MergeCollection(name, value);
      return true;
    }
    case rt::kDoResponseFor:
      turn.DoResponseFor(exp(out_text));
      return true;
    case rt::kWordsToCollection: {
      const std::string name = exp(name_text);
      const std::string text = exp(out_text);
      turn.WordsToCollection(text, name);
      return true;
    }
    case rt::kCreateAutoPattern: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      const std::string text = exp(out_text);
      turn.CreateAutoPattern(text, name, value);
      return true;
    }
    case rt::kAddResponse:
      turn.AddResponseToLastPattern(exp(out_text));
      return true;
    case rt::kAddFragment: {
      const std::string name = exp(name_text);
      const std::string text = exp(out_text);
      turn.AddFragmentToLastPattern(text, name);
      return true;
    }
    case rt::kSetUnsorted:
      turn.SetUnsorted(exp(name_text));
      return true;
    default:
      return false;
  }
}

void ResponseClass::ResolveToString(TurnRunner& turn,
                                    const std::string& input) {
  const uint8_t type = RESPONSETYPE;
  std::string out;
  // Types that take their output text as an argument and say nothing do
  // not expand it here; the others expand it before the action runs.
  const bool silent = type == rt::kSelfModify || type == rt::kParseCollection ||
                      type == rt::kWordsToCollection ||
                      type == rt::kCreateAutoPattern ||
                      type == rt::kAddResponse || type == rt::kAddFragment;
  if (!silent) out = Exp(turn, OUTTEXT, input);
  if (TurnTrace* trace = turn.state().trace();
      trace != nullptr && out != OUTTEXT && !silent)
    trace->events.push_back({TraceEvent::Kind::kMacro, 0, OUTTEXT, out, {}});
  switch (type) {
    case rt::kNone:
      out.clear();
      break;
    case rt::kJustText:
      break;
    case rt::kNested:
      if (NestedMode != nullptr) NestedMode->Answer(turn, input);
      break;
    case rt::kTaskList:
      RunTasks(turn, input);
      break;
    case rt::kAskOrvalis: {
      const std::string value = Exp(turn, THEVALUE, input);
      const std::string name = Exp(turn, THENAME, input);
      out = turn.AskWordIndex(name, value);
      break;
    }
    default:
      if (type > rt::kSetUnsorted)
        out = kUnknownResponseTypeMessage;
      else
        RunAction(turn, type, THENAME, THEVALUE, OUTTEXT, input);
      break;
  }
  turn.Say(out);
  turn.state().LastResp = ObjectName;
}

void ResponseClass::RunTasks(TurnRunner& turn, const std::string& input) {
  NameList labels(NameList::kSorted, turn.knowledge().name_folding());
  int32_t i = 0;
  // The task count is read anew on every pass: tasks may add or delete
  // tasks of this very list. A task that promotes the conversation moves
  // the rest of the run to the private copy of this response.
  for (;;) {
    ResponseClass* self = turn.Live(this);
    if (i < 0 || i >= self->Tasks.Count()) break;
    if (!turn.ChargeTask()) break;
    TaskClass* task = self->Tasks.At(i);
    const std::string out = self->Exp(turn, task->OUTTEXT, input);
    if (TurnTrace* trace = turn.state().trace())
      trace->events.push_back(
          {TraceEvent::Kind::kTask, task->RESPONSETYPE,
           task->OUTTEXT.empty() ? task->THENAME : task->OUTTEXT, out,
           task->source()});
    switch (task->RESPONSETYPE) {
      case rt::kJustText:
        turn.Say(out);
        break;
      case rt::kAskOrvalis: {
        const std::string value = self->Exp(turn, task->THEVALUE, input);
        const std::string name = self->Exp(turn, task->THENAME, input);
        turn.Say(turn.AskWordIndex(name, value));
        break;
      }
      case rt::kSetLabel:
        labels.Add(Trim(self->Exp(turn, task->THENAME, input)) + "=" +
                   std::to_string(i));
        break;
      case rt::kGoto: {
        const int32_t target =
            LabelTarget(labels, Trim(self->Exp(turn, task->THENAME, input)));
        if (target != -1) i = target;
        break;
      }
      case rt::kBranchIf: {
        const int32_t target =
            LabelTarget(labels, Trim(self->Exp(turn, task->THENAME, input)));
        if (target != -1 && MacroExpander::TestCondition(
                                self->Exp(turn, task->THEVALUE, input)))
          i = target;
        break;
      }
      case rt::kNone:
      case rt::kNested:
      case rt::kTaskList:
        break;
      default:
        if (task->RESPONSETYPE <= rt::kBranchIf)
          self->RunAction(turn, task->RESPONSETYPE, task->THENAME,
                          task->THEVALUE, task->OUTTEXT, input);
        break;
    }
    turn.state().LastTask = task->ObjectName;
    ++i;
  }
}

}  // namespace corvane
