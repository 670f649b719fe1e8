#include "tests/reference/plain_scorer.h"

#include "base/checked.h"
#include "engine/pattern_index.h"
#include "engine/scorer.h"
#include "engine/trace_record.h"
#include "engine/type_tables.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane::reference {
namespace {

int32_t SumOfFragments(const OwningList<WordFragmentClass>& fragments,
                       const std::string& expanded) {
  int32_t sum = 0;
  for (int i = 0; i < fragments.Count(); ++i)
    sum = CheckedAdd(sum, fragments.At(i)->Score(expanded));
  return sum;
}

// Scores every pattern in list order; the first of the highest score above
// kLowestScore, or nullptr.
template <typename P>
P* ChoosePlain(BrainClass& brain, const OwningList<P>& patterns,
               const std::string& input) {
  TurnTrace* trace = RankingTrace(brain);
  int32_t best = kLowestScore;
  P* chosen = nullptr;
  for (int i = 0; i < patterns.Count(); ++i) {
    P* pattern = patterns.At(i);
    int32_t score = 0;
    if (trace != nullptr) {
      score =
          ScoreCollecting(*trace, [&] { return PlainScore(*pattern, input); });
      RecordScored(*trace, *pattern, i, score);
    } else {
      score = PlainScore(*pattern, input);
    }
    if (score > best) {
      best = score;
      chosen = pattern;
    }
  }
  return chosen;
}

class PlainScorer final : public Scorer {
 public:
  void Answer(KnowledgeClass& mode, const std::string& input) override {
    BrainClass& brain = *mode.Brain();
    PatternClass* chosen = ChoosePlain(brain, mode.Patterns, input);
    if (chosen == nullptr)
      brain.Say(kModeFallbackMessage);
    else
      chosen->Fire(input);
    for (int i = 0; i < mode.Patterns.Count(); ++i) {
      PatternClass* pattern = mode.Patterns.At(i);
      if (static_cast<double>(pattern->LASTVOLITION) != 0)
        pattern->ClearLastVolition();
    }
    mode.MarkedPatterns.clear();
    brain.LastKnow = mode.ObjectName;
  }

  void Answer(StepClass& step, const std::string& input) override {
    BrainClass& brain = *step.Brain();
    StepPatternClass* chosen = ChoosePlain(brain, step.StepPatterns, input);
    if (chosen == nullptr)
      brain.Say(kNoStepPatternsMessage);
    else
      chosen->Respond(input);
  }

  // For each fragment of a stripped kind, in order: the current text
  // expanded against itself is the context in which the fragment's text is
  // expanded; that, upper-cased, is cut out of the current text where it
  // first occurs, as a plain substring.
  bool CutFragmentTexts(const OwningList<WordFragmentClass>& fragments,
                        const std::string& input, PatternClass* pattern,
                        StepPatternClass* step_pattern,
                        std::string& rest) override {
    BrainClass& brain =
        pattern != nullptr ? *pattern->Brain() : *step_pattern->Brain();
    std::string current = input;
    bool cut = false;
    for (int i = 0; i < fragments.Count(); ++i) {
      const WordFragmentClass* f = fragments.At(i);
      if (!StripsFragmentText(f->RELATION, pattern != nullptr)) continue;
      const std::string context =
          brain.ExpandMacros(current, current, pattern, step_pattern);
      const std::string text = UpperAscii(
          brain.ExpandMacros(f->WORDFRAG, context, pattern, step_pattern));
      const int32_t p = PosNoCase(text, UpperAscii(current));
      if (p <= 0) continue;
      current.erase(static_cast<std::size_t>(p - 1), text.size());
      cut = true;
    }
    if (cut) rest = std::move(current);
    return cut;
  }
};

}  // namespace

void UsePlainScoring(BrainClass& brain) {
  static PlainScorer scorer;  // Holds nothing; brains may share it.
  brain.SetScorer(&scorer);
}

int32_t PlainScore(PatternClass& pattern, const std::string& input) {
  return SumOfFragments(
      pattern.Fragments,
      pattern.Brain()->ExpandMacros(input, input, &pattern, nullptr));
}

int32_t PlainScore(StepPatternClass& step_pattern, const std::string& input) {
  return SumOfFragments(
      step_pattern.Fragments,
      step_pattern.Brain()->ExpandMacros(input, input, nullptr, &step_pattern));
}

}  // namespace corvane::reference
