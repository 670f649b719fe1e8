// The turn runner: the context of a conversation's turns. It binds a
// conversation state (engine/conversation_state.h) to the knowledge it
// talks over, runs input turns on them, and carries out every operation a
// response, fragment or macro asks for (the state operations, named
// objects, the knowledge commands). Knowledge items do their part of a
// turn (a mode answers, a pattern fires, a response resolves) with the
// runner passed in; they never reach conversation state through their
// owners.
//
// Every read of what a turn may change in items goes through the runner's
// view: hit counts, each procedure's current step, remembered picks,
// collections and their members, facts and states. In a brain the view is
// the items and lists themselves. On shared knowledge it is the side
// tables of the conversation first, then the frozen knowledge; a write
// goes into the side tables, and the first structural edit (learning, "Self
// Modify" of an item, "Delete Object", "Make Code") promotes the
// conversation: it gets a private copy of the knowledge with its side
// tables applied, and runs on that from then on, within the same turn.
//
// Owns: nothing but the promotion's mapping from shared items to their
// private copies while the promoting turn lasts. Used by one thread at a
// time, the one that owns the conversation.
//
// Throws, abandoning the turn in progress (what was said stays pending):
// IndexError (a position outside its list, such as a stacked procedure
// that no longer exists), OverflowError (a hit count, a score sum or
// integer arithmetic beyond 32 bits), LimitError (an extraction template
// of more than 50 segments), AssertionError (an operation that would write
// into frozen knowledge).
#ifndef CORVANE_ENGINE_TURN_RUNNER_H_
#define CORVANE_ENGINE_TURN_RUNNER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/name_list.h"
#include "engine/conversation_state.h"
#include "engine/item.h"
#include "engine/macro_expander.h"

namespace corvane {

class BrainClass;
class Conversation;
class ConversationState;
class DataCollectionClass;
class KnowledgeClass;
class PatternClass;
class ProcClass;
class StepClass;
class StepPatternClass;
struct KeptExpansions;

class TurnRunner {
 public:
  // Runs the turns of `state` over `knowledge`. In a brain both are the
  // brain itself; a conversation on shared knowledge passes the frozen
  // brain and its own state, and itself as the owner that takes the
  // private brain of a promotion.
  TurnRunner(BrainClass& knowledge, ConversationState& state,
             Conversation* owner = nullptr)
      : knowledge_(&knowledge), state_(&state), owner_(owner) {}
  TurnRunner(const TurnRunner&) = delete;
  TurnRunner& operator=(const TurnRunner&) = delete;

  BrainClass& knowledge() const { return *knowledge_; }
  ConversationState& state() const { return *state_; }

  // ---- Turns ----

  // Fires the start patterns of the first mode; costs what they do. The
  // clock of the turn is `now` (read once from the clock when not given).
  void Start();
  void Start(double now);
  // Fires the stop patterns of the first mode; costs what they do.
  void Stop();
  // One input turn; returns everything said, joined with two blanks. Throws
  // whatever a firing throws; PendingOutput then keeps what was said. Every
  // reading of the clock within the turn sees `now`, or the one reading of
  // the clock when it is not given.
  std::string Respond(const std::string& input);
  std::string Respond(const std::string& input, double now);
  // The turn without collecting the reply. Nested deeper than
  // kMaxSubmitDepth inside one turn, it does nothing.
  void Submit(const std::string& input);
  // Counts one task against the turn's budget of kMaxExecutedTasks (a turn
  // being an outermost Submit, Start or Stop, with everything nested in it);
  // false once the budget is spent, when the task must not run.
  bool ChargeTask();
  // Counts `bytes` against what the conversation may add to the knowledge
  // (kMaxLearntBytes: learnt patterns, responses and fragments, lines read
  // by "Make Code", collection members, new facts). Only what a turn adds
  // counts; outside one, true and nothing counted. When the bytes do not
  // fit, learning stops: the operator is told, and this and every later
  // call during a turn answer false, and the caller adds nothing.
  bool ChargeLearnt(std::size_t bytes);
  // The clock of the turn in progress; outside a turn, the clock now.
  double Now() const;
  // Sets LastInput to the turn's clock, or to the next representable value
  // above the previous one when the clock has not advanced, so that every
  // turn has its own time stamp.
  void TouchLastInput();

  // ---- Output and history ----

  // The single way anything is said: recorded in OutputHistory, then given
  // to OutputHandler or appended to PendingOutput.
  void Say(const std::string& text);
  // Push a text onto InputHistory (OutputHistory) as its newest entry. The
  // history keeps at most kHistoryLimit entries and, but for the newest,
  // which stays whole whatever its size, at most kMaxHistoryBytes of text;
  // the oldest leave first.
  void RecordInput(const std::string& text);
  void RecordOutput(const std::string& text);
  // The name at CurrentState; empty when it is -1.
  std::string CurrentStateName() const;

  // ---- State operations ----

  void SetMode(const std::string& name);
  void SetState(const std::string& name);
  void ClearState();
  void StartProc(const std::string& name);
  void SetStep(const std::string& name);
  void EndProc();
  void CallProc(const std::string& name);
  // Throws IndexError when the stacked procedure or step no longer exists.
  void ProcReturn();
  void SetFact(const std::string& name, const std::string& value);
  // The fact's value; "#" when there is no such fact.
  std::string GetFact(std::string_view name) const;
  // Matches an upper-cased template against the input and stores the
  // extracted texts. Throws LimitError for more than 50 segments.
  bool ExtractFacts(const std::string& templ, const std::string& input);
  // "TIME", "DATE", "AGE" (key upper-cased, not trimmed) at the turn's
  // clock; "*" otherwise.
  std::string SystemValue(const std::string& key) const;
  void AddMember(const std::string& collection, const std::string& member);
  void RemoveMember(const std::string& collection, const std::string& member);
  void ResetAllHits();
  // Appends text + CR LF to the file through the effect sink; control
  // bytes of the text (CR, LF, tab, 00 to 1F, 7F) are written as blanks, so
  // one call is one line.
  void LogLine(const std::string& file_name, const std::string& text);
  void DoResponseFor(const std::string& object_name);
  std::string RecallInput(std::string_view position) const;
  std::string RecallOutput(std::string_view position) const;
  // A capital from A to Y.
  char RandomLetter();
  // "Auto-" and ten letters, not yet an entry of NamedObjects.
  std::string AutoName();

  // ---- Named objects ----

  void SetObjectField(const std::string& label, const std::string& field,
                      const std::string& value);
  void DeleteNamedObject(const std::string& label);

  // ---- Knowledge commands ----

  void LoadCollection(const std::string& name, const std::string& file);
  void SaveCollection(const std::string& name, const std::string& file);
  void ClearCollection(const std::string& name);
  void SetUnsorted(const std::string& name);
  void ParseCollection(const std::string& source, const std::string& target,
                       const std::string& text);
  void MergeCollection(const std::string& source, const std::string& target);
  void WordsToCollection(const std::string& text, const std::string& name);
  void MakeCode(const std::string& name);
  void CreateAutoPattern(const std::string& words, const std::string& bonus,
                         const std::string& reply);
  void AddResponseToLastPattern(const std::string& text);
  void AddFragmentToLastPattern(const std::string& text,
                                const std::string& bonus);

  // The word index's answer for the phrase from the data files whose path
  // prefix is `directory`; empty when it has none.
  std::string AskWordIndex(const std::string& phrase,
                           const std::string& directory);

  // ---- Macros ----

  MacroExpander macros() { return MacroExpander(*this); }
  std::string ExpandMacros(const std::string& text, const std::string& input,
                           PatternClass* pattern,
                           StepPatternClass* step_pattern) {
    return macros().Expand(text, input, pattern, step_pattern);
  }
  // The expansions kept by the choice in progress, or nullptr outside one.
  KeptExpansions* kept_expansions() const { return kept_; }
  // Makes `kept` the kept expansions of the choice in progress (nullptr
  // ends it); returns the previous ones.
  KeptExpansions* SetKeptExpansions(KeptExpansions* kept) {
    KeptExpansions* previous = kept_;
    kept_ = kept;
    return previous;
  }

  // ---- The view ----

  int32_t HitCount(const PatternClass& pattern) const;
  void SetHitCount(PatternClass& pattern, int32_t count);
  // Every pattern of the mode gets the hit count 0.
  void ResetHits(KnowledgeClass& mode);
  // Clears the volition marks of the mode's patterns after its answer.
  void ClearVolitionMarks(KnowledgeClass& mode);
  // The procedure's current step name, and its step (or nullptr).
  const std::string& CurrentStepOf(const ProcClass& proc) const;
  void SetCurrentStep(ProcClass& proc, const std::string& step);
  StepClass* CurrentStepItem(const ProcClass& proc) const;
  // The collection of that name (ignoring case) as the conversation sees
  // it, or nullptr. Read it freely; change it only through Writable.
  DataCollectionClass* FindCollection(std::string_view name) const;
  // The collection of that name, created empty and registered when missing.
  // An empty name gives nullptr. The result may be changed.
  DataCollectionClass* FindOrCreateCollection(const std::string& name);
  // The collection, made the conversation's own when it is shared, so that
  // it may be changed.
  DataCollectionClass* Writable(DataCollectionClass* collection);
  // The remembered pick of ^Member{ (`sub` false) or ^MemberSub{ (true)
  // when it was made in this turn (its time equals LastInput).
  bool RememberedPick(const DataCollectionClass& collection, bool sub,
                      std::string* pick) const;
  void RememberPick(DataCollectionClass& collection, bool sub,
                    const std::string& pick);
  // The collection's picks as the conversation sees them.
  CollectionPicks PicksOf(const DataCollectionClass& collection) const;
  // The facts and states as the conversation sees them, in order.
  int FactCount() const;
  const std::string& FactName(int i) const;
  const std::string& FactValue(int i) const;
  int StateCount() const;
  const std::string& StateName(int i) const;
  int StateIndexOf(std::string_view name) const;
  // Every collection the conversation sees, in name order.
  std::vector<DataCollectionClass*> AllCollections() const;

  // ---- Promotion ----

  // Whether the turns run over shared knowledge (not promoted yet).
  bool on_shared_knowledge() const;
  // Gives the conversation its private knowledge now, if it has none yet.
  void Promote();
  // `item` in the knowledge the conversation runs on now: the private copy
  // of a shared item while the turn that promoted the conversation goes
  // on, otherwise the item itself.
  template <typename T>
  T* Live(T* item) const {
    if (item == nullptr || live_.empty()) return item;
    const auto found = live_.find(static_cast<const Item*>(item));
    return found == live_.end() ? item : static_cast<T*>(found->second);
  }

 private:
  friend class Conversation;
  // Counts Submit, Start and Stop for ChargeLearnt while it lives, and sets
  // the turn's clock for an outermost one.
  class TurnScope;
  // Trace events; called only with a trace attached. `kind` is a
  // TraceEvent::Kind (an int here, so this header needs no trace types).
  void NoteEvent(int kind, std::string text, std::string value);
  // The running procedure and step, or none.
  void NoteProcedure();
  // Adds a state name unless present (AddState's rule on the view).
  void RegisterState(const std::string& name);
  // Ends the promoting turn's mapping at the end of an outermost turn.
  void EndTurn();

  BrainClass* knowledge_;
  ConversationState* state_;
  Conversation* owner_;             // Takes a promotion; null for a brain.
  KeptExpansions* kept_ = nullptr;  // Of the choice in progress.
  // Shared item -> its private copy, while the promoting turn lasts.
  std::unordered_map<const Item*, Item*> live_;
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_TURN_RUNNER_H_
