// The two store implementations as backends of one parameterised test
// suite. Each backend gives a fresh, empty store per test, opens as many
// clients of it as a test wants (each one a separate object, as separate
// hosts would have), and can take the store down and bring it back.
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

class StoreBackend {
 public:
  virtual ~StoreBackend() = default;
  // Gtest assertions report what is missing (a temporary directory, the
  // redis-server).
  virtual void SetUp() = 0;
  virtual void TearDown() { BringUp(); }
  // A new client of the test's store.
  virtual std::unique_ptr<ConversationStore> Open(StoreOptions options) = 0;
  // The store as `corvane sessions` arguments.
  virtual std::string CommandLine() const = 0;
  // Nothing can be committed between TakeDown() and BringUp().
  virtual void TakeDown() = 0;
  virtual void BringUp() = 0;
};

// A store file in a temporary directory; taken down by another connection
// that holds the write lock.
class SqliteBackend : public StoreBackend {
 public:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  std::string CommandLine() const override {
    return "sqlite:" + dir_.File("conversations.db");
  }
  std::unique_ptr<ConversationStore> Open(StoreOptions options) override {
    return OpenStore(CommandLine(), options);
  }
  void TakeDown() override {
    ASSERT_EQ(sqlite3_open(dir_.File("conversations.db").c_str(), &blocker_),
              SQLITE_OK);
    // Commits under way end first.
    sqlite3_busy_timeout(blocker_, 10'000);
    ASSERT_EQ(
        sqlite3_exec(blocker_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
        SQLITE_OK);
  }
  void BringUp() override {
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
// for each test; taken down by killing the server, which keeps its data on
// disk.
class RedisBackend : public StoreBackend {
 public:
  // The Redis tests fail, never skip, without a redis-server: CI installs
  // it, so its absence is a fault of the machine that must show.
  void SetUp() override {
    RedisServer& s = Server();
    if (!s.ok()) s.Start();
    ASSERT_TRUE(s.ok()) << s.problem();
    static int counter = 0;
    prefix_ = "test" + std::to_string(++counter) + ":";
  }
  std::string CommandLine() const override {
    return "--prefix " + prefix_ + " " + Server().url();
  }
  std::unique_ptr<ConversationStore> Open(StoreOptions options) override {
    options.key_prefix = prefix_;
    return OpenStore(Server().url(), options);
  }
  void TakeDown() override { Server().Kill(); }
  void BringUp() override {
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

enum class BackendKind { kSqlite, kRedis };

inline std::unique_ptr<StoreBackend> MakeBackend(BackendKind kind) {
  if (kind == BackendKind::kSqlite) return std::make_unique<SqliteBackend>();
  return std::make_unique<RedisBackend>();
}

// A fixture whose tests run once on each backend.
class StoreBackendTest : public testing::TestWithParam<BackendKind> {
 protected:
  void SetUp() override {
    backend_ = MakeBackend(GetParam());
    backend_->SetUp();
  }
  void TearDown() override { backend_->TearDown(); }

  std::unique_ptr<ConversationStore> Open(StoreOptions options = {}) {
    return backend_->Open(options);
  }

  std::unique_ptr<StoreBackend> backend_;
};

inline std::string BackendName(
    const testing::TestParamInfo<BackendKind>& param) {
  return param.param == BackendKind::kSqlite ? "Sqlite" : "Redis";
}

// Runs the tests of `fixture` on both backends, named .../Sqlite and
// .../Redis.
#define CORVANE_ON_BOTH_STORES(fixture) \
  INSTANTIATE_TEST_SUITE_P(             \
      Stores, fixture,                  \
      testing::Values(BackendKind::kSqlite, BackendKind::kRedis), BackendName)

}  // namespace corvane

#endif  // CORVANE_TESTS_STORE_STORE_BACKENDS_H_
