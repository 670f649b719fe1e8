// The plain reference way of answering, for tests and fuzzers only: every
// pattern of the mode (every step pattern of the step) is scored in full,
// in list order, by expanding the input once for it and adding up its
// fragments' scores, each fragment expanding it again; the first of the
// highest score above -30000 answers. ^Remain{} takes the fragment texts
// out the same plain way, and after a mode's answer every pattern's
// volition mark is cleared. It is slow and obviously right, and the
// engine's index must agree with it on every turn: a test installs it in
// one brain of a pair and compares the two.
#ifndef CORVANE_TESTS_REFERENCE_PLAIN_SCORER_H_
#define CORVANE_TESTS_REFERENCE_PLAIN_SCORER_H_

#include <cstdint>
#include <string>

#include "engine/a1U2.h"

namespace corvane::reference {

// Makes the conversation of `state` (a brain, or a conversation on shared
// knowledge) answer the plain way from now on (a turn trace attached to it
// is filled as the engine fills it).
void UsePlainScoring(ConversationState& state);

// The plain score of a pattern or step pattern for an input in a turn.
// Throws OverflowError when the sum overflows.
int32_t PlainScore(TurnRunner& turn, PatternClass& pattern,
                   const std::string& input);
int32_t PlainScore(TurnRunner& turn, StepPatternClass& step_pattern,
                   const std::string& input);

}  // namespace corvane::reference

#endif  // CORVANE_TESTS_REFERENCE_PLAIN_SCORER_H_
