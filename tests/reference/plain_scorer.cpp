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

int32_t SumOfFragments(TurnRunner& turn,
                       const OwningList<WordFragmentClass>& fragments,
                       const std::string& expanded) {
  int32_t sum = 0;
  for (int i = 0; i < fragments.Count(); ++i)
    sum = CheckedAdd(sum, fragments.At(i)->Score(turn, expanded));
  return sum;
}

// Scores every pattern in list order; the first of the highest score above
// kLowestScore, or nullptr.
template <typename P>
P* ChoosePlain(TurnRunner& turn, const OwningList<P>& patterns,
               const std::string& input) {
  TurnTrace* trace = RankingTrace(turn);
  int32_t best = kLowestScore;
  P* chosen = nullptr;
  for (int i = 0; i < patterns.Count(); ++i) {
    P* pattern = patterns.At(i);
    int32_t score = 0;
    if (trace != nullptr) {
      score = ScoreCollecting(*trace,
                              [&] { return PlainScore(turn, *pattern, input); });
      RecordScored(*trace, *pattern, i, score);
    } else {
      score = PlainScore(turn, *pattern, input);
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
  void Answer(TurnRunner& turn, KnowledgeClass& answering,
              const std::string& input) override {
    PatternClass* chosen = ChoosePlain(turn, answering.Patterns, input);
    if (chosen == nullptr)
      turn.Say(kModeFallbackMessage);
    else
      chosen->Fire(turn, input);
    // A firing that promoted the conversation leaves the rest to the
    // mode's private copy.
    KnowledgeClass& mode = *turn.Live(&answering);
    for (int i = 0; i < mode.Patterns.Count(); ++i) {
      PatternClass* pattern = mode.Patterns.At(i);
      if (static_cast<double>(pattern->LASTVOLITION) != 0)
        pattern->ClearLastVolition();
    }
    if (!mode.MarkedPatterns.empty()) mode.MarkedPatterns.clear();
    turn.state().LastKnow = mode.ObjectName;
  }

  void Answer(TurnRunner& turn, StepClass& step,
              const std::string& input) override {
    StepPatternClass* chosen = ChoosePlain(turn, step.StepPatterns, input);
    if (chosen == nullptr)
      turn.Say(kNoStepPatternsMessage);
    else
      chosen->Respond(turn, input);
  }

  // For each fragment of a stripped kind, in order: the current text
  // expanded against itself is the context in which the fragment's text is
  // expanded; that, upper-cased, is cut out of the current text where it
  // first occurs, as a plain substring.
  bool CutFragmentTexts(TurnRunner& turn,
                        const OwningList<WordFragmentClass>& fragments,
                        const std::string& input, PatternClass* pattern,
                        StepPatternClass* step_pattern,
                        std::string& rest) override {
    MacroExpander brain = turn.macros();
    std::string current = input;
    bool cut = false;
    for (int i = 0; i < fragments.Count(); ++i) {
      const WordFragmentClass* f = fragments.At(i);
      if (!StripsFragmentText(f->RELATION, pattern != nullptr)) continue;
      const std::string context =
          brain.Expand(current, current, pattern, step_pattern);
      const std::string text = UpperAscii(
          brain.Expand(f->WORDFRAG, context, pattern, step_pattern));
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

void UsePlainScoring(ConversationState& state) {
  static PlainScorer scorer;  // Holds nothing; conversations may share it.
  state.SetScorer(&scorer);
}

int32_t PlainScore(TurnRunner& turn, PatternClass& pattern,
                   const std::string& input) {
  return SumOfFragments(turn, pattern.Fragments,
                        turn.ExpandMacros(input, input, &pattern, nullptr));
}

int32_t PlainScore(TurnRunner& turn, StepPatternClass& step_pattern,
                   const std::string& input) {
  return SumOfFragments(
      turn, step_pattern.Fragments,
      turn.ExpandMacros(input, input, nullptr, &step_pattern));
}

}  // namespace corvane::reference
