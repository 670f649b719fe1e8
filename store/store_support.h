// Pieces both store implementations share: limits checks, lease times,
// random tokens and the retention time. Internal to store/.
#ifndef CORVANE_STORE_STORE_SUPPORT_H_
#define CORVANE_STORE_STORE_SUPPORT_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "store/conversation_store.h"

namespace corvane {

// `lease_time` clamped to kMinLeaseTime .. kMaxLeaseTime.
std::chrono::milliseconds ClampLeaseTime(std::chrono::milliseconds lease_time);

// Throws LimitError when the snapshot or a text of the record is over its
// limit.
void CheckCommitLimits(const TurnCommit& commit);
void CheckSnapshotLimit(const std::string& snapshot);

// `count` random bytes from the operating system as hex digits. Throws
// StoreUnavailableError when there are none.
std::string RandomHex(std::size_t count);

// The retention time in milliseconds; 0 when conversations are kept.
// Throws StoreConfigError for days out of 0 .. 36500.
int64_t RetentionMillis(const StoreOptions& options);

// Throws StoreConfigError for a timeout out of 1 ms .. 10 minutes.
void CheckTimeout(const StoreOptions& options);

}  // namespace corvane

#endif  // CORVANE_STORE_STORE_SUPPORT_H_
