// The Redis store's own key layout: conversations stored by earlier
// versions (the snapshot in the hash), keys of other programs under the
// prefix, staged snapshots, and the expiry of every key of a conversation;
// CommitLater's pipelined batches on a server that is killed.
#include "store/redis_store.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "store/conversation_store.h"
#include "store/redis_connection.h"
#include "store/turn_record_codec.h"
#include "tests/store/store_backends.h"

namespace corvane {
namespace {

using std::chrono::milliseconds;

constexpr int64_t kDay = 24 * 3600 * 1000;
constexpr int64_t kMinute = 60 * 1000;

TurnCommit Turn(const std::string& input, std::optional<std::string> snapshot,
                StoreTime time = 0) {
  TurnCommit c;
  c.snapshot = std::move(snapshot);
  c.record.time = time;
  c.record.input = input;
  c.record.reply = "re: " + input;
  c.record.knowledge_version = "kv1";
  return c;
}

class RedisStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    RedisServer& server = RedisBackend::Server();
    if (!server.ok()) server.Start();
    ASSERT_TRUE(server.ok()) << server.problem();
    static int counter = 0;
    prefix_ = "layout" + std::to_string(++counter) + ":";
    url_ = server.url();
    raw_ = std::make_unique<RedisConnection>(ParseStoreUrl(url_),
                                             milliseconds(2000), url_);
  }

  std::unique_ptr<RedisStore> Open(int retain_days = 30) {
    StoreOptions options;
    options.key_prefix = prefix_;
    options.retain_days = retain_days;
    return std::make_unique<RedisStore>(url_, ParseStoreUrl(url_), options);
  }

  RedisReply Run(const RedisCommand& command) { return raw_->Run(command); }
  std::string Text(const RedisCommand& command) {
    RedisReply r = Run(command);
    EXPECT_TRUE(r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_NIL)
        << RedisErrorText(r.get());
    return r->type == REDIS_REPLY_STRING ? std::string(r->str, r->len) : "";
  }
  long long Number(const RedisCommand& command) {
    RedisReply r = Run(command);
    EXPECT_EQ(r->type, REDIS_REPLY_INTEGER) << RedisErrorText(r.get());
    return r->integer;
  }
  // The keys under the prefix that start with `start`.
  std::vector<std::string> Keys(const std::string& start) {
    RedisReply r = Run({"KEYS", prefix_ + start + "*"});
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < r->elements; ++i)
      keys.emplace_back(r->element[i]->str, r->element[i]->len);
    return keys;
  }

  // A conversation as the store wrote it while the snapshot lived in the
  // hash: no `sk`, no `exp`; two turns, released.
  std::string PutOldLayout(const std::string& snapshot) {
    const std::string id(32, 'c');
    const std::string c = prefix_ + "c:" + id;
    const std::string t = prefix_ + "t:" + id;
    EXPECT_EQ(Number({"HSET", c, "kv", "kv1", "turns", "2", "created", "1000",
                      "updated", "2000", "snapshot", snapshot, "fence", "3",
                      "last", "3:00aa00aa00aa00aa:1"}),
              7);
    for (int turn = 1; turn <= 2; ++turn) {
      TurnEntry e{static_cast<uint64_t>(turn), {}};
      e.record.time = 1000 * turn;
      e.record.input = "old " + std::to_string(turn);
      e.record.reply = "old reply";
      e.record.knowledge_version = "kv1";
      Number({"RPUSH", t, EncodeTurnRecord(e)});
    }
    Number({"ZADD", prefix_ + "ids", "0", id});
    const StoreTime expire = StoreNow() + 10 * kDay;
    Number({"PEXPIREAT", c, std::to_string(expire)});
    Number({"PEXPIREAT", t, std::to_string(expire)});
    return id;
  }

  std::string prefix_;
  std::string url_;
  std::unique_ptr<RedisConnection> raw_;
};

TEST_F(RedisStoreTest, ConversationsOfTheEarlierLayoutAreServedAndMoved) {
  const std::string old_snapshot = "old state" + std::string(300, '\1');
  const std::string id = PutOldLayout(old_snapshot);
  auto store = Open();
  ASSERT_TRUE(store->Load(id));
  EXPECT_EQ(store->Load(id)->snapshot, old_snapshot);
  EXPECT_EQ(store->Load(id)->info.turns, 2u);
  EXPECT_EQ(store->Load(id)->info.created, 1000);

  // A turn without a snapshot keeps the hash's.
  LeaseResult r = store->TryAcquire(id, milliseconds(5000));
  ASSERT_EQ(r.status, LeaseStatus::kAcquired);
  ASSERT_TRUE(r.conversation);
  EXPECT_EQ(r.conversation->snapshot, old_snapshot);
  EXPECT_EQ(r.lease.fence, 4u);
  store->Commit(r.lease, Turn("three", std::nullopt), AfterCommit::kKeepLease);
  EXPECT_EQ(store->Load(id)->snapshot, old_snapshot);
  EXPECT_EQ(store->Load(id)->info.turns, 3u);

  // One with a snapshot moves it to its own key, out of the hash.
  store->Commit(r.lease, Turn("four", "new state"), AfterCommit::kReleaseLease);
  EXPECT_EQ(Number({"HEXISTS", prefix_ + "c:" + id, "snapshot"}), 0);
  EXPECT_EQ(Text({"GET", prefix_ + "s:" + id}), "new state");
  EXPECT_EQ(store->Load(id)->snapshot, "new state");
  r = store->TryAcquire(id, milliseconds(5000), 2);
  ASSERT_TRUE(r.conversation);
  EXPECT_EQ(r.conversation->snapshot, "new state");
  EXPECT_EQ(r.conversation->info.turns, 4u);
  EXPECT_TRUE(store->CommitIfUntouched(r.lease, Turn("five", "fifth"),
                                       AfterCommit::kReleaseLease,
                                       milliseconds(5000)));
  const auto t = store->Transcript(id, 1, 10);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->size(), 5u);
  EXPECT_EQ((*t)[0].record.input, "old 1");
  EXPECT_EQ((*t)[4].record.input, "five");
  EXPECT_EQ(store->Load(id)->snapshot, "fifth");
  EXPECT_EQ(store->List("", 10).conversations.size(), 1u);
}

TEST_F(RedisStoreTest, KeysOfAnotherProgramFailTheCommitBeforeAnyWrite) {
  auto store = Open();
  Lease a = store->Create({});
  const std::string id = a.conversation_id;
  store->Commit(a, Turn("one", "first"), AfterCommit::kKeepLease);
  // The transcript replaced by a string.
  Run({"DEL", prefix_ + "t:" + id});
  Run({"SET", prefix_ + "t:" + id, "not a list"});
  EXPECT_THROW(store->Commit(a, Turn("two", "second"), AfterCommit::kKeepLease),
               StoreDataError);
  EXPECT_EQ(store->Load(id)->info.turns, 1u);
  EXPECT_EQ(store->Load(id)->snapshot, "first");
  EXPECT_EQ(Text({"GET", prefix_ + "t:" + id}), "not a list");
  EXPECT_TRUE(Keys("n:").empty());

  // The lease key replaced by a list: refused on reading it.
  Lease b = store->Create({});
  Run({"DEL", prefix_ + "l:" + b.conversation_id});
  Run({"RPUSH", prefix_ + "l:" + b.conversation_id, "x"});
  EXPECT_THROW(
      store->CommitIfUntouched(b, Turn("one", "first"),
                               AfterCommit::kReleaseLease, milliseconds(1000)),
      StoreDataError);
  EXPECT_EQ(store->Load(b.conversation_id)->info.turns, 0u);
  EXPECT_EQ(Number({"LLEN", prefix_ + "t:" + b.conversation_id}), 0);
  EXPECT_TRUE(Keys("n:").empty());
}

TEST_F(RedisStoreTest, StagedSnapshotsGoWhateverTheCommitsOutcome) {
  auto store = Open();
  auto other = Open();
  Lease a = store->Create({});
  const std::string id = a.conversation_id;
  store->Commit(a, Turn("one", "first"), AfterCommit::kReleaseLease);
  // Taken over: a stale holder's commits fail and stage nothing lasting.
  LeaseResult r = other->TryAcquire(id, milliseconds(5000));
  ASSERT_EQ(r.status, LeaseStatus::kAcquired);
  EXPECT_THROW(
      store->Commit(a, Turn("stale", "stale"), AfterCommit::kKeepLease),
      LeaseLostError);
  EXPECT_FALSE(store->CommitIfUntouched(
      a, Turn("stale", "stale"), AfterCommit::kKeepLease, milliseconds(1000)));
  EXPECT_TRUE(Keys("n:").empty());
  // A staging key planted under a plausible name is never read as the
  // snapshot.
  Run({"SET", prefix_ + "n:" + id + ":9:0000000000000000:1", "planted"});
  other->Commit(r.lease, Turn("two", "second"), AfterCommit::kKeepLease);
  other->Commit(r.lease, Turn("three", std::nullopt), AfterCommit::kKeepLease);
  EXPECT_EQ(other->Load(id)->snapshot, "second");
  EXPECT_EQ(store->TryAcquire(id, milliseconds(100)).status,
            LeaseStatus::kBusy);
  other->Release(r.lease);
  r = store->TryAcquire(id, milliseconds(5000));
  ASSERT_TRUE(r.conversation);
  EXPECT_EQ(r.conversation->snapshot, "second");
  EXPECT_EQ(r.conversation->info.turns, 3u);
  EXPECT_EQ(Keys("n:").size(), 1u);
  // A conversation that is gone.
  Run({"DEL", prefix_ + "c:" + id});
  EXPECT_THROW(store->Commit(r.lease, Turn("four", "fourth"),
                             AfterCommit::kReleaseLease),
               LeaseLostError);
  EXPECT_EQ(Keys("n:").size(), 1u);
}

TEST_F(RedisStoreTest,
       EveryKeyOfAConversationExpiresAtItsLastTurnPlusRetention) {
  auto store = Open(30);
  const StoreTime now = StoreNow();
  Lease a = store->Create({});
  const std::string id = a.conversation_id;
  const std::vector<std::string> keys = {
      prefix_ + "c:" + id, prefix_ + "t:" + id, prefix_ + "s:" + id};
  auto expiries = [&] {
    std::vector<long long> at;
    for (const std::string& key : keys)
      at.push_back(Number({"PEXPIRETIME", key}));
    return at;
  };
  store->Commit(a, Turn("one", "first", now), AfterCommit::kKeepLease);
  std::vector<long long> at = expiries();
  EXPECT_EQ(at[1], at[0]);
  EXPECT_EQ(at[2], at[0]);
  EXPECT_GE(at[0], now + 30 * kDay);
  EXPECT_LT(at[0], now + 30 * kDay + kMinute);
  EXPECT_EQ(at[0] % kMinute, 0);

  // A turn without a snapshot a day later moves the snapshot's expiry too.
  store->Commit(a, Turn("two", std::nullopt, now + kDay),
                AfterCommit::kKeepLease);
  at = expiries();
  EXPECT_GE(at[0], now + 31 * kDay);
  EXPECT_EQ(at[2], at[0]);
  EXPECT_EQ(at[1], at[0]);

  // A turn dated just inside the retention: its snapshot expires with the
  // hash, though staged for longer.
  const StoreTime late = now - 30 * kDay + 2000;
  store->Commit(a, Turn("three", "third", late), AfterCommit::kReleaseLease);
  at = expiries();
  EXPECT_LT(at[0], now + kMinute + 2000);
  EXPECT_EQ(at[2], at[0]);

  // Kept for ever: no expiry on the snapshot either.
  auto keeper = Open(0);
  Lease k = keeper->Create({});
  keeper->Commit(k, Turn("one", "kept"), AfterCommit::kReleaseLease);
  EXPECT_EQ(Number({"PEXPIRETIME", prefix_ + "s:" + k.conversation_id}), -1);
  EXPECT_EQ(Number({"PEXPIRETIME", prefix_ + "c:" + k.conversation_id}), -1);
  EXPECT_EQ(keeper->Load(k.conversation_id)->snapshot, "kept");
}

// CommitLater's batches on a server that stops answering: a script that
// never ends holds the server (one thread) while commits are queued and
// sent; a store with a short timeout gives up, then the server is killed
// under the other's batch. Every commit of either batch fails as the store
// being unavailable, none was kept, and after the restart (which also lost
// the loaded scripts) the same leases commit.
class RedisConversationStoreLaterTest : public RedisStoreTest {
 protected:
  // Sends a script that loops for ever on a connection of its own, and
  // returns once the server answers nobody else.
  void HoldTheServer() {
    const int port = RedisBackend::Server().port();
    hold_ = Socket(port);
    const std::string script = "while true do end";
    const std::string busy = "*3\r\n$4\r\nEVAL\r\n$" +
                             std::to_string(script.size()) + "\r\n" + script +
                             "\r\n$1\r\n0\r\n";
    ASSERT_EQ(::send(hold_, busy.data(), busy.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(busy.size()));
    for (;;) {
      const int probe = Socket(port);
      timeval tv{0, 200'000};
      ::setsockopt(probe, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      const char ping[] = "PING\r\n";
      char reply[16];
      ::send(probe, ping, sizeof ping - 1, MSG_NOSIGNAL);
      const ssize_t got = ::recv(probe, reply, sizeof reply, 0);
      ::close(probe);
      if (got <= 0) return;  // No answer: the script runs.
    }
  }
  void TearDown() override {
    if (hold_ >= 0) ::close(hold_);
    RedisServer& server = RedisBackend::Server();
    if (!server.ok()) server.Start();
  }

  static int Socket(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr),
              0);
    return fd;
  }

  int hold_ = -1;
};

// The commits of one store object and what became of them.
struct LaterClient {
  std::unique_ptr<RedisStore> store;
  std::vector<Lease> leases;
  std::mutex mu;
  std::condition_variable cv;
  std::vector<int> calls;
  std::vector<CommitOutcome> outcomes;
  std::size_t ended = 0;

  LaterClient(std::unique_ptr<RedisStore> s, std::size_t conversations)
      : store(std::move(s)), calls(conversations, 0),
        outcomes(conversations) {
    for (std::size_t i = 0; i < conversations; ++i) {
      leases.push_back(store->Create({}));
      store->Release(leases.back());
    }
  }
  void CommitAll(const std::string& input) {
    {
      std::lock_guard<std::mutex> lock(mu);
      ended = 0;
    }
    for (std::size_t i = 0; i < leases.size(); ++i) {
      LaterCommit c;
      c.commit = Turn(input, "snapshot " + input);
      c.if_untouched = true;
      store->CommitLater(leases[i], std::move(c),
                         [this, i](const CommitOutcome& o) {
                           std::lock_guard<std::mutex> lock(mu);
                           ++calls[i];
                           outcomes[i] = o;
                           ++ended;
                           cv.notify_all();
                         });
    }
  }
  void WaitAll() {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30),
                            [&] { return ended == leases.size(); }));
  }
  // Each commit was answered `rounds` times in all, the last time with
  // `status` (and StoreUnavailableError when failed), and is at `turn`.
  void Expect(int rounds, CommitStatus status, uint64_t turn) {
    for (std::size_t i = 0; i < leases.size(); ++i) {
      EXPECT_EQ(calls[i], rounds) << i;
      ASSERT_EQ(outcomes[i].status, status) << i;
      if (status == CommitStatus::kFailed) {
        EXPECT_THROW(std::rethrow_exception(outcomes[i].error),
                     StoreUnavailableError);
      }
      EXPECT_EQ(leases[i].turn, turn) << i;
    }
  }
};

TEST_F(RedisConversationStoreLaterTest, ServerHeldThenKilledFailsEachCommit) {
  constexpr std::size_t kJobs = 20;
  LaterClient patient(Open(), kJobs);
  StoreOptions quick_options;
  quick_options.key_prefix = prefix_;
  quick_options.timeout = milliseconds(100);
  LaterClient quick(
      std::make_unique<RedisStore>(url_, ParseStoreUrl(url_), quick_options),
      kJobs);
  // A first batch each, so that the connections have served.
  for (LaterClient* c : {&patient, &quick}) {
    c->CommitAll("1");
    c->WaitAll();
    c->Expect(1, CommitStatus::kCommitted, 1);
  }

  HoldTheServer();
  // A store with a short timeout gives up on its batch ...
  quick.CommitAll("2");
  quick.WaitAll();
  quick.Expect(2, CommitStatus::kFailed, 1);
  // ... the other waits for it until the server is killed.
  patient.CommitAll("2");
  RedisBackend::Server().Kill();
  patient.WaitAll();
  patient.Expect(2, CommitStatus::kFailed, 1);

  // The server lost its scripts with the restart; the same leases commit.
  ASSERT_TRUE(RedisBackend::Server().Start());
  for (LaterClient* c : {&patient, &quick}) {
    c->CommitAll("2");
    c->WaitAll();
    c->Expect(3, CommitStatus::kCommitted, 2);
    for (const Lease& lease : c->leases) {
      const auto stored = c->store->Load(lease.conversation_id);
      ASSERT_TRUE(stored);
      EXPECT_EQ(stored->info.turns, 2u);
      EXPECT_EQ(stored->snapshot, "snapshot 2");
      const auto t = c->store->Transcript(lease.conversation_id, 1, 10);
      ASSERT_TRUE(t);
      ASSERT_EQ(t->size(), 2u);
      EXPECT_EQ((*t)[1].record.input, "2");
    }
  }
}

}  // namespace
}  // namespace corvane
