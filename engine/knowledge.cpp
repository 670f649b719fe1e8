#include "engine/knowledge.h"

#include <algorithm>
#include <vector>

#include "engine/attach.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/pattern.h"
#include "engine/pattern_choice.h"
#include "engine/pattern_index.h"
#include "engine/response.h"
#include "engine/scorer.h"
#include "engine/turn_runner.h"
#include "base/error.h"
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

namespace {

bool ByOrdinal(const PatternClass* a, const PatternClass* b) {
  return a->ordinal() < b->ordinal();
}

void Unlist(std::vector<PatternClass*>& list, const PatternClass* pattern) {
  const auto at =
      std::lower_bound(list.begin(), list.end(), pattern, ByOrdinal);
  if (at != list.end() && *at == pattern) list.erase(at);
}

void List(std::vector<PatternClass*>& list, PatternClass* pattern) {
  const auto at =
      std::lower_bound(list.begin(), list.end(), pattern, ByOrdinal);
  if (at == list.end() || *at != pattern) list.insert(at, pattern);
}

}  // namespace

PatternClass* KnowledgeClass::AddPattern(
    std::unique_ptr<PatternClass> pattern) {
  pattern->Mode = this;
  pattern->ordinal_ = next_ordinal_++;
  BrainClass* brain = Brain();
  HasVolition = HasVolition || pattern->HASVOLITION;
  if (HasVolition) brain->HasVolition = true;
  pattern->LASTVOLITION.List();
  PatternClass* added =
      AttachItem(Patterns, std::move(pattern), brain, &brain->LastPat);
  NoteStartOrStop(added);
  if (index_) index_->Append(added, added->ordinal(), added->Fragments);
  return added;
}

std::unique_ptr<PatternClass> KnowledgeClass::DetachPattern(
    PatternClass* pattern) {
  const int at = Patterns.IndexOf(pattern);
  if (at < 0) return nullptr;
  std::erase(MarkedPatterns, pattern);
  Unlist(start_patterns_, pattern);
  Unlist(stop_patterns_, pattern);
  if (index_) index_->Remove(pattern->ordinal());
  pattern->ordinal_ = 0;  // Listed nowhere again.
  return Patterns.Remove(at);
}

void KnowledgeClass::NoteFragmentsAppended(const PatternClass& pattern) {
  if (index_) index_->FragmentsAppended(pattern.ordinal());
}

void KnowledgeClass::NoteFragmentsChanged(const PatternClass& pattern) {
  if (index_) index_->FragmentsChanged(pattern.ordinal());
}

void KnowledgeClass::NoteStartOrStop(PatternClass* pattern) {
  if (pattern->ordinal_ == 0) return;  // Detached.
  if (pattern->HasInitialize) List(start_patterns_, pattern);
  if (pattern->HasFinalize) List(stop_patterns_, pattern);
}

void KnowledgeClass::Answer(TurnRunner& turn, const std::string& input) {
  if (Scorer* other = turn.state().scorer())
    return other->Answer(turn, *this, input);
  // Every pattern is scored before any responds, so a response cannot change
  // this turn's ranking. The first of equal scores wins. Frozen knowledge
  // has its index built already.
  if (!index_) {
    if (turn.knowledge().frozen()) throw AssertionError(__FILE__, __LINE__);
    index_ = std::make_unique<PatternIndex>();
  }
  PatternClass* chosen = ChoosePattern(turn, *index_, Patterns, input);
  if (chosen == nullptr)
    turn.Say(kModeFallbackMessage);
  else
    chosen->Fire(turn, input);
  // The firing may have promoted the conversation: the rest of the answer
  // belongs to the mode it runs on now.
  KnowledgeClass* self = turn.Live(this);
  turn.ClearVolitionMarks(*self);
  turn.state().LastKnow = self->ObjectName;
}

void KnowledgeClass::FreezeIndex(uint64_t generation,
                                 TextEncoding encoding) {
  if (!index_) index_ = std::make_unique<PatternIndex>();
  RefreshIndexOf(*index_, Patterns, generation, encoding);
  index_->Freeze();
}

void KnowledgeClass::ResetHits(TurnRunner& turn) { turn.ResetHits(*this); }

void KnowledgeClass::FireListed(TurnRunner& turn, bool start) {
  // The list may change while its patterns fire (and move to a private
  // copy of the knowledge, when a firing promotes the conversation); the
  // next to fire is the first one listed after the last that fired.
  uint64_t fired = 0;
  for (;;) {
    const KnowledgeClass* self = turn.Live(this);
    const std::vector<PatternClass*>& list =
        start ? self->start_patterns_ : self->stop_patterns_;
    const auto next =
        std::upper_bound(list.begin(), list.end(), fired,
                         [](uint64_t ordinal, const PatternClass* p) {
                           return ordinal < p->ordinal();
                         });
    if (next == list.end()) return;
    PatternClass* pattern = *next;
    fired = pattern->ordinal();
    if (start)
      pattern->FireIfInitialize(turn);
    else
      pattern->FireIfFinalize(turn);
  }
}

void KnowledgeClass::FireInitialize(TurnRunner& turn) {
  FireListed(turn, true);
}

void KnowledgeClass::FireFinalize(TurnRunner& turn) {
  FireListed(turn, false);
}

}  // namespace corvane
