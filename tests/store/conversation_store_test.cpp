// The behaviour every conversation store must have, run against SQLite and
// Redis alike.
#include "store/conversation_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/store/store_backends.h"

namespace corvane {
namespace {

using std::chrono::milliseconds;

constexpr int64_t kDay = 24 * 3600 * 1000;

TurnCommit Turn(const std::string& input, const std::string& reply,
                std::optional<std::string> snapshot, StoreTime time = 0) {
  TurnCommit c;
  c.snapshot = std::move(snapshot);
  c.record.time = time;
  c.record.input = input;
  c.record.reply = reply;
  c.record.knowledge_version = "kv1";
  return c;
}

// The snapshot a test commits for turn `turn` of conversation `id`, so
// that any load can be checked against the turn number it claims.
std::string Snap(const std::string& id, uint64_t turn) {
  return id + "#" + std::to_string(turn) + std::string(100, '\0');
}

// Conversation `id` has `turns` turns, the snapshot committed with the
// last, and `last_reply` as the last reply.
void ExpectTurns(ConversationStore& store, const std::string& id,
                 uint64_t turns, const std::string& last_reply) {
  const auto c = store.Load(id);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->info.turns, turns);
  EXPECT_EQ(c->snapshot, Snap(id, turns));
  const auto t = store.Transcript(id, 1, 100);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->size(), turns);
  EXPECT_EQ(t->back().record.reply, last_reply);
}

class ConversationStoreTest : public StoreBackendTest {};
CORVANE_ON_BOTH_STORES(ConversationStoreTest);

TEST_P(ConversationStoreTest, CommittedTurnsReadBackByteForByte) {
  auto store = Open();
  NewConversation n;
  n.knowledge_version = "v7";
  n.snapshot = "start";
  n.time = StoreNow() - 60'000;
  Lease lease = store->Create(n);
  EXPECT_TRUE(IsConversationId(lease.conversation_id));
  EXPECT_EQ(lease.turn, 0u);
  EXPECT_EQ(lease.fence, 1u);
  const std::string id = lease.conversation_id;

  const std::string binary("a\0b\r\n\xff\xfe end", 12);
  const std::string long_reply(100'000, 'r');
  const std::string snapshot1(std::string("\0\x01snap", 6) +
                              std::string(4096, 's'));
  TurnCommit t1 =
      Turn(binary, "Hello.  How are you?", snapshot1, n.time + 1000);
  t1.record.fallback = true;
  store->Commit(lease, t1, AfterCommit::kKeepLease);
  EXPECT_EQ(lease.turn, 1u);
  // A turn that changed nothing keeps the last snapshot.
  TurnCommit t2 = Turn("", long_reply, std::nullopt, n.time + 2000);
  t2.record.failed = true;
  t2.record.knowledge_version = "v8";
  store->Commit(lease, t2, AfterCommit::kKeepLease);
  store->Commit(lease, Turn("three", "3", std::nullopt, n.time + 3000),
                AfterCommit::kReleaseLease);
  EXPECT_EQ(lease.turn, 3u);

  const std::optional<StoredConversation> c = store->Load(id);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->snapshot, snapshot1);
  EXPECT_EQ(c->info.id, id);
  EXPECT_EQ(c->info.knowledge_version, "v7");
  EXPECT_EQ(c->info.turns, 3u);
  EXPECT_EQ(c->info.created, n.time);
  EXPECT_EQ(c->info.updated, n.time + 3000);

  const auto all = store->Transcript(id, 1, 100);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ((*all)[0].turn, 1u);
  EXPECT_EQ((*all)[0].record.input, binary);
  EXPECT_EQ((*all)[0].record.reply, "Hello.  How are you?");
  EXPECT_EQ((*all)[0].record.time, n.time + 1000);
  EXPECT_TRUE((*all)[0].record.fallback);
  EXPECT_FALSE((*all)[0].record.failed);
  EXPECT_EQ((*all)[0].record.knowledge_version, "kv1");
  EXPECT_EQ((*all)[1].record.input, "");
  EXPECT_EQ((*all)[1].record.reply, long_reply);
  EXPECT_TRUE((*all)[1].record.failed);
  EXPECT_FALSE((*all)[1].record.fallback);
  EXPECT_EQ((*all)[1].record.knowledge_version, "v8");
  EXPECT_EQ((*all)[2].turn, 3u);

  // Pages of the transcript.
  const auto middle = store->Transcript(id, 2, 1);
  ASSERT_TRUE(middle);
  ASSERT_EQ(middle->size(), 1u);
  EXPECT_EQ((*middle)[0].turn, 2u);
  EXPECT_EQ(store->Transcript(id, 3, 5)->size(), 1u);
  EXPECT_TRUE(store->Transcript(id, 4, 5)->empty());
  EXPECT_TRUE(store->Transcript(id, 1, 0)->empty());

  // Another client sees the same.
  auto other = Open();
  EXPECT_EQ(other->Load(id)->snapshot, snapshot1);
}

TEST_P(ConversationStoreTest, UnknownAndMalformedIdsAreNeverCreated) {
  auto store = Open();
  const std::string unknown = NewConversationId();
  const std::vector<std::string> ids = {
      unknown,
      "",
      "../../etc/passwd",
      std::string(32, 'A'),        // upper case
      std::string(31, 'a'),        // one digit short
      std::string(33, 'a'),        // one digit long
      std::string(31, 'a') + "*",  // a Redis pattern
      std::string(31, 'a') + "\n",
      std::string("aaaaaaaaaaaaaaa\0aaaaaaaaaaaaaaaa", 32)};
  for (const std::string& id : ids) {
    EXPECT_FALSE(store->Load(id)) << id;
    EXPECT_EQ(store->TryAcquire(id, milliseconds(1000)).status,
              LeaseStatus::kUnknown)
        << id;
    EXPECT_FALSE(store->Transcript(id, 1, 10)) << id;
    // A made-up lease commits nothing and releases nothing.
    Lease forged;
    forged.conversation_id = id;
    forged.fence = 1;
    forged.holder = "0123456789abcdef";
    EXPECT_THROW(
        store->Commit(forged, Turn("x", "y", "z"), AfterCommit::kReleaseLease),
        LeaseLostError)
        << id;
    EXPECT_NO_THROW(store->Release(forged));
  }
  // Asking did not make it.
  EXPECT_FALSE(store->Load(unknown));
  EXPECT_TRUE(store->List("", 10).conversations.empty());
}

TEST_P(ConversationStoreTest, LeaseIsExclusiveAndFencesStaleHolders) {
  auto host_a = Open();
  auto host_b = Open();
  NewConversation n;
  n.lease_time = milliseconds(10'000);
  Lease a = host_a->Create(n);
  const std::string id = a.conversation_id;
  host_a->Commit(a, Turn("1", "one", Snap(id, 1)), AfterCommit::kKeepLease);

  // Held: the other host waits, and is told for how long at most.
  LeaseResult busy = host_b->TryAcquire(id, milliseconds(10'000));
  EXPECT_EQ(busy.status, LeaseStatus::kBusy);
  EXPECT_GE(busy.retry_after.count(), 1);
  EXPECT_LE(busy.retry_after.count(), 10'000);

  // Released: the other host takes it, with a higher fence and the turn.
  host_a->Release(a);
  LeaseResult b = host_b->TryAcquire(id, milliseconds(10'000));
  ASSERT_EQ(b.status, LeaseStatus::kAcquired);
  EXPECT_GT(b.lease.fence, a.fence);
  EXPECT_EQ(b.lease.turn, 1u);
  // The first host's old lease commits nothing any more.
  EXPECT_THROW(host_a->Commit(a, Turn("2", "late", Snap(id, 2)),
                              AfterCommit::kKeepLease),
               LeaseLostError);
  EXPECT_EQ(a.turn, 1u);
  // Nor does releasing it free the new holder's lease.
  host_a->Release(a);
  EXPECT_EQ(host_a->TryAcquire(id, milliseconds(1000)).status,
            LeaseStatus::kBusy);
  host_b->Commit(b.lease, Turn("2", "two", Snap(id, 2)),
                 AfterCommit::kReleaseLease);

  // A holder that overslept: its lease expired, another host took over
  // and committed; the sleeper's commit is refused.
  // The lease is long enough that a loaded machine still asks again
  // within it.
  LeaseResult sleeper = host_a->TryAcquire(id, milliseconds(1500));
  ASSERT_EQ(sleeper.status, LeaseStatus::kAcquired);
  EXPECT_EQ(host_b->TryAcquire(id, milliseconds(10'000)).status,
            LeaseStatus::kBusy);
  std::this_thread::sleep_for(milliseconds(1600));
  LeaseResult taker = host_b->TryAcquire(id, milliseconds(10'000));
  ASSERT_EQ(taker.status, LeaseStatus::kAcquired);
  EXPECT_GT(taker.lease.fence, sleeper.lease.fence);
  host_b->Commit(taker.lease, Turn("3", "three", Snap(id, 3)),
                 AfterCommit::kReleaseLease);
  EXPECT_THROW(host_a->Commit(sleeper.lease, Turn("3", "stale", Snap(id, 3)),
                              AfterCommit::kReleaseLease),
               LeaseLostError);

  // Expired with nobody else around: still refused.
  LeaseResult lapsed = host_a->TryAcquire(id, milliseconds(50));
  ASSERT_EQ(lapsed.status, LeaseStatus::kAcquired);
  std::this_thread::sleep_for(milliseconds(120));
  EXPECT_THROW(host_a->Commit(lapsed.lease, Turn("4", "lapsed", Snap(id, 4)),
                              AfterCommit::kReleaseLease),
               LeaseLostError);

  ExpectTurns(*host_b, id, 3, "three");
}

// A holder that released its lease with its last commit commits the next
// turn without taking the lease again, as long as nobody took it since;
// a lease taken meanwhile (even one that committed nothing), a lease that
// runs, or a turn it did not see make it refuse, changing nothing.
TEST_P(ConversationStoreTest, CommitIfUntouchedOnlyWhenNobodyTookTheLease) {
  auto host_a = Open();
  auto host_b = Open();
  NewConversation n;
  n.lease_time = milliseconds(10'000);
  Lease a = host_a->Create(n);
  const std::string id = a.conversation_id;
  host_a->Commit(a, Turn("1", "one", Snap(id, 1)), AfterCommit::kReleaseLease);
  const uint64_t first_fence = a.fence;

  // Turn after turn on the released lease: the fence stays, no lease is
  // left behind.
  ASSERT_TRUE(host_a->CommitIfUntouched(a, Turn("2", "two", Snap(id, 2)),
                                        AfterCommit::kReleaseLease,
                                        milliseconds(10'000)));
  ASSERT_TRUE(host_a->CommitIfUntouched(a, Turn("3", "three", std::nullopt),
                                        AfterCommit::kReleaseLease,
                                        milliseconds(10'000)));
  EXPECT_EQ(a.turn, 3u);
  EXPECT_EQ(a.fence, first_fence);
  {
    const auto c = host_b->Load(id);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->info.turns, 3u);
    // A commit without a snapshot keeps the one before.
    EXPECT_EQ(c->snapshot, Snap(id, 2));
  }

  // Another host takes the lease and lets it go without a commit: the
  // first host's state is not known to be current any more.
  LeaseResult b = host_b->TryAcquire(id, milliseconds(10'000), 3);
  ASSERT_EQ(b.status, LeaseStatus::kAcquired);
  EXPECT_GT(b.lease.fence, first_fence);
  host_b->Release(b.lease);
  Lease late = a;
  EXPECT_FALSE(host_a->CommitIfUntouched(late, Turn("4", "late", Snap(id, 4)),
                                         AfterCommit::kReleaseLease,
                                         milliseconds(10'000)));
  EXPECT_EQ(late.turn, 3u);
  EXPECT_EQ(late.fence, first_fence);

  // The other host's released lease works the same way for it; kept, it
  // is a running lease that nobody else may take, and that fences the
  // first host out as well.
  ASSERT_TRUE(host_b->CommitIfUntouched(b.lease, Turn("4", "four", Snap(id, 4)),
                                        AfterCommit::kKeepLease,
                                        milliseconds(10'000)));
  EXPECT_GT(b.lease.fence, late.fence);
  EXPECT_EQ(b.lease.turn, 4u);
  EXPECT_EQ(host_a->TryAcquire(id, milliseconds(1000)).status,
            LeaseStatus::kBusy);
  EXPECT_FALSE(host_a->CommitIfUntouched(late, Turn("5", "late", Snap(id, 5)),
                                         AfterCommit::kKeepLease,
                                         milliseconds(10'000)));
  // The kept lease commits as any lease does, and releases.
  host_b->Commit(b.lease, Turn("5", "five", Snap(id, 5)),
                 AfterCommit::kReleaseLease);
  ExpectTurns(*host_a, id, 5, "five");
  EXPECT_EQ(host_a->TryAcquire(id, milliseconds(1000)).status,
            LeaseStatus::kAcquired);

  // A turn number that is not the store's is refused too. (The same
  // lease at the turn it already committed is that commit sent again,
  // which Redis recognises and SQLite refuses.)
  Lease c = host_a->Create(n);
  host_a->Commit(c, Turn("1", "one", Snap(c.conversation_id, 1)),
                 AfterCommit::kReleaseLease);
  Lease ahead = c;
  ahead.turn = 2;
  EXPECT_FALSE(host_a->CommitIfUntouched(
      ahead, Turn("3", "ahead", Snap(c.conversation_id, 3)),
      AfterCommit::kReleaseLease, milliseconds(10'000)));
  ExpectTurns(*host_a, c.conversation_id, 1, "one");

  // A conversation that is gone.
  Lease gone = c;
  gone.conversation_id = std::string(32, 'a');
  EXPECT_THROW(
      host_a->CommitIfUntouched(gone, Turn("x", "y", std::nullopt),
                                AfterCommit::kReleaseLease, milliseconds(1000)),
      LeaseLostError);
}

TEST_P(ConversationStoreTest, LeaseComesWithTheStateUnlessCached) {
  auto store = Open();
  NewConversation n;
  n.knowledge_version = "v1";
  n.time = StoreNow() - 5000;
  Lease l = store->Create(n);
  const std::string id = l.conversation_id;
  store->Commit(l, Turn("1", "one", Snap(id, 1), n.time + 10),
                AfterCommit::kReleaseLease);

  LeaseResult fresh = store->TryAcquire(id, milliseconds(5000));
  ASSERT_EQ(fresh.status, LeaseStatus::kAcquired);
  ASSERT_TRUE(fresh.conversation);
  EXPECT_EQ(fresh.conversation->snapshot, Snap(id, 1));
  EXPECT_EQ(fresh.conversation->info.id, id);
  EXPECT_EQ(fresh.conversation->info.turns, 1u);
  EXPECT_EQ(fresh.conversation->info.knowledge_version, "v1");
  EXPECT_EQ(fresh.conversation->info.created, n.time);
  EXPECT_EQ(fresh.conversation->info.updated, n.time + 10);
  // Busy: no state either.
  LeaseResult busy = store->TryAcquire(id, milliseconds(5000), 0);
  EXPECT_EQ(busy.status, LeaseStatus::kBusy);
  EXPECT_FALSE(busy.conversation);
  store->Release(fresh.lease);

  // The host that ran turn 1 has it already.
  LeaseResult cached = store->TryAcquire(id, milliseconds(5000), 1);
  ASSERT_EQ(cached.status, LeaseStatus::kAcquired);
  EXPECT_FALSE(cached.conversation);
  EXPECT_EQ(cached.lease.turn, 1u);
  store->Release(cached.lease);
  // A host whose copy is a turn behind gets the stored one.
  LeaseResult stale = store->TryAcquire(id, milliseconds(5000), 0);
  ASSERT_EQ(stale.status, LeaseStatus::kAcquired);
  ASSERT_TRUE(stale.conversation);
  EXPECT_EQ(stale.conversation->snapshot, Snap(id, 1));
}

TEST_P(ConversationStoreTest, LeaseTimesAreBounded) {
  auto store = Open();
  NewConversation n;
  n.lease_time = milliseconds(0);  // raised to the least lease time
  Lease l = store->Create(n);
  std::this_thread::sleep_for(kMinLeaseTime + milliseconds(30));
  // ... so it has run out already.
  LeaseResult r =
      store->TryAcquire(l.conversation_id, milliseconds(1) * 1000000);
  ASSERT_EQ(r.status, LeaseStatus::kAcquired);
  // An hour asked for is the longest lease time at most.
  LeaseResult busy = store->TryAcquire(l.conversation_id, milliseconds(1000));
  ASSERT_EQ(busy.status, LeaseStatus::kBusy);
  EXPECT_LE(busy.retry_after, kMaxLeaseTime);
  EXPECT_GT(busy.retry_after, kMaxLeaseTime - milliseconds(5000));
}

TEST_P(ConversationStoreTest, ListPagesThroughEveryConversationOnce) {
  auto store = Open();
  std::set<std::string> made;
  for (int i = 0; i < 7; ++i) {
    NewConversation n;
    n.knowledge_version = "v" + std::to_string(i);
    Lease l = store->Create(n);
    for (int t = 0; t < i; ++t)
      store->Commit(l, Turn("in", "out", std::nullopt),
                    AfterCommit::kKeepLease);
    store->Release(l);
    made.insert(l.conversation_id);
  }
  std::vector<std::string> seen;
  std::string cursor;
  int pages = 0;
  do {
    const ConversationPage page = store->List(cursor, 3);
    for (const ConversationInfo& info : page.conversations) {
      seen.push_back(info.id);
      // Its metadata: knowledge version i, i turns.
      EXPECT_EQ(info.knowledge_version, "v" + std::to_string(info.turns));
    }
    cursor = page.next;
    ++pages;
  } while (!cursor.empty() && pages < 10);
  EXPECT_EQ(pages, 3);
  EXPECT_EQ(seen, std::vector<std::string>(made.begin(), made.end()));
  EXPECT_TRUE(store->List("", 0).conversations.empty());
  EXPECT_TRUE(store->List(*made.rbegin(), 3).conversations.empty());
}

TEST_P(ConversationStoreTest, RetentionDropsOnlyConversationsPastIt) {
  StoreOptions options;
  options.retain_days = 30;
  auto store = Open(options);
  const StoreTime now = StoreNow();
  NewConversation old_one;
  old_one.time = now - 31 * kDay;
  const std::string old_id = store->Create(old_one).conversation_id;
  NewConversation young;
  young.time = now - 29 * kDay;
  Lease y = store->Create(young);
  // A turn now makes the young one fresh again.
  store->Commit(y, Turn("hi", "hello", "s", now), AfterCommit::kReleaseLease);
  NewConversation idle;
  idle.time = now - 29 * kDay;
  const std::string idle_id = store->Create(idle).conversation_id;

  store->Expire();
  EXPECT_FALSE(store->Load(old_id));
  EXPECT_EQ(store->TryAcquire(old_id, milliseconds(100)).status,
            LeaseStatus::kUnknown);
  EXPECT_FALSE(store->Transcript(old_id, 1, 10));
  ASSERT_TRUE(store->Load(y.conversation_id));
  EXPECT_EQ(store->Load(y.conversation_id)->info.updated, now);
  EXPECT_TRUE(store->Load(idle_id));
  std::set<std::string> listed;
  for (const ConversationInfo& info : store->List("", 10).conversations)
    listed.insert(info.id);
  EXPECT_EQ(listed, (std::set<std::string>{y.conversation_id, idle_id}));
  EXPECT_EQ(store->Expire(), 0u);

  // Retention 0 keeps everything.
  StoreOptions keep;
  keep.retain_days = 0;
  auto keeper = Open(keep);
  NewConversation ancient;
  ancient.time = now - 4000 * kDay;
  const std::string ancient_id = keeper->Create(ancient).conversation_id;
  EXPECT_EQ(keeper->Expire(), 0u);
  EXPECT_TRUE(keeper->Load(ancient_id));
}

TEST_P(ConversationStoreTest, LimitsAreCheckedBeforeAnythingIsWritten) {
  auto store = Open();
  Lease l = store->Create({});
  TurnCommit big = Turn("x", "y", std::string(kMaxSnapshotBytes + 1, 's'));
  EXPECT_THROW(store->Commit(l, big, AfterCommit::kKeepLease), LimitError);
  TurnCommit long_input =
      Turn(std::string(kMaxRecordTextBytes + 1, 'i'), "y", std::nullopt);
  EXPECT_THROW(store->Commit(l, long_input, AfterCommit::kKeepLease),
               LimitError);
  NewConversation n;
  n.snapshot = std::string(kMaxSnapshotBytes + 1, 's');
  EXPECT_THROW(store->Create(n), LimitError);
  EXPECT_EQ(store->Load(l.conversation_id)->info.turns, 0u);
  store->Commit(l, Turn("x", "y", "ok"), AfterCommit::kReleaseLease);
  EXPECT_EQ(store->Load(l.conversation_id)->info.turns, 1u);
}

TEST_P(ConversationStoreTest, HealthReportsARoundTrip) {
  auto store = Open();
  const StoreHealth h = store->Health();
  EXPECT_TRUE(h.ok) << h.problem;
  EXPECT_TRUE(h.problem.empty());
  EXPECT_GT(h.latency.count(), 0);
  EXPECT_LT(h.latency.count(), 1'000'000);
}

// Several threads of one host and a second host commit to the same
// conversations; every turn is there exactly once, in order, and every
// holder loaded the snapshot of the turn it continued.
TEST_P(ConversationStoreTest, ConcurrentCommitsKeepEveryTurnOnce) {
  auto host_a = Open();
  auto host_b = Open();
  constexpr int kConversations = 3;
  constexpr int kThreads = 6;
  constexpr int kTurnsPerThread = 25;
  std::vector<std::string> ids;
  for (int i = 0; i < kConversations; ++i) {
    Lease l = host_a->Create({});
    host_a->Release(l);
    ids.push_back(l.conversation_id);
  }
  std::atomic<int> mismatches{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ConversationStore& store = t % 2 == 0 ? *host_a : *host_b;
      try {
        for (int n = 0; n < kTurnsPerThread; ++n) {
          const std::string& id = ids[(t + n) % kConversations];
          LeaseResult r;
          for (;;) {
            r = store.TryAcquire(id, milliseconds(5000));
            if (r.status != LeaseStatus::kBusy) break;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
          if (r.status != LeaseStatus::kAcquired) {
            ++failures;
            return;
          }
          // Half the turns read the state with the lease, half after it.
          const auto c = n % 2 == 0 ? r.conversation : store.Load(id);
          const std::string expected =
              r.lease.turn == 0 ? std::string() : Snap(id, r.lease.turn);
          if (!c || c->snapshot != expected || c->info.turns != r.lease.turn)
            ++mismatches;
          store.Commit(r.lease,
                       Turn(std::to_string(t), std::to_string(n),
                            Snap(id, r.lease.turn + 1)),
                       AfterCommit::kReleaseLease);
        }
      } catch (const std::exception& e) {
        ADD_FAILURE() << "thread " << t << ": " << e.what();
        ++failures;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  std::map<std::string, int> per_thread;  // "thread:n" seen
  uint64_t total = 0;
  for (const std::string& id : ids) {
    const auto c = host_b->Load(id);
    ASSERT_TRUE(c);
    const auto t = host_a->Transcript(id, 1, 1000);
    ASSERT_TRUE(t);
    ASSERT_EQ(t->size(), c->info.turns);
    for (std::size_t i = 0; i < t->size(); ++i) {
      EXPECT_EQ((*t)[i].turn, i + 1);
      ++per_thread[(*t)[i].record.input + ":" + (*t)[i].record.reply];
    }
    EXPECT_EQ(c->snapshot, Snap(id, c->info.turns));
    total += c->info.turns;
  }
  EXPECT_EQ(total, uint64_t{kThreads * kTurnsPerThread});
  EXPECT_EQ(per_thread.size(), std::size_t{kThreads * kTurnsPerThread});
}

// Commits of many threads at once on one client (which may share one
// transaction among them): a holder whose lease was taken over is refused
// without failing or losing the others, and the new holder's turn stays.
TEST_P(ConversationStoreTest, SimultaneousCommitsFailOnlyTheStaleHolder) {
  auto host = Open();
  auto other = Open();
  constexpr int kConversations = 8;
  constexpr int kRounds = 5;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<Lease> leases;
    for (int i = 0; i < kConversations; ++i) {
      NewConversation n;
      // Conversation 0's lease runs out at once; the other host takes it
      // over and commits a turn there.
      n.lease_time = milliseconds(i == 0 ? 10 : 10'000);
      leases.push_back(host->Create(n));
    }
    const std::string stale_id = leases[0].conversation_id;
    LeaseResult taken;
    for (int tries = 0; tries < 5000; ++tries) {
      taken = other->TryAcquire(stale_id, milliseconds(10'000));
      if (taken.status == LeaseStatus::kAcquired) break;
      std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_EQ(taken.status, LeaseStatus::kAcquired);
    other->Commit(taken.lease, Turn("new", "holder", Snap(stale_id, 1)),
                  AfterCommit::kReleaseLease);

    std::atomic<int> ready{0};
    std::vector<std::string> outcome(kConversations);
    std::vector<std::thread> threads;
    for (int i = 0; i < kConversations; ++i) {
      threads.emplace_back([&, i] {
        ++ready;
        while (ready.load() < kConversations) std::this_thread::yield();
        try {
          host->Commit(
              leases[i],
              Turn("in", std::to_string(i), Snap(leases[i].conversation_id, 1)),
              AfterCommit::kReleaseLease);
          outcome[i] = "ok";
        } catch (const LeaseLostError&) {
          outcome[i] = "lost";
        } catch (const std::exception& e) {
          outcome[i] = e.what();
        }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(outcome[0], "lost");
    ExpectTurns(*other, stale_id, 1, "holder");
    for (int i = 1; i < kConversations; ++i) {
      EXPECT_EQ(outcome[i], "ok") << i;
      ExpectTurns(*other, leases[i].conversation_id, 1, std::to_string(i));
      EXPECT_EQ(leases[i].turn, 1u);
    }
  }
}

// What the CommitLater calls of a test came to: each `done` counted, so
// that one called twice or never shows.
class LaterOutcomes {
 public:
  explicit LaterOutcomes(std::size_t jobs) : calls_(jobs, 0), outcomes_(jobs) {}

  CommitDone Done(std::size_t job) {
    return [this, job](const CommitOutcome& outcome) {
      std::lock_guard<std::mutex> lock(mu_);
      ++calls_[job];
      outcomes_[job] = outcome;
      ++finished_;
      all_.notify_all();
    };
  }
  // Waits until `count` dones were called (all of them by default).
  void Wait(std::size_t count = SIZE_MAX) {
    std::unique_lock<std::mutex> lock(mu_);
    if (count == SIZE_MAX) count = calls_.size();
    ASSERT_TRUE(all_.wait_for(lock, std::chrono::seconds(30),
                              [&] { return finished_ >= count; }))
        << finished_ << " of " << count << " commits ended";
  }
  int Calls(std::size_t job) {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_[job];
  }
  CommitOutcome Outcome(std::size_t job) {
    std::lock_guard<std::mutex> lock(mu_);
    return outcomes_[job];
  }
  // The error's kind ("LeaseLostError", ...) or "committed" / "stale".
  std::string What(std::size_t job) {
    const CommitOutcome o = Outcome(job);
    if (o.status == CommitStatus::kCommitted) return "committed";
    if (o.status == CommitStatus::kStale) return "stale";
    if (!o.error) return "failed without an error";
    try {
      std::rethrow_exception(o.error);
    } catch (const LeaseLostError&) {
      return "LeaseLostError";
    } catch (const LimitError&) {
      return "LimitError";
    } catch (const StoreUnavailableError&) {
      return "StoreUnavailableError";
    } catch (const std::exception& e) {
      return std::string("other: ") + e.what();
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable all_;
  std::vector<int> calls_;                // Guarded by mu_.
  std::vector<CommitOutcome> outcomes_;  // Guarded by mu_.
  std::size_t finished_ = 0;             // Guarded by mu_.
};

LaterCommit Later(TurnCommit commit, bool if_untouched, AfterCommit after) {
  LaterCommit c;
  c.commit = std::move(commit);
  c.if_untouched = if_untouched;
  c.after = after;
  c.lease_time = milliseconds(10'000);
  return c;
}

// Threads of one host commit turns of many conversations through
// CommitLater at once, in each of the ways a host commits: with the lease
// it holds, without taking it (released or kept). Every done is called
// once, every lease advances as the synchronous call advances it, and
// every transcript holds each turn once, in order.
TEST_P(ConversationStoreTest, CommitLaterFromManyThreadsCommitsEveryTurnOnce) {
  auto store = Open();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 8;
  constexpr int kRounds = 9;
  constexpr std::size_t kConversations = kThreads * kPerThread;
  std::vector<Lease> leases;
  for (std::size_t i = 0; i < kConversations; ++i)
    leases.push_back(store->Create({}));
  LaterOutcomes outcomes(kConversations * kRounds);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // The round's commits of this thread's conversations all at once.
        for (int k = 0; k < kPerThread; ++k) {
          const std::size_t c = static_cast<std::size_t>(t * kPerThread + k);
          Lease& lease = leases[c];
          const std::string& id = lease.conversation_id;
          // Round 0 commits with Create's lease; then the turns go
          // untouched and released, untouched and kept, and with the kept
          // lease, in turn.
          const bool held = round == 0 || round % 3 == 2;
          const AfterCommit after = round % 3 == 1 ? AfterCommit::kKeepLease
                                                   : AfterCommit::kReleaseLease;
          const uint64_t fence = lease.fence;
          const std::size_t job = c * kRounds + static_cast<std::size_t>(round);
          std::atomic<bool> ended{false};
          store->CommitLater(
              lease,
              Later(Turn(std::to_string(round), id, Snap(id, lease.turn + 1)),
                    !held, after),
              [&, job, done = outcomes.Done(job)](const CommitOutcome& o) {
                done(o);
                ended = true;
              });
          // This conversation's next turn waits for this one, as a
          // host's next request of it does.
          while (!ended) std::this_thread::yield();
          if (lease.turn != static_cast<uint64_t>(round) + 1) ++wrong;
          if (!held && after == AfterCommit::kKeepLease &&
              lease.fence != fence + 1)
            ++wrong;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  outcomes.Wait();
  EXPECT_EQ(wrong.load(), 0);
  for (std::size_t job = 0; job < kConversations * kRounds; ++job) {
    EXPECT_EQ(outcomes.Calls(job), 1) << job;
    EXPECT_EQ(outcomes.What(job), "committed") << job;
  }
  for (const Lease& lease : leases) {
    const std::string& id = lease.conversation_id;
    ExpectTurns(*store, id, kRounds, id);
    const auto t = store->Transcript(id, 1, 100);
    ASSERT_TRUE(t);
    for (std::size_t i = 0; i < t->size(); ++i) {
      EXPECT_EQ((*t)[i].turn, i + 1);
      EXPECT_EQ((*t)[i].record.input, std::to_string(i));
    }
    // Released at the end: another host takes the lease at once.
    EXPECT_EQ(store->TryAcquire(id, milliseconds(1000)).status,
              LeaseStatus::kAcquired);
  }
}

// Commits queued at once, most of them good, some refused for reasons of
// their own: each bad one comes to what the synchronous call would throw
// or return, changing nothing, and the good ones around it commit.
TEST_P(ConversationStoreTest, CommitLaterFailsOnlyTheBadCommitsOfABatch) {
  auto host = Open();
  auto other = Open();
  constexpr std::size_t kJobs = 12;
  std::vector<Lease> leases;
  for (std::size_t i = 0; i < kJobs; ++i) {
    NewConversation n;
    n.lease_time = milliseconds(10'000);
    leases.push_back(host->Create(n));
    host->Commit(leases[i],
                 Turn("1", "one", Snap(leases[i].conversation_id, 1)),
                 AfterCommit::kReleaseLease);
  }
  // 3: another host took the lease and let it go, so a commit without
  // the lease is stale. 5: the lease is held by the other host, so a
  // commit with the old lease has lost it. 7: a snapshot over the limit.
  // 9: a text of the record over its limit. 11: a conversation that is
  // gone.
  LeaseResult taken = other->TryAcquire(leases[3].conversation_id,
                                        milliseconds(10'000), 1);
  ASSERT_EQ(taken.status, LeaseStatus::kAcquired);
  other->Release(taken.lease);
  LeaseResult held = other->TryAcquire(leases[5].conversation_id,
                                       milliseconds(10'000), 1);
  ASSERT_EQ(held.status, LeaseStatus::kAcquired);
  leases[11].conversation_id = NewConversationId();
  const std::vector<Lease> before = leases;

  LaterOutcomes outcomes(kJobs);
  for (std::size_t i = 0; i < kJobs; ++i) {
    const std::string& id = leases[i].conversation_id;
    TurnCommit turn = Turn("2", std::to_string(i), Snap(id, 2));
    if (i == 7) turn.snapshot = std::string(kMaxSnapshotBytes + 1, 's');
    if (i == 9) turn.record.reply = std::string(kMaxRecordTextBytes + 1, 'r');
    // The first commit released every lease: all but 5 commit without it.
    const bool if_untouched = i != 5;
    host->CommitLater(leases[i],
                      Later(std::move(turn), if_untouched,
                            i % 2 == 0 ? AfterCommit::kKeepLease
                                       : AfterCommit::kReleaseLease),
                      outcomes.Done(i));
  }
  outcomes.Wait();
  for (std::size_t i = 0; i < kJobs; ++i) {
    EXPECT_EQ(outcomes.Calls(i), 1) << i;
    const std::string& id = leases[i].conversation_id;
    switch (i) {
      case 3:
        EXPECT_EQ(outcomes.What(i), "stale");
        break;
      case 5:
      case 11:
        EXPECT_EQ(outcomes.What(i), "LeaseLostError") << i;
        break;
      case 7:
      case 9:
        EXPECT_EQ(outcomes.What(i), "LimitError") << i;
        break;
      default:
        EXPECT_EQ(outcomes.What(i), "committed") << i;
        ExpectTurns(*other, id, 2, std::to_string(i));
        EXPECT_EQ(leases[i].turn, 2u);
        continue;
    }
    // Refused: the lease is as it was, the conversation at its first turn.
    EXPECT_EQ(leases[i].turn, before[i].turn) << i;
    EXPECT_EQ(leases[i].fence, before[i].fence) << i;
    EXPECT_EQ(leases[i].holder, before[i].holder) << i;
    if (i != 11) ExpectTurns(*other, id, 1, "one");
  }
  // A kept lease is held: nobody else takes it.
  EXPECT_EQ(other->TryAcquire(leases[0].conversation_id, milliseconds(1000))
                .status,
            LeaseStatus::kBusy);
  EXPECT_EQ(other->TryAcquire(leases[1].conversation_id, milliseconds(1000))
                .status,
            LeaseStatus::kAcquired);
}

// A `done` runs on a thread of the store and may call the store again,
// synchronously or not, while other commits wait in the queue.
TEST_P(ConversationStoreTest, ADoneMayCallTheStore) {
  auto store = Open();
  constexpr std::size_t kJobs = 24;
  std::vector<Lease> leases;
  for (std::size_t i = 0; i < kJobs; ++i) {
    leases.push_back(store->Create({}));
    store->Release(leases.back());
  }
  LaterOutcomes outcomes(2 * kJobs);
  std::vector<std::string> seen(kJobs);
  for (std::size_t i = 0; i < kJobs; ++i) {
    const std::string& id = leases[i].conversation_id;
    CommitDone first = outcomes.Done(i);
    store->CommitLater(
        leases[i],
        Later(Turn("1", "one", Snap(id, 1)), true, AfterCommit::kReleaseLease),
        [&, i, first = std::move(first)](const CommitOutcome& o) {
          first(o);
          Lease& lease = leases[i];
          // Take the lease and commit the next turn with it, later.
          LeaseResult r = store->TryAcquire(lease.conversation_id,
                                            milliseconds(5000), lease.turn);
          seen[i] = r.status == LeaseStatus::kAcquired ? "acquired" : "not";
          if (r.status != LeaseStatus::kAcquired) return;
          lease = r.lease;
          store->CommitLater(
              lease,
              Later(Turn("2", "two", Snap(lease.conversation_id, 2)), false,
                    AfterCommit::kReleaseLease),
              outcomes.Done(kJobs + i));
        });
  }
  outcomes.Wait();
  for (std::size_t i = 0; i < kJobs; ++i) {
    EXPECT_EQ(seen[i], "acquired") << i;
    EXPECT_EQ(outcomes.What(i), "committed") << i;
    EXPECT_EQ(outcomes.What(kJobs + i), "committed") << i;
    ExpectTurns(*store, leases[i].conversation_id, 2, "two");
  }
}

// SQLite runs the commits of a batch without savepoints: one that fails
// after its first write (here the turn's record collides with a row
// planted in the file, after the conversation's row was updated) fails
// the shared transaction, and each commit then runs alone. That one is
// refused whole, nothing of it kept; the others of the batch commit.
TEST(ConversationStoreSqliteTest, ACommitFailingMidWayKeepsNothingOfItself) {
  SqliteBackend backend;
  backend.SetUp();
  auto store = backend.Open({});
  constexpr std::size_t kJobs = 10;
  constexpr std::size_t kBad = 4;
  std::vector<Lease> leases;
  for (std::size_t i = 0; i < kJobs; ++i) {
    leases.push_back(store->Create({}));
    store->Commit(leases[i],
                  Turn("1", "one", Snap(leases[i].conversation_id, 1)),
                  AfterCommit::kReleaseLease);
  }
  const std::string bad_id = leases[kBad].conversation_id;
  {
    sqlite3* db = nullptr;
    const std::string path = backend.CommandLine().substr(7);
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string plant =
        "INSERT INTO turns VALUES(CAST('" + bad_id +
        "' AS BLOB), 2, 0, 'planted', 'planted', 0, 0, 'kv1')";
    EXPECT_EQ(sqlite3_exec(db, plant.c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  // The store reads the planted record as turn 2.
  ASSERT_EQ(store->Transcript(bad_id, 1, 10)->size(), 2u);
  LaterOutcomes outcomes(kJobs);
  for (std::size_t i = 0; i < kJobs; ++i) {
    const std::string& id = leases[i].conversation_id;
    store->CommitLater(leases[i],
                       Later(Turn("2", "two", Snap(id, 2)), true,
                             AfterCommit::kReleaseLease),
                       outcomes.Done(i));
  }
  outcomes.Wait();
  for (std::size_t i = 0; i < kJobs; ++i) {
    EXPECT_EQ(outcomes.Calls(i), 1) << i;
    if (i == kBad) {
      ASSERT_EQ(outcomes.Outcome(i).status, CommitStatus::kFailed);
      EXPECT_THROW(std::rethrow_exception(outcomes.Outcome(i).error),
                   StoreDataError);
      EXPECT_EQ(leases[i].turn, 1u);
      // The conversation's row was not advanced either.
      const auto c = store->Load(bad_id);
      ASSERT_TRUE(c);
      EXPECT_EQ(c->info.turns, 1u);
      EXPECT_EQ(c->snapshot, Snap(bad_id, 1));
    } else {
      EXPECT_EQ(outcomes.What(i), "committed") << i;
      ExpectTurns(*store, leases[i].conversation_id, 2, "two");
    }
  }
  backend.TearDown();
}

// A store that goes away with commits queued calls every `done` once
// before its destructor returns, and what each says is what the store
// holds. A `done` that commits again meanwhile is answered too.
TEST_P(ConversationStoreTest, ClosingTheStoreEndsEveryQueuedCommit) {
  auto store = Open();
  constexpr std::size_t kJobs = 40;
  std::vector<Lease> leases;
  for (std::size_t i = 0; i < kJobs + 1; ++i) {
    leases.push_back(store->Create({}));
    store->Release(leases.back());
  }
  LaterOutcomes outcomes(kJobs + 1);
  ConversationStore* raw = store.get();
  for (std::size_t i = 0; i < kJobs; ++i) {
    const std::string& id = leases[i].conversation_id;
    CommitDone done = outcomes.Done(i);
    if (i == 0) {
      // The first one's done queues one more commit.
      done = [&, raw, first = std::move(done)](const CommitOutcome& o) {
        Lease& last = leases[kJobs];
        raw->CommitLater(
            last,
            Later(Turn("1", "again", Snap(last.conversation_id, 1)), true,
                  AfterCommit::kReleaseLease),
            outcomes.Done(kJobs));
        first(o);
      };
    }
    store->CommitLater(leases[i],
                       Later(Turn("1", "one", Snap(id, 1)), true,
                             AfterCommit::kReleaseLease),
                       std::move(done));
  }
  store.reset();
  // Nothing is left to run: every done was called before the destructor
  // returned.
  for (std::size_t i = 0; i <= kJobs; ++i) EXPECT_EQ(outcomes.Calls(i), 1) << i;
  auto reopened = Open();
  for (std::size_t i = 0; i <= kJobs; ++i) {
    const std::string& id = leases[i].conversation_id;
    const std::string what = outcomes.What(i);
    if (what == "committed") {
      ExpectTurns(*reopened, id, 1, i == kJobs ? "again" : "one");
      EXPECT_EQ(leases[i].turn, 1u);
    } else {
      EXPECT_EQ(what, "StoreUnavailableError") << i;
      EXPECT_EQ(reopened->Load(id)->info.turns, 0u) << i;
    }
  }
}

// Commits queued while the store is down fail as unavailable, each once;
// commits queued while it goes down end either way, as the store shows
// afterwards; once it is back, the same leases commit again.
TEST_P(ConversationStoreTest, CommitLaterWhileTheStoreIsDownThenRecovery) {
  StoreOptions options;
  options.timeout = milliseconds(150);
  auto store = Open(options);
  constexpr std::size_t kJobs = 16;
  std::vector<Lease> leases;
  for (std::size_t i = 0; i < kJobs; ++i) {
    leases.push_back(store->Create({}));
    store->Release(leases.back());
  }
  auto commit_all = [&](LaterOutcomes& outcomes, uint64_t turn) {
    for (std::size_t i = 0; i < kJobs; ++i) {
      const std::string& id = leases[i].conversation_id;
      store->CommitLater(leases[i],
                         Later(Turn(std::to_string(turn), "r", Snap(id, turn)),
                               true, AfterCommit::kReleaseLease),
                         outcomes.Done(i));
    }
  };

  backend_->TakeDown();
  LaterOutcomes down(kJobs);
  commit_all(down, 1);
  down.Wait();
  for (std::size_t i = 0; i < kJobs; ++i) {
    EXPECT_EQ(down.Calls(i), 1);
    EXPECT_EQ(down.What(i), "StoreUnavailableError") << i;
    EXPECT_EQ(leases[i].turn, 0u);
  }
  backend_->BringUp();
  LaterOutcomes up(kJobs);
  commit_all(up, 1);
  up.Wait();
  for (std::size_t i = 0; i < kJobs; ++i) {
    EXPECT_EQ(up.What(i), "committed") << i;
    ExpectTurns(*store, leases[i].conversation_id, 1, "r");
  }

  // Down while the commits are on their way: some may have been kept
  // although their answer was lost, which the store shows.
  LaterOutcomes racing(kJobs);
  commit_all(racing, 2);
  backend_->TakeDown();
  racing.Wait();
  backend_->BringUp();
  for (std::size_t i = 0; i < kJobs; ++i) {
    EXPECT_EQ(racing.Calls(i), 1);
    const std::string what = racing.What(i);
    const auto c = store->Load(leases[i].conversation_id);
    ASSERT_TRUE(c);
    if (what == "committed") {
      EXPECT_EQ(c->info.turns, 2u) << i;
      EXPECT_EQ(leases[i].turn, 2u);
    } else {
      EXPECT_EQ(what, "StoreUnavailableError") << i;
      EXPECT_EQ(leases[i].turn, 1u);
      EXPECT_GE(c->info.turns, 1u);
    }
  }
  // Recovered: each conversation takes its next turn, from the lease when
  // it is current, or (a commit kept whose answer was lost) after taking
  // the lease with the stored state.
  LaterOutcomes after(kJobs);
  std::vector<uint64_t> expected;
  for (std::size_t i = 0; i < kJobs; ++i) {
    Lease& lease = leases[i];
    const std::string& id = lease.conversation_id;
    bool held = false;
    if (store->Load(id)->info.turns != lease.turn) {
      LeaseResult r = store->TryAcquire(id, milliseconds(5000));
      ASSERT_EQ(r.status, LeaseStatus::kAcquired);
      lease = r.lease;
      held = true;
    }
    expected.push_back(lease.turn + 1);
    store->CommitLater(lease,
                       Later(Turn("next", "next", Snap(id, lease.turn + 1)),
                             !held, AfterCommit::kReleaseLease),
                       after.Done(i));
  }
  after.Wait();
  for (std::size_t i = 0; i < kJobs; ++i) {
    EXPECT_EQ(after.What(i), "committed") << i;
    EXPECT_EQ(leases[i].turn, expected[i]);
    ExpectTurns(*store, leases[i].conversation_id, expected[i], "next");
  }
}

// Down: calls throw StoreUnavailableError and health says so, a commit
// under way is not kept; back up: the same lease commits, nothing was
// lost and nothing doubled.
TEST_P(ConversationStoreTest, StoreDownThenRecovery) {
  StoreOptions options;
  options.timeout = milliseconds(200);
  auto store = Open(options);
  NewConversation n;
  n.lease_time = milliseconds(30'000);
  Lease l = store->Create(n);
  const std::string id = l.conversation_id;
  store->Commit(l, Turn("1", "one", Snap(id, 1)), AfterCommit::kKeepLease);

  backend_->TakeDown();
  EXPECT_THROW(
      store->Commit(l, Turn("2", "two", Snap(id, 2)), AfterCommit::kKeepLease),
      StoreUnavailableError);
  EXPECT_EQ(l.turn, 1u);
  EXPECT_THROW(store->Create({}), StoreUnavailableError);
  const StoreHealth down = store->Health();
  EXPECT_FALSE(down.ok);
  EXPECT_NE(down.problem.find(store->url()), std::string::npos) << down.problem;

  backend_->BringUp();
  EXPECT_TRUE(store->Health().ok) << store->Health().problem;
  store->Commit(l, Turn("2", "two", Snap(id, 2)), AfterCommit::kReleaseLease);
  ExpectTurns(*store, id, 2, "two");
  // A second client that never saw the failure continues the conversation.
  auto other = Open(options);
  LeaseResult r = other->TryAcquire(id, milliseconds(1000));
  ASSERT_EQ(r.status, LeaseStatus::kAcquired);
  EXPECT_EQ(r.lease.turn, 2u);
}

}  // namespace
}  // namespace corvane
