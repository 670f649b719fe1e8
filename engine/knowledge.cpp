#include "engine/knowledge.h"

#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/pattern.h"
#include "engine/response.h"

namespace corvane {

KnowledgeClass::KnowledgeClass() : Item(kKind) {}
KnowledgeClass::~KnowledgeClass() = default;

BrainClass* KnowledgeClass::Brain() const {
  if (BrainClass* brain = ItemAs<BrainClass>(Owner)) return brain;
  if (ResponseClass* response = ItemAs<ResponseClass>(Owner))
    return response->Brain();
  return nullptr;
}

PatternClass* KnowledgeClass::AddPattern(std::unique_ptr<PatternClass> pattern) {
  pattern->Mode = this;
  BrainClass* brain = Brain();
  HasVolition = HasVolition || pattern->HASVOLITION;
  if (HasVolition) brain->HasVolition = true;
  return AttachItem(Patterns, std::move(pattern), brain, &brain->LastPat);
}

void KnowledgeClass::Answer(const std::string& input) {
  // Every pattern is scored before any responds, so a response cannot change
  // this turn's ranking. The first of equal scores wins.
  int32_t best = -30000;
  PatternClass* chosen = nullptr;
  for (int i = 0; i < Patterns.Count(); ++i) {
    PatternClass* pattern = Patterns.At(i);
    const int32_t score = pattern->Score(input);
    if (score > best) {
      best = score;
      chosen = pattern;
    }
  }
  BrainClass* brain = Brain();
  if (chosen == nullptr)
    brain->Say(kModeFallbackMessage);
  else
    chosen->Fire(input);
  for (int i = 0; i < Patterns.Count(); ++i) Patterns.At(i)->ClearLastVolition();
  brain->LastKnow = ObjectName;
}

void KnowledgeClass::ResetHits() {
  for (int i = 0; i < Patterns.Count(); ++i) Patterns.At(i)->HITCOUNT = 0;
}

void KnowledgeClass::FireInitialize() {
  for (int i = 0; i < Patterns.Count(); ++i) Patterns.At(i)->FireIfInitialize();
}

void KnowledgeClass::FireFinalize() {
  for (int i = 0; i < Patterns.Count(); ++i) Patterns.At(i)->FireIfFinalize();
}

}  // namespace corvane
