// The limits of the engine, in one place. Tests may lower the ones that are
// guarded by #ifndef through a compile definition.
#ifndef CORVANE_ENGINE_LIMITS_H_
#define CORVANE_ENGINE_LIMITS_H_

#include <cstddef>
#include <cstdint>

namespace corvane {

// Entries kept in InputHistory and OutputHistory.
inline constexpr int kHistoryLimit = 100;

#ifndef CORVANE_MAX_HISTORY_BYTES
#define CORVANE_MAX_HISTORY_BYTES (2u << 20)
#endif
// Bytes of text one history keeps, its newest entry included; the oldest
// entries leave first. A newest entry larger than this stays alone and
// whole (the turn's own input, the text said last).
inline constexpr std::size_t kMaxHistoryBytes = CORVANE_MAX_HISTORY_BYTES;

#ifndef CORVANE_MAX_LEARNT_TEXT
#define CORVANE_MAX_LEARNT_TEXT 1024u
#endif
// Bytes a learning command keeps of each text it is given: the words and
// the reply of "Create AutoPattern", the texts of "Add Response" and "Add
// Fragment". A longer text is cut there.
inline constexpr std::size_t kMaxLearntText = CORVANE_MAX_LEARNT_TEXT;

#ifndef CORVANE_MAX_LEARNT_BYTES
#define CORVANE_MAX_LEARNT_BYTES (8u << 20)
#endif
// What the turns of one brain may add to its knowledge in all, counted as
// below (BrainClass::ChargeLearnt); past it learning stops, the operator
// is told once, and the conversation goes on with what the brain knows.
// With the histories this keeps a brain's growth under 16 MiB.
inline constexpr std::size_t kMaxLearntBytes = CORVANE_MAX_LEARNT_BYTES;

// What a learnt item (pattern, response, fragment, "Make Code" line)
// counts besides its texts: the object, its label
// and registry entry, its place in the index.
inline constexpr std::size_t kLearntItemCost = 512;
// What a collection member or a fact counts besides its texts.
inline constexpr std::size_t kLearntMemberCost = 64;
// What a byte of learnt text counts: its copies, and for the text of a
// fragment its path through the index's automaton.
inline constexpr std::size_t kLearntTextByteCost = 2;
inline constexpr std::size_t kLearntKeyByteCost = 32;

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
