// The two store implementations as backends of one typed test suite. Each
// backend gives a fresh, empty store per test, opens as many clients of it
// as a test wants (each one a separate object, as separate hosts would
// have), and can take the store down and bring it back.
#ifndef CORVANE_TESTS_STORE_STORE_BACKENDS_H_
#define CORVANE_TESTS_STORE_STORE_BACKENDS_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "store/conversation_store.h"
#include "tests/store/redis_server.h"
#include "tests/temp_dir.h"

namespace corvane {

// A store file in a temporary directory.
class SqliteBackend {
 public:
  static constexpr const char* kName = "Sqlite";

  void SetUp() { ASSERT_FALSE(dir_.path().empty()); }
  void TearDown() { BringUp(); }

  std::string Url() const { return "sqlite:" + dir_.File("conversations.db"); }
  // The store as `corvane sessions` arguments.
  std::string CommandLine() const { return Url(); }
  std::unique_ptr<ConversationStore> Open(StoreOptions options = {}) {
    return OpenStore(Url(), options);
  }

  // Another connection holds the write lock: nothing can be committed
  // until BringUp().
  void TakeDown() {
    ASSERT_EQ(sqlite3_open(dir_.File("conversations.db").c_str(), &blocker_),
              SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(blocker_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
        SQLITE_OK);
  }
  void BringUp() {
    if (blocker_ == nullptr) return;
    sqlite3_exec(blocker_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(blocker_);
    blocker_ = nullptr;
  }

 private:
  TempDir dir_;
  sqlite3* blocker_ = nullptr;
};

// One redis-server for the whole test program, a key prefix of its own
// for each test.
class RedisBackend {
 public:
  static constexpr const char* kName = "Redis";

  // The Redis tests fail, never skip, without a redis-server: CI installs
  // it, so its absence is a fault of the machine that must show.
  void SetUp() {
    RedisServer& s = Server();
    if (!s.ok()) s.Start();
    ASSERT_TRUE(s.ok()) << s.problem();
    static int counter = 0;
    prefix_ = "test" + std::to_string(++counter) + ":";
  }
  void TearDown() { BringUp(); }

  std::string Url() const { return Server().url(); }
  std::string CommandLine() const {
    return "--prefix " + prefix_ + " " + Url();
  }
  std::unique_ptr<ConversationStore> Open(StoreOptions options = {}) {
    options.key_prefix = prefix_;
    return OpenStore(Url(), options);
  }

  // The server is killed; it keeps its data on disk.
  void TakeDown() { Server().Kill(); }
  void BringUp() {
    if (!Server().ok()) {
      ASSERT_TRUE(Server().Start()) << Server().problem();
    }
  }

  static RedisServer& Server() {
    static RedisServer server;  // Killed at the program's exit.
    return server;
  }

 private:
  std::string prefix_;
};

// Both backends, named in test names by their kName.
using StoreBackends = testing::Types<SqliteBackend, RedisBackend>;
struct StoreBackendNames {
  template <typename T>
  static std::string GetName(int) {
    return T::kName;
  }
};

}  // namespace corvane

#endif  // CORVANE_TESTS_STORE_STORE_BACKENDS_H_
