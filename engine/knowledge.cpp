#include "engine/knowledge.h"

#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/pattern.h"
#include "engine/pattern_choice.h"
#include "engine/pattern_index.h"
#include "engine/response.h"
#include "engine/trace_record.h"
#include "text/text_util.h"

namespace corvane {

KnowledgeClass::KnowledgeClass() : Item(kKind) {}
KnowledgeClass::~KnowledgeClass() = default;

BrainClass* KnowledgeClass::Brain() const {
  if (BrainClass* brain = ItemAs<BrainClass>(Owner)) return brain;
  if (ResponseClass* response = ItemAs<ResponseClass>(Owner))
    return response->Brain();
  return nullptr;
}

PatternClass* KnowledgeClass::AddPattern(
    std::unique_ptr<PatternClass> pattern) {
  pattern->Mode = this;
  BrainClass* brain = Brain();
  HasVolition = HasVolition || pattern->HASVOLITION;
  if (HasVolition) brain->HasVolition = true;
  pattern->LASTVOLITION.List();
  return AttachItem(Patterns, std::move(pattern), brain, &brain->LastPat);
}

PatternClass* KnowledgeClass::ChoosePlain(const std::string& input) {
  return ChoosePlainAmong(*Brain(), Patterns, input);
}

PatternClass* KnowledgeClass::ChooseIndexed(const std::string& input) {
  return ChooseIndexedAmong(*Brain(), index_, Patterns, input);
}

void KnowledgeClass::Answer(const std::string& input) {
  // Every pattern is scored before any responds, so a response cannot change
  // this turn's ranking. The first of equal scores wins.
  BrainClass* brain = Brain();
  PatternClass* chosen =
      brain->PlainScoring ? ChoosePlain(input) : ChooseIndexed(input);
  if (chosen == nullptr)
    brain->Say(kModeFallbackMessage);
  else
    chosen->Fire(input);
  if (brain->PlainScoring) {
    for (int i = 0; i < Patterns.Count(); ++i)
      Patterns.At(i)->ClearLastVolition();
  } else {
    // Only marked patterns need clearing. The list may have grown while the
    // chosen pattern fired; a deleted pattern has left it.
    for (std::size_t i = 0; i < MarkedPatterns.size(); ++i)
      MarkedPatterns[i]->ClearLastVolition();
  }
  MarkedPatterns.clear();
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
