// The conversation store in one SQLite file, for one host or several on
// one machine: WAL journal, synchronous=NORMAL (a committed turn survives
// a crash of the process), each commit and lease change one transaction.
// The tables are described in docs/store.md.
// Thread-safe: each thread takes a connection of its own from a pool.
#ifndef CORVANE_STORE_SQLITE_STORE_H_
#define CORVANE_STORE_SQLITE_STORE_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
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
};

}  // namespace corvane

#endif  // CORVANE_STORE_SQLITE_STORE_H_
