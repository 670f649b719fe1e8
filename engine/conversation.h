// Conversations on shared knowledge. A SharedKnowledge is one frozen
// knowledge base (a brain the language-file reader filled, never run) that
// any number of conversations talk over at once; a Conversation is one
// visitor's state on it: a few kilobytes, whatever the size of the
// knowledge. A conversation answers every input exactly as a brain loaded
// from the same file and started would, with the same seed and clock.
//
// What its turns change in items (hit counts, current steps, picks,
// collection members, facts, states) the conversation keeps in its side
// tables (engine/conversation_state.h). Its first structural edit
// (learning, "Self Modify" of an item, "Delete Object", "Make Code")
// promotes it: it takes a private copy of the knowledge, with its side
// tables applied, and runs as a brain of its own from then on.
//
// Determinism: a turn depends only on the knowledge, the conversation's
// state (its seed among it), the input, the turn's clock (read once, or
// given) and the files it reads; what it does outside goes through the
// conversation's effect sink (engine/effects.h).
//
// Threads: a SharedKnowledge is immutable and may be used by any number of
// threads at once, each with its own conversations; it lives as long as
// the last conversation that holds it. A Conversation is used by one
// thread at a time.
//
// Throws: Freeze throws AssertionError for a brain that has run a turn;
// the turns throw what TurnRunner's do; RestoreState and EncodeState are
// described at their declarations.
#ifndef CORVANE_ENGINE_CONVERSATION_H_
#define CORVANE_ENGINE_CONVERSATION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/byte_codec.h"
#include "engine/conversation_state.h"
#include "engine/turn_runner.h"

namespace corvane {

class BrainClass;
class Item;

class SharedKnowledge {
 public:
  // Freezes `brain`, which the reader filled and which has run no turn (it
  // was not started): builds every index and lookup a turn would build on
  // demand, and numbers the items that conversations keep changes of. The
  // brain is owned from then on and never written again.
  static std::shared_ptr<const SharedKnowledge> Freeze(
      std::unique_ptr<BrainClass> brain);
  ~SharedKnowledge();
  SharedKnowledge(const SharedKnowledge&) = delete;
  SharedKnowledge& operator=(const SharedKnowledge&) = delete;

  // The frozen brain. Read it; never run it.
  const BrainClass& brain() const { return *brain_; }
  // A number that changes with any change of the knowledge (what it holds,
  // not where its items were read from): a snapshot names the knowledge
  // it was made on by it.
  uint64_t fingerprint() const { return fingerprint_; }

  // The items a conversation's side tables name, numbered for snapshots:
  // the number of `item` (or -1), and the item of a number (or nullptr).
  int64_t NumberOf(const Item* item) const;
  Item* ItemNumbered(uint64_t number) const;

 private:
  friend class Conversation;
  SharedKnowledge() = default;

  std::unique_ptr<BrainClass> brain_;
  uint64_t fingerprint_ = 0;
  std::vector<Item*> items_;                           // By number.
  std::unordered_map<const Item*, uint32_t> numbers_;  // Patterns, procs,
                                                       // collections.
};

class Conversation {
 public:
  // A new conversation on `knowledge`, its generator seeded with `seed`
  // (recorded: seed()). Nothing is said until Start.
  Conversation(std::shared_ptr<const SharedKnowledge> knowledge, uint64_t seed);
  // Seeded from the operating system.
  explicit Conversation(std::shared_ptr<const SharedKnowledge> knowledge);
  ~Conversation();
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  // The turns (TurnRunner's). Start greets: the start patterns of the first
  // mode fire, and what they say leads the first reply (or Greeting).
  void Start() { runner_.Start(); }
  void Start(double now) { runner_.Start(now); }
  std::string Respond(const std::string& input) {
    return runner_.Respond(input);
  }
  std::string Respond(const std::string& input, double now) {
    return runner_.Respond(input, now);
  }
  void Stop() { runner_.Stop(); }
  // What has been said since the last reply, joined as a reply is, and
  // taken: the greeting of Start before the first turn.
  std::string TakePending();

  // The conversation's turn context and state.
  TurnRunner& turn() { return runner_; }
  ConversationState& state() { return runner_.state(); }
  const ConversationState& state() const { return runner_.state(); }
  uint64_t seed() const { return state().seed(); }

  const std::shared_ptr<const SharedKnowledge>& knowledge() const {
    return shared_;
  }
  // Whether the conversation has its own copy of the knowledge.
  bool promoted() const { return brain_ != nullptr; }
  // The private brain of a promoted conversation; nullptr before.
  BrainClass* private_brain() const { return brain_.get(); }
  // Promotes the conversation now (outside a turn) and returns its brain:
  // for writing it as a language file. Its later turns are unchanged.
  BrainClass& Materialize();

  // ---- Snapshots (the whole form is engine/conversation_snapshot.h) ----

  // Writes the conversation state and, before promotion, the side tables,
  // naming shared items by their numbers; a promoted conversation's
  // knowledge is written apart. Requires no turn in progress
  // (AssertionError).
  void EncodeState(ByteWriter& out) const;
  // A conversation on `knowledge` with the state read from `in` (written
  // by EncodeState on knowledge of the same fingerprint), or, when
  // `private_brain` is given, a promoted one running on it. Throws
  // CorruptDataError for bytes that do not decode or name items the
  // knowledge lacks.
  static std::unique_ptr<Conversation> RestoreState(
      std::shared_ptr<const SharedKnowledge> knowledge, ByteReader& in,
      std::unique_ptr<BrainClass> private_brain = nullptr);

 private:
  friend class TurnRunner;
  struct Adopt {};
  Conversation(std::shared_ptr<const SharedKnowledge> knowledge, Adopt);
  // Called by the runner in the middle of a turn (TurnRunner::Promote).
  void PromoteDuringTurn();

  std::shared_ptr<const SharedKnowledge> shared_;
  ConversationState state_;            // Moved into brain_ on promotion.
  std::unique_ptr<BrainClass> brain_;  // The private knowledge, once promoted.
  TurnRunner runner_;
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_CONVERSATION_H_
