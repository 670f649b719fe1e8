#include "engine/conversation_state.h"

#include "engine/collection.h"
#include "engine/collection_copy.h"
#include "engine/effects.h"

namespace corvane {

ConversationSideTables::ConversationSideTables(const NameFolding* folding)
    : new_collection_names(NameList::kSorted, folding),
      new_fact_names(NameList::kUnsorted, folding),
      new_fact_values(NameList::kUnsorted, folding),
      new_states(NameList::kUnsorted, folding) {}
ConversationSideTables::~ConversationSideTables() = default;

ConversationSideTables::ConversationSideTables(
    const ConversationSideTables& other)
    : hit_counts(other.hit_counts),
      current_steps(other.current_steps),
      picks(other.picks),
      new_collection_names(NameList::kSorted,
                           other.new_collection_names.folding()),
      fact_values(other.fact_values),
      new_fact_names(other.new_fact_names),
      new_fact_values(other.new_fact_values),
      new_states(other.new_states) {
  for (const auto& [shared, own] : other.changed_collections)
    changed_collections.emplace_back(shared, CopyCollection(*own));
  for (const auto& made : other.new_collections) {
    new_collections.push_back(CopyCollection(*made));
    new_collection_names.Add(made->CollectionName,
                             new_collections.back().get());
  }
}

ConversationState::ConversationState() = default;
ConversationState::~ConversationState() = default;
ConversationState::ConversationState(ConversationState&&) noexcept = default;
ConversationState& ConversationState::operator=(ConversationState&&) noexcept =
    default;

ConversationState::ConversationState(const ConversationState& other)
    : Name(other.Name),
      CurrentMode(other.CurrentMode),
      CurrentState(other.CurrentState),
      CurrentProc(other.CurrentProc),
      OutputHandler(other.OutputHandler),
      HasVolition(other.HasVolition),
      ShowBlankOutput(other.ShowBlankOutput),
      LastInput(other.LastInput),
      LastPat(other.LastPat),
      LastSPat(other.LastSPat),
      LastFrag(other.LastFrag),
      LastResp(other.LastResp),
      LastTask(other.LastTask),
      LastKnow(other.LastKnow),
      ProcStack(other.ProcStack),
      StepStack(other.StepStack),
      InputHistory(other.InputHistory),
      OutputHistory(other.OutputHistory),
      PendingOutput(other.PendingOutput),
      random_(other.random_),
      seed_(other.seed_),
      submit_depth_(other.submit_depth_),
      turn_tasks_(other.turn_tasks_),
      turns_running_(other.turns_running_),
      turn_clock_(other.turn_clock_),
      learnt_bytes_(other.learnt_bytes_),
      learning_stopped_(other.learning_stopped_),
      valued_rows_(other.valued_rows_),
      trace_(other.trace_),
      scorer_(other.scorer_),
      effects_(other.effects_),
      side_(other.side_ != nullptr
                ? std::make_unique<ConversationSideTables>(*other.side_)
                : nullptr) {}

ConversationState& ConversationState::operator=(
    const ConversationState& other) {
  if (this != &other) *this = ConversationState(other);
  return *this;
}

EffectSink& ConversationState::effects() const {
  return effects_ != nullptr ? *effects_ : RealEffects();
}

}  // namespace corvane
