// Session mode on a conversation store, in-process, on the demo: the first
// turn of a returning visitor on a host that never saw them (the lease with
// the stored snapshot, the conversation read back, the turn, its commit),
// and the store's bytes of a demo conversation after 25 turns (counters
// "snapshot_bytes" and "turn_bytes", the turn records' texts). SQLite in a
// temporary directory; Redis started by the benchmark on loopback, with
// append-only persistence written every second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "store/conversation_store.h"
#include "tests/store/redis_server.h"
#include "tests/temp_dir.h"
#include "web/stored_sessions.h"
#include "web/web_module.h"

namespace corvane {
namespace {

enum Kind { kSqlite, kRedis };

// A demo visit of 25 lines, as the demo's own tests talk.
const char* const kVisit[] = {"hello",
                              "my name is Anna",
                              "hello",
                              "what is my name",
                              "who are you",
                              "help",
                              "how are you",
                              "what are your opening hours",
                              "is the tiramisu good",
                              "thanks",
                              "menu",
                              "tell me a joke",
                              "another joke",
                              "tell me about owls",
                              "tell me about the moon",
                              "what is my name",
                              "how are you",
                              "is the risotto good",
                              "thanks",
                              "help",
                              "tell me about bread",
                              "who are you",
                              "hello",
                              "thanks",
                              "bye"};

std::string Root() {
  static TempDir root;
  static std::once_flag once;
  std::call_once(once, [] {
    root.Write("CorvWebDemo.clf",
               ReadFileBytes(CORVANE_SOURCE_DIR "/demo/wwwroot/CorvWebDemo.clf")
                   .value_or(""));
  });
  return root.path() + "/";
}

std::string Turn(StoredSessionPool& pool, std::string* id,
                 const std::string& input) {
  ModuleLease lease = pool.Take(ModuleRequest{Root(), *id});
  *id = lease.id();
  const std::string reply = lease.module().Converse(input);
  lease.Commit(TurnDone{input, reply, false, false}, true);
  return reply;
}

struct Fixture {
  std::unique_ptr<StoredSessionPool> host;  // The host that never saw them.
  std::vector<std::string> ids;             // Conversations it did not see.
  std::size_t snapshot_bytes = 0;
  std::size_t turn_bytes = 0;
  std::string problem;
};

Fixture& Setup(Kind kind) {
  static TempDir dir;
  static RedisServer server("everysec");
  static Fixture fixtures[2];
  static std::once_flag once[2];
  std::call_once(once[kind], [kind] {
    Fixture& f = fixtures[kind];
    try {
      if (kind == kRedis && !server.ok()) {
        f.problem = server.problem();
        return;
      }
      const std::string url = kind == kSqlite
                                  ? "sqlite:" + dir.File("sessions.db")
                                  : server.url() + "/1";
      StoredSessionSettings settings;
      StoredSessionPool first(OpenStore(url), settings);
      std::string id;
      for (const char* line : kVisit) Turn(first, &id, line);
      const std::optional<StoredConversation> kept = first.store().Load(id);
      f.snapshot_bytes = kept ? kept->snapshot.size() : 0;
      if (const auto turns = first.store().Transcript(id, 1, 100))
        for (const TurnEntry& e : *turns)
          f.turn_bytes += e.record.input.size() + e.record.reply.size() +
                          e.record.knowledge_version.size();
      // Copies of that visit, as many visitors who come back.
      for (int i = 0; i < 64; ++i) {
        NewConversation copy;
        copy.knowledge_version = kept->info.knowledge_version;
        copy.snapshot = kept->snapshot;
        const Lease lease = first.store().Create(copy);
        first.store().Release(lease);
        f.ids.push_back(lease.conversation_id);
      }
      // Memory for one conversation: every one it is asked for is read
      // from the store. It has read the language file once already.
      settings.max_sessions = 1;
      f.host = std::make_unique<StoredSessionPool>(OpenStore(url), settings);
      std::string warm;
      Turn(*f.host, &warm, "hello");
    } catch (const std::exception& e) {
      f.problem = e.what();
    }
  });
  return fixtures[kind];
}

void BM_ReturningVisitorFirstTurn(benchmark::State& state, Kind kind) {
  Fixture& f = Setup(kind);
  if (!f.problem.empty()) {
    state.SkipWithError(f.problem.c_str());
    return;
  }
  std::size_t next = 0;
  for (auto _ : state) {
    std::string id = f.ids[next++ % f.ids.size()];
    benchmark::DoNotOptimize(Turn(*f.host, &id, "what is my name"));
  }
  state.counters["snapshot_bytes"] = static_cast<double>(f.snapshot_bytes);
  state.counters["turn_bytes"] = static_cast<double>(f.turn_bytes);
}

BENCHMARK_CAPTURE(BM_ReturningVisitorFirstTurn, sqlite, kSqlite)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ReturningVisitorFirstTurn, redis, kRedis)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvane
