// Named objects: a conversation writes fields of labelled knowledge items
// ("Self Modify") and detaches labelled items from their owners ("Delete
// Object").
//
// On shared knowledge, a write into any item but the brain, and every
// deletion, first gives the conversation its private copy of the knowledge
// (TurnRunner::Promote); the brain's own fields are conversation state.
//
// A detached item is parked in the brain, together with everything it owns,
// so that registry entries of its parts, the owner references of its
// children and any operation that is running inside it (a response deleting
// itself from its own task list) keep pointing at live objects. A deleted
// pattern also leaves DoBeforePatterns and DoAfterPatterns, so that it never
// fires again.
#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/brain.h"
#include "engine/turn_runner.h"
#include "engine/collection.h"
#include "engine/fragment.h"
#include "engine/knowledge.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/response.h"
#include "text/text_util.h"

namespace corvane {
namespace {

constexpr const char* kUnknownFieldMessage =
    "Corvane Internal Error.  Unknown Named Object Class Field: ";
constexpr const char* kUnknownClassMessage =
    "Corvane Internal Error.  Unknown Named Object Class: ";

// VOLITIONWHEN of a value that is not a number: far in the future.
constexpr double kNoVolitionTime = 9999999.99;

// Integer fields read the value untrimmed: leading blanks are allowed,
// trailing ones make it 0.
int32_t IntValue(const std::string& value) {
  return ToIntOrZeroLeading(value);
}

// Flags are true only for "YES", "Y" and "TRUE" in any case, untrimmed.
bool FlagValue(const std::string& value) {
  const std::string upper = UpperAscii(value);
  return upper == "YES" || upper == "Y" || upper == "TRUE";
}

// A position field accepts -1 (none) and the positions of its list; other
// values would leave the brain pointing at nothing and are ignored.
void SetPosition(int32_t& position, int count, const std::string& value) {
  const int32_t wanted = IntValue(value);
  if (wanted == -1 || (wanted >= 0 && wanted < count)) position = wanted;
}

// Each setter compares the upper-cased field name with its class's keys in
// table order and returns false when none is equal.

bool SetFragmentField(WordFragmentClass& f, const std::string& key,
                      const std::string& value) {
  if (key == "WORDFRAG") {
    f.WORDFRAG = value;
  } else if (key == "RELATION") {
    f.RELATION = BrainClass::RelationCode(value);
  } else if (key == "BONUS") {
    f.BONUS = IntValue(value);
  } else if (key == "PENALTY") {
    f.PENALTY = IntValue(value);
  } else if (key == "THENAME") {
    f.THENAME = value;
  } else if (key == "THEVALUE") {
    f.THEVALUE = value;
  } else {
    return false;
  }
  return true;
}

// Responses and tasks share their keys.
template <typename T>
bool SetCommandField(T& r, const std::string& key, const std::string& value) {
  if (key == "RESPONSETYPE") {
    r.RESPONSETYPE = BrainClass::ResponseTypeCode(value);
  } else if (key == "OUTTEXT") {
    r.OUTTEXT = value;
  } else if (key == "THENAME") {
    r.THENAME = value;
  } else if (key == "THEVALUE") {
    r.THEVALUE = value;
  } else {
    return false;
  }
  return true;
}

bool SetThresholdField(ThresholdClass& t, const std::string& key,
                       const std::string& value) {
  if (key == "THRESHFROM") {
    t.THRESHFROM = IntValue(value);
  } else if (key == "THRESHTO") {
    t.THRESHTO = IntValue(value);
  } else {
    return false;
  }
  return true;
}

bool SetStateField(StateClass& s, const std::string& key,
                   const std::string& value) {
  if (key != "STATE") return false;
  s.STATE = value;
  return true;
}

bool SetPatternField(TurnRunner& turn, PatternClass& p, const std::string& key,
                     const std::string& value) {
  if (key == "HITCOUNT") {
    turn.SetHitCount(p, IntValue(value));
  } else if (key == "HASVOLITION") {
    p.HASVOLITION = FlagValue(value);
  } else if (key == "LASTVOLITION") {
    p.LASTVOLITION = BrainClass::TextToReal(value, turn.Now());
  } else if (key == "VOLITIONWHEN") {
    p.VOLITIONWHEN = BrainClass::TextToReal(value, kNoVolitionTime);
  } else {
    return false;
  }
  return true;
}

bool SetModeField(KnowledgeClass& m, const std::string& key,
                  const std::string& value) {
  if (key != "HASVOLITION") return false;
  m.HasVolition = FlagValue(value);
  return true;
}

// Collections and step patterns have no writable field: every non-empty
// field name is unknown, an empty one is quietly accepted.
bool NoFields(const std::string& key) {
  return key.empty();
}

// A renamed step keeps its old entry in the procedure's StepNames, so it is
// still found (and made current) under the old name.
bool SetStepField(StepClass& s, const std::string& key,
                  const std::string& value) {
  if (key == "THENAME") {
    s.Name = value;
  } else if (key == "THEPROMPT") {
    s.Prompt = value;
  } else {
    return false;
  }
  return true;
}

// Likewise a renamed procedure keeps its entry in ProcNames.
bool SetProcField(TurnRunner& turn, ProcClass& p, const std::string& key,
                  const std::string& value) {
  if (key == "THENAME") {
    p.Name = value;
  } else if (key == "CURRENTSTEP") {
    turn.SetCurrentStep(p, value);
  } else if (key == "STARTSTEP") {
    p.StartStep = value;
  } else {
    return false;
  }
  return true;
}

// The brain's fields are the conversation's state.
bool SetBrainField(TurnRunner& turn, const std::string& key,
                   const std::string& value) {
  ConversationState& b = turn.state();
  const BrainClass& k = turn.knowledge();
  if (key == "MYNAME") {
    b.Name = value;  // The registry entry "MyBrain" stays as it is.
  } else if (key == "CURRENTMODE") {
    SetPosition(b.CurrentMode, k.Modes.Count(), value);
  } else if (key == "CURRENTSTATE") {
    SetPosition(b.CurrentState, turn.StateCount(), value);
  } else if (key == "CURRENTPROC") {
    SetPosition(b.CurrentProc, k.Procs.Count(), value);
  } else if (key == "HASVOLITION") {
    b.HasVolition = FlagValue(value);
  } else if (key == "LASTINPUT") {
    turn.TouchLastInput();  // The value is ignored.
  } else if (key == "SHOWBLANKOUTPUT") {
    b.ShowBlankOutput = FlagValue(value);
  } else if (key == "LASTOUTPUT") {
    turn.RecordOutput(value);  // Remembered as said, but not said.
  } else {
    return false;
  }
  return true;
}

// Takes `item` out of `list` and parks it; nothing when it is not there
// (it was detached before).
template <typename T>
void DetachFrom(BrainClass& brain, OwningList<T>& list, T* item) {
  const int at = list.IndexOf(item);
  if (at >= 0) brain.Park(list.Remove(at));
}

// Tells the owner of a fragment (a pattern's mode, a step pattern's step)
// that the fragment changed or left, so that its index follows.
void NoteFragmentsChanged(Item* owner) {
  if (auto* pattern = ItemAs<PatternClass>(owner)) {
    if (pattern->Mode != nullptr) pattern->Mode->NoteFragmentsChanged(*pattern);
  } else if (auto* sp = ItemAs<StepPatternClass>(owner)) {
    if (sp->Step != nullptr) sp->Step->NoteFragmentsChanged(*sp);
  }
}

// Whether a fragment field takes part in scoring through the index: the
// others (THENAME, THEVALUE) are read afresh whenever a fragment that uses
// them is scored.
bool IndexedFragmentField(const std::string& key) {
  return key == "WORDFRAG" || key == "RELATION" || key == "BONUS" ||
         key == "PENALTY";
}

// Takes `pattern` out of the brain's "Do-Before" and "Do-After" lists.
void ForgetFiringPattern(BrainClass& brain, const PatternClass* pattern) {
  std::erase(brain.DoBeforePatterns, pattern);
  std::erase(brain.DoAfterPatterns, pattern);
}

// Keeps `position` denoting the same item after the item at `removed` left
// its list. Removing the item at the position itself makes it
// `if_removed`.
void ShiftPosition(int32_t& position, int removed, int32_t if_removed) {
  if (position == removed) {
    position = if_removed;
  } else if (position > removed) {
    --position;
  }
}

}  // namespace

void TurnRunner::SetObjectField(const std::string& label,
                                const std::string& field,
                                const std::string& value) {
  const int at = knowledge_->NamedObjects.IndexOf(label);
  if (at < 0) return;
  Item* item = static_cast<Item*>(knowledge_->NamedObjects.ObjectAt(at));
  if (item == nullptr) {
    Say(kUnknownClassMessage + label);
    return;
  }
  if (item->kind() != ObjectKind::kBrain && on_shared_knowledge()) {
    // A knowledge item changes: the conversation needs its own copy.
    Promote();
    item = Live(item);
  }
  const std::string key = UpperAscii(field);  // Not trimmed.
  bool known = false;
  switch (item->kind()) {
    case ObjectKind::kFragment: {
      auto* fragment = ItemAs<WordFragmentClass>(item);
      known = SetFragmentField(*fragment, key, value);
      if (known && IndexedFragmentField(key))
        NoteFragmentsChanged(fragment->Owner);
      break;
    }
    case ObjectKind::kTask:
      known = SetCommandField(*ItemAs<TaskClass>(item), key, value);
      break;
    case ObjectKind::kResponse:
      known = SetCommandField(*ItemAs<ResponseClass>(item), key, value);
      break;
    case ObjectKind::kThreshold:
      known = SetThresholdField(*ItemAs<ThresholdClass>(item), key, value);
      break;
    case ObjectKind::kState:
      known = SetStateField(*ItemAs<StateClass>(item), key, value);
      break;
    case ObjectKind::kPattern:
      known = SetPatternField(*this, *ItemAs<PatternClass>(item), key, value);
      break;
    case ObjectKind::kMode:
      known = SetModeField(*ItemAs<KnowledgeClass>(item), key, value);
      break;
    case ObjectKind::kCollection:
    case ObjectKind::kStepPattern:
      known = NoFields(key);
      break;
    case ObjectKind::kStep:
      known = SetStepField(*ItemAs<StepClass>(item), key, value);
      break;
    case ObjectKind::kProc:
      known = SetProcField(*this, *ItemAs<ProcClass>(item), key, value);
      break;
    case ObjectKind::kBrain:
      known = SetBrainField(*this, key, value);
      break;
    default:  // A kind without a field table.
      Say(kUnknownClassMessage + label);
      return;
  }
  if (!known) Say(kUnknownFieldMessage + label + " " + key);
}

void TurnRunner::DeleteNamedObject(const std::string& label) {
  if (knowledge_->NamedObjects.IndexOf(label) < 0) return;
  // The registry and the items change: the conversation needs its own copy.
  Promote();
  BrainClass& brain = *knowledge_;
  const int at = brain.NamedObjects.IndexOf(label);
  Item* item = static_cast<Item*>(brain.NamedObjects.ObjectAt(at));
  brain.NamedObjects.Delete(at);
  if (item == nullptr) return;
  int32_t& CurrentMode = state_->CurrentMode;
  int32_t& CurrentProc = state_->CurrentProc;
  OwningList<KnowledgeClass>& Modes = brain.Modes;
  NameList& ModeNames = brain.ModeNames;
  OwningList<ProcClass>& Procs = brain.Procs;
  NameList& ProcNames = brain.ProcNames;
  NameList& Collections = brain.Collections;
  auto Park = [&](auto item_to_park) { brain.Park(std::move(item_to_park)); };

  switch (item->kind()) {
    case ObjectKind::kFragment: {
      auto* fragment = ItemAs<WordFragmentClass>(item);
      if (auto* pattern = ItemAs<PatternClass>(fragment->Owner)) {
        DetachFrom(brain, pattern->Fragments, fragment);
      } else if (auto* sp = ItemAs<StepPatternClass>(fragment->Owner)) {
        DetachFrom(brain, sp->Fragments, fragment);
      }
      NoteFragmentsChanged(fragment->Owner);
      break;
    }
    case ObjectKind::kTask: {
      auto* task = ItemAs<TaskClass>(item);
      if (task->Response != nullptr)
        DetachFrom(brain, task->Response->Tasks, task);
      break;
    }
    case ObjectKind::kResponse: {
      auto* response = ItemAs<ResponseClass>(item);
      Item* owner = response->Owner;
      if (auto* group = ItemAs<StateClass>(owner)) {
        DetachFrom(brain, group->Responses, response);
      } else if (auto* threshold = ItemAs<ThresholdClass>(owner)) {
        DetachFrom(brain, threshold->Responses, response);
      } else if (auto* sp = ItemAs<StepPatternClass>(owner)) {
        DetachFrom(brain, sp->Responses, response);
      } else if (auto* pattern = ItemAs<PatternClass>(owner)) {
        DetachFrom(brain, pattern->Responses, response);
      }
      break;
    }
    case ObjectKind::kThreshold: {
      auto* threshold = ItemAs<ThresholdClass>(item);
      if (threshold->Pattern != nullptr)
        DetachFrom(brain, threshold->Pattern->Thresholds, threshold);
      break;
    }
    case ObjectKind::kState: {
      auto* group = ItemAs<StateClass>(item);
      if (group->Pattern != nullptr)
        DetachFrom(brain, group->Pattern->StateResponses, group);
      break;
    }
    case ObjectKind::kPattern: {
      auto* pattern = ItemAs<PatternClass>(item);
      ForgetFiringPattern(brain, pattern);
      if (pattern->Mode != nullptr) Park(pattern->Mode->DetachPattern(pattern));
      break;
    }
    case ObjectKind::kMode: {
      // Found by identity rather than by name: a mode that was replaced
      // earlier shares its name with the registered one, which must stay.
      auto* mode = ItemAs<KnowledgeClass>(item);
      for (const auto& pattern : mode->Patterns)
        ForgetFiringPattern(brain, pattern.get());
      const int index = Modes.IndexOf(mode);
      if (index >= 0) {
        ModeNames.Delete(index);
        Park(Modes.Remove(index));
        ShiftPosition(CurrentMode, index, Modes.empty() ? -1 : 0);
      }
      break;
    }
    case ObjectKind::kCollection: {
      // The brain goes on owning the collection; only its entry leaves.
      const int index = Collections.IndexOfObject(item);
      if (index >= 0) Collections.Delete(index);
      break;
    }
    case ObjectKind::kStepPattern: {
      auto* sp = ItemAs<StepPatternClass>(item);
      if (sp->Step != nullptr) Park(sp->Step->DetachStepPattern(sp));
      break;
    }
    case ObjectKind::kStep: {
      auto* step = ItemAs<StepClass>(item);
      ProcClass* proc = step->Proc;
      if (proc == nullptr) break;
      const int index = proc->Steps.IndexOf(step);
      if (index >= 0) {
        proc->StepNames.Delete(index);
        Park(proc->Steps.Remove(index));
      }
      break;
    }
    case ObjectKind::kProc: {
      auto* proc = ItemAs<ProcClass>(item);
      const int index = Procs.IndexOf(proc);
      if (index >= 0) {
        ProcNames.Delete(index);
        Park(Procs.Remove(index));
        ShiftPosition(CurrentProc, index, -1);
      }
      break;
    }
    case ObjectKind::kBrain:
      break;  // Only the registry entry goes; the brain works on.
  }
}

}  // namespace corvane
