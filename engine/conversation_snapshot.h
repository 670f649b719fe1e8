// Conversation snapshots: one conversation as bytes, and the conversation
// read back from them, which answers every later input exactly as the
// original would (with the same clock and files). The layout is described
// in docs/conversation_snapshot.md.
//
// A snapshot names the knowledge it was made on by its fingerprint
// (SharedKnowledge::fingerprint) and is read back only onto knowledge of
// the same fingerprint. A conversation still on the shared knowledge is
// written as its state and side tables, a few kilobytes; a promoted one
// carries its private knowledge as well, written by the knowledge codec
// (engine/knowledge_codec.h), since its later turns may see what the
// language file does not keep (hit counts, items deleted but still
// reachable through a running procedure or a label).
//
// Thread-safe as far as its arguments are: the knowledge is only read.
#ifndef CORVANE_ENGINE_CONVERSATION_SNAPSHOT_H_
#define CORVANE_ENGINE_CONVERSATION_SNAPSHOT_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "engine/conversation.h"

namespace corvane {

// The largest snapshot ReadSnapshot accepts unless told otherwise. A
// conversation on shared knowledge stays far below it (histories and what
// it learnt are bounded by engine/limits.h); a promoted one carries its
// knowledge and may need a larger bound.
inline constexpr std::size_t kMaxSnapshotBytes = 64u << 20;

// The bytes of `conversation`. Requires no turn in progress
// (AssertionError).
std::string WriteSnapshot(const Conversation& conversation);

// The conversation of `bytes` on `knowledge`. Throws CorruptDataError, with
// a message that says what is wrong, for more than `max_bytes` bytes, bytes
// that are no snapshot or of another format version, a snapshot of other
// knowledge, and bytes that do not decode (whatever the bytes, nothing is
// read outside them and nothing is allocated beyond their size).
std::unique_ptr<Conversation> ReadSnapshot(
    std::shared_ptr<const SharedKnowledge> knowledge, std::string_view bytes,
    std::size_t max_bytes = kMaxSnapshotBytes);

}  // namespace corvane

#endif  // CORVANE_ENGINE_CONVERSATION_SNAPSHOT_H_
