// Procedures: guided dialogues made of steps, each with a prompt and its own
// step patterns. While a procedure runs, every input turn goes to its
// current step. A procedure owns its steps, a step its step patterns and
// the index through which it chooses among them, a step pattern its
// fragments and responses. Their part of a turn runs with the turn's
// runner, which keeps each procedure's current step (in the procedure, or
// for shared knowledge beside it). Not thread-safe while being built.
#ifndef CORVANE_ENGINE_PROC_H_
#define CORVANE_ENGINE_PROC_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/label.h"
#include "base/name_list.h"
#include "base/owning_list.h"
#include "engine/item.h"
#include "text/utf8.h"

namespace corvane {

class BrainClass;
class PatternIndex;
class ResponseClass;
class StepClass;
class StepPatternClass;
class TurnRunner;
class WordFragmentClass;

inline constexpr const char* kNoStepPatternsMessage =
    "There are no patterns for this procedure step!  I can not proceed!";

class ProcClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kProc;
  ProcClass();
  ~ProcClass();
  BrainClass* Brain() const { return Owner; }

  // Attaches a step under `name`; an existing name is replaced in place
  // (the old step is kept alive, detached). An empty name attaches nothing:
  // the step is kept alive, detached, and returned, so that its creator may
  // go on using it.
  StepClass* AddStep(const std::string& name, std::unique_ptr<StepClass> step);
  // Makes StartStep current and says its prompt.
  void Begin(TurnRunner& turn);
  // The procedure's share of an input turn.
  void Handle(TurnRunner& turn, const std::string& input);
  // The current step's prompt, expanded; empty when there is no such step.
  std::string CurrentPrompt(TurnRunner& turn);
  // The step named `name`, or nullptr.
  StepClass* StepNamed(const std::string& name) const;

  Label ObjectName;                // Named-object label.
  std::string Name;                // Given by AddProc; field THENAME.
  std::string CurrentStep;  // Current step; read it through the turn's view.
  std::string StartStep;           // The first step added.
  OwningList<StepClass> Steps;     // The steps.
  NameList StepNames;              // Parallel to Steps.
  BrainClass* Owner = nullptr;     // Set by AddProc.

 private:
  friend class KnowledgeCodec;
  // Replaced and unnamed steps of a procedure that has no brain yet; with a
  // brain they are parked there instead.
  OwningList<StepClass> detached_steps_;
};

class StepClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kStep;
  StepClass();
  ~StepClass();
  BrainClass* Brain() const;

  StepPatternClass* AddStepPattern(std::unique_ptr<StepPatternClass> sp);
  // Takes `sp` out of StepPatterns; nullptr when it is not one of them.
  std::unique_ptr<StepPatternClass> DetachStepPattern(StepPatternClass* sp);
  // What step patterns of this step tell it about their fragments, as for
  // the patterns of a mode (KnowledgeClass::NoteFragmentsAppended).
  void NoteFragmentsAppended(const StepPatternClass& sp);
  void NoteFragmentsChanged(const StepPatternClass& sp);
  // Lets the best step pattern respond; says the no-patterns message when
  // none scores above -30000.
  void Answer(TurnRunner& turn, const std::string& input);
  // The index the step chooses through, once its first answer built it;
  // nullptr before. For the tests and the benchmarks.
  const PatternIndex* index() const { return index_.get(); }
  // Builds the index now and freezes it, for knowledge that turns share.
  void FreezeIndex(uint64_t generation, TextEncoding encoding);

  Label ObjectName;                            // Named-object label.
  std::string Name;                            // Field THENAME.
  std::string Prompt;                          // Field THEPROMPT.
  OwningList<StepPatternClass> StepPatterns;   // In the order added.
  ProcClass* Proc = nullptr;                   // Owner.

 private:
  friend class KnowledgeCodec;
  std::unique_ptr<PatternIndex> index_;  // Built by the first answer.
  uint64_t next_ordinal_ = 1;            // For the next step pattern added.
};

class StepPatternClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kStepPattern;
  StepPatternClass();
  ~StepPatternClass();
  BrainClass* Brain() const;

  WordFragmentClass* AddFragment(std::unique_ptr<WordFragmentClass> fragment);
  ResponseClass* AddResponse(std::unique_ptr<ResponseClass> response);
  int32_t Score(TurnRunner& turn, const std::string& input);
  // Carries out one response drawn at random; nothing without responses.
  void Respond(TurnRunner& turn, const std::string& input);
  std::string StripFragments(TurnRunner& turn, const std::string& input);
  // Its place among the step patterns ever added to its step, as for
  // patterns (PatternClass::ordinal); 0 once detached.
  uint64_t ordinal() const { return ordinal_; }

  Label ObjectName;                        // Named-object label.
  OwningList<WordFragmentClass> Fragments;
  OwningList<ResponseClass> Responses;
  StepClass* Step = nullptr;               // Owner.

 private:
  friend class StepClass;
  friend class KnowledgeCodec;
  uint64_t ordinal_ = 0;  // Set by StepClass::AddStepPattern.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_PROC_H_
