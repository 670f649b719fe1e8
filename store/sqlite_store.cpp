#include "store/sqlite_store.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <type_traits>

#include "store/sqlite_db.h"
#include "store/store_support.h"

namespace corvane {
namespace {

// The layout this code writes; a file with format 1 is brought to it on
// open, a file with a newer one is refused.
constexpr char kFormat[] = "2";
constexpr char kOldFormat[] = "1";
// Idle connections kept for reuse; more are opened under load.
constexpr std::size_t kMaxIdleConnections = 16;
// Conversations deleted in one transaction by Expire(), so that the
// write lock is never held long.
constexpr int64_t kExpireBatch = 500;
// How often the checkpointer copies the WAL into the database.
constexpr std::chrono::milliseconds kCheckpointInterval{100};
// A log of this many frames is copied whole (see CheckpointLoop).
constexpr int64_t kRestartFrames = 1000;
// The width of the update-time buckets that retention finds conversations
// by: an hour.
constexpr int64_t kHourMs = 3'600'000;

// A conversation's `updated_hour` is its `updated` time in whole hours.
// Only that column is indexed, so a turn rewrites the index only when its
// conversation is touched in a new hour, instead of on every turn. Turns
// are kept in the order of their key, so that a conversation's records
// share pages and a turn writes no separate index entry.
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS store_meta("
    "  name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS conversations("
    "  id TEXT PRIMARY KEY,"
    "  knowledge_version BLOB NOT NULL,"
    "  turns INTEGER NOT NULL,"
    "  created INTEGER NOT NULL,"
    "  updated INTEGER NOT NULL,"
    "  updated_hour INTEGER NOT NULL DEFAULT 0,"
    "  snapshot BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS conversations_by_hour"
    "  ON conversations(updated_hour);"
    "CREATE TABLE IF NOT EXISTS leases("
    "  conversation TEXT PRIMARY KEY,"
    "  fence INTEGER NOT NULL,"
    "  holder TEXT NOT NULL,"
    "  expires INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS turns("
    "  conversation TEXT NOT NULL,"
    "  turn INTEGER NOT NULL,"
    "  time INTEGER NOT NULL,"
    "  input BLOB NOT NULL,"
    "  reply BLOB NOT NULL,"
    "  failed INTEGER NOT NULL,"
    "  fallback INTEGER NOT NULL,"
    "  knowledge_version BLOB NOT NULL,"
    "  PRIMARY KEY(conversation, turn)) WITHOUT ROWID;";

// Brings a format 1 file to format 2, in the transaction that opens it:
// the hour column (appended, since a table's columns cannot be reordered
// in place) and its index instead of the index of every update time, and
// the turns copied into a table kept in key order.
constexpr char kMigrateFrom1[] =
    "ALTER TABLE conversations"
    "  ADD COLUMN updated_hour INTEGER NOT NULL DEFAULT 0;"
    "UPDATE conversations SET updated_hour = CASE WHEN updated >= 0"
    "  THEN updated / 3600000 ELSE -((-updated - 1) / 3600000) - 1 END;"
    "DROP INDEX IF EXISTS conversations_by_update;"
    "CREATE INDEX conversations_by_hour ON conversations(updated_hour);"
    "CREATE TABLE turns_by_key("
    "  conversation TEXT NOT NULL,"
    "  turn INTEGER NOT NULL,"
    "  time INTEGER NOT NULL,"
    "  input BLOB NOT NULL,"
    "  reply BLOB NOT NULL,"
    "  failed INTEGER NOT NULL,"
    "  fallback INTEGER NOT NULL,"
    "  knowledge_version BLOB NOT NULL,"
    "  PRIMARY KEY(conversation, turn)) WITHOUT ROWID;"
    "INSERT INTO turns_by_key(conversation, turn, time, input, reply, failed,"
    "  fallback, knowledge_version) SELECT conversation, turn, time, input,"
    "  reply, failed, fallback, knowledge_version FROM turns;"
    "DROP TABLE turns;"
    "ALTER TABLE turns_by_key RENAME TO turns;"
    "UPDATE store_meta SET value = '2' WHERE name = 'format';";

constexpr char kSelectFormat[] =
    "SELECT value FROM store_meta WHERE name = 'format'";
constexpr char kCountTables[] =
    "SELECT count(*) FROM sqlite_schema WHERE type = 'table'";
constexpr char kInsertFormat[] =
    "INSERT INTO store_meta(name, value) VALUES('format', ?1)";

constexpr char kInsertConversation[] =
    "INSERT INTO conversations(id, knowledge_version, turns, created,"
    " updated, updated_hour, snapshot) VALUES(?1, ?2, 0, ?3, ?3, ?5, ?4)"
    " ON CONFLICT(id) DO NOTHING";
constexpr char kPutLease[] =
    "INSERT INTO leases(conversation, fence, holder, expires)"
    " VALUES(?1, ?2, ?3, ?4) ON CONFLICT(conversation) DO UPDATE SET"
    " fence = excluded.fence, holder = excluded.holder,"
    " expires = excluded.expires";
constexpr char kSelectConversation[] =
    "SELECT knowledge_version, turns, created, updated, snapshot"
    " FROM conversations WHERE id = ?1 AND updated >= ?2";
constexpr char kSelectTurnsAndLease[] =
    "SELECT c.turns, c.knowledge_version, l.fence, l.holder, l.expires,"
    " c.created, c.updated, c.snapshot"
    " FROM conversations c LEFT JOIN leases l ON l.conversation = c.id"
    " WHERE c.id = ?1 AND c.updated >= ?2";
// What a commit checks, without the snapshot.
constexpr char kSelectCommitState[] =
    "SELECT c.turns, c.updated_hour, l.fence, l.holder, l.expires"
    " FROM conversations c LEFT JOIN leases l ON l.conversation = c.id"
    " WHERE c.id = ?1 AND c.updated >= ?2";
constexpr char kUpdateWithSnapshot[] =
    "UPDATE conversations SET turns = ?2, updated = ?3, snapshot = ?4"
    " WHERE id = ?1";
constexpr char kUpdateWithoutSnapshot[] =
    "UPDATE conversations SET turns = ?2, updated = ?3 WHERE id = ?1";
constexpr char kUpdateHour[] =
    "UPDATE conversations SET updated_hour = ?2 WHERE id = ?1";
constexpr char kInsertTurn[] =
    "INSERT INTO turns(conversation, turn, time, input, reply, failed,"
    " fallback, knowledge_version) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
constexpr char kReleaseLease[] =
    "UPDATE leases SET holder = '', expires = 0"
    " WHERE conversation = ?1 AND fence = ?2 AND holder = ?3";
constexpr char kSelectTurns[] =
    "SELECT turn, time, input, reply, failed, fallback, knowledge_version"
    " FROM turns WHERE conversation = ?1 AND turn >= ?2 ORDER BY turn"
    " LIMIT ?3";
constexpr char kSelectPage[] =
    "SELECT id, knowledge_version, turns, created, updated FROM conversations"
    " WHERE id > ?1 AND updated >= ?2 ORDER BY id LIMIT ?3";
// The three deletions of Expire() name the same batch: they run in one
// transaction, and the conversations go last. They take conversations
// whose whole hour lies before the cutoff (?3 is the cutoff's hour), found
// by the hour index; one is deleted at most an hour after it expired, and
// is never served meanwhile (every read checks `updated` itself).
constexpr char kExpireTurns[] =
    "DELETE FROM turns WHERE conversation IN (SELECT id FROM conversations"
    " WHERE updated_hour < ?3 AND updated < ?1"
    " ORDER BY updated_hour, rowid LIMIT ?2)";
constexpr char kExpireLeases[] =
    "DELETE FROM leases WHERE conversation IN (SELECT id FROM conversations"
    " WHERE updated_hour < ?3 AND updated < ?1"
    " ORDER BY updated_hour, rowid LIMIT ?2)";
constexpr char kExpireConversations[] =
    "DELETE FROM conversations WHERE id IN (SELECT id FROM conversations"
    " WHERE updated_hour < ?3 AND updated < ?1"
    " ORDER BY updated_hour, rowid LIMIT ?2)";

// Lease times are wall-clock milliseconds, the one clock that every
// process on the machine shares.
int64_t Millis(std::chrono::milliseconds d) {
  return d.count();
}

int64_t AsInt(uint64_t value) {
  return value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
             ? std::numeric_limits<int64_t>::max()
             : static_cast<int64_t>(value);
}

std::string Text(std::string_view s) {
  return std::string(s);
}

// The hour of a store time, rounded down (also before 1970).
int64_t Hour(StoreTime time) {
  return time >= 0 ? time / kHourMs : -((-time - 1) / kHourMs) - 1;
}

// Writes turn `turn_number` of conversation `id`: the metadata, the snapshot
// when the commit has one, and the record. `stored_hour` is the
// conversation's `updated_hour` as read in this transaction.
void WriteTurn(SqliteConnection& db, std::string_view id, uint64_t turn_number,
               const TurnCommit& commit, StoreTime time, int64_t stored_hour) {
  const TurnRecord& r = commit.record;
  const int64_t turn = AsInt(turn_number);
  if (commit.snapshot) {
    db.Statement(kUpdateWithSnapshot)
        .Bind(1, id)
        .Bind(2, turn)
        .Bind(3, time)
        .Bind(4, *commit.snapshot)
        .Run();
  } else {
    db.Statement(kUpdateWithoutSnapshot)
        .Bind(1, id)
        .Bind(2, turn)
        .Bind(3, time)
        .Run();
  }
  if (Hour(time) != stored_hour)
    db.Statement(kUpdateHour).Bind(1, id).Bind(2, Hour(time)).Run();
  db.Statement(kInsertTurn)
      .Bind(1, id)
      .Bind(2, turn)
      .Bind(3, time)
      .Bind(4, r.input)
      .Bind(5, r.reply)
      .Bind(6, int64_t{r.failed})
      .Bind(7, int64_t{r.fallback})
      .Bind(8, r.knowledge_version)
      .Run();
}

}  // namespace

class SqliteStore::Handle {
 public:
  Handle(SqliteStore& store, std::unique_ptr<SqliteConnection> connection)
      : store_(store),
        connection_(std::move(connection)),
        exceptions_(std::uncaught_exceptions()) {}
  // A connection is reused only after an operation that did not throw, so
  // a connection in an unknown state is never handed out again.
  ~Handle() {
    if (connection_ && std::uncaught_exceptions() == exceptions_)
      store_.GiveBack(std::move(connection_));
  }
  Handle(Handle&& other) noexcept
      : store_(other.store_),
        connection_(std::move(other.connection_)),
        exceptions_(other.exceptions_) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle& operator=(Handle&&) = delete;

  SqliteConnection& operator*() { return *connection_; }
  SqliteConnection* operator->() { return connection_.get(); }

 private:
  SqliteStore& store_;
  std::unique_ptr<SqliteConnection> connection_;
  int exceptions_;
};

SqliteStore::SqliteStore(std::string url, std::string path,
                         const StoreOptions& options)
    : url_(std::move(url)),
      path_(std::move(path)),
      options_(options),
      retain_ms_(RetentionMillis(options)) {
  CheckTimeout(options_);
  identity_ = PrepareStoreFile(path_, options_.create);
  Handle db = Take();
  // A new file gets pages of 8 KB: a conversation's row with a snapshot of
  // up to about 8 KB then lies on one page, where with 4 KB pages a turn
  // rewrote the row's page, a fresh overflow page and the free list's. An
  // existing file keeps its page size (a WAL file cannot change it).
  db->Execute("PRAGMA page_size=8192");
  const char* mode = "PRAGMA journal_mode=WAL";
  SqliteStatement& journal = db->Statement(mode);
  const std::string journal_mode = journal.Step() ? journal.Bytes(0) : "";
  journal.Reset();
  if (journal_mode != "wal")
    throw StoreConfigError("store " + url_ +
                           ": the file system does not allow a WAL journal (" +
                           journal_mode + ")");
  SqliteTransaction tx(*db, SqliteTransaction::Kind::kWrite);
  SqliteStatement& tables = db->Statement(kCountTables);
  const int64_t table_count = tables.Step() ? tables.Int(0) : 0;
  tables.Reset();
  if (table_count == 0) {
    db->Execute(kSchema);
    db->Statement(kInsertFormat).Bind(1, std::string_view(kFormat)).Run();
  } else {
    SqliteStatement* format = nullptr;
    try {
      format = &db->Statement(kSelectFormat);
    } catch (const StoreDataError&) {
      throw StoreDataError("store " + url_ +
                           ": the database is not a conversation store");
    }
    const std::string found = format->Step() ? format->Bytes(0) : "";
    format->Reset();
    if (found == kOldFormat) db->Execute(kMigrateFrom1);
    else if (found != kFormat)
      throw StoreDataError("store " + url_ + ": format '" + found +
                           "' is not the format " + kFormat +
                           " this program reads");
    db->Execute(kSchema);
  }
  tx.Commit();
  Expire();
  checkpointer_ = std::thread([this] { CheckpointLoop(); });
}

SqliteStore::~SqliteStore() {
  // The writer thread runs what is queued, calls each `done`, and ends.
  {
    std::lock_guard<std::mutex> lock(write_mu_);
    closing_ = true;
    WakeWriter();
  }
  if (writer_thread_.joinable()) writer_thread_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (checkpointer_.joinable()) checkpointer_.join();
}

void SqliteStore::CheckpointLoop() {
  std::unique_ptr<SqliteConnection> db;
  std::unique_lock<std::mutex> lock(mu_);
  while (
      !wake_.wait_for(lock, kCheckpointInterval, [&] { return stopping_; })) {
    lock.unlock();
    std::string problem;
    try {
      if (!db)
        db = std::make_unique<SqliteConnection>(path_, url_, options_.timeout);
      // PASSIVE never waits for readers or writers: turns go on meanwhile.
      const WalState state = Checkpoint(*db);
      // Under a steady stream of commits a passive checkpoint never
      // catches up with the log (commits add to it while it copies), and
      // the log restarts from its beginning only when it has been copied
      // whole: it would grow with every turn, each commit writing fresh
      // file blocks. So once it is long, the rest (what came during the
      // first pass) is copied while this process's writers wait their
      // turn; the next commit then writes from the start of the log
      // again, over blocks the file has.
      if (state.log >= kRestartFrames && writers_.Enter(options_.timeout)) {
        try {
          Checkpoint(*db);
        } catch (...) {
          writers_.Leave();
          throw;
        }
        writers_.Leave();
      }
    } catch (const std::exception& e) {
      problem = e.what();
      db.reset();
    }
    lock.lock();
    checkpoint_problem_ = problem;
  }
}

SqliteStore::WalState SqliteStore::Checkpoint(SqliteConnection& db) {
  SqliteStatement& q = db.Statement("PRAGMA wal_checkpoint(PASSIVE)");
  WalState state;
  if (q.Step()) {
    state.log = q.Int(1);
    state.checkpointed = q.Int(2);
  }
  q.Reset();
  return state;
}

SqliteStore::Handle SqliteStore::Take() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!idle_.empty()) {
      std::unique_ptr<SqliteConnection> c = std::move(idle_.back());
      idle_.pop_back();
      return Handle(*this, std::move(c));
    }
  }
  // Opening touches the file; the lock is not held meanwhile.
  auto connection =
      std::make_unique<SqliteConnection>(path_, url_, options_.timeout);
  connection->ShareWriters(&writers_, options_.timeout);
  return Handle(*this, std::move(connection));
}

void SqliteStore::GiveBack(std::unique_ptr<SqliteConnection> connection) {
  std::lock_guard<std::mutex> lock(mu_);
  if (idle_.size() < kMaxIdleConnections)
    idle_.push_back(std::move(connection));
}

// A write and how it ended. A caller's lives on its stack until done; a
// CommitLater's is part of a LaterJob of the store's, which are reused.
struct SqliteStore::WriteJob {
  void (*run)(void* context, SqliteConnection& db,
              const WriteClock& clock) = nullptr;
  void* context = nullptr;
  LaterJob* later = nullptr;  // Set for a CommitLater's job.
  bool done = false;          // Guarded by write_mu_.
  std::exception_ptr error;   // Set by the leader before done.
};

// A CommitLater's commit, from its queueing until its `done` returned.
struct SqliteStore::LaterJob {
  WriteJob job;
  SqliteStore* store = nullptr;
  Lease* lease = nullptr;
  LaterCommit commit;
  CommitDone done;
  StoreTime time = 0;  // The record's time.
  std::string holder;  // A kept lease's new token; drawn at the first run.
  bool stale = false;  // CommitIfUntouched found the conversation touched.

  static void Run(void* context, SqliteConnection& db,
                  const WriteClock& clock) {
    LaterJob& j = *static_cast<LaterJob*>(context);
    const TurnCommit& c = j.commit.commit;
    CheckCommitLimits(c);
    if (!j.commit.if_untouched) {
      j.store->CommitTurn(db, clock, *j.lease, c, j.time, j.commit.after);
      return;
    }
    if (!IsConversationId(j.lease->conversation_id))
      throw LeaseLostError("no conversation " + j.lease->conversation_id +
                           " to commit to");
    if (j.commit.after == AfterCommit::kKeepLease && j.holder.empty())
      j.holder = RandomHex(8);
    j.stale = !j.store->CommitUntouchedTurn(
        db, clock, *j.lease, c, j.time, j.commit.after, j.holder,
        ClampLeaseTime(j.commit.lease_time));
  }

  // Advances the lease as the synchronous call does, after the commit's
  // transaction ended, and says what the commit came to.
  CommitOutcome Finish() {
    if (job.error) return FailedOutcome(job.error);
    CommitOutcome outcome;
    if (stale) {
      outcome.status = CommitStatus::kStale;
    } else {
      lease->turn += 1;
      if (commit.if_untouched && commit.after == AfterCommit::kKeepLease) {
        lease->fence += 1;
        lease->holder = std::move(holder);
        lease->expires = std::chrono::steady_clock::now() +
                         ClampLeaseTime(commit.lease_time);
      }
    }
    return outcome;
  }
};

namespace {

// Spare LaterJobs kept for reuse.
constexpr std::size_t kMaxSpareJobs = 4096;

}  // namespace

template <typename Job>
void SqliteStore::Write(Job&& job) {
  WriteJob w;
  w.context = &job;
  w.run = [](void* context, SqliteConnection& db, const WriteClock& clock) {
    (*static_cast<std::remove_reference_t<Job>*>(context))(db, clock);
  };
  WriteNow(w);
}

void SqliteStore::WakeWriter() {
  if (writer_waiting_) writer_wake_.notify_one();
}

void SqliteStore::WriteNow(WriteJob& job) {
  const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
  std::unique_lock<std::mutex> lock(write_mu_);
  pending_.push_back(&job);
  // A `done` that calls the store runs on the writer thread, which must
  // not wait for itself: it leads, taking the callers' jobs only.
  const bool on_writer = std::this_thread::get_id() == writer_id_;
  while (!job.done) {
    if (!writing_ && (later_pending_ == 0 || on_writer)) {
      // This thread leads: it runs what is pending, its own job included
      // unless an earlier leader took it already.
      writing_ = true;
      std::vector<WriteJob*> batch;
      if (later_pending_ == 0) {
        batch.swap(pending_);
      } else {
        const auto later = std::stable_partition(
            pending_.begin(), pending_.end(),
            [](const WriteJob* j) { return j->later != nullptr; });
        batch.assign(later, pending_.end());
        pending_.erase(later, pending_.end());
      }
      lock.unlock();
      RunBatch(batch);
      lock.lock();
      for (WriteJob* j : batch) j->done = true;
      writing_ = false;
      write_done_.notify_all();
      // CommitLater's jobs that came meanwhile are the writer thread's.
      if (later_pending_ > 0) WakeWriter();
      continue;
    }
    // A CommitLater's job waits: the writer thread takes this one along.
    if (!writing_) WakeWriter();
    if (write_done_.wait_until(lock, deadline) == std::cv_status::timeout &&
        !job.done) {
      // Still waiting for a leader: the job leaves the queue untouched.
      // A job in a running batch is waited for, since the batch's own
      // waits are bounded by the timeout.
      const auto it = std::find(pending_.begin(), pending_.end(), &job);
      if (it != pending_.end()) {
        pending_.erase(it);
        throw StoreUnavailableError(
            "store " + url_ +
            ": the database is locked (another writer of this process "
            "took too long)");
      }
    }
  }
  lock.unlock();
  if (job.error) std::rethrow_exception(job.error);
}

void SqliteStore::CommitLater(Lease& lease, LaterCommit commit,
                              CommitDone done) {
  const StoreTime time =
      commit.commit.record.time != 0 ? commit.commit.record.time : StoreNow();
  std::unique_lock<std::mutex> lock(write_mu_);
  if (!closing_ && !writer_thread_.joinable()) {
    try {
      writer_thread_ = std::thread([this] { WriterLoop(); });
    } catch (const std::exception& e) {
      lock.unlock();
      done(FailedOutcome(std::make_exception_ptr(StoreUnavailableError(
          "store " + url_ + ": no writer thread: " + e.what()))));
      return;
    }
  }
  if (closing_) {
    lock.unlock();
    done(ClosingOutcome(url_));
    return;
  }
  std::unique_ptr<LaterJob> job;
  if (spare_jobs_.empty()) {
    job = std::make_unique<LaterJob>();
    job->store = this;
    job->job.run = &LaterJob::Run;
    job->job.context = job.get();
    job->job.later = job.get();
  } else {
    job = std::move(spare_jobs_.back());
    spare_jobs_.pop_back();
  }
  job->lease = &lease;
  job->commit = std::move(commit);
  job->done = std::move(done);
  job->time = time;
  pending_.push_back(&job.release()->job);
  ++later_pending_;
  if (!writing_) WakeWriter();
}

void SqliteStore::WriterLoop() {
  std::vector<WriteJob*> batch;
  std::vector<LaterJob*> finished;
  std::unique_lock<std::mutex> lock(write_mu_);
  writer_id_ = std::this_thread::get_id();
  for (;;) {
    if (writing_ || pending_.empty()) {
      if (closing_ && pending_.empty()) return;
      writer_waiting_ = true;
      writer_wake_.wait(lock);
      writer_waiting_ = false;
      continue;
    }
    writing_ = true;
    batch.swap(pending_);
    later_pending_ = 0;
    lock.unlock();
    RunBatch(batch);
    bool callers = false;
    for (WriteJob* j : batch) {
      if (j->later != nullptr) finished.push_back(j->later);
      else callers = true;
    }
    lock.lock();
    for (WriteJob* j : batch)
      if (j->later == nullptr) j->done = true;
    writing_ = false;
    if (callers) write_done_.notify_all();
    lock.unlock();
    // Outside every lock of the store: `done` may call the store again.
    for (LaterJob* j : finished) {
      const CommitOutcome outcome = j->Finish();
      j->done(outcome);
      j->done = nullptr;
      j->commit = LaterCommit();
      j->holder.clear();
      j->stale = false;
      j->lease = nullptr;
      j->job.error = nullptr;
    }
    lock.lock();
    for (LaterJob* j : finished) {
      std::unique_ptr<LaterJob> owned(j);
      if (spare_jobs_.size() < kMaxSpareJobs)
        spare_jobs_.push_back(std::move(owned));
    }
    finished.clear();
    batch.clear();
  }
}

SqliteConnection& SqliteStore::Writer() {
  if (!writer_) {
    writer_ = std::make_unique<SqliteConnection>(path_, url_, options_.timeout);
    writer_->ShareWriters(&writers_, options_.timeout);
    // Every turn goes through this connection: a page cache of 32 MB keeps
    // the pages of some thousand live conversations and their latest
    // turns, which SQLite's default of 2 MB would read back from the log.
    writer_->Execute("PRAGMA cache_size=-32768");
  }
  return *writer_;
}

SqliteStore::WriteClock SqliteStore::Clock() const {
  WriteClock clock;
  clock.now = StoreNow();
  clock.cutoff = retain_ms_ == 0 ? std::numeric_limits<int64_t>::min()
                                 : clock.now - retain_ms_;
  return clock;
}

void SqliteStore::RunAlone(WriteJob& job) {
  try {
    SqliteConnection& db = Writer();
    SqliteTransaction tx(db, SqliteTransaction::Kind::kWrite);
    job.run(job.context, db, Clock());
    tx.Commit();
  } catch (const LeaseLostError&) {
    // Refused before any write, and rolled back: the connection is sound.
    job.error = std::current_exception();
  } catch (const LimitError&) {
    // Refused before any statement.
    job.error = std::current_exception();
  } catch (...) {
    // A connection in an unknown state is not used again.
    writer_.reset();
    job.error = std::current_exception();
  }
}

void SqliteStore::RunBatch(const std::vector<WriteJob*>& batch) {
  if (batch.size() == 1) {
    RunAlone(*batch.front());
    return;
  }
  bool begun = false;
  try {
    SqliteConnection& db = Writer();
    SqliteTransaction tx(db, SqliteTransaction::Kind::kWrite);
    begun = true;
    const WriteClock clock = Clock();
    // No job runs in a savepoint of its own, which would copy every page
    // it touches: a job refuses (a lost lease, a limit) before its first
    // write, and one that fails after it fails the batch, whose jobs then
    // run alone.
    for (WriteJob* job : batch) {
      try {
        job->run(job->context, db, clock);
      } catch (const LeaseLostError&) {
        job->error = std::current_exception();
      } catch (const LimitError&) {
        job->error = std::current_exception();
      }
    }
    tx.Commit();
    return;
  } catch (...) {
    writer_.reset();
    // The write lock was not had (another process held it past the
    // timeout, the file could not be opened): no job ran, and each alone
    // would only wait as long again.
    if (!begun) {
      for (WriteJob* job : batch) job->error = std::current_exception();
      return;
    }
    // The shared transaction failed: nothing of it was kept. Each job that
    // had not failed by itself runs alone, so that it fails only for a
    // reason of its own.
  }
  for (WriteJob* job : batch) {
    job->error = nullptr;
    RunAlone(*job);
  }
}

StoreTime SqliteStore::Cutoff() const {
  if (retain_ms_ == 0) return std::numeric_limits<int64_t>::min();
  return StoreNow() - retain_ms_;
}

Lease SqliteStore::Create(const NewConversation& conversation) {
  const StoreTime time = CreationTime(conversation);
  const std::chrono::milliseconds lease_time =
      ClampLeaseTime(conversation.lease_time);
  Lease lease = FirstLease(conversation);
  Write([&](SqliteConnection& db, const WriteClock& clock) {
    for (;;) {
      lease.conversation_id = NewConversationId();
      db.Statement(kInsertConversation)
          .Bind(1, std::string_view(lease.conversation_id))
          .Bind(2, conversation.knowledge_version)
          .Bind(3, time)
          .Bind(4, conversation.snapshot)
          .Bind(5, Hour(time))
          .Run();
      // A taken id (one in 2^128) draws again.
      if (db.Changes() == 0) continue;
      lease.expires = std::chrono::steady_clock::now() + lease_time;
      db.Statement(kPutLease)
          .Bind(1, std::string_view(lease.conversation_id))
          .Bind(2, int64_t{1})
          .Bind(3, std::string_view(lease.holder))
          .Bind(4, clock.now + Millis(lease_time))
          .Run();
      return;
    }
  });
  return lease;
}

std::optional<StoredConversation> SqliteStore::Load(std::string_view id) {
  if (!IsConversationId(id)) return std::nullopt;
  Handle db = Take();
  SqliteStatement& q = db->Statement(kSelectConversation);
  q.Bind(1, id).Bind(2, Cutoff());
  if (!q.Step()) return std::nullopt;
  StoredConversation c;
  c.info.id = Text(id);
  c.info.knowledge_version = q.Bytes(0);
  c.info.turns = static_cast<uint64_t>(q.Int(1));
  c.info.created = q.Int(2);
  c.info.updated = q.Int(3);
  c.snapshot = q.Bytes(4);
  q.Reset();
  return c;
}

LeaseResult SqliteStore::TryAcquire(std::string_view id,
                                    std::chrono::milliseconds lease_time,
                                    uint64_t cached_turn) {
  LeaseResult result;
  if (!IsConversationId(id)) return result;
  lease_time = ClampLeaseTime(lease_time);
  Write([&](SqliteConnection& db, const WriteClock& clock) {
    result = LeaseResult{};
    SqliteStatement& q = db.Statement(kSelectTurnsAndLease);
    q.Bind(1, id).Bind(2, clock.cutoff);
    if (!q.Step()) return;
    const StoreTime now = clock.now;
    const uint64_t turns = static_cast<uint64_t>(q.Int(0));
    std::string knowledge_version = q.Bytes(1);
    const int64_t fence = q.IsNull(2) ? 0 : q.Int(2);
    const bool held = !q.IsNull(3) && !q.View(3).empty() && q.Int(4) > now;
    const int64_t expires = q.Int(4);
    // The snapshot's pages are read only when the caller lacks them.
    if (!held && turns != cached_turn) {
      StoredConversation& c = result.conversation.emplace();
      c.info.id = Text(id);
      c.info.knowledge_version = knowledge_version;
      c.info.turns = turns;
      c.info.created = q.Int(5);
      c.info.updated = q.Int(6);
      c.snapshot = q.Bytes(7);
    }
    q.Reset();
    if (held) {
      result.status = LeaseStatus::kBusy;
      result.retry_after = std::chrono::milliseconds(expires - now);
      return;
    }
    Lease& lease = result.lease;
    lease.conversation_id = Text(id);
    lease.fence = static_cast<uint64_t>(fence) + 1;
    lease.turn = turns;
    lease.holder = RandomHex(8);
    lease.knowledge_version = std::move(knowledge_version);
    lease.expires = std::chrono::steady_clock::now() + lease_time;
    db.Statement(kPutLease)
        .Bind(1, id)
        .Bind(2, AsInt(lease.fence))
        .Bind(3, std::string_view(lease.holder))
        .Bind(4, now + Millis(lease_time))
        .Run();
    result.status = LeaseStatus::kAcquired;
  });
  return result;
}

void SqliteStore::CommitTurn(SqliteConnection& db, const WriteClock& clock,
                             const Lease& lease, const TurnCommit& commit,
                             StoreTime time, AfterCommit after) {
  const std::string_view id = lease.conversation_id;
  SqliteStatement& q = db.Statement(kSelectCommitState);
  q.Bind(1, id).Bind(2, clock.cutoff);
  if (!q.Step())
    throw LeaseLostError("conversation " + Text(id) + " no longer exists");
  const bool ours = !q.IsNull(2) && q.Int(2) == AsInt(lease.fence) &&
                    q.View(3) == lease.holder && q.Int(4) > clock.now;
  const uint64_t turns = static_cast<uint64_t>(q.Int(0));
  const int64_t hour = q.Int(1);
  q.Reset();
  if (!ours)
    throw LeaseLostError("the lease of conversation " + Text(id) +
                         " expired or was taken over");
  if (turns != lease.turn)
    throw LeaseLostError("conversation " + Text(id) + " is at turn " +
                         std::to_string(turns) + ", not " +
                         std::to_string(lease.turn));
  WriteTurn(db, id, lease.turn + 1, commit, time, hour);
  if (after == AfterCommit::kReleaseLease)
    db.Statement(kReleaseLease)
        .Bind(1, id)
        .Bind(2, AsInt(lease.fence))
        .Bind(3, std::string_view(lease.holder))
        .Run();
}

bool SqliteStore::CommitUntouchedTurn(SqliteConnection& db,
                                      const WriteClock& clock,
                                      const Lease& lease,
                                      const TurnCommit& commit, StoreTime time,
                                      AfterCommit after,
                                      std::string_view new_holder,
                                      std::chrono::milliseconds lease_time) {
  const std::string_view id = lease.conversation_id;
  SqliteStatement& q = db.Statement(kSelectCommitState);
  q.Bind(1, id).Bind(2, clock.cutoff);
  if (!q.Step())
    throw LeaseLostError("conversation " + Text(id) + " no longer exists");
  const uint64_t turns = static_cast<uint64_t>(q.Int(0));
  const int64_t hour = q.Int(1);
  const int64_t fence = q.IsNull(2) ? 0 : q.Int(2);
  const std::string_view current = q.IsNull(3) ? std::string_view() : q.View(3);
  const bool others =
      !current.empty() && current != lease.holder && q.Int(4) > clock.now;
  // Still ours (an earlier release did not reach the store): the release
  // below lets it go. Copied only then, before the row goes.
  const std::string left = after == AfterCommit::kReleaseLease && !others
                               ? std::string(current)
                               : std::string();
  q.Reset();
  if (fence != AsInt(lease.fence) || others || turns != lease.turn)
    return false;
  WriteTurn(db, id, lease.turn + 1, commit, time, hour);
  if (after == AfterCommit::kKeepLease) {
    db.Statement(kPutLease)
        .Bind(1, id)
        .Bind(2, AsInt(lease.fence + 1))
        .Bind(3, new_holder)
        .Bind(4, clock.now + Millis(lease_time))
        .Run();
  } else if (!left.empty()) {
    db.Statement(kReleaseLease)
        .Bind(1, id)
        .Bind(2, fence)
        .Bind(3, std::string_view(left))
        .Run();
  }
  return true;
}

void SqliteStore::Commit(Lease& lease, const TurnCommit& commit,
                         AfterCommit after) {
  CheckCommitLimits(commit);
  const StoreTime time =
      commit.record.time != 0 ? commit.record.time : StoreNow();
  Write([&](SqliteConnection& db, const WriteClock& clock) {
    CommitTurn(db, clock, lease, commit, time, after);
  });
  lease.turn += 1;
}

bool SqliteStore::CommitIfUntouched(Lease& lease, const TurnCommit& commit,
                                    AfterCommit after,
                                    std::chrono::milliseconds lease_time) {
  CheckCommitLimits(commit);
  lease_time = ClampLeaseTime(lease_time);
  const StoreTime time =
      commit.record.time != 0 ? commit.record.time : StoreNow();
  const std::string_view id = lease.conversation_id;
  if (!IsConversationId(id))
    throw LeaseLostError("no conversation " + Text(id) + " to commit to");
  // A kept lease needs a fresh token; drawn outside the write lock.
  std::string holder =
      after == AfterCommit::kKeepLease ? RandomHex(8) : std::string();
  bool untouched = false;
  Write([&](SqliteConnection& db, const WriteClock& clock) {
    untouched = CommitUntouchedTurn(db, clock, lease, commit, time, after,
                                    holder, lease_time);
  });
  if (!untouched) return false;
  lease.turn += 1;
  if (after == AfterCommit::kKeepLease) {
    lease.fence += 1;
    lease.holder = std::move(holder);
    lease.expires = std::chrono::steady_clock::now() + lease_time;
  }
  return true;
}

void SqliteStore::Release(const Lease& lease) {
  if (!IsConversationId(lease.conversation_id)) return;
  Write([&](SqliteConnection& db, const WriteClock&) {
    db.Statement(kReleaseLease)
        .Bind(1, std::string_view(lease.conversation_id))
        .Bind(2, AsInt(lease.fence))
        .Bind(3, std::string_view(lease.holder))
        .Run();
  });
}

std::optional<std::vector<TurnEntry>> SqliteStore::Transcript(
    std::string_view id, uint64_t first, std::size_t limit) {
  if (!IsConversationId(id)) return std::nullopt;
  Handle db = Take();
  SqliteTransaction tx(*db, SqliteTransaction::Kind::kRead);
  SqliteStatement& exists = db->Statement(kSelectCommitState);
  exists.Bind(1, id).Bind(2, Cutoff());
  if (!exists.Step()) return std::nullopt;
  exists.Reset();
  std::vector<TurnEntry> entries;
  SqliteStatement& q = db->Statement(kSelectTurns);
  q.Bind(1, id).Bind(2, AsInt(first)).Bind(3, AsInt(limit));
  while (q.Step()) {
    TurnEntry& e = entries.emplace_back();
    e.turn = static_cast<uint64_t>(q.Int(0));
    e.record.time = q.Int(1);
    e.record.input = q.Bytes(2);
    e.record.reply = q.Bytes(3);
    e.record.failed = q.Int(4) != 0;
    e.record.fallback = q.Int(5) != 0;
    e.record.knowledge_version = q.Bytes(6);
  }
  tx.Commit();
  return entries;
}

ConversationPage SqliteStore::List(std::string_view cursor, std::size_t limit) {
  ConversationPage page;
  if (limit == 0) return page;
  Handle db = Take();
  SqliteStatement& q = db->Statement(kSelectPage);
  q.Bind(1, cursor).Bind(2, Cutoff()).Bind(3, AsInt(limit));
  while (q.Step()) {
    ConversationInfo& info = page.conversations.emplace_back();
    info.id = q.Bytes(0);
    info.knowledge_version = q.Bytes(1);
    info.turns = static_cast<uint64_t>(q.Int(2));
    info.created = q.Int(3);
    info.updated = q.Int(4);
  }
  if (page.conversations.size() == limit)
    page.next = page.conversations.back().id;
  return page;
}

std::size_t SqliteStore::Expire() {
  if (retain_ms_ == 0) return 0;
  const StoreTime cutoff = Cutoff();
  std::size_t deleted = 0;
  Handle db = Take();
  for (;;) {
    SqliteTransaction tx(*db, SqliteTransaction::Kind::kWrite);
    for (const char* sql : {kExpireTurns, kExpireLeases})
      db->Statement(sql)
          .Bind(1, cutoff)
          .Bind(2, kExpireBatch)
          .Bind(3, Hour(cutoff))
          .Run();
    db->Statement(kExpireConversations)
        .Bind(1, cutoff)
        .Bind(2, kExpireBatch)
        .Bind(3, Hour(cutoff))
        .Run();
    const int64_t changed = db->Changes();
    tx.Commit();
    deleted += static_cast<std::size_t>(changed);
    if (changed < kExpireBatch) return deleted;
  }
}

StoreHealth SqliteStore::Health() {
  return TimedHealth([&] {
    std::string problem = StoreFileChange(path_, identity_);
    if (problem.empty()) {
      std::lock_guard<std::mutex> lock(mu_);
      problem = checkpoint_problem_;
    }
    if (!problem.empty()) return problem;
    // Taking the write lock and letting it go proves that a commit could
    // run now, without writing anything.
    Handle db = Take();
    SqliteTransaction tx(*db, SqliteTransaction::Kind::kWrite);
    SqliteStatement& q = db->Statement(kSelectFormat);
    q.Step();
    q.Reset();
    return problem;
  });
}

}  // namespace corvane
