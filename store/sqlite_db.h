// A thin owner of SQLite connections and prepared statements that turns
// SQLite's result codes into the store's errors. Not thread-safe: a
// connection and its statements serve one thread at a time.
#ifndef CORVANE_STORE_SQLITE_DB_H_
#define CORVANE_STORE_SQLITE_DB_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace corvane {

// One prepared statement of a connection. Bound texts must outlive the
// Step() calls that read them (they are bound without a copy).
class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, const char* sql, const std::string& where);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  // Parameters count from 1.
  SqliteStatement& Bind(int index, int64_t value);
  SqliteStatement& Bind(int index, std::string_view bytes);

  // True when a row is ready; false when the statement is done (and then
  // reset). Throws StoreUnavailableError or StoreDataError.
  bool Step();
  // Steps to the end; throws as Step().
  void Run();
  // Resets the statement and clears its parameters.
  void Reset();

  // Columns count from 0.
  int64_t Int(int column) const;
  bool IsNull(int column) const;
  std::string Bytes(int column) const;
  // The column's bytes without a copy, valid until the next Step() or
  // Reset().
  std::string_view View(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  const std::string& where_;  // The store file, for messages.
};

// The turn that the write transactions of one store's connections take,
// one at a time, waiting at most a given time: in one process they then
// queue here instead of in SQLite's busy handler, which sleeps whole
// milliseconds between tries. Thread-safe.
class WriterQueue {
 public:
  // False when the turn did not come within `wait`.
  bool Enter(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!free_.wait_for(lock, wait, [this] { return !busy_; })) return false;
    busy_ = true;
    return true;
  }
  void Leave() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      busy_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mu_;
  std::condition_variable free_;
  bool busy_ = false;  // Guarded by mu_.
};

// One connection to a store file, with its statements prepared once.
class SqliteConnection {
 public:
  // Opens `path` (which must exist) read-write without following links
  // and sets the connection's pragmas; messages name the store `where`.
  // Throws StoreUnavailableError or StoreDataError.
  SqliteConnection(const std::string& path, std::string where,
                   std::chrono::milliseconds busy);
  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  // Runs one or more statements without results.
  void Execute(const char* sql);
  // The statement for `sql`, prepared on first use. `sql` must be a string
  // literal: statements are kept by its address.
  SqliteStatement& Statement(const char* sql);
  // Rows changed by the last statement.
  int64_t Changes() const;
  // False when no transaction is open (SQLite rolls one back by itself
  // after some errors: a full disk, an I/O error, no memory).
  bool InTransaction() const;

  // Makes this connection's write transactions take their turn in
  // `writers` first, waiting at most `wait`. Null: they do not.
  void ShareWriters(WriterQueue* writers, std::chrono::milliseconds wait) {
    writers_ = writers;
    writers_wait_ = wait;
  }

 private:
  friend class SqliteTransaction;
  WriterQueue* writers_ = nullptr;
  std::chrono::milliseconds writers_wait_{0};
  std::string where_;
  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, std::unique_ptr<SqliteStatement>> cache_;
};

// BEGIN IMMEDIATE (or a read transaction) at construction; ROLLBACK at
// destruction unless Commit() ran.
class SqliteTransaction {
 public:
  enum class Kind { kWrite, kRead };
  SqliteTransaction(SqliteConnection& db, Kind kind);
  ~SqliteTransaction();
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;

  void Commit();

 private:
  SqliteConnection& db_;
  bool open_ = true;
  WriterQueue* entered_ = nullptr;  // The queue whose turn it holds.
};

// Throws the store error for SQLite result `code` on `db` while `doing`.
[[noreturn]] void ThrowSqliteError(sqlite3* db, int code,
                                   const std::string& where, const char* doing);

}  // namespace corvane

#endif  // CORVANE_STORE_SQLITE_DB_H_
