// Choosing the pattern of a mode, or the step pattern of a step, that
// answers an input. Modes and steps rank their patterns the same way, so
// both call these templates with their own list and index.
#ifndef CORVANE_ENGINE_PATTERN_CHOICE_H_
#define CORVANE_ENGINE_PATTERN_CHOICE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "base/owning_list.h"
#include "engine/brain.h"
#include "engine/fragment.h"
#include "engine/pattern_index.h"
#include "engine/trace_record.h"
#include "text/text_util.h"

namespace corvane {

// Scores every pattern in list order; returns the first of the highest
// score above kLowestScore, or nullptr. This is the reference that the
// indexed choice must agree with.
template <typename P>
P* ChoosePlainAmong(BrainClass& brain, const OwningList<P>& patterns,
                    const std::string& input) {
  // The expansions patterns pass on to the next are not kept past the
  // choice.
  struct ForgetKept {
    BrainClass& brain;
    ~ForgetKept() { brain.ForgetKeptExpansions(); }
  } forget{brain};
  if (TurnTrace* trace = RankingTrace(brain))
    return ChooseTraced(*trace, patterns, input);
  int32_t best = kLowestScore;
  P* chosen = nullptr;
  for (int i = 0; i < patterns.Count(); ++i) {
    P* pattern = patterns.At(i);
    const int32_t score = pattern->Score(input);
    if (score > best) {
      best = score;
      chosen = pattern;
    }
  }
  return chosen;
}

// Chooses as ChoosePlainAmong does, through `index` (built or rebuilt here
// when the knowledge changed since it was built).
template <typename P>
P* ChooseIndexedAmong(BrainClass& brain, std::unique_ptr<PatternIndex>& index,
                      const OwningList<P>& patterns, const std::string& input) {
  // A macro in the input may expand differently for each pattern (its
  // remainder) and may draw random numbers: every pattern is scored.
  if (HasMacroOpening(input)) return ChoosePlainAmong(brain, patterns, input);
  if (!index) index = std::make_unique<PatternIndex>();
  if (!index->Fresh(brain.KnowledgeGeneration())) {
    std::vector<const PatternIndex::FragmentList*> lists;
    lists.reserve(static_cast<std::size_t>(patterns.Count()));
    for (const auto& pattern : patterns) lists.push_back(&pattern->Fragments);
    index->Build(lists, brain.KnowledgeGeneration());
  }
  if (TurnTrace* trace = RankingTrace(brain))
    return ChooseIndexedTraced(*trace, *index, patterns, input, brain.LastFrag);
  // Dynamic patterns share the input upper-cased once.
  std::string upper;
  bool have_upper = false;
  const int at = index->Choose(
      input,
      [&](int i) {
        if (!have_upper) upper = UpperAscii(input);
        have_upper = true;
        P* pattern = patterns.At(i);
        if constexpr (std::is_same_v<P, PatternClass>)
          return ScoreFragmentsOfInput(pattern->Fragments, input, pattern,
                                       nullptr, &upper);
        else
          return ScoreFragmentsOfInput(pattern->Fragments, input, nullptr,
                                       pattern, &upper);
      },
      brain.LastFrag);
  return at < 0 ? nullptr : patterns.At(at);
}

}  // namespace corvane

#endif  // CORVANE_ENGINE_PATTERN_CHOICE_H_
