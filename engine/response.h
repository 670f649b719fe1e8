// Responses, what a fired pattern or step pattern does, and tasks, the
// steps of a "Task List" response. A response belongs to a pattern, a
// threshold, a state group or a step pattern, and owns its tasks. Carrying
// one out runs with the turn's runner. Not thread-safe while being built.
#ifndef CORVANE_ENGINE_RESPONSE_H_
#define CORVANE_ENGINE_RESPONSE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/label.h"
#include "base/owning_list.h"
#include "engine/item.h"

namespace corvane {

class BrainClass;
class KnowledgeClass;
class PatternClass;
class StepPatternClass;
class TaskClass;
class TurnRunner;

inline constexpr const char* kUnknownResponseTypeMessage =
    "UNKNOWN RESPONSE TYPE!  [ResponseClass.ResolveToString]";

class ResponseClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kResponse;
  ResponseClass();
  ~ResponseClass();

  // The owner if it is a pattern; the owner's pattern for a threshold or a
  // state group; nullptr for a step pattern.
  PatternClass* OwnerPattern() const;
  StepPatternClass* OwnerStepPattern() const;
  BrainClass* Brain() const;

  TaskClass* AddTask(std::unique_ptr<TaskClass> task);

  // Carries out the response: its action, then Say of its output text
  // (always, also when empty), then LastResp.
  void ResolveToString(TurnRunner& turn, const std::string& input);
  // Runs the task list with its labels and jumps; each task executed counts
  // against the turn's budget (TurnRunner::ChargeTask), and the list ends
  // when the budget is spent.
  void RunTasks(TurnRunner& turn, const std::string& input);

  Label ObjectName;                   // Named-object label.
  uint8_t RESPONSETYPE = 0;           // Type code, 0 to 38.
  std::string OUTTEXT;                // Output text or main argument.
  Label THENAME;                      // First argument; usually empty.
  Label THEVALUE;                     // Second argument; usually empty.
  KnowledgeClass* NestedMode = nullptr;  // Not owned; nothing fills it.
  OwningList<TaskClass> Tasks;        // The task list.
  Item* Owner = nullptr;              // Pattern, threshold, state group or
                                      // step pattern; not owned.

 private:
  // `exp` of one text in this response's context.
  std::string Exp(TurnRunner& turn, const std::string& text,
                  const std::string& input);
  // The action of a command type shared by responses and tasks. Returns
  // false when the type has no such action.
  bool RunAction(TurnRunner& turn, uint8_t type, const std::string& name_text,
                 const std::string& value_text, const std::string& out_text,
                 const std::string& input);
};

class TaskClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kTask;
  TaskClass() : Item(kKind) {}

  Label ObjectName;                 // Named-object label.
  uint8_t RESPONSETYPE = 0;         // Type code, same table.
  std::string OUTTEXT;
  Label THENAME;
  Label THEVALUE;
  ResponseClass* Response = nullptr;  // Owner.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_RESPONSE_H_
