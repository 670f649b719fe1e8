// Crashes in the middle of commits: a process holding the SQLite file
// killed with SIGKILL, a Redis server killed and started again. After each,
// every acknowledged turn is there, at most the one turn whose answer was
// lost is there too, and no conversation shows a snapshot of one turn with
// the metadata or transcript of another.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "store/conversation_store.h"
#include "tests/store/redis_server.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

using std::chrono::milliseconds;

// Snapshots of sizes that vary from turn to turn up to `max`, so that a
// commit takes long enough to be killed in the middle, and whose content
// tells the turn they belong to.
std::string BigSnap(const std::string& id, uint64_t turn, std::size_t max) {
  std::string s = id + "#" + std::to_string(turn) + "#";
  s.resize(1000 + (turn * 7919) % max, static_cast<char>('a' + turn % 26));
  return s;
}

struct Acked {
  std::map<std::string, uint64_t> turn;  // Highest acknowledged turn.
};

// Checks every conversation as a fresh host would see it.
void CheckConsistent(ConversationStore& store,
                     const std::vector<std::string>& ids, const Acked& acked,
                     std::size_t max) {
  for (const std::string& id : ids) {
    const auto c = store.Load(id);
    ASSERT_TRUE(c) << id;
    const uint64_t done = acked.turn.count(id) ? acked.turn.at(id) : 0;
    EXPECT_GE(c->info.turns, done) << id;
    EXPECT_LE(c->info.turns, done + 1) << id;
    if (c->info.turns > 0) {
      EXPECT_EQ(c->snapshot, BigSnap(id, c->info.turns, max)) << id;
    }
    const auto t = store.Transcript(id, 1, 100000);
    ASSERT_TRUE(t);
    ASSERT_EQ(t->size(), c->info.turns) << id;
    for (std::size_t i = 0; i < t->size(); ++i) {
      ASSERT_EQ((*t)[i].turn, i + 1);
      ASSERT_EQ((*t)[i].record.input, "turn " + std::to_string(i + 1));
    }
  }
}

// One turn of `id`: takes the lease (waiting while another has it),
// checks the snapshot it continues and commits the next. Returns the turn
// committed; 0 when the snapshot did not match its turn.
uint64_t RunTurn(ConversationStore& store, const std::string& id,
                 std::size_t max) {
  LeaseResult r;
  for (;;) {
    r = store.TryAcquire(id, milliseconds(300));
    if (r.status != LeaseStatus::kBusy) break;
    std::this_thread::sleep_for(std::min(r.retry_after, milliseconds(50)));
  }
  if (r.status != LeaseStatus::kAcquired) return 0;
  const auto c = store.Load(id);
  if (!c || c->info.turns != r.lease.turn ||
      (r.lease.turn > 0 && c->snapshot != BigSnap(id, r.lease.turn, max)))
    return 0;
  const uint64_t next = r.lease.turn + 1;
  TurnCommit commit;
  commit.snapshot = BigSnap(id, next, max);
  commit.record.input = "turn " + std::to_string(next);
  commit.record.reply = "reply " + std::to_string(next);
  store.Commit(r.lease, commit, AfterCommit::kReleaseLease);
  return next;
}

// A child process commits turns to four conversations and reports each
// acknowledged one on a pipe; the parent kills it with SIGKILL at a random
// moment, checks the file, and does so again.
TEST(StoreCrashTest, SqliteSurvivesKillNineMidCommit) {
  TempDir dir;
  const std::string url = "sqlite:" + dir.File("conversations.db");
  constexpr std::size_t kMax = 256 * 1024;
  std::vector<std::string> ids;
  {
    auto store = OpenStore(url);
    for (int i = 0; i < 4; ++i) {
      Lease l = store->Create({});
      store->Release(l);
      ids.push_back(l.conversation_id);
    }
  }
  std::mt19937 random(20240611);
  Acked acked;
  uint64_t total = 0;
  for (int round = 0; round < 5; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(fds[0]);
      try {
        auto store = OpenStore(url);
        for (;;) {
          for (std::size_t i = 0; i < ids.size(); ++i) {
            const uint64_t turn = RunTurn(*store, ids[i], kMax);
            if (turn == 0) ::_exit(3);
            char line[64];
            const int n = std::snprintf(line, sizeof line, "%zu %llu\n", i,
                                        static_cast<unsigned long long>(turn));
            if (::write(fds[1], line, static_cast<std::size_t>(n)) != n)
              ::_exit(4);
          }
        }
      } catch (...) {
        ::_exit(5);
      }
    }
    ::close(fds[1]);
    FILE* acks = ::fdopen(fds[0], "r");
    const int wanted = 5 + static_cast<int>(random() % 40);
    std::size_t index = 0;
    unsigned long long turn = 0;
    for (int got = 0; got < wanted; ++got) {
      ASSERT_EQ(std::fscanf(acks, "%zu %llu", &index, &turn), 2)
          << "the child stopped";
      acked.turn[ids[index]] = turn;
      ++total;
    }
    // Somewhere inside the next commit, or between two.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    // Read what it acknowledged before it died.
    while (std::fscanf(acks, "%zu %llu", &index, &turn) == 2)
      acked.turn[ids[index]] = turn;
    std::fclose(acks);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exit " << WEXITSTATUS(status);

    auto store = OpenStore(url);
    CheckConsistent(*store, ids, acked, kMax);
    // The dead child's lease runs out within its bound.
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(1500);
    for (const std::string& id : ids) {
      LeaseResult r = store->TryAcquire(id, milliseconds(1000));
      while (r.status == LeaseStatus::kBusy &&
             std::chrono::steady_clock::now() < deadline) {
        EXPECT_LE(r.retry_after, milliseconds(300));
        std::this_thread::sleep_for(r.retry_after);
        r = store->TryAcquire(id, milliseconds(1000));
      }
      ASSERT_EQ(r.status, LeaseStatus::kAcquired) << id;
      store->Release(r.lease);
    }
  }
  EXPECT_GE(total, 25u);
}

// A thread commits turns while the server is killed and started again
// twelve times; commits fail while it is down and go on after.
TEST(StoreCrashTest, RedisSurvivesServerKilledAndRestarted) {
  RedisServer server("always");
  ASSERT_TRUE(server.ok()) << server.problem();
  constexpr std::size_t kMax = 64 * 1024;
  StoreOptions options;
  options.timeout = milliseconds(500);
  auto store = OpenStore(server.url(), options);
  std::vector<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    Lease l = store->Create({});
    store->Release(l);
    ids.push_back(l.conversation_id);
  }
  std::mutex mu;
  Acked acked;  // Guarded by mu.
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> unavailable{0};
  std::atomic<int> commits{0};
  std::thread worker([&] {
    while (!stop) {
      for (const std::string& id : ids) {
        try {
          const uint64_t turn = RunTurn(*store, id, kMax);
          if (turn == 0) {
            ++mismatches;
            continue;
          }
          std::lock_guard<std::mutex> lock(mu);
          acked.turn[id] = turn;
          ++commits;
        } catch (const StoreUnavailableError&) {
          ++unavailable;
          std::this_thread::sleep_for(milliseconds(5));
        } catch (const LeaseLostError&) {
          // The lease ran out while the server was down: the turn is
          // not kept, and the next one starts from the store.
        }
      }
    }
  });
  std::mt19937 random(7);
  int commits_at_last_start = 0;
  for (int round = 0; round < 12; ++round) {
    std::this_thread::sleep_for(milliseconds(20 + random() % 60));
    server.Kill();
    std::this_thread::sleep_for(milliseconds(30));
    ASSERT_TRUE(server.Start()) << server.problem();
    commits_at_last_start = commits;
  }
  std::this_thread::sleep_for(milliseconds(400));
  stop = true;
  worker.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GT(unavailable.load(), 0);
  EXPECT_GT(commits.load(), commits_at_last_start);
  std::lock_guard<std::mutex> lock(mu);
  CheckConsistent(*store, ids, acked, kMax);
}

}  // namespace
}  // namespace corvane
