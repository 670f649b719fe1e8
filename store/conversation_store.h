// The conversation store: where every turn of every conversation is kept,
// so that any host may serve any visitor and a host that dies loses
// nothing that it answered. A conversation is an opaque snapshot (the
// engine's bytes; the store never looks inside), its metadata and its
// transcript of turn records.
//
// One turn, as a host runs it:
//   LeaseResult r = store.TryAcquire(id, ttl, cached_turn);  // or Create()
//   if (r.status == LeaseStatus::kBusy) wait r.retry_after, try again;
//   if (r.conversation) restore from r.conversation->snapshot;
//   ... run the turn ...
//   store.Commit(r.lease, {snapshot, record}, AfterCommit::kReleaseLease);
// A holder that keeps the state in memory commits its next turn with
// CommitIfUntouched(r.lease, ...), without taking the lease again; that
// fails, changing nothing, when another holder took a lease meanwhile.
// The lease makes one holder at a time run a conversation, across threads,
// processes and hosts; its fence makes a holder that overslept its lease
// unable to commit over a newer holder's turns.
//
// Implementations are thread-safe: one object serves every thread of a
// host. Errors are those of store/store_error.h.
#ifndef CORVANE_STORE_CONVERSATION_STORE_H_
#define CORVANE_STORE_CONVERSATION_STORE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/store_error.h"

namespace corvane {

// Milliseconds since 1970-01-01 00:00 UTC.
using StoreTime = int64_t;

// The system clock in StoreTime.
StoreTime StoreNow();

// The largest snapshot a commit takes; a larger one throws LimitError.
inline constexpr std::size_t kMaxSnapshotBytes = std::size_t{64} << 20;
// The largest input, reply or knowledge version of a turn record.
inline constexpr std::size_t kMaxRecordTextBytes = std::size_t{16} << 20;
// Leases last at least this long and at most kMaxLeaseTime.
inline constexpr std::chrono::milliseconds kMinLeaseTime{10};
inline constexpr std::chrono::milliseconds kMaxLeaseTime{60'000};

// What one turn was. The store keeps the texts' bytes as given; hosts
// give UTF-8 (the visitor's text as sent, the reply as shown), which is
// what `corvane sessions export` writes as JSON.
struct TurnRecord {
  StoreTime time = 0;             // When the turn ran; 0: StoreNow().
  std::string input;              // The visitor's line, bytes as received.
  std::string reply;              // The reply sent, or the error's text.
  bool failed = false;            // The turn ended in an error.
  bool fallback = false;          // No pattern answered; a fallback did.
  std::string knowledge_version;  // The knowledge the turn ran on.
};

// A turn record with its number in the conversation (1 for the first).
struct TurnEntry {
  uint64_t turn = 0;
  TurnRecord record;
};

// A conversation's metadata.
struct ConversationInfo {
  std::string id;
  std::string knowledge_version;  // Set when the conversation was created.
  uint64_t turns = 0;             // Turns committed so far.
  StoreTime created = 0;
  StoreTime updated = 0;  // Time of the last turn (creation before one).
};

// A conversation as stored: the snapshot of its latest commit.
struct StoredConversation {
  ConversationInfo info;
  std::string snapshot;  // Opaque; empty when created without one.
};

// The right to commit turns of one conversation until `expires`.
struct Lease {
  std::string conversation_id;
  uint64_t fence = 0;  // Grows with every lease taken on the conversation.
  uint64_t turn = 0;   // Turns committed; Commit advances it.
  std::string holder;  // Random token naming this lease in the store.
  std::string knowledge_version;                  // The conversation's.
  std::chrono::steady_clock::time_point expires;  // As seen by this process.
};

enum class LeaseStatus {
  kAcquired,  // `lease` is held.
  kBusy,      // Another holder has it; try again after `retry_after`.
  kUnknown,   // No such conversation (never created, expired, malformed).
};

struct LeaseResult {
  LeaseStatus status = LeaseStatus::kUnknown;
  Lease lease;                               // With kAcquired.
  std::chrono::milliseconds retry_after{0};  // With kBusy: at least 1 ms.
  // With kAcquired, unless the caller's cached turn was the stored one:
  // the state the lease continues from, read in the same step.
  std::optional<StoredConversation> conversation;
};

// TryAcquire's `cached_turn` when the caller has nothing cached.
inline constexpr uint64_t kNothingCached = UINT64_MAX;

// A new conversation: what the host knows before its first turn.
struct NewConversation {
  std::string knowledge_version;
  std::string snapshot;  // May be empty.
  StoreTime time = 0;    // Creation time; 0: StoreNow().
  std::chrono::milliseconds lease_time{10'000};
};

// One turn's commit: the new snapshot, or none when it did not change.
struct TurnCommit {
  std::optional<std::string> snapshot;
  TurnRecord record;
};

enum class AfterCommit { kKeepLease, kReleaseLease };

// A commit that does not hold its caller's thread (CommitLater): Commit,
// or with `if_untouched` CommitIfUntouched with `lease_time`.
struct LaterCommit {
  TurnCommit commit;
  AfterCommit after = AfterCommit::kReleaseLease;
  bool if_untouched = false;
  std::chrono::milliseconds lease_time{3000};
};

// What a CommitLater came to.
enum class CommitStatus {
  kCommitted,  // Commit returned, or CommitIfUntouched returned true.
  kStale,      // CommitIfUntouched returned false: nothing changed.
  kFailed,     // `error` holds what the synchronous call would throw.
};

struct CommitOutcome {
  CommitStatus status = CommitStatus::kCommitted;
  std::exception_ptr error;  // With kFailed.
};

using CommitDone = std::function<void(const CommitOutcome&)>;

// A page of ConversationInfo in the order of their ids.
struct ConversationPage {
  std::vector<ConversationInfo> conversations;
  std::string next;  // The cursor of the next page; empty after the last.
};

// A health check: whether a round trip through the store worked, and how
// long it took.
struct StoreHealth {
  bool ok = false;
  std::chrono::microseconds latency{0};
  std::string problem;  // Why not ok; empty when ok.
};

struct StoreOptions {
  // Conversations whose last turn is older are deleted; 0 keeps them.
  int retain_days = 30;
  // Waiting for a busy database, connecting and each command.
  std::chrono::milliseconds timeout{2000};
  // SQLite: make the file (and its directory, one level) when missing.
  // The command line reads stores and sets this to false.
  bool create = true;
  // Redis: the start of every key of this store, so that several stores
  // (or other programs) share one database.
  std::string key_prefix = "corvane:";
};

// The store: see the file comment for the order of calls. Every call may
// throw StoreUnavailableError (and StoreDataError for damaged data).
class ConversationStore {
 public:
  virtual ~ConversationStore() = default;

  // Creates a conversation under a fresh random id and takes its lease
  // (turn 0, fence 1). Throws LimitError for a snapshot over the limit.
  virtual Lease Create(const NewConversation& conversation) = 0;

  // The latest committed state of `id`; nullopt for an id the store does
  // not know (or one that is not well formed). Needs no lease.
  virtual std::optional<StoredConversation> Load(std::string_view id) = 0;

  // Takes the lease of `id` for `lease_time` (clamped to kMinLeaseTime ..
  // kMaxLeaseTime) unless another holder's lease is still running. Never
  // creates a conversation. With the lease comes the stored conversation,
  // unless it is at `cached_turn` (a host that ran the last turn itself
  // has its state in memory already); one round trip either way.
  virtual LeaseResult TryAcquire(std::string_view id,
                                 std::chrono::milliseconds lease_time,
                                 uint64_t cached_turn) = 0;
  LeaseResult TryAcquire(std::string_view id,
                         std::chrono::milliseconds lease_time) {
    return TryAcquire(id, lease_time, kNothingCached);
  }

  // Commits turn lease.turn + 1 atomically: the snapshot (when given), the
  // record and the metadata all, or nothing. Advances lease.turn. Throws
  // LeaseLostError when the lease expired or was taken over, LimitError
  // for a snapshot or record text over its limit.
  virtual void Commit(Lease& lease, const TurnCommit& commit,
                      AfterCommit after) = 0;

  // Commits turn lease.turn + 1 as Commit does, for a holder whose lease
  // ended (released with its last commit, or run out) and who kept the
  // conversation's state in memory since: in one step, without taking the
  // lease first, and only when no lease was taken on the conversation
  // since (its fence is still lease.fence), no other holder's lease runs
  // and the conversation is still at lease.turn. So a host that serves a
  // conversation turn after turn pays one round trip a turn. kKeepLease
  // takes a fresh lease (a higher fence, a new holder token, lease_time)
  // in the same step; kReleaseLease leaves the conversation unleased.
  // Returns false, and changes nothing, when another holder took a lease
  // since: the caller's state may be behind the store's, so it takes the
  // lease (TryAcquire) and runs the turn again from what that brings.
  // Throws LeaseLostError when the conversation no longer exists,
  // LimitError as Commit does.
  virtual bool CommitIfUntouched(Lease& lease, const TurnCommit& commit,
                                 AfterCommit after,
                                 std::chrono::milliseconds lease_time) = 0;

  // Commits as Commit (or CommitIfUntouched) does, without holding the
  // caller's thread: `done` is called exactly once with what the commit
  // came to, on a thread of the store, or on the caller's before
  // CommitLater returns. `lease` must stay alive and untouched until then;
  // it is advanced as the synchronous call advances it before `done` runs.
  // Commits of several conversations that are ready at once share one
  // step of the store. Never throws; `done` must not throw. The default
  // runs the synchronous call.
  virtual void CommitLater(Lease& lease, LaterCommit commit, CommitDone done);

  // Gives the lease up; no effect when it is no longer held.
  virtual void Release(const Lease& lease) = 0;

  // Up to `limit` turn records of `id` from turn `first` on (1 is the
  // first); nullopt for an unknown id.
  virtual std::optional<std::vector<TurnEntry>> Transcript(
      std::string_view id, uint64_t first, std::size_t limit) = 0;

  // Up to `limit` conversations whose ids follow `cursor` (empty: from the
  // start).
  virtual ConversationPage List(std::string_view cursor, std::size_t limit) = 0;

  // Deletes conversations past the retention time (Redis expires them by
  // itself; this drops what is left of them in its id index). Returns how
  // many it deleted. Hosts call it periodically; SQLite also at open.
  virtual std::size_t Expire() = 0;

  // Never throws.
  virtual StoreHealth Health() = 0;

  // The URL the store was opened with, for messages.
  virtual const std::string& url() const = 0;
};

// A parsed store URL: "sqlite:PATH" or "redis://HOST:PORT[/DB]".
struct StoreUrl {
  enum class Kind { kSqlite, kRedis };
  Kind kind = Kind::kSqlite;
  std::string path;  // kSqlite.
  std::string host;  // kRedis.
  int port = 0;      // kRedis: 1 .. 65535.
  int database = 0;  // kRedis: 0 .. 65535.
};

// Throws StoreConfigError saying what is wrong with `url`.
StoreUrl ParseStoreUrl(std::string_view url);

// Opens the store `url` names. Throws StoreConfigError for a refused URL,
// option or path; StoreUnavailableError when it cannot be reached.
std::unique_ptr<ConversationStore> OpenStore(std::string_view url,
                                             const StoreOptions& options = {});

// The digits of a conversation id: 32 lower-case hex digits (128 random
// bits).
inline constexpr std::size_t kConversationIdDigits = 32;

// True for a well-formed conversation id.
bool IsConversationId(std::string_view id);

// A fresh random conversation id from the operating system's generator.
// Throws StoreUnavailableError when it has no random numbers.
std::string NewConversationId();

}  // namespace corvane

#endif  // CORVANE_STORE_CONVERSATION_STORE_H_
