#include "engine/knowledge.h"

#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/pattern.h"
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

PatternClass* KnowledgeClass::AddPattern(std::unique_ptr<PatternClass> pattern) {
  pattern->Mode = this;
  BrainClass* brain = Brain();
  HasVolition = HasVolition || pattern->HASVOLITION;
  if (HasVolition) brain->HasVolition = true;
  pattern->LASTVOLITION.List();
  return AttachItem(Patterns, std::move(pattern), brain, &brain->LastPat);
}

PatternClass* KnowledgeClass::ChoosePlain(const std::string& input) {
  if (TurnTrace* trace = RankingTrace(*Brain()))
    return ChooseTraced(*trace, Patterns, input);
  int32_t best = kLowestScore;
  PatternClass* chosen = nullptr;
  for (int i = 0; i < Patterns.Count(); ++i) {
    PatternClass* pattern = Patterns.At(i);
    const int32_t score = pattern->Score(input);
    if (score > best) {
      best = score;
      chosen = pattern;
    }
  }
  return chosen;
}

PatternClass* KnowledgeClass::ChooseIndexed(const std::string& input) {
  BrainClass* brain = Brain();
  // A macro in the input may expand differently for each pattern (its
  // remainder) and may draw random numbers: every pattern is scored.
  if (HasMacroOpening(input)) return ChoosePlain(input);
  if (!index_) index_ = std::make_unique<PatternIndex>();
  if (!index_->Fresh(brain->KnowledgeGeneration())) {
    std::vector<const PatternIndex::FragmentList*> lists;
    lists.reserve(static_cast<std::size_t>(Patterns.Count()));
    for (const auto& pattern : Patterns) lists.push_back(&pattern->Fragments);
    index_->Build(lists, brain->KnowledgeGeneration());
  }
  if (TurnTrace* trace = RankingTrace(*brain))
    return ChooseIndexedTraced(*trace, *index_, Patterns, input,
                               brain->LastFrag);
  // Dynamic patterns share the input upper-cased once.
  std::string upper;
  bool have_upper = false;
  const int at = index_->Choose(
      input,
      [&](int i) {
        if (!have_upper) upper = UpperAscii(input);
        have_upper = true;
        return ScoreFragmentsOfInput(Patterns.At(i)->Fragments, input,
                                     Patterns.At(i), nullptr, &upper);
      },
      brain->LastFrag);
  return at < 0 ? nullptr : Patterns.At(at);
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
    for (int i = 0; i < Patterns.Count(); ++i) Patterns.At(i)->ClearLastVolition();
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
