#include "engine/response.h"

#include "base/name_list.h"
#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/knowledge.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/trace.h"
#include "engine/type_tables.h"
#include "platform/launch.h"
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
    if (!EqualNoCase(name, label)) continue;
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

std::string ResponseClass::Exp(const std::string& text, const std::string& input) {
  return Brain()->ExpandMacros(text, input, OwnerPattern(), OwnerStepPattern());
}

bool ResponseClass::RunAction(uint8_t type, const std::string& name_text,
                              const std::string& value_text,
                              const std::string& out_text,
                              const std::string& input) {
  BrainClass* brain = Brain();
  // Arguments are expanded when the action needs them, in the order
  // value, name, output text ("Parse Collection": output text first).
  auto exp = [&](const std::string& text) { return Exp(text, input); };
  switch (type) {
    case rt::kModeChange:
      brain->SetMode(exp(name_text));
      return true;
    case rt::kAssignment: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      brain->SetFact(name, value);
      return true;
    }
    case rt::kAction:
      // The command line is handed over as stored; its outcome is ignored.
      LaunchProgram(name_text, brain->paths().root());
      return true;
    case rt::kResetHits:
      if (PatternClass* p = OwnerPattern()) p->HITCOUNT = 0;
      return true;
    case rt::kStateChange:
      brain->SetState(exp(name_text));
      return true;
    case rt::kResetState:
      brain->ClearState();
      return true;
    case rt::kResetKmHits:
      if (PatternClass* p = OwnerPattern())
        if (p->Mode != nullptr) p->Mode->ResetHits();
      return true;
    case rt::kResetBrainHits:
      brain->ResetAllHits();
      return true;
    case rt::kAddToCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      brain->AddMember(name, value);
      return true;
    }
    case rt::kRemoveFromCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      brain->RemoveMember(name, value);
      return true;
    }
    case rt::kSubmitThis:
      brain->Submit(exp(name_text));
      return true;
    case rt::kLogThis: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      brain->LogLine(name, value);
      return true;
    }
    case rt::kStartProc:
      brain->StartProc(exp(name_text));
      return true;
    case rt::kGotoStep:
      brain->SetStep(exp(name_text));
      return true;
    case rt::kHaltProc:
      brain->EndProc();
      return true;
    case rt::kCallProc:
      brain->CallProc(exp(name_text));
      return true;
    case rt::kProcReturn:
      brain->ProcReturn();
      return true;
    case rt::kSelfModify: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      const std::string label = exp(out_text);
      brain->SetObjectField(label, name, value);
      return true;
    }
    case rt::kLoadCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      brain->LoadCollection(name, value);
      return true;
    }
    case rt::kSaveCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      brain->SaveCollection(name, value);
      return true;
    }
    case rt::kClearCollection:
      brain->ClearCollection(exp(name_text));
      return true;
    case rt::kParseCollection: {
      const std::string text = exp(out_text);
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      brain->ParseCollection(name, value, text);
      return true;
    }
    case rt::kDeleteObject:
      brain->DeleteNamedObject(exp(out_text));
      return true;
    case rt::kMakeCode:
      brain->MakeCode(exp(out_text));
      return true;
    case rt::kMergeCollection: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      brain->MergeCollection(name, value);
      return true;
    }
    case rt::kDoResponseFor:
      brain->DoResponseFor(exp(out_text));
      return true;
    case rt::kWordsToCollection: {
      const std::string name = exp(name_text);
      const std::string text = exp(out_text);
      brain->WordsToCollection(text, name);
      return true;
    }
    case rt::kCreateAutoPattern: {
      const std::string value = exp(value_text);
      const std::string name = exp(name_text);
      const std::string text = exp(out_text);
      brain->CreateAutoPattern(text, name, value);
      return true;
    }
    case rt::kAddResponse:
      brain->AddResponseToLastPattern(exp(out_text));
      return true;
    case rt::kAddFragment: {
      const std::string name = exp(name_text);
      const std::string text = exp(out_text);
      brain->AddFragmentToLastPattern(text, name);
      return true;
    }
    case rt::kSetUnsorted:
      brain->SetUnsorted(exp(name_text));
      return true;
    default:
      return false;
  }
}

void ResponseClass::ResolveToString(const std::string& input) {
  BrainClass* brain = Brain();
  const uint8_t type = RESPONSETYPE;
  std::string out;
  // Types that take their output text as an argument and say nothing do
  // not expand it here; the others expand it before the action runs.
  const bool silent = type == rt::kSelfModify || type == rt::kParseCollection ||
                      type == rt::kWordsToCollection ||
                      type == rt::kCreateAutoPattern ||
                      type == rt::kAddResponse || type == rt::kAddFragment;
  if (!silent) out = Exp(OUTTEXT, input);
  if (TurnTrace* trace = brain->trace();
      trace != nullptr && out != OUTTEXT && !silent)
    trace->events.push_back({TraceEvent::Kind::kMacro, 0, OUTTEXT, out, {}});
  switch (type) {
    case rt::kNone:
      out.clear();
      break;
    case rt::kJustText:
      break;
    case rt::kNested:
      if (NestedMode != nullptr) NestedMode->Answer(input);
      break;
    case rt::kTaskList:
      RunTasks(input);
      break;
    case rt::kAskOrvalis: {
      const std::string value = Exp(THEVALUE, input);
      const std::string name = Exp(THENAME, input);
      out = brain->AskWordIndex(name, value);
      break;
    }
    default:
      if (type > rt::kSetUnsorted)
        out = kUnknownResponseTypeMessage;
      else
        RunAction(type, THENAME, THEVALUE, OUTTEXT, input);
      break;
  }
  brain->Say(out);
  brain->LastResp = ObjectName;
}

void ResponseClass::RunTasks(const std::string& input) {
  BrainClass* brain = Brain();
  NameList labels(NameList::kSorted);
  int32_t i = 0;
  // The task count is read anew on every pass: tasks may add or delete
  // tasks of this very list.
  while (i >= 0 && i < Tasks.Count()) {
    if (!brain->ChargeTask()) break;
    TaskClass* task = Tasks.At(i);
    const std::string out = Exp(task->OUTTEXT, input);
    if (TurnTrace* trace = brain->trace())
      trace->events.push_back(
          {TraceEvent::Kind::kTask, task->RESPONSETYPE,
           task->OUTTEXT.empty() ? task->THENAME : task->OUTTEXT, out,
           task->source()});
    switch (task->RESPONSETYPE) {
      case rt::kJustText:
        brain->Say(out);
        break;
      case rt::kAskOrvalis: {
        const std::string value = Exp(task->THEVALUE, input);
        const std::string name = Exp(task->THENAME, input);
        brain->Say(brain->AskWordIndex(name, value));
        break;
      }
      case rt::kSetLabel:
        labels.Add(Trim(Exp(task->THENAME, input)) + "=" + std::to_string(i));
        break;
      case rt::kGoto: {
        const int32_t target = LabelTarget(labels, Trim(Exp(task->THENAME, input)));
        if (target != -1) i = target;
        break;
      }
      case rt::kBranchIf: {
        const int32_t target = LabelTarget(labels, Trim(Exp(task->THENAME, input)));
        if (target != -1 && brain->TestCondition(Exp(task->THEVALUE, input)))
          i = target;
        break;
      }
      case rt::kNone:
      case rt::kNested:
      case rt::kTaskList:
        break;
      default:
        if (task->RESPONSETYPE <= rt::kBranchIf)
          RunAction(task->RESPONSETYPE, task->THENAME, task->THEVALUE,
                    task->OUTTEXT, input);
        break;
    }
    brain->LastTask = task->ObjectName;
    ++i;
  }
}

}  // namespace corvane
