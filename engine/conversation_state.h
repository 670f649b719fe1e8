// The conversation state: everything one visitor's turns change, apart from
// the knowledge itself. The current mode, state and procedure, the
// procedure and step stacks, the histories, the pending output, the
// `Last...` labels, the generator and its seed, what turns have learnt so
// far, and the per-turn counters of the turn in progress.
//
// A brain (BrainClass) is its own conversation: its state and its private
// knowledge live in one object, and what a turn changes in items (hit
// counts, each procedure's current step, remembered picks, collection
// members, facts, new states) is written into the items and lists
// themselves. A conversation on shared knowledge (engine/conversation.h)
// cannot write there; it keeps those changes in its side tables
// (ConversationSideTables), and every read goes through its turn's view
// (TurnRunner), which looks there first.
//
// Owns: its lists and texts, its side tables and the collections in them.
// Refers to (does not own): the trace, the scorer and the effect sink, which
// must outlive its turns. Not thread-safe: one thread at a time.
// Throws: nothing of its own.
#ifndef CORVANE_ENGINE_CONVERSATION_STATE_H_
#define CORVANE_ENGINE_CONVERSATION_STATE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/name_list.h"
#include "base/random.h"
#include "engine/text_history.h"

namespace corvane {

class DataCollectionClass;
class EffectSink;
class PatternClass;
class ProcClass;
class Scorer;
struct TurnTrace;

// The two remembered picks of a collection (^Member{ and ^MemberSub{) with
// the LastInput of the turn each was made in.
struct CollectionPicks {
  std::string member_pick;
  double member_pick_time = 0;
  std::string member_sub_pick;
  double member_sub_pick_time = 0;
};

// What a conversation on shared knowledge changed in its items, keyed by
// the shared item. Each list is sorted by the key's address, and holds
// only what differs from the shared knowledge as frozen (where every hit
// count is 0, every current step empty and every pick unmade).
struct ConversationSideTables {
  // The name lists compare with `folding`, the knowledge base's
  // (KnowledgeStore::name_folding).
  explicit ConversationSideTables(const NameFolding* folding = nullptr);
  ~ConversationSideTables();
  ConversationSideTables(const ConversationSideTables& other);
  ConversationSideTables& operator=(const ConversationSideTables&) = delete;

  std::vector<std::pair<const PatternClass*, int32_t>> hit_counts;
  std::vector<std::pair<const ProcClass*, std::string>> current_steps;
  std::vector<std::pair<const DataCollectionClass*, CollectionPicks>> picks;
  // Shared collections whose members this conversation changed, each with
  // the conversation's own copy, which holds its picks too.
  std::vector<std::pair<const DataCollectionClass*,
                        std::unique_ptr<DataCollectionClass>>>
      changed_collections;
  // Collections the conversation made (none of them has a label), by name.
  NameList new_collection_names{NameList::kSorted};
  std::vector<std::unique_ptr<DataCollectionClass>> new_collections;
  // Facts of the knowledge whose value the conversation set: (position in
  // FactNames, value), sorted by position.
  std::vector<std::pair<int, std::string>> fact_values;
  // Facts the conversation made, after those of the knowledge.
  NameList new_fact_names;
  NameList new_fact_values;
  // States the conversation registered, after those of the knowledge.
  NameList new_states;
};

class ConversationState {
 public:
  using OutputHandlerFn = std::function<void(const std::string&)>;

  ConversationState();
  ~ConversationState();
  // Copies everything, side tables included; the trace, scorer and sink
  // are shared with the copy.
  ConversationState(const ConversationState& other);
  ConversationState& operator=(const ConversationState& other);
  ConversationState(ConversationState&&) noexcept;
  ConversationState& operator=(ConversationState&&) noexcept;

  Random& random() { return random_; }
  const Random& random() const { return random_; }
  // Restarts the generator from `seed` and records it, so a conversation
  // replays exactly.
  void Seed(uint64_t seed) {
    seed_ = seed;
    random_.Seed(seed);
  }
  // The seed the generator was last started from.
  uint64_t seed() const { return seed_; }

  // Attaches the trace that the following turns fill, or detaches it with
  // nullptr. Not owned; it must outlive the turns.
  void SetTrace(TurnTrace* trace) { trace_ = trace; }
  TurnTrace* trace() const { return trace_; }
  // Installs another way of answering in modes and steps (engine/scorer.h),
  // such as the plain reference the tests compare with, or with nullptr
  // restores the engine's own. Not owned; it must outlive its use.
  void SetScorer(Scorer* scorer) { scorer_ = scorer; }
  Scorer* scorer() const { return scorer_; }
  // Where "Action", "Log This" and "Save Collection" act (engine/effects.h);
  // nullptr restores the real effects. Not owned.
  void SetEffects(EffectSink* effects) { effects_ = effects; }
  EffectSink& effects() const;

  // What turns have added to the knowledge so far, in the units of
  // TurnRunner::ChargeLearnt.
  std::size_t learnt_bytes() const { return learnt_bytes_; }
  // Whether what changes in items goes into side tables (a conversation on
  // shared knowledge) rather than into the items (a brain).
  bool has_side_tables() const { return side_ != nullptr; }
  const ConversationSideTables* side_tables() const { return side_.get(); }

  // ---- Fields ----

  std::string Name = "MyBrain";   // Own name; field MYNAME.
  int32_t CurrentMode = 0;        // Index into Modes; -1 for none.
  int32_t CurrentState = 0;       // Index into StateNames; -1 for none.
  int32_t CurrentProc = -1;       // Index into Procs; -1 for none.
  OutputHandlerFn OutputHandler;  // Receives said texts when set.
  bool HasVolition = false;       // Field HASVOLITION.
  bool ShowBlankOutput = false;   // Field SHOWBLANKOUTPUT; unused.
  double LastInput = 0;           // Start of the latest turn.
  std::string LastPat;            // Label of the last pattern.
  std::string LastSPat;           // Label of the last step pattern.
  std::string LastFrag;           // Label of the last fragment.
  std::string LastResp;           // Label of the last response.
  std::string LastTask;           // Label of the last task.
  std::string LastKnow;           // Label of the last mode.
  NameList ProcStack;             // Suspended procedures, top last.
  NameList StepStack;             // Their steps, parallel.
  TextHistory InputHistory;       // Newest first, at most 100.
  TextHistory OutputHistory;      // Newest first, at most 100.
  NameList PendingOutput;         // Said since the last reply.

 private:
  friend class TurnRunner;
  friend class MacroExpander;
  friend class Conversation;
  friend class SharedKnowledge;
  friend class BrainClass;

  Random random_;
  uint64_t seed_ = 0;
  int submit_depth_ = 0;    // Nesting of Submit inside the current turn.
  int32_t turn_tasks_ = 0;  // Tasks the current turn has executed.
  int turns_running_ = 0;   // Nesting of Submit, Start and Stop.
  double turn_clock_ = 0;   // The clock of the turn in progress.
  std::size_t learnt_bytes_ = 0;   // See TurnRunner::ChargeLearnt.
  bool learning_stopped_ = false;  // The operator was told.
  uint32_t valued_rows_ = 0;    // Of the expansions under way (MacroExpander).
  TurnTrace* trace_ = nullptr;  // Not owned; null when nobody traces.
  Scorer* scorer_ = nullptr;    // Not owned; null for the engine's own.
  EffectSink* effects_ = nullptr;  // Not owned; null for the real effects.
  std::unique_ptr<ConversationSideTables> side_;  // Null in a brain.
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_CONVERSATION_STATE_H_
