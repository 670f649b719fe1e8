// A mode: a named set of patterns that answers an input when it is the
// brain's current mode and no procedure runs. It owns its patterns; its
// owner is the brain, or for a nested mode the response that holds it.
// Not thread-safe.
#ifndef CORVANE_ENGINE_KNOWLEDGE_H_
#define CORVANE_ENGINE_KNOWLEDGE_H_

#include <memory>
#include <string>
#include <vector>

#include "base/label.h"
#include "base/owning_list.h"
#include "engine/item.h"

namespace corvane {

class BrainClass;
class PatternClass;
class PatternIndex;

class KnowledgeClass : public Item {
 public:
  static constexpr ObjectKind kKind = ObjectKind::kMode;
  KnowledgeClass();
  ~KnowledgeClass();

  // The brain: the owner when that is a brain, else the owning response's.
  BrainClass* Brain() const;

  // Attaches a pattern. The mode must already be registered with its brain.
  PatternClass* AddPattern(std::unique_ptr<PatternClass> pattern);

  // Lets the best-scoring pattern respond; the first of equal scores wins,
  // and a pattern must score above -30000. Otherwise says the fallback.
  void Answer(const std::string& input);

  void ResetHits();
  void FireInitialize();
  void FireFinalize();

  Label ObjectName;                    // Named-object label.
  std::string Name;                    // Given by AddMode.
  OwningList<PatternClass> Patterns;   // In the order added; decides ties.
  Item* Owner = nullptr;               // The brain, or a response.
  bool HasVolition = false;            // Field HASVOLITION.
  // Patterns whose LASTVOLITION was set since the last answer; not owned.
  std::vector<PatternClass*> MarkedPatterns;

 private:
  // The best pattern by scoring every one in order: the reference way.
  PatternClass* ChoosePlain(const std::string& input);
  // The same choice through the index (see engine/pattern_index.h).
  PatternClass* ChooseIndexed(const std::string& input);
  std::unique_ptr<PatternIndex> index_;  // Built on demand.
};

inline constexpr const char* kModeFallbackMessage =
    "Sorry, I can't answer you because I don't know anything at all yet...";

}  // namespace corvane

#endif  // CORVANE_ENGINE_KNOWLEDGE_H_
