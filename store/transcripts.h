// Reading a whole store for authors and operators: every turn of every
// conversation in order, and the inputs that only a fallback answered,
// counted. Works on any ConversationStore; reads page by page, so memory
// stays bounded by one page (and, for the counts, by the distinct inputs).
#ifndef CORVANE_STORE_TRANSCRIPTS_H_
#define CORVANE_STORE_TRANSCRIPTS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "store/conversation_store.h"

namespace corvane {

// Calls `visit` for each turn of each conversation: conversations in the
// order of their ids, turns in order. Throws what the store throws.
void ForEachTurn(ConversationStore& store,
                 const std::function<void(const ConversationInfo&,
                                          const TurnEntry&)>& visit);

// An input as counted: blanks at both ends dropped, runs of blanks (space,
// tab, CR, LF) made one space, ASCII letters lower-cased, so that "Hello "
// and "hello" count as one.
std::string NormalizeInput(std::string_view input);

struct UnansweredInput {
  std::string input;  // Normalized.
  uint64_t count = 0;
};

// The normalized inputs of all turns answered by a fallback, most frequent
// first, equal counts in byte order. Empty inputs are not counted.
std::vector<UnansweredInput> CountUnanswered(ConversationStore& store);

}  // namespace corvane

#endif  // CORVANE_STORE_TRANSCRIPTS_H_
