// Store URLs, options and the paths a SQLite store refuses.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "store/conversation_store.h"
#include "tests/store/store_backends.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

TEST(StoreUrlTest, AcceptedForms) {
  struct Case {
    const char* url;
    StoreUrl::Kind kind;
    const char* path_or_host;
    int port;
    int database;
  };
  const Case cases[] = {
      {"sqlite:/var/lib/corvane/conversations.db", StoreUrl::Kind::kSqlite,
       "/var/lib/corvane/conversations.db", 0, 0},
      {"sqlite:var/conversations.db", StoreUrl::Kind::kSqlite,
       "var/conversations.db", 0, 0},
      {"redis://127.0.0.1:6380", StoreUrl::Kind::kRedis, "127.0.0.1", 6380, 0},
      {"redis://cache.local:1/15", StoreUrl::Kind::kRedis, "cache.local", 1,
       15},
      {"redis://localhost", StoreUrl::Kind::kRedis, "localhost", 6379, 0},
      {"redis://[::1]:7000/2", StoreUrl::Kind::kRedis, "::1", 7000, 2},
      {"redis://h:65535/0", StoreUrl::Kind::kRedis, "h", 65535, 0},
  };
  for (const Case& c : cases) {
    const StoreUrl u = ParseStoreUrl(c.url);
    EXPECT_EQ(u.kind, c.kind) << c.url;
    if (c.kind == StoreUrl::Kind::kSqlite) {
      EXPECT_EQ(u.path, c.path_or_host) << c.url;
    } else {
      EXPECT_EQ(u.host, c.path_or_host) << c.url;
      EXPECT_EQ(u.port, c.port) << c.url;
      EXPECT_EQ(u.database, c.database) << c.url;
    }
  }
}

TEST(StoreUrlTest, RefusedFormsSayWhy) {
  struct Case {
    const char* url;
    const char* problem;
  };
  const Case cases[] = {
      {"", "unknown kind of store"},
      {"mysql://h/db", "unknown kind of store"},
      {"SQLITE:x.db", "unknown kind of store"},  // kinds are lower case
      {"sqlite:", "the path is empty"},
      {"sqlite:///var/x.db", "write sqlite:PATH"},
      {"sqlite:/var/lib/", "names a directory"},
      {"redis://", "the host is empty"},
      {"redis://:6379", "the host is empty"},
      {"redis://h:", "the port is empty"},
      {"redis://h:0", "from 1 to 65535"},
      {"redis://h:65536", "from 1 to 65535"},
      {"redis://h:12ab", "from 1 to 65535"},
      {"redis://h:-1", "from 1 to 65535"},
      {"redis://h:6379/", "from 0 to 65535"},
      {"redis://h:6379/x", "from 0 to 65535"},
      {"redis://h:6379/1/2", "from 0 to 65535"},
      {"redis://user:pw@h:6379", "credentials"},
      {"redis://h:6379?db=1", "no query"},
      {"redis://h_1:6379", "character"},
      {"redis://[::1:6379", "unclosed"},
  };
  for (const Case& c : cases) {
    try {
      ParseStoreUrl(c.url);
      ADD_FAILURE() << "accepted " << c.url;
    } catch (const StoreConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(c.problem), std::string::npos)
          << c.url << ": " << e.what();
      EXPECT_STREQ(e.kind_name(), "EStoreConfig");
    }
  }
  EXPECT_THROW(ParseStoreUrl(std::string("sqlite:a\0b", 10)), StoreConfigError);
}

TEST(StoreOptionsTest, OutOfRangeOptionsAreRefused) {
  TempDir dir;
  const std::string sqlite = "sqlite:" + dir.File("c.db");
  StoreOptions o;
  o.retain_days = -1;
  EXPECT_THROW(OpenStore(sqlite, o), StoreConfigError);
  o.retain_days = 36501;
  EXPECT_THROW(OpenStore(sqlite, o), StoreConfigError);
  o = StoreOptions();
  o.timeout = std::chrono::milliseconds(0);
  EXPECT_THROW(OpenStore(sqlite, o), StoreConfigError);
  // Refused before anything was made.
  EXPECT_TRUE(dir.Names().empty());
  for (const char* prefix : {"", "has blank", "tab\t", "\x7f"}) {
    o = StoreOptions();
    o.key_prefix = prefix;
    EXPECT_THROW(OpenStore("redis://127.0.0.1:1", o), StoreConfigError)
        << prefix;
  }
}

TEST(StoreOptionsTest, UnreachableRedisIsUnavailable) {
  // Port 1 on loopback: nothing listens there.
  StoreOptions o;
  o.timeout = std::chrono::milliseconds(500);
  try {
    OpenStore("redis://127.0.0.1:1", o);
    ADD_FAILURE() << "opened";
  } catch (const StoreUnavailableError& e) {
    EXPECT_NE(std::string(e.what()).find("redis://127.0.0.1:1"),
              std::string::npos)
        << e.what();
  }
}

TEST(StoreOptionsTest, DatabaseTheServerLacksIsRefused) {
  RedisServer& server = RedisBackend::Server();
  if (!server.ok()) server.Start();
  ASSERT_TRUE(server.ok()) << server.problem();
  // The test server has databases 0 to 3.
  EXPECT_NO_THROW(OpenStore(server.url() + "/3"));
  EXPECT_THROW(OpenStore(server.url() + "/4"), StoreConfigError);
}

class SqlitePathTest : public testing::Test {
 protected:
  std::string Url(const std::string& path) const { return "sqlite:" + path; }
  // The message of the StoreConfigError that opening `path` throws.
  std::string Refusal(const std::string& path, StoreOptions o = {}) {
    try {
      OpenStore(Url(path), o);
    } catch (const StoreConfigError& e) {
      return e.what();
    }
    return "<opened>";
  }
  TempDir dir_;
};

TEST_F(SqlitePathTest, NewFilesAreForTheOwnerAlone) {
  const std::string sub = dir_.File("var");
  const std::string path = sub + "/conversations.db";
  {
    auto store = OpenStore(Url(path));
    Lease l = store->Create({});
    store->Commit(l, {std::string("s"), {}}, AfterCommit::kReleaseLease);
  }
  struct stat st;
  ASSERT_EQ(::stat(sub.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string file = path + suffix;
    if (::stat(file.c_str(), &st) != 0) continue;  // -wal may be gone
    EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
  }
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(SqlitePathTest, ExistingFileReadableByOthersIsNarrowed) {
  const std::string path = dir_.File("c.db");
  OpenStore(Url(path));
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  OpenStore(Url(path));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(SqlitePathTest, LinksAndOpenDirectoriesAreRefused) {
  dir_.Write("victim", "precious");
  const std::string victim = dir_.File("victim");
  namespace fs = std::filesystem;

  // A planted link in place of the store file.
  fs::create_symlink(victim, dir_ / "linked.db");
  EXPECT_NE(Refusal(dir_.File("linked.db")).find("is a symbolic link"),
            std::string::npos);
  // ... or of one of its side files.
  OpenStore(Url(dir_.File("side.db")));
  fs::remove(dir_ / "side.db-wal");
  fs::create_symlink(victim, dir_ / "side.db-wal");
  EXPECT_NE(Refusal(dir_.File("side.db")).find("side.db-wal: is a symbolic"),
            std::string::npos)
      << Refusal(dir_.File("side.db"));
  // A hard link to someone's file.
  fs::create_hard_link(victim, dir_ / "hard.db");
  EXPECT_NE(Refusal(dir_.File("hard.db")).find("other hard links"),
            std::string::npos);
  EXPECT_EQ(dir_.Read("victim"), "precious");

  // A directory reached through a link.
  fs::create_directory(dir_ / "real");
  fs::create_directory_symlink(dir_ / "real", dir_ / "alias");
  EXPECT_NE(Refusal(dir_.File("alias/c.db")).find("is a symbolic link"),
            std::string::npos);
  // A directory others may write, with or without the sticky bit.
  for (mode_t mode : {0777, 01777, 0770, 0722}) {
    fs::create_directory(dir_ / "open");
    ASSERT_EQ(::chmod(dir_.File("open").c_str(), mode), 0);
    const std::string why = Refusal(dir_.File("open/c.db"));
    EXPECT_NE(why.find("may be written by others"), std::string::npos)
        << mode << ": " << why;
    EXPECT_TRUE(fs::is_empty(dir_ / "open"));
    fs::remove_all(dir_ / "open");
  }
  // Not a directory at all.
  dir_.Write("plain", "x");
  EXPECT_NE(Refusal(dir_.File("plain/c.db")).find("is not a directory"),
            std::string::npos);
}

TEST_F(SqlitePathTest, DirectoryOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  std::filesystem::create_directory(dir_ / "theirs");
  ASSERT_EQ(::chown(dir_.File("theirs").c_str(), 4242, 4242), 0);
  EXPECT_NE(Refusal(dir_.File("theirs/c.db")).find("belongs to user 4242"),
            std::string::npos);
}

TEST_F(SqlitePathTest, MissingStoreIsNotMadeWhenOnlyReading) {
  StoreOptions read;
  read.create = false;
  EXPECT_NE(Refusal(dir_.File("none.db"), read).find("does not exist"),
            std::string::npos);
  EXPECT_NE(Refusal(dir_.File("sub/none.db"), read).find("No such file"),
            std::string::npos);
  EXPECT_TRUE(dir_.Names().empty());
}

TEST_F(SqlitePathTest, FilesThatAreNoConversationStoreAreRefused) {
  dir_.Write("garbage.db", std::string(8192, 'g'));
  EXPECT_THROW(OpenStore(Url(dir_.File("garbage.db"))), StoreDataError);
  EXPECT_EQ(dir_.Read("garbage.db"), std::string(8192, 'g'));

  const auto make = [&](const char* name, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.File(name).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  };
  make("other.db", "CREATE TABLE accounts(id INTEGER)");
  try {
    OpenStore(Url(dir_.File("other.db")));
    ADD_FAILURE() << "opened another program's database";
  } catch (const StoreDataError& e) {
    EXPECT_NE(std::string(e.what()).find("not a conversation store"),
              std::string::npos)
        << e.what();
  }
  OpenStore(Url(dir_.File("newer.db")));
  make("newer.db", "UPDATE store_meta SET value = '3' WHERE name = 'format'");
  try {
    OpenStore(Url(dir_.File("newer.db")));
    ADD_FAILURE() << "opened a newer format";
  } catch (const StoreDataError& e) {
    EXPECT_NE(std::string(e.what()).find("format '3'"), std::string::npos)
        << e.what();
  }
}

// A file written by the first layout: its conversations, transcripts and
// fences carry on after the store brings it to the current layout on open.
TEST_F(SqlitePathTest, FirstFormatFilesAreBroughtToTheCurrentOne) {
  const std::string path = dir_.File("old.db");
  const StoreTime now = StoreNow();
  const std::string kept(32, 'a');
  const std::string expired(32, 'b');
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string sql =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE store_meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
        "INSERT INTO store_meta VALUES('format', '1');"
        "CREATE TABLE conversations(id TEXT PRIMARY KEY,"
        "  knowledge_version BLOB NOT NULL, turns INTEGER NOT NULL,"
        "  created INTEGER NOT NULL, updated INTEGER NOT NULL,"
        "  snapshot BLOB NOT NULL);"
        "CREATE INDEX conversations_by_update ON conversations(updated);"
        "CREATE TABLE leases(conversation TEXT PRIMARY KEY,"
        "  fence INTEGER NOT NULL, holder TEXT NOT NULL,"
        "  expires INTEGER NOT NULL) WITHOUT ROWID;"
        "CREATE TABLE turns(conversation TEXT NOT NULL, turn INTEGER NOT NULL,"
        "  time INTEGER NOT NULL, input BLOB NOT NULL, reply BLOB NOT NULL,"
        "  failed INTEGER NOT NULL, fallback INTEGER NOT NULL,"
        "  knowledge_version BLOB NOT NULL, PRIMARY KEY(conversation, turn));"
        // Ids as the store writes them (blobs). Turns inserted out of
        // order: the copy must keep the numbers.
        "INSERT INTO conversations VALUES(CAST('" + kept + "' AS BLOB), 'v1', 2, " +
        std::to_string(now - 7200000) + ", " + std::to_string(now - 3600000) +
        ", X'00736e617000');"
        "INSERT INTO leases VALUES(CAST('" + kept + "' AS BLOB), 3, '', 0);"
        "INSERT INTO turns VALUES(CAST('" + kept + "' AS BLOB), 2, " +
        std::to_string(now - 3600000) + ", 'two', 'second', 1, 0, 'v1');"
        "INSERT INTO turns VALUES(CAST('" + kept + "' AS BLOB), 1, " +
        std::to_string(now - 7000000) + ", 'one', 'first', 0, 1, 'v1');"
        "INSERT INTO conversations VALUES(CAST('" + expired + "' AS BLOB), 'v0', 1, 0, " +
        std::to_string(now - 40LL * 86400000) + ", 'old');"
        "INSERT INTO turns VALUES(CAST('" + expired + "' AS BLOB), 1, 5, 'x', 'y', 0, 0,"
        "  'v0');";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  ::chmod(path.c_str(), 0600);

  {
    auto store = OpenStore(Url(path));
    const auto loaded = store->Load(kept);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->snapshot, std::string("\0snap\0", 6));
    EXPECT_EQ(loaded->info.turns, 2u);
    EXPECT_EQ(loaded->info.updated, now - 3600000);
    EXPECT_EQ(loaded->info.knowledge_version, "v1");
    EXPECT_FALSE(store->Load(expired));

    const auto turns = store->Transcript(kept, 1, 10);
    ASSERT_TRUE(turns);
    ASSERT_EQ(turns->size(), 2u);
    EXPECT_EQ((*turns)[0].turn, 1u);
    EXPECT_EQ((*turns)[0].record.input, "one");
    EXPECT_TRUE((*turns)[0].record.fallback);
    EXPECT_EQ((*turns)[1].turn, 2u);
    EXPECT_EQ((*turns)[1].record.reply, "second");
    EXPECT_TRUE((*turns)[1].record.failed);

    // The fence goes on from the old lease row; the next turn is 3.
    LeaseResult r = store->TryAcquire(kept, std::chrono::milliseconds(1000));
    ASSERT_EQ(r.status, LeaseStatus::kAcquired);
    EXPECT_EQ(r.lease.fence, 4u);
    TurnCommit commit;
    commit.snapshot = "after";
    commit.record.input = "three";
    commit.record.time = now;
    store->Commit(r.lease, commit, AfterCommit::kReleaseLease);
    const auto after = store->Transcript(kept, 3, 10);
    ASSERT_TRUE(after);
    ASSERT_EQ(after->size(), 1u);
    EXPECT_EQ((*after)[0].record.input, "three");
  }

  // Migrated once: the file says so, the per-update index and the
  // expired conversation's turns are gone, and it opens again as it is.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const auto one = [&](const char* sql) {
    sqlite3_stmt* q = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &q, nullptr), SQLITE_OK) << sql;
    std::string value;
    if (q != nullptr && sqlite3_step(q) == SQLITE_ROW)
      value = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
    sqlite3_finalize(q);
    return value;
  };
  EXPECT_EQ(one("SELECT value FROM store_meta WHERE name = 'format'"), "2");
  EXPECT_EQ(one("SELECT count(*) FROM sqlite_schema"
                " WHERE name = 'conversations_by_update'"),
            "0");
  EXPECT_EQ(one("SELECT count(*) FROM turns"), "3");
  sqlite3_close(db);
  auto again = OpenStore(Url(path));
  EXPECT_EQ(again->Load(kept)->snapshot, "after");
  EXPECT_EQ(again->Transcript(kept, 1, 10)->size(), 3u);
}

// Retention finds conversations by the hour of their last update, which
// each turn must move on: a conversation talked to today must not keep the
// hour it was made in, weeks ago, or it would be deleted while in use.
TEST_F(SqlitePathTest, TurnsMoveTheHourRetentionFindsConversationsBy) {
  const std::string path = dir_.File("hours.db");
  const StoreTime now = StoreNow();
  constexpr int64_t kHour = 3600000;
  auto store = OpenStore(Url(path));
  NewConversation made;
  made.time = now - 29 * 24 * kHour;
  Lease a = store->Create(made);
  Lease b = store->Create(made);
  TurnCommit turn;
  turn.snapshot = "s";
  turn.record.time = now;
  store->Commit(a, turn, AfterCommit::kReleaseLease);
  ASSERT_TRUE(store->CommitIfUntouched(b, turn, AfterCommit::kReleaseLease,
                                       std::chrono::milliseconds(1000)));
  // A turn without a snapshot moves it too.
  Lease c = store->Create(made);
  TurnCommit bare;
  bare.record.time = now;
  store->Commit(c, bare, AfterCommit::kReleaseLease);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* q = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT count(*) FROM conversations"
                               " WHERE updated_hour = ?1 AND updated = ?2",
                               -1, &q, nullptr),
            SQLITE_OK);
  sqlite3_bind_int64(q, 1, now / kHour);
  sqlite3_bind_int64(q, 2, now);
  ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int64(q, 0), 3);
  sqlite3_finalize(q);
  sqlite3_close(db);
}

TEST_F(SqlitePathTest, HealthNoticesAReplacedFile) {
  const std::string path = dir_.File("c.db");
  auto store = OpenStore(Url(path));
  EXPECT_TRUE(store->Health().ok);
  std::filesystem::rename(path, dir_.File("moved.db"));
  const StoreHealth h = store->Health();
  EXPECT_FALSE(h.ok);
  EXPECT_NE(h.problem.find("c.db"), std::string::npos) << h.problem;
}

}  // namespace
}  // namespace corvane
