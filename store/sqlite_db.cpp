#include "store/sqlite_db.h"

#include <sqlite3.h>

#include <climits>

#include "store/store_error.h"

namespace corvane {

namespace {

std::string ErrorMessage(sqlite3* db, int code, const std::string& where,
                         const char* doing) {
  return "store " + where + ": " + doing + ": " +
         (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

[[noreturn]] void ThrowStoreError(int code, const std::string& message) {
  switch (code & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_MISMATCH:
    case SQLITE_CONSTRAINT:
    case SQLITE_ERROR:
      throw StoreDataError(message);
    default:
      // Busy, locked, I/O, full, read-only, out of memory: the store could
      // not be read or written now.
      throw StoreUnavailableError(message);
  }
}

}  // namespace

void ThrowSqliteError(sqlite3* db, int code, const std::string& where,
                      const char* doing) {
  ThrowStoreError(code, ErrorMessage(db, code, where, doing));
}

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql,
                                 const std::string& where)
    : db_(db), where_(where) {
  const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT,
                                    &stmt_, nullptr);
  if (rc != SQLITE_OK) ThrowSqliteError(db, rc, where_, "preparing");
}

SqliteStatement::~SqliteStatement() {
  sqlite3_finalize(stmt_);
}

SqliteStatement& SqliteStatement::Bind(int index, int64_t value) {
  const int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) ThrowSqliteError(db_, rc, where_, "binding");
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::string_view bytes) {
  // A zero-length blob must not be bound as NULL, which a null pointer
  // would give.
  static const char kEmpty = 0;
  const int rc = sqlite3_bind_blob64(
      stmt_, index, bytes.empty() ? &kEmpty : bytes.data(),
      static_cast<sqlite3_uint64>(bytes.size()), SQLITE_STATIC);
  if (rc != SQLITE_OK) ThrowSqliteError(db_, rc, where_, "binding");
  return *this;
}

bool SqliteStatement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) {
    Reset();
    return false;
  }
  Reset();
  ThrowSqliteError(db_, rc, where_, "running a statement");
}

void SqliteStatement::Run() {
  while (Step()) {
  }
}

void SqliteStatement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t SqliteStatement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

bool SqliteStatement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string SqliteStatement::Bytes(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return std::string();
  return std::string(static_cast<const char*>(data),
                     static_cast<std::size_t>(size));
}

std::string_view SqliteStatement::View(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return std::string_view();
  return std::string_view(static_cast<const char*>(data),
                          static_cast<std::size_t>(size));
}

SqliteConnection::SqliteConnection(const std::string& path, std::string where,
                                   std::chrono::milliseconds busy)
    : where_(std::move(where)) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    // The message is taken before the handle goes.
    const std::string message = ErrorMessage(db_, rc, where_, "opening");
    sqlite3_close(db_);
    ThrowStoreError(rc, message);
  }
  const auto ms =
      busy.count() > INT_MAX ? INT_MAX : static_cast<int>(busy.count());
  sqlite3_busy_timeout(db_, ms);
  try {
    // Every connection sets its own durability: committed turns survive a
    // crash of the process; a power loss may lose the last ones. The
    // store's checkpointer keeps the WAL short; a commit checkpoints by
    // itself only when the WAL has grown past 10,000 pages (40 MB)
    // regardless, so that it stays bounded under any load.
    Execute(
        "PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF;"
        "PRAGMA trusted_schema=OFF; PRAGMA wal_autocheckpoint=10000;"
        "PRAGMA journal_size_limit=67108864;");
  } catch (...) {
    cache_.clear();
    sqlite3_close(db_);
    throw;
  }
}

SqliteConnection::~SqliteConnection() {
  cache_.clear();
  sqlite3_close(db_);
}

void SqliteConnection::Execute(const char* sql) {
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) ThrowSqliteError(db_, rc, where_, "running");
}

SqliteStatement& SqliteConnection::Statement(const char* sql) {
  std::unique_ptr<SqliteStatement>& stmt = cache_[sql];
  if (!stmt) stmt = std::make_unique<SqliteStatement>(db_, sql, where_);
  return *stmt;
}

int64_t SqliteConnection::Changes() const {
  return sqlite3_changes64(db_);
}

bool SqliteConnection::InTransaction() const {
  return sqlite3_get_autocommit(db_) == 0;
}

SqliteTransaction::SqliteTransaction(SqliteConnection& db, Kind kind)
    : db_(db) {
  if (kind == Kind::kWrite && db_.writers_ != nullptr) {
    if (!db_.writers_->Enter(db_.writers_wait_))
      throw StoreUnavailableError(db_.where_ +
                                  ": the database is locked (another "
                                  "writer of this process took too long)");
    entered_ = db_.writers_;
  }
  try {
    // Prepared once per connection: these run on every turn.
    db_.Statement(kind == Kind::kWrite ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED")
        .Run();
  } catch (...) {
    if (entered_ != nullptr) entered_->Leave();
    throw;
  }
}

SqliteTransaction::~SqliteTransaction() {
  if (open_) {
    try {
      db_.Statement("ROLLBACK").Run();
    } catch (...) {
      // A failed rollback leaves SQLite's own recovery to undo the
      // transaction; a destructor must not throw.
    }
  }
  if (entered_ != nullptr) entered_->Leave();
}

void SqliteTransaction::Commit() {
  db_.Statement("COMMIT").Run();
  open_ = false;
  if (entered_ != nullptr) entered_->Leave();
  entered_ = nullptr;
}

}  // namespace corvane
