// Another way of answering in modes and steps, which a brain uses instead
// of its own when one is installed (ConversationState::SetScorer). The engine has
// one way of choosing, through each mode's and step's index; the tests and
// the fuzzers install the plain reference, which scores every pattern in
// full, and compare the two. Nothing in the engine installs one.
#ifndef CORVANE_ENGINE_SCORER_H_
#define CORVANE_ENGINE_SCORER_H_

#include <cstdint>
#include <string>

#include "base/owning_list.h"

namespace corvane {

class KnowledgeClass;
class PatternClass;
class StepClass;
class StepPatternClass;
class TurnRunner;
class WordFragmentClass;

class Scorer {
 public:
  virtual ~Scorer() = default;

  // The whole of a mode's answer to the input: the choice, the firing or
  // the fallback message, the clearing of volition marks and LastKnow.
  virtual void Answer(TurnRunner& turn, KnowledgeClass& mode,
                      const std::string& input) = 0;
  // The whole of a step's answer to the input.
  virtual void Answer(TurnRunner& turn, StepClass& step,
                      const std::string& input) = 0;
  // The input with each matching fragment's text taken out (^Remain{}), as
  // CutFragmentTexts (engine/fragment.h) describes it: false when nothing is
  // taken out, else true with the result in `rest`.
  virtual bool CutFragmentTexts(TurnRunner& turn,
                                const OwningList<WordFragmentClass>& fragments,
                                const std::string& input, PatternClass* pattern,
                                StepPatternClass* step_pattern,
                                std::string& rest) = 0;
};

}  // namespace corvane

#endif  // CORVANE_ENGINE_SCORER_H_
