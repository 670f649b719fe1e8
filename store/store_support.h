// Pieces both store implementations share: limits checks, lease times,
// random tokens and the retention time. Internal to store/.
#ifndef CORVANE_STORE_STORE_SUPPORT_H_
#define CORVANE_STORE_STORE_SUPPORT_H_

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "store/conversation_store.h"

namespace corvane {

// `lease_time` clamped to kMinLeaseTime .. kMaxLeaseTime.
std::chrono::milliseconds ClampLeaseTime(std::chrono::milliseconds lease_time);

// Throws LimitError when the snapshot or a text of the record is over its
// limit.
void CheckCommitLimits(const TurnCommit& commit);
void CheckSnapshotLimit(const std::string& snapshot);

// Checks the new conversation's snapshot against its limit (LimitError)
// and returns its creation time: the one given, or now.
StoreTime CreationTime(const NewConversation& conversation);

// The lease Create() returns, but for the conversation's id and expiry:
// fence 1, turn 0, a fresh holder token.
Lease FirstLease(const NewConversation& conversation);

// Runs `check`, which returns a problem (empty when none) or throws one,
// and times it. Never throws.
StoreHealth TimedHealth(const std::function<std::string()>& check);

// `count` random bytes from the operating system as hex digits. Throws
// StoreUnavailableError when there are none.
std::string RandomHex(std::size_t count);

// The retention time in milliseconds; 0 when conversations are kept.
// Throws StoreConfigError for days out of 0 .. 36500.
int64_t RetentionMillis(const StoreOptions& options);

// CommitLater's outcome for a commit that failed with `error`, and for one
// that came when the store `url` was closing.
CommitOutcome FailedOutcome(std::exception_ptr error);
CommitOutcome ClosingOutcome(const std::string& url);

// Throws StoreConfigError for a timeout out of 1 ms .. 10 minutes.
void CheckTimeout(const StoreOptions& options);

}  // namespace corvane

#endif  // CORVANE_STORE_STORE_SUPPORT_H_
