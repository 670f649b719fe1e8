// The session pool on a conversation store, in-process: a conversation
// dropped from memory continues from the store; a commit the store refuses
// leaves nothing of its turn; another holder's lease is waited for; many
// threads on many conversations, and several on one, keep every count
// exact (also under ThreadSanitizer: the file name holds "pool"); requests
// that can wait without a thread park and are resumed, none forgotten.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/conversation_store.h"
#include "tests/temp_dir.h"
#include "tests/web/web_test_helpers.h"
#include "web/stored_sessions.h"
#include "web/web_module.h"

namespace corvane {
namespace {

const std::string kKb = ClfLines({
    "For-Mode",
    "  Fragment Initialize,0,0, {}, {}, {}",
    "  Response {},Assignment,{n},{0}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {count}, {}, {}",
    "  Response {n=^Add{^Fact{n}|1}},Assignment,{n},{^Add{^Fact{n}|1}}",
});

// A store that passes every call to a real one, but refuses commits while
// told to, as a store that cannot be written does.
class FlakyStore : public ConversationStore {
 public:
  explicit FlakyStore(std::unique_ptr<ConversationStore> real)
      : real_(std::move(real)) {}
  Lease Create(const NewConversation& c) override { return real_->Create(c); }
  std::optional<StoredConversation> Load(std::string_view id) override {
    return real_->Load(id);
  }
  LeaseResult TryAcquire(std::string_view id, std::chrono::milliseconds ttl,
                         uint64_t cached_turn) override {
    ++acquires;
    return real_->TryAcquire(id, ttl, cached_turn);
  }
  void Commit(Lease& lease, const TurnCommit& commit,
              AfterCommit after) override {
    if (refuse_commits) throw StoreUnavailableError("disk full");
    real_->Commit(lease, commit, after);
  }
  bool CommitIfUntouched(Lease& lease, const TurnCommit& commit,
                         AfterCommit after,
                         std::chrono::milliseconds lease_time) override {
    if (refuse_commits) throw StoreUnavailableError("disk full");
    ++resumed_commits;
    return real_->CommitIfUntouched(lease, commit, after, lease_time);
  }
  void Release(const Lease& lease) override { real_->Release(lease); }
  std::optional<std::vector<TurnEntry>> Transcript(std::string_view id,
                                                   uint64_t first,
                                                   std::size_t limit) override {
    return real_->Transcript(id, first, limit);
  }
  ConversationPage List(std::string_view cursor, std::size_t limit) override {
    return real_->List(cursor, limit);
  }
  std::size_t Expire() override { return real_->Expire(); }
  StoreHealth Health() override { return real_->Health(); }
  const std::string& url() const override { return real_->url(); }
  // While `defer` is set, commits that need not hold their caller's thread
  // wait until RunDeferred, which runs them on another thread.
  void CommitLater(Lease& lease, LaterCommit commit, CommitDone done) override {
    if (!defer) {
      ConversationStore::CommitLater(lease, std::move(commit), std::move(done));
      return;
    }
    auto job = std::make_shared<LaterCommit>(std::move(commit));
    std::lock_guard<std::mutex> lock(deferred_mutex_);
    deferred_.push_back([this, &lease, job, done = std::move(done)] {
      ConversationStore::CommitLater(lease, std::move(*job), done);
    });
  }
  std::size_t RunDeferred() {
    std::vector<std::function<void()>> jobs;
    {
      std::lock_guard<std::mutex> lock(deferred_mutex_);
      jobs.swap(deferred_);
    }
    std::thread runner([&jobs] {
      for (auto& job : jobs) job();
    });
    runner.join();
    return jobs.size();
  }

  std::atomic<bool> defer{false};
  std::atomic<bool> refuse_commits{false};
  std::atomic<int> acquires{0};
  std::atomic<int> resumed_commits{0};

 private:
  std::unique_ptr<ConversationStore> real_;
  std::mutex deferred_mutex_;
  std::vector<std::function<void()>> deferred_;
};

class StoredSessionPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("CorvWebDemo.clf", kKb);
    url_ = "sqlite:" + data_.path() + "/c.db";
  }
  std::unique_ptr<StoredSessionPool> MakePool(std::size_t max_sessions = 100,
                                              FlakyStore** flaky = nullptr) {
    auto store = std::make_unique<FlakyStore>(OpenStore(url_));
    if (flaky != nullptr) *flaky = store.get();
    StoredSessionSettings settings;
    settings.max_sessions = max_sessions;
    // Long enough that no lease lapses while a slow (sanitized) thread
    // holds it; no test here waits for this pool's lease to run out.
    settings.lease_time = std::chrono::seconds(5);
    return std::make_unique<StoredSessionPool>(std::move(store), settings);
  }
  // One turn of `id` ("" for a new conversation); returns the reply and
  // sets *id to the conversation's.
  // A turn that went stale runs again, as the request pipeline does;
  // *stale counts those.
  std::string Count(StoredSessionPool& pool, std::string* id,
                    int* stale = nullptr,
                    std::function<void()> resume = nullptr) {
    ModuleLease lease =
        pool.Take(ModuleRequest{root_.path() + "/", *id, std::move(resume)});
    *id = lease.id();
    for (;;) {
      const std::string reply = lease.module().Converse("count");
      try {
        lease.Commit(TurnDone{"count", reply, false, false}, true);
        return reply;
      } catch (const StaleTurnError&) {
        if (stale != nullptr) ++*stale;
      }
    }
  }
  TempDir root_;
  TempDir data_;
  std::string url_;
};

TEST_F(StoredSessionPoolTest, DroppedFromMemoryAConversationContinues) {
  auto pool = MakePool(/*max_sessions=*/1);
  std::string a, b;
  EXPECT_EQ(Count(*pool, &a), "n=1");
  EXPECT_EQ(Count(*pool, &b), "n=1");  // Drops a from memory.
  EXPECT_EQ(pool->live_count(), 1u);
  EXPECT_EQ(Count(*pool, &a), "n=2");
  EXPECT_EQ(Count(*pool, &b), "n=2");
  // Another pool on the same store (another host) takes both on.
  auto other = MakePool();
  EXPECT_EQ(Count(*other, &a), "n=3");
  // The first pool notices the turn it did not run.
  EXPECT_EQ(Count(*pool, &a), "n=4");
}

// The host that ran a conversation's last turn runs the next without
// taking the lease (one round trip a turn); a turn another host ran
// meanwhile makes it run its turn again on the stored state, then take
// the lease before each turn until its leases follow each other again.
TEST_F(StoredSessionPoolTest, TheLastTurnsHostCommitsWithoutTakingTheLease) {
  FlakyStore* flaky = nullptr;
  auto pool = MakePool(100, &flaky);
  std::string id;
  for (int i = 1; i <= 5; ++i)
    EXPECT_EQ(Count(*pool, &id), "n=" + std::to_string(i));
  EXPECT_EQ(flaky->acquires.load(), 0);
  EXPECT_EQ(flaky->resumed_commits.load(), 4);

  auto other = MakePool();
  EXPECT_EQ(Count(*other, &id), "n=6");
  int stale = 0;
  EXPECT_EQ(Count(*pool, &id, &stale), "n=7");
  EXPECT_EQ(stale, 1);
  EXPECT_EQ(flaky->acquires.load(), 1);
  // Contended: the lease first, which follows this host's own, so the
  // turn after goes without it again.
  EXPECT_EQ(Count(*pool, &id, &stale), "n=8");
  EXPECT_EQ(flaky->acquires.load(), 2);
  EXPECT_EQ(Count(*pool, &id, &stale), "n=9");
  EXPECT_EQ(flaky->acquires.load(), 2);
  EXPECT_EQ(stale, 1);

  // Alternating hosts (a balancer without stickiness): every count exact,
  // and after the first, no turn runs twice.
  for (int i = 10; i <= 20; i += 2) {
    EXPECT_EQ(Count(*other, &id, &stale), "n=" + std::to_string(i));
    EXPECT_EQ(Count(*pool, &id, &stale), "n=" + std::to_string(i + 1));
  }
  EXPECT_EQ(stale, 3);
  const auto transcript = flaky->Transcript(id, 1, 100);
  ASSERT_TRUE(transcript);
  ASSERT_EQ(transcript->size(), 21u);
  for (std::size_t i = 0; i < transcript->size(); ++i)
    EXPECT_EQ((*transcript)[i].record.reply, "n=" + std::to_string(i + 1));
}

TEST_F(StoredSessionPoolTest, ARefusedCommitLeavesNothingOfItsTurn) {
  FlakyStore* flaky = nullptr;
  auto pool = MakePool(100, &flaky);
  std::string id;
  EXPECT_EQ(Count(*pool, &id), "n=1");
  flaky->refuse_commits = true;
  for (int i = 0; i < 3; ++i) EXPECT_THROW(Count(*pool, &id), UnavailableError);
  flaky->refuse_commits = false;
  EXPECT_EQ(Count(*pool, &id), "n=2");
  const auto transcript = flaky->Transcript(id, 1, 10);
  ASSERT_TRUE(transcript);
  EXPECT_EQ(transcript->size(), 2u);
}

TEST_F(StoredSessionPoolTest, AnotherHoldersLeaseIsWaitedFor) {
  auto pool = MakePool();
  std::string id;
  Count(*pool, &id);
  std::unique_ptr<ConversationStore> side = OpenStore(url_);
  const LeaseResult held = side->TryAcquire(id, std::chrono::milliseconds(100));
  ASSERT_EQ(held.status, LeaseStatus::kAcquired);
  // The lease runs out (a host that died in a turn); then the turn runs.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Count(*pool, &id), "n=2");
  EXPECT_GE(std::chrono::steady_clock::now() - started,
            std::chrono::milliseconds(50));
}

TEST_F(StoredSessionPoolTest, ThreadsKeepEveryCountExact) {
  auto pool = MakePool(/*max_sessions=*/4);
  constexpr int kThreads = 6;
  constexpr int kTurns = 20;
  std::vector<std::string> ids(kThreads);
  std::atomic<int> wrong{0};
  std::string shared;
  Count(*pool, &shared);
  std::atomic<int> shared_turns{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 1; i <= kTurns; ++i) {
        if (Count(*pool, &ids[t]) != "n=" + std::to_string(i)) ++wrong;
        // Every thread also talks in one conversation they share.
        std::string s = shared;
        try {
          Count(*pool, &s);
          ++shared_turns;
        } catch (const UnavailableError&) {
          // Too many of its requests at once: refused, nothing kept.
        }
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(Count(*pool, &shared),
            "n=" + std::to_string(shared_turns.load() + 2));
  EXPECT_LE(pool->live_count(), 4u + kThreads);
}

// What a commit that did not hold its thread came to, as the pool tells it.
struct KeptOutcome {
  std::atomic<int> calls{0};
  std::exception_ptr error;
  TurnKept callback() {
    return [this](std::exception_ptr e) {
      error = std::move(e);
      ++calls;
    };
  }
  std::string what() const {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const StaleTurnError&) {
      return "stale";
    } catch (const UnavailableError& e) {
      return std::string("unavailable: ") + e.what();
    } catch (...) {
      return "other";
    }
    return "kept";
  }
};

// A turn committed later holds its conversation until the lease is
// dropped, on whatever thread; the next turn goes on from memory.
TEST_F(StoredSessionPoolTest, ALaterCommitHoldsTheTurnUntilItsLeaseIsDropped) {
  FlakyStore* flaky = nullptr;
  auto pool = MakePool(100, &flaky);
  std::string id;
  EXPECT_EQ(Count(*pool, &id), "n=1");
  flaky->defer = true;
  const std::string root = root_.path() + "/";
  std::atomic<int> resumed{0};
  const auto resume = [&resumed] { ++resumed; };
  KeptOutcome kept;
  auto lease = std::make_unique<ModuleLease>(
      pool->Take(ModuleRequest{root, id, resume}));
  const std::string reply = lease->module().Converse("count");
  EXPECT_EQ(reply, "n=2");
  ASSERT_TRUE(lease->CommitLater(TurnDone{"count", reply, false, false}, true,
                                 kept.callback()));
  EXPECT_EQ(kept.calls.load(), 0);
  EXPECT_THROW(pool->Take(ModuleRequest{root, id, resume}), TurnPending);
  EXPECT_EQ(flaky->RunDeferred(), 1u);
  EXPECT_EQ(kept.calls.load(), 1);
  EXPECT_EQ(kept.what(), "kept");
  // Committed, but the turn is free only when the lease goes.
  EXPECT_EQ(resumed.load(), 0);
  std::thread([&lease] { lease.reset(); }).join();
  EXPECT_EQ(resumed.load(), 1);
  flaky->defer = false;
  EXPECT_EQ(Count(*pool, &id), "n=3");
  EXPECT_EQ(flaky->acquires.load(), 0);
  const auto transcript = flaky->Transcript(id, 1, 10);
  ASSERT_TRUE(transcript);
  ASSERT_EQ(transcript->size(), 3u);
  EXPECT_EQ((*transcript)[1].record.reply, "n=2");
}

// A later commit that finds another host's turn in the store keeps
// nothing and says so; the request taken again continues from the store.
// One that the store refuses forgets the turn.
TEST_F(StoredSessionPoolTest, ALaterCommitGoesStaleOrFailsKeepingNothing) {
  FlakyStore* flaky = nullptr;
  auto pool = MakePool(100, &flaky);
  const std::string root = root_.path() + "/";
  std::string id;
  EXPECT_EQ(Count(*pool, &id), "n=1");
  auto other = MakePool();
  EXPECT_EQ(Count(*other, &id), "n=2");
  flaky->defer = true;
  {
    KeptOutcome kept;
    ModuleLease lease = pool->Take(ModuleRequest{root, id, nullptr});
    const std::string reply = lease.module().Converse("count");
    EXPECT_EQ(reply, "n=2");  // On the state this host had.
    ASSERT_TRUE(lease.CommitLater(TurnDone{"count", reply, false, false}, true,
                                  kept.callback()));
    flaky->RunDeferred();
    EXPECT_EQ(kept.what(), "stale");
  }
  {
    KeptOutcome kept;
    ModuleLease lease = pool->Take(ModuleRequest{root, id, nullptr});
    EXPECT_EQ(flaky->acquires.load(), 1);
    const std::string reply = lease.module().Converse("count");
    EXPECT_EQ(reply, "n=3");
    flaky->refuse_commits = true;
    ASSERT_TRUE(lease.CommitLater(TurnDone{"count", reply, false, false}, true,
                                  kept.callback()));
    flaky->RunDeferred();
    EXPECT_EQ(kept.what(),
              "unavailable: The conversations cannot be reached "
              "(EStoreUnavailable: disk full)");
  }
  flaky->refuse_commits = false;
  flaky->defer = false;
  EXPECT_EQ(Count(*pool, &id), "n=3");
  const auto transcript = flaky->Transcript(id, 1, 10);
  ASSERT_TRUE(transcript);
  EXPECT_EQ(transcript->size(), 3u);
}

// A request of a busy conversation that may wait without its thread parks
// (TurnPending), at most max_waiting of them; when the turn is free every
// parked request is resumed once, and one that finds the turn taken again
// parks behind it.
TEST_F(StoredSessionPoolTest, ParkedRequestsAreResumedWhenTheTurnIsFree) {
  auto pool = MakePool();
  std::string id;
  EXPECT_EQ(Count(*pool, &id), "n=1");
  std::atomic<int> resumed{0};
  const auto resume = [&resumed] { ++resumed; };
  const std::string root = root_.path() + "/";
  {
    ModuleLease holder = pool->Take(ModuleRequest{root, id, resume});
    for (int i = 0; i < 4; ++i)
      EXPECT_THROW(pool->Take(ModuleRequest{root, id, resume}), TurnPending);
    // One in its turn and four waiting: the next is refused.
    EXPECT_THROW(pool->Take(ModuleRequest{root, id, resume}), UnavailableError);
    // Other conversations go on.
    std::string other;
    EXPECT_EQ(Count(*pool, &other, nullptr, resume), "n=1");
    EXPECT_EQ(resumed.load(), 0);
    const std::string reply = holder.module().Converse("count");
    EXPECT_EQ(reply, "n=2");
    holder.Commit(TurnDone{"count", reply, false, false}, true);
  }
  EXPECT_EQ(resumed.load(), 4);
  {
    ModuleLease next = pool->Take(ModuleRequest{root, id, resume});
    EXPECT_THROW(pool->Take(ModuleRequest{root, id, resume}), TurnPending);
  }
  EXPECT_EQ(resumed.load(), 5);
  EXPECT_EQ(Count(*pool, &id, nullptr, resume), "n=3");
}

// Many requests of one conversation at once, each resumed by a small
// server of two threads: every request ends (a turn or a refusal), and
// the count is exact.
TEST_F(StoredSessionPoolTest, ParkedRequestsOfOneConversationAllEnd) {
  auto pool = MakePool();
  std::string id;
  EXPECT_EQ(Count(*pool, &id), "n=1");
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::function<void()>> queue;
  bool stop = false;
  const auto post = [&](std::function<void()> f) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(f));
    ready.notify_one();
  };
  constexpr int kRequests = 60;
  std::atomic<int> ended{0}, turns{0}, refused{0};
  std::function<void()> attempt = [&] {
    std::string mine = id;
    try {
      Count(*pool, &mine, nullptr, [&] { post(attempt); });
      ++turns;
      ++ended;
    } catch (const TurnPending&) {
      // Parked: the pool posts it again.
    } catch (const UnavailableError&) {
      ++refused;
      ++ended;
    }
  };
  std::vector<std::thread> servers;
  for (int t = 0; t < 2; ++t)
    servers.emplace_back([&] {
      for (;;) {
        std::function<void()> f;
        {
          std::unique_lock<std::mutex> lock(mutex);
          ready.wait(lock, [&] { return stop || !queue.empty(); });
          if (stop && queue.empty()) return;
          f = std::move(queue.front());
          queue.pop_front();
        }
        f();
      }
    });
  for (int i = 0; i < kRequests; ++i) post(attempt);
  for (int i = 0; i < 3000 && ended.load() < kRequests; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
    ready.notify_all();
  }
  for (std::thread& t : servers) t.join();
  EXPECT_EQ(ended.load(), kRequests);
  EXPECT_GT(turns.load(), 0);
  EXPECT_EQ(Count(*pool, &id), "n=" + std::to_string(turns.load() + 2));
}

}  // namespace
}  // namespace corvane
