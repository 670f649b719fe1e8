// The conversation store in a Redis server, for many hosts: every
// operation is one Lua script or one command, so each is atomic on the
// server; the lease is a key with an expiry, its fence a counter in the
// conversation's hash that the commit script checks. Key layout and
// durability settings are described in docs/store.md.
// Thread-safe: each thread takes a connection of its own from a pool.
// CommitLater's commits go to a thread of the store (made at the first of
// them) with a connection of its own, which sends every commit queued at
// once in one write and then reads their answers.
#ifndef CORVANE_STORE_REDIS_STORE_H_
#define CORVANE_STORE_REDIS_STORE_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "store/conversation_store.h"
#include "store/redis_connection.h"

namespace corvane {

class RedisStore : public ConversationStore {
 public:
  // Connects and loads the scripts. Throws StoreConfigError for a refused
  // option or database, StoreUnavailableError when the server cannot be
  // reached.
  RedisStore(std::string url, const StoreUrl& parsed,
             const StoreOptions& options);
  ~RedisStore() override;

  Lease Create(const NewConversation& conversation) override;
  std::optional<StoredConversation> Load(std::string_view id) override;
  using ConversationStore::TryAcquire;
  LeaseResult TryAcquire(std::string_view id,
                         std::chrono::milliseconds lease_time,
                         uint64_t cached_turn) override;
  void Commit(Lease& lease, const TurnCommit& commit,
              AfterCommit after) override;
  bool CommitIfUntouched(Lease& lease, const TurnCommit& commit,
                         AfterCommit after,
                         std::chrono::milliseconds lease_time) override;
  // Queues the commit for the store's thread and returns; `done` runs on
  // that thread. Once the store is closing, `done` runs at once with
  // StoreUnavailableError.
  void CommitLater(Lease& lease, LaterCommit commit, CommitDone done) override;
  void Release(const Lease& lease) override;
  std::optional<std::vector<TurnEntry>> Transcript(std::string_view id,
                                                   uint64_t first,
                                                   std::size_t limit) override;
  ConversationPage List(std::string_view cursor, std::size_t limit) override;
  std::size_t Expire() override;
  StoreHealth Health() override;
  const std::string& url() const override { return url_; }

  // The store's keys for conversation `id`.
  std::string ConversationKey(std::string_view id) const;
  std::string TranscriptKey(std::string_view id) const;
  std::string LeaseKey(std::string_view id) const;
  std::string SnapshotKey(std::string_view id) const;
  std::string IndexKey() const;

 private:
  enum class Script {
    kCreate,
    kAcquire,
    kCommit,
    kRelease,
    kTranscript,
    kCommitIfUntouched
  };

  // Runs `work` on a pooled connection; once more on a fresh one when the
  // server had closed the pooled one (every operation may run twice).
  template <typename Work>
  auto WithConnection(Work&& work);
  std::unique_ptr<RedisConnection> Connect();
  void GiveBack(std::unique_ptr<RedisConnection> connection);
  // Runs `script` with `keys` and `args`, after `before` when that is not
  // empty (in the same round trip; its reply, which may be an error, goes
  // to `before_reply`); loads the script again when the server lost it
  // (after a restart). Error replies are returned.
  RedisReply RunScript(RedisConnection& c, Script script,
                       const std::vector<std::string>& keys,
                       const std::vector<std::string_view>& args,
                       const RedisCommand& before = {},
                       RedisReply* before_reply = nullptr);
  // PEXPIREAT's time for a conversation last updated at `time`, rounded up
  // to a whole minute so that the turns of one minute share it; "0" when
  // conversations are kept.
  std::string ExpireAt(StoreTime time) const;
  // What both commit scripts take, for the turn after `lease`'s: the keys
  // (conversation, transcript, lease, snapshot, staging), the snapshot and
  // its staging key's expiry (PXAT, or PX when conversations are kept),
  // and the leading arguments:
  // fence, holder, base turn, whether a snapshot comes, the turn record,
  // its time, the expiry, whether the staged snapshot's expiry needs
  // setting, and the new turn number. Checks the commit's limits and the
  // conversation id first.
  struct CommitArgs {
    std::vector<std::string> keys;
    std::string fence, base, next, record, time, expire_at, staging_expiry;
    std::string_view snapshot;
    bool has_snapshot = false;
    bool fix_expiry = false;
    std::vector<std::string_view> Leading(const Lease& lease) const;
  };
  CommitArgs PrepareCommit(const Lease& lease, const TurnCommit& commit) const;
  // One commit as sent: the script, its arguments, and for
  // CommitIfUntouched the kept lease's token and time.
  struct CommitCall {
    Script script = Script::kCommit;
    CommitArgs a;
    std::string key_count;
    std::string holder, ms;
    std::chrono::milliseconds lease_time{0};
    std::vector<std::string_view> args;
  };
  // Checks and prepares a commit (Commit's, or CommitIfUntouched's with
  // `if_untouched`). Throws LimitError or LeaseLostError.
  void PrepareCall(CommitCall& call, const Lease& lease,
                   const TurnCommit& commit, AfterCommit after,
                   bool if_untouched,
                   std::chrono::milliseconds lease_time) const;
  // EVALSHA of `script`; the views point into the arguments.
  RedisCommand ScriptCommand(Script script,
                             const std::vector<std::string>& keys,
                             const std::vector<std::string_view>& args,
                             const std::string& key_count) const;
  // The write that stages the commit's snapshot; empty without one.
  static RedisCommand StageCommand(const CommitArgs& a);
  // Loads `script` into the server again (after a restart or a flush).
  void LoadScript(RedisConnection& c, Script script);
  // Runs a commit: stages the snapshot and runs the script in one round
  // trip. Throws for an error reply to either.
  RedisReply RunCommit(RedisConnection& c, const CommitCall& call);
  // Throws for an error reply to the staging write.
  void CheckStaged(const redisReply* staged) const;
  // What a commit script's reply means for `lease`: advances it and
  // returns true when committed, returns false when CommitIfUntouched
  // found the conversation touched, throws what the commit fails with.
  bool FinishCommit(const CommitCall& call, const redisReply* reply,
                    Lease& lease) const;
  // The store's thread for CommitLater, and one batch of it.
  struct LaterJob;
  void LaterLoop();
  void RunLaterBatch(std::vector<LaterJob*>& batch);

  const std::string url_;
  const StoreUrl parsed_;
  const StoreOptions options_;
  const int64_t retain_ms_;
  std::vector<std::string> shas_;  // Of the scripts, by Script; set once.
  std::mutex mu_;
  std::vector<std::unique_ptr<RedisConnection>> idle_;  // Guarded by mu_.
  // CommitLater's queue and thread.
  std::mutex later_mu_;
  std::condition_variable later_wake_;
  std::vector<LaterJob*> later_pending_;  // Guarded by later_mu_; owned.
  std::vector<std::unique_ptr<LaterJob>> later_spare_;  // Guarded by later_mu_.
  bool later_waiting_ = false;                          // Guarded by later_mu_.
  bool later_closing_ = false;                          // Guarded by later_mu_.
  std::thread later_thread_;
  std::unique_ptr<RedisConnection> later_connection_;  // The thread's.
};

}  // namespace corvane

#endif  // CORVANE_STORE_REDIS_STORE_H_
