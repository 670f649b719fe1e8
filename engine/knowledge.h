// A mode: a named set of patterns that answers an input when it is the
// brain's current mode and no procedure runs. It owns its patterns and the
// index through which it chooses among them, which it keeps up to date as
// patterns and their fragments change; its owner is the brain, or for a
// nested mode the response that holds it. Its part of a turn runs with
// the turn's runner. Not thread-safe while it is being built; frozen
// (shared knowledge), any number of turns may answer through it at once.
#ifndef CORVANE_ENGINE_KNOWLEDGE_H_
#define CORVANE_ENGINE_KNOWLEDGE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/label.h"
#include "base/owning_list.h"
#include "engine/item.h"
#include "text/utf8.h"

namespace corvane {

class BrainClass;
class PatternClass;
class PatternIndex;
class TurnRunner;

class KnowledgeClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kMode;
  KnowledgeClass();
  ~KnowledgeClass();

  // The brain that attaches items to the mode: the owner when that is a
  // brain, else the owning response's. For building knowledge only; a
  // turn passes its runner.
  BrainClass* Brain() const;

  // Attaches a pattern. The mode must already be registered with its brain.
  PatternClass* AddPattern(std::unique_ptr<PatternClass> pattern);
  // Takes `pattern` out of Patterns, the start and stop lists and the
  // marked list; nullptr when it is not one of this mode's patterns.
  std::unique_ptr<PatternClass> DetachPattern(PatternClass* pattern);

  // What patterns of this mode tell it about their fragments, so that the
  // index follows: fragments appended at the end of the pattern's list, or
  // changed otherwise (a field edited, one removed). A pattern that is no
  // longer attached is ignored.
  void NoteFragmentsAppended(const PatternClass& pattern);
  void NoteFragmentsChanged(const PatternClass& pattern);
  // A pattern of this mode became a start (HasInitialize) or stop
  // (HasFinalize) pattern.
  void NoteStartOrStop(PatternClass* pattern);

  // Lets the best-scoring pattern respond; the first of equal scores wins,
  // and a pattern must score above -30000. Otherwise says the fallback.
  void Answer(TurnRunner& turn, const std::string& input);
  // The index the mode chooses through, once its first answer built it;
  // nullptr before. For the tests and the benchmarks.
  const PatternIndex* index() const { return index_.get(); }
  // Builds the index now and freezes it, for knowledge that turns share.
  void FreezeIndex(uint64_t generation, TextEncoding encoding);

  // Every pattern's hit count becomes 0 (on the turn's view).
  void ResetHits(TurnRunner& turn);
  // Fires the start (stop) patterns with empty input, in list order, each
  // once: also those that become start (stop) patterns later in the list
  // while the others fire, but none that is detached before its turn.
  // Costs what those patterns do, not the size of the mode.
  void FireInitialize(TurnRunner& turn);
  void FireFinalize(TurnRunner& turn);

  Label ObjectName;                    // Named-object label.
  std::string Name;                    // Given by AddMode.
  OwningList<PatternClass> Patterns;   // In the order added; decides ties.
  Item* Owner = nullptr;               // The brain, or a response.
  bool HasVolition = false;            // Field HASVOLITION.
  // Patterns whose LASTVOLITION was set since the last answer; not owned.
  std::vector<PatternClass*> MarkedPatterns;

 private:
  friend class KnowledgeCodec;
  // Fires the start (stop) patterns as FireInitialize describes.
  void FireListed(TurnRunner& turn, bool start);

  std::unique_ptr<PatternIndex> index_;  // Built by the first answer.
  uint64_t next_ordinal_ = 1;            // For the next pattern added.
  // Start and stop patterns in list order (by ordinal); not owned.
  std::vector<PatternClass*> start_patterns_;
  std::vector<PatternClass*> stop_patterns_;
};

inline constexpr const char* kModeFallbackMessage =
    "Sorry, I can't answer you because I don't know anything at all yet...";

}  // namespace corvane

#endif  // CORVANE_ENGINE_KNOWLEDGE_H_
