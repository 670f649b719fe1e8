// The conversation store in one SQLite file, for one host or several on
// one machine: WAL journal, synchronous=NORMAL (a committed turn survives
// a crash of the process). The tables are described in docs/store.md.
// Thread-safe: writes of all threads run on one connection, those ready at
// once in one transaction (group commit); reads take a connection of
// their own from a pool. CommitLater's commits are run by a writer thread
// of the store, made at the first of them.
#ifndef CORVANE_STORE_SQLITE_STORE_H_
#define CORVANE_STORE_SQLITE_STORE_H_

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "store/conversation_store.h"
#include "store/sqlite_db.h"
#include "store/store_file.h"

namespace corvane {

class SqliteConnection;

class SqliteStore : public ConversationStore {
 public:
  // Opens (with options.create, makes) the store at `path`, checks its
  // directory and files (store/store_file.h), makes or checks its tables
  // and expires old conversations. Throws StoreConfigError,
  // StoreUnavailableError or StoreDataError.
  SqliteStore(std::string url, std::string path, const StoreOptions& options);
  ~SqliteStore() override;

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
  // Queues the commit for the writer thread and returns; `done` runs on
  // that thread after the transaction that holds the commit ended. Once
  // the store is closing, `done` runs at once with StoreUnavailableError.
  void CommitLater(Lease& lease, LaterCommit commit, CommitDone done) override;
  void Release(const Lease& lease) override;
  std::optional<std::vector<TurnEntry>> Transcript(std::string_view id,
                                                   uint64_t first,
                                                   std::size_t limit) override;
  ConversationPage List(std::string_view cursor, std::size_t limit) override;
  std::size_t Expire() override;
  StoreHealth Health() override;
  const std::string& url() const override { return url_; }

 private:
  // A pooled connection, given back when the handle goes.
  class Handle;

  Handle Take();
  void GiveBack(std::unique_ptr<SqliteConnection> connection);
  // The oldest update time a live conversation may have.
  StoreTime Cutoff() const;
  // Copies the WAL into the database file every little while, so that a
  // checkpoint's fsyncs fall on this thread and not on a turn's commit.
  void CheckpointLoop();
  // The log's length and how much of it is in the database, in frames.
  struct WalState {
    int64_t log = 0;
    int64_t checkpointed = 0;
  };
  // One passive checkpoint on `db`.
  static WalState Checkpoint(SqliteConnection& db);
  // The time a write job runs at: read once a transaction, after its
  // write lock was taken, so that no other writer comes between.
  struct WriteClock {
    StoreTime now = 0;
    StoreTime cutoff = 0;  // Cutoff() as of `now`.
  };
  WriteClock Clock() const;
  // One write: the caller's job (sync) or a CommitLater's.
  struct WriteJob;
  struct LaterJob;
  // Runs `job(db, clock)` in a write transaction, as one step: the job's
  // writes are committed (durable as the store's synchronous setting makes
  // them) when Write returns, and none of them is kept when it throws.
  // Jobs that are ready at once share one transaction (group commit). A
  // job refuses (LeaseLostError, LimitError) before its first write, so
  // its refusal leaves the others' writes alone; any other failure of a
  // job, or of the shared transaction, rolls it back, and every job then
  // runs again alone, so one conversation's failure never fails or loses
  // another's turn and keeps nothing of its own.
  template <typename Job>
  void Write(Job&& job);
  void WriteNow(WriteJob& job);
  // Runs `batch` as the leader of a group commit.
  void RunBatch(const std::vector<WriteJob*>& batch);
  // The connection that every write job runs on, opened when missing.
  // Only the leader of a group commit uses it: one connection's page
  // cache stays valid from one transaction to the next, while a pool of
  // writers would each read back what the others changed.
  SqliteConnection& Writer();
  // Runs one job in a transaction of its own.
  void RunAlone(WriteJob& job);
  // The writer thread: leads every batch that holds a CommitLater's job,
  // then calls their `done`.
  void WriterLoop();
  // Wakes the writer thread when it waits and nobody leads; write_mu_ held.
  void WakeWriter();
  // Turn lease.turn + 1 in the open transaction (Commit's and
  // CommitIfUntouched's checks and writes); the lease is not advanced.
  void CommitTurn(SqliteConnection& db, const WriteClock& clock,
                  const Lease& lease, const TurnCommit& commit,
                  StoreTime time, AfterCommit after);
  // False when another holder took a lease since: nothing was written.
  bool CommitUntouchedTurn(SqliteConnection& db, const WriteClock& clock,
                           const Lease& lease, const TurnCommit& commit,
                           StoreTime time, AfterCommit after,
                           std::string_view new_holder,
                           std::chrono::milliseconds lease_time);

  const std::string url_;
  const std::string path_;
  const StoreOptions options_;
  const int64_t retain_ms_;
  StoreFileIdentity identity_;
  std::mutex mu_;
  WriterQueue writers_;  // Every write transaction takes its turn here.
  std::vector<std::unique_ptr<SqliteConnection>> idle_;  // Guarded by mu_.
  bool stopping_ = false;                                // Guarded by mu_.
  std::string checkpoint_problem_;  // Guarded by mu_; empty when fine.
  std::condition_variable wake_;    // Stops the checkpointer.
  std::thread checkpointer_;
  // The group commit: jobs waiting for a leader, and whether one runs.
  // A caller of Write leads a batch itself unless CommitLater's jobs wait,
  // which only the writer thread runs, so that their `done` is always
  // called there.
  std::mutex write_mu_;
  std::condition_variable write_done_;        // A batch ended.
  std::condition_variable writer_wake_;       // Work for the writer thread.
  std::vector<WriteJob*> pending_;            // Guarded by write_mu_.
  std::size_t later_pending_ = 0;             // Guarded by write_mu_.
  bool writing_ = false;                      // Guarded by write_mu_.
  bool writer_waiting_ = false;               // Guarded by write_mu_.
  bool closing_ = false;                      // Guarded by write_mu_.
  std::vector<std::unique_ptr<LaterJob>> spare_jobs_;  // Guarded by write_mu_.
  std::thread writer_thread_;                 // Made by the first CommitLater.
  std::thread::id writer_id_;                 // Guarded by write_mu_.
  std::unique_ptr<SqliteConnection> writer_;  // Used by the leader only.
};

}  // namespace corvane

#endif  // CORVANE_STORE_SQLITE_STORE_H_
