// The conversation stores as a host uses them, with a 4 KB snapshot: one
// turn (take the lease, commit the snapshot and record, release in the
// commit), and the store's share of the first turn of a returning visitor
// on a host that never saw them (take the lease with the snapshot, and
// release it). SQLite in a temporary directory; Redis started by the
// benchmark on loopback, with append-only persistence written every second.
// Then commits of many conversations at once, through CommitLater and
// through the synchronous call.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/conversation_store.h"
#include "tests/store/redis_server.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

enum Kind { kSqlite, kRedis };

constexpr std::size_t kSnapshotBytes = 4096;

// One store of each kind for the whole run, made on first use.
ConversationStore* Store(Kind kind, benchmark::State& state) {
  static TempDir dir;
  static RedisServer server("everysec");
  static std::unique_ptr<ConversationStore> stores[2];
  static std::string problems[2];
  static std::once_flag once[2];
  std::call_once(once[kind], [&] {
    try {
      if (kind == kSqlite) {
        stores[kind] = OpenStore("sqlite:" + dir.File("bench.db"));
      } else if (!server.ok()) {
        problems[kind] = server.problem();
      } else {
        stores[kind] = OpenStore(server.url());
      }
    } catch (const std::exception& e) {
      problems[kind] = e.what();
    }
  });
  if (!stores[kind]) state.SkipWithError(problems[kind].c_str());
  return stores[kind].get();
}

TurnCommit Turn(uint64_t n) {
  TurnCommit t;
  t.snapshot = std::string(kSnapshotBytes, static_cast<char>('a' + n % 26));
  t.record.input = "what is the weather like today";
  t.record.reply = "It is sunny.  Anything else I can help you with?";
  t.record.knowledge_version = "bench";
  return t;
}

// Each thread runs its own conversation, as a host's workers would run
// different visitors.
void BM_StoreTurn(benchmark::State& state, Kind kind) {
  ConversationStore* store = Store(kind, state);
  if (store == nullptr) return;
  Lease lease = store->Create({});
  store->Release(lease);
  const std::string id = lease.conversation_id;
  uint64_t n = 0;
  for (auto _ : state) {
    // The host ran the last turn, so it has the state already.
    LeaseResult r = store->TryAcquire(id, std::chrono::milliseconds(10'000), n);
    if (r.status != LeaseStatus::kAcquired) {
      state.SkipWithError("lease not taken");
      break;
    }
    store->Commit(r.lease, Turn(++n), AfterCommit::kReleaseLease);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kSnapshotBytes));
}
BENCHMARK_CAPTURE(BM_StoreTurn, sqlite, kSqlite)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StoreTurn, redis, kRedis)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();

// The same turns as the host runs them now: the host that ran the last
// turn commits the next one without taking the lease (one transaction or
// round trip a turn).
void BM_StoreTurnUntouched(benchmark::State& state, Kind kind) {
  ConversationStore* store = Store(kind, state);
  if (store == nullptr) return;
  Lease lease = store->Create({});
  store->Release(lease);
  uint64_t n = 0;
  for (auto _ : state) {
    if (!store->CommitIfUntouched(lease, Turn(++n), AfterCommit::kReleaseLease,
                                  std::chrono::milliseconds(10'000))) {
      state.SkipWithError("the conversation was touched");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kSnapshotBytes));
}
BENCHMARK_CAPTURE(BM_StoreTurnUntouched, sqlite, kSqlite)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StoreTurnUntouched, redis, kRedis)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();

// Commits of many conversations in flight at once, as a host's event loops
// have them: each thread commits kInFlight conversations' turns, with
// CommitLater (all of them queued, then waited for: the store runs those
// ready at once in one step) or with the synchronous call (one at a time).
// Items are commits.
constexpr int kInFlight = 16;

class Waiter {
 public:
  void Add() {
    std::lock_guard<std::mutex> lock(mu_);
    ++count_;
  }
  void Done(bool ok) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!ok) failed_ = true;
    if (--count_ == 0) cv_.notify_one();
  }
  // False when a commit did not commit.
  bool Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return count_ == 0; });
    return !failed_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_ = 0;
  bool failed_ = false;
};

void BM_StoreCommitMany(benchmark::State& state, Kind kind, bool later) {
  ConversationStore* store = Store(kind, state);
  if (store == nullptr) return;
  std::vector<Lease> leases;
  for (int i = 0; i < kInFlight; ++i) {
    leases.push_back(store->Create({}));
    store->Release(leases.back());
  }
  Waiter waiter;
  uint64_t n = 0;
  for (auto _ : state) {
    ++n;
    for (Lease& lease : leases) {
      if (!later) {
        if (!store->CommitIfUntouched(lease, Turn(n),
                                      AfterCommit::kReleaseLease,
                                      std::chrono::milliseconds(10'000)))
          state.SkipWithError("the conversation was touched");
        continue;
      }
      LaterCommit c;
      c.commit = Turn(n);
      c.if_untouched = true;
      c.lease_time = std::chrono::milliseconds(10'000);
      waiter.Add();
      store->CommitLater(lease, std::move(c), [&](const CommitOutcome& o) {
        waiter.Done(o.status == CommitStatus::kCommitted);
      });
    }
    if (later && !waiter.Wait()) {
      state.SkipWithError("a commit failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          kInFlight);
}
BENCHMARK_CAPTURE(BM_StoreCommitMany, sqlite_sync, kSqlite, false)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StoreCommitMany, sqlite_later, kSqlite, true)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StoreCommitMany, redis_sync, kRedis, false)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StoreCommitMany, redis_later, kRedis, true)
    ->Threads(2)
    ->Threads(8)
    ->UseRealTime();

void BM_StoreResume(benchmark::State& state, Kind kind) {
  ConversationStore* store = Store(kind, state);
  if (store == nullptr) return;
  Lease lease = store->Create({});
  for (uint64_t n = 1; n <= 25; ++n)
    store->Commit(lease, Turn(n), AfterCommit::kKeepLease);
  store->Release(lease);
  for (auto _ : state) {
    LeaseResult r = store->TryAcquire(lease.conversation_id,
                                      std::chrono::milliseconds(10'000));
    benchmark::DoNotOptimize(r.conversation->snapshot.data());
    store->Release(r.lease);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK_CAPTURE(BM_StoreResume, sqlite, kSqlite)->UseRealTime();
BENCHMARK_CAPTURE(BM_StoreResume, redis, kRedis)->UseRealTime();

}  // namespace
}  // namespace corvane
