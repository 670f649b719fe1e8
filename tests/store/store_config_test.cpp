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
  make("newer.db", "UPDATE store_meta SET value = '2' WHERE name = 'format'");
  try {
    OpenStore(Url(dir_.File("newer.db")));
    ADD_FAILURE() << "opened a newer format";
  } catch (const StoreDataError& e) {
    EXPECT_NE(std::string(e.what()).find("format '2'"), std::string::npos)
        << e.what();
  }
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
