// The limits of the engine, in one place. Tests may lower the ones that are
// guarded by #ifndef through a compile definition.
#ifndef CORVANE_ENGINE_LIMITS_H_
#define CORVANE_ENGINE_LIMITS_H_

#include <cstddef>
#include <cstdint>

namespace corvane {

// Entries kept in InputHistory and OutputHistory.
inline constexpr int kHistoryLimit = 100;

// Highest position the history recall accepts.
inline constexpr int kHighestRecallPosition = 100;

// Tasks one turn may execute, over all its task lists and every nested
// "Submit This"; past it every task list of the turn ends. A budget per list
// would multiply over the nesting levels and let a looping list run on for
// ever.
inline constexpr int32_t kMaxExecutedTasks = 1000000;

// Segments an extraction template may have.
inline constexpr int kMaxExtractSegments = 50;

#ifndef CORVANE_MAX_SUBMIT_DEPTH
#define CORVANE_MAX_SUBMIT_DEPTH 16
#endif
// Nesting of "Submit This" turns inside a turn; deeper submits are skipped.
inline constexpr int kMaxSubmitDepth = CORVANE_MAX_SUBMIT_DEPTH;

#ifndef CORVANE_MAX_MACRO_REPLACEMENTS
#define CORVANE_MAX_MACRO_REPLACEMENTS 10000
#endif
// Replacements one macro row may make in one expansion.
inline constexpr int kMaxMacroReplacementsPerRow = CORVANE_MAX_MACRO_REPLACEMENTS;

#ifndef CORVANE_MAX_EXPANDED_TEXT
#define CORVANE_MAX_EXPANDED_TEXT (4u << 20)
#endif
// Bytes a working text of the macro expansion may grow to.
inline constexpr std::size_t kMaxExpandedText = CORVANE_MAX_EXPANDED_TEXT;

}  // namespace corvane

#endif  // CORVANE_ENGINE_LIMITS_H_
