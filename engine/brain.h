// The conversation engine as one object: a BrainClass is a knowledge store
// (engine/knowledge_store.h) and the one conversation over it
// (engine/conversation_state.h), with the turn runner that drives them
// (engine/turn_runner.h). It is the full private brain of a web module of
// the shared pool, of the command line and of a promoted conversation; its
// operations are those of its parts, gathered here as the brain's
// interface. What a turn changes in items is written into the items.
//
// A conversation on shared knowledge (engine/conversation.h) uses a frozen
// brain's store and a state of its own instead; the frozen brain itself
// never runs a turn.
//
// Ownership: the brain owns its knowledge (see KnowledgeStore) and its
// conversation state. Not thread-safe: one input turn at a time. Each
// brain has its own random generator, path mapper and word index, so
// brains on different threads share nothing.
#ifndef CORVANE_ENGINE_BRAIN_H_
#define CORVANE_ENGINE_BRAIN_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/conversation_state.h"
#include "engine/item.h"
#include "engine/knowledge_store.h"
#include "engine/macro_expander.h"
#include "engine/turn_runner.h"

namespace corvane {

class DataCollectionClass;
class KnowledgeClass;
class ProcClass;

class BrainClass : public Item,
                   public KnowledgeStore,
                   public ConversationState {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kBrain;
  using OutputHandlerFn = ConversationState::OutputHandlerFn;
  using LineLoaderFn = KnowledgeStore::LineLoaderFn;

  // A brain with the mode "Default" and the state "Normal", both current,
  // "MyBrain" registered, LastInput now and its generator seeded from the
  // operating system (the seed is recorded). With an output handler, said
  // texts go to it instead of PendingOutput.
  explicit BrainClass(OutputHandlerFn output_handler = nullptr);
  ~BrainClass();

  // ---- Registration (attaching items to the brain) ----

  // Registers `mode` under `name`, replacing a mode of that name in place
  // (the replaced one is parked). Returns the registered mode.
  KnowledgeClass* AddMode(const std::string& name,
                          std::unique_ptr<KnowledgeClass> mode);
  // Adds a state name unless present; makes it current when it is the only one.
  void AddState(const std::string& name);
  // Registers a procedure; an empty name registers nothing (the procedure is
  // parked so that the caller may go on using it). Returns the procedure.
  ProcClass* AddProc(const std::string& name, std::unique_ptr<ProcClass> proc);
  // Registers a collection in the sorted Collections; an empty name
  // registers nothing (parked, as for AddProc). Returns the collection.
  DataCollectionClass* AddCollection(const std::string& name,
                                     std::unique_ptr<DataCollectionClass> c);
  // Appends (name, item) to NamedObjects when name is not empty.
  void RegisterNamedObject(const std::string& name, Item* item);

  // The runner of the brain's own turns: the context that knowledge items
  // are given when they take part in a turn.
  TurnRunner& turn() { return runner_; }
  const TurnRunner& turn() const { return runner_; }

  // ---- The runner's operations, on the brain (see engine/turn_runner.h) ----

  void Say(const std::string& text) { runner_.Say(text); }
  void RecordInput(const std::string& text) { runner_.RecordInput(text); }
  void RecordOutput(const std::string& text) { runner_.RecordOutput(text); }
  std::string CurrentStateName() const { return runner_.CurrentStateName(); }
  void Start() { runner_.Start(); }
  void Stop() { runner_.Stop(); }
  std::string Respond(const std::string& input) {
    return runner_.Respond(input);
  }
  std::string Respond(const std::string& input, double now) {
    return runner_.Respond(input, now);
  }
  void Submit(const std::string& input) { runner_.Submit(input); }
  bool ChargeTask() { return runner_.ChargeTask(); }
  bool ChargeLearnt(std::size_t bytes) { return runner_.ChargeLearnt(bytes); }
  void TouchLastInput() { runner_.TouchLastInput(); }

  void SetMode(const std::string& name) { runner_.SetMode(name); }
  void SetState(const std::string& name) { runner_.SetState(name); }
  void ClearState() { runner_.ClearState(); }
  void StartProc(const std::string& name) { runner_.StartProc(name); }
  void SetStep(const std::string& name) { runner_.SetStep(name); }
  void EndProc() { runner_.EndProc(); }
  void CallProc(const std::string& name) { runner_.CallProc(name); }
  void ProcReturn() { runner_.ProcReturn(); }
  void SetFact(const std::string& name, const std::string& value) {
    runner_.SetFact(name, value);
  }
  std::string GetFact(std::string_view name) const {
    return runner_.GetFact(name);
  }
  bool ExtractFacts(const std::string& templ, const std::string& input) {
    return runner_.ExtractFacts(templ, input);
  }
  std::string SystemValue(const std::string& key) const {
    return runner_.SystemValue(key);
  }
  void AddMember(const std::string& collection, const std::string& member) {
    runner_.AddMember(collection, member);
  }
  void RemoveMember(const std::string& collection, const std::string& member) {
    runner_.RemoveMember(collection, member);
  }
  void ResetAllHits() { runner_.ResetAllHits(); }
  void LogLine(const std::string& file_name, const std::string& text) {
    runner_.LogLine(file_name, text);
  }
  void DoResponseFor(const std::string& object_name) {
    runner_.DoResponseFor(object_name);
  }
  std::string RecallInput(std::string_view position) const {
    return runner_.RecallInput(position);
  }
  std::string RecallOutput(std::string_view position) const {
    return runner_.RecallOutput(position);
  }
  char RandomLetter() { return runner_.RandomLetter(); }
  std::string AutoName() { return runner_.AutoName(); }

  std::string ExpandMacros(const std::string& text, const std::string& input,
                           PatternClass* pattern,
                           StepPatternClass* step_pattern) {
    return runner_.ExpandMacros(text, input, pattern, step_pattern);
  }
  static bool TestCondition(const std::string& condition) {
    return MacroExpander::TestCondition(condition);
  }
  bool CollectionHasWord(const std::string& name, const std::string& text) {
    return runner_.macros().CollectionHasWord(name, text);
  }
  bool CollectionHasSubstring(const std::string& name,
                              const std::string& text) {
    return runner_.macros().CollectionHasSubstring(name, text);
  }

  void SetObjectField(const std::string& label, const std::string& field,
                      const std::string& value) {
    runner_.SetObjectField(label, field, value);
  }
  void DeleteNamedObject(const std::string& label) {
    runner_.DeleteNamedObject(label);
  }

  void LoadCollection(const std::string& name, const std::string& file) {
    runner_.LoadCollection(name, file);
  }
  void SaveCollection(const std::string& name, const std::string& file) {
    runner_.SaveCollection(name, file);
  }
  void ClearCollection(const std::string& name) {
    runner_.ClearCollection(name);
  }
  void SetUnsorted(const std::string& name) { runner_.SetUnsorted(name); }
  void ParseCollection(const std::string& source, const std::string& target,
                       const std::string& text) {
    runner_.ParseCollection(source, target, text);
  }
  void MergeCollection(const std::string& source, const std::string& target) {
    runner_.MergeCollection(source, target);
  }
  void WordsToCollection(const std::string& text, const std::string& name) {
    runner_.WordsToCollection(text, name);
  }
  void MakeCode(const std::string& name) { runner_.MakeCode(name); }
  void CreateAutoPattern(const std::string& words, const std::string& bonus,
                         const std::string& reply) {
    runner_.CreateAutoPattern(words, bonus, reply);
  }
  void AddResponseToLastPattern(const std::string& text) {
    runner_.AddResponseToLastPattern(text);
  }
  void AddFragmentToLastPattern(const std::string& text,
                                const std::string& bonus) {
    runner_.AddFragmentToLastPattern(text, bonus);
  }
  std::string AskWordIndex(const std::string& phrase,
                           const std::string& directory) {
    return runner_.AskWordIndex(phrase, directory);
  }
  // The collection of that name, created empty and registered when missing.
  // An empty name gives nullptr.
  DataCollectionClass* FindOrCreateCollection(const std::string& name) {
    return runner_.FindOrCreateCollection(name);
  }

  // ---- Conversions of the language's names and numbers ----

  static std::string ResponseTypeName(int code);
  static uint8_t ResponseTypeCode(std::string_view text);
  static std::string RelationName(int code);
  static uint8_t RelationCode(std::string_view text);
  static int32_t TextToInt(std::string_view text);
  static double TextToReal(std::string_view text, double previous);

 private:
  friend class KnowledgeCodec;
  struct Bare {};
  // A brain with nothing registered and the initial conversation state:
  // what the knowledge codec fills.
  explicit BrainClass(Bare);

  TurnRunner runner_;
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_BRAIN_H_
