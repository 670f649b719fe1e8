// Choosing the pattern of a mode, or the step pattern of a step, that
// answers an input. Modes and steps rank their patterns the same way, so
// both call this template with their own list and index. This is the one
// way the engine chooses; a turn trace watches it choose.
#ifndef CORVANE_ENGINE_PATTERN_CHOICE_H_
#define CORVANE_ENGINE_PATTERN_CHOICE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "base/owning_list.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/macro_expander.h"
#include "engine/macros.h"
#include "engine/pattern_index.h"
#include "engine/trace_record.h"
#include "engine/turn_runner.h"
#include "text/text_util.h"

namespace corvane {

// Makes `index` describe `patterns` at the knowledge `generation`: built on
// first use, and built again when the knowledge changed behind the brain's
// back. A frozen index is never built again (it throws AssertionError).
template <typename P>
void RefreshIndexOf(PatternIndex& index, const OwningList<P>& patterns,
                    uint64_t generation, TextEncoding encoding) {
  if (index.Fresh(generation, patterns.Count(), encoding)) return;
  std::vector<PatternIndex::Source> sources;
  sources.reserve(static_cast<std::size_t>(patterns.Count()));
  for (const auto& pattern : patterns)
    sources.push_back({pattern.get(), pattern->ordinal(), &pattern->Fragments});
  index.Build(sources, generation, encoding);
}

// The pattern whose score is highest above kLowestScore, the first of
// equal scores, or nullptr. Scoring is done for all patterns before any
// responds. An input with a macro opening is scored pattern by pattern (its
// remainder differs per pattern, and it may draw random numbers); any
// other input goes through the index, which scores only the dynamic
// patterns through their fragments.
template <typename P>
P* ChoosePattern(TurnRunner& turn, PatternIndex& index,
                 const OwningList<P>& patterns, const std::string& input) {
  // The expansions patterns pass on to the next live on this stack, so
  // they are not kept past the choice.
  KeptExpansions kept;
  struct KeepScope {
    TurnRunner& turn;
    KeptExpansions* previous;
    ~KeepScope() { turn.SetKeptExpansions(previous); }
  } keep{turn, turn.SetKeptExpansions(&kept)};
  const TextEncoding encoding = turn.knowledge().text_encoding();
  RefreshIndexOf(index, patterns, turn.knowledge().KnowledgeGeneration(),
                 encoding);
  const bool score_every = HasMacroOpening(input);
  auto fragments_score = [&](P& pattern, const std::string* upper) {
    if constexpr (std::is_same_v<P, PatternClass>)
      return ScoreFragmentsOfInput(turn, pattern.Fragments, input, &pattern,
                                   nullptr, upper);
    else
      return ScoreFragmentsOfInput(turn, pattern.Fragments, input, nullptr,
                                   &pattern, upper);
  };
  TurnTrace* trace = RankingTrace(turn);
  if (trace == nullptr) {
    // Dynamic patterns of an input without macros share it upper-cased once.
    std::string upper;
    bool have_upper = false;
    auto score = [&](Item* owner) {
      if (score_every) return fragments_score(*static_cast<P*>(owner), nullptr);
      if (!have_upper) upper = UpperForMatch(encoding, input);
      have_upper = true;
      return fragments_score(*static_cast<P*>(owner), &upper);
    };
    // Handed over by reference, which the callback holds without
    // allocating; the lambda's captures would not fit in it.
    Item* chosen = index.Choose(input, score_every, std::ref(score),
                                turn.state().LastFrag);
    return static_cast<P*>(chosen);
  }
  // Traced: the same choice, with each pattern recorded as it is scored,
  // and the patterns the index scored itself recorded afterwards.
  RankingRecorder<P> recorder(*trace, patterns);
  Item* chosen = index.Choose(
      input, score_every,
      [&](Item* owner) {
        P& pattern = *static_cast<P*>(owner);
        return recorder.Scored(
            pattern, [&] { return fragments_score(pattern, nullptr); });
      },
      turn.state().LastFrag);
  if (!score_every) recorder.RecordIndexed(index, input);
  return static_cast<P*>(chosen);
}

}  // namespace corvane

#endif  // CORVANE_ENGINE_PATTERN_CHOICE_H_
