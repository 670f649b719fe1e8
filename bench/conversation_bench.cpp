// Benchmarks of conversations on shared knowledge: what a new visitor
// costs (a conversation greeted by its start patterns, against loading a
// brain of its own as a session did before), the memory a visit keeps,
// the snapshot of a visit and its restoring, and a turn on a conversation
// against the same turn on a private brain.
//
// Memory is the heap in use (mallinfo2) before and after, so the figures
// count every allocation a conversation keeps, lists and side tables
// included; they are reported as counters, never asserted.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/keyword_brain.h"
#include "engine/a1U2.h"
#include "engine/conversation.h"
#include "engine/effects.h"
#include "langfile/CorvLangU.h"

namespace corvane {
namespace {

constexpr const char* kDemoFile =
    CORVANE_SOURCE_DIR "/demo/wwwroot/CorvWebDemo.clf";

// A visit of the demo that teaches nothing: greetings, the menu, a joke,
// a booking from start to end, questions.
const char* const kVisit[25] = {"hello",
                                "my name is Anna",
                                "what is on the menu",
                                "tell me a joke",
                                "another one",
                                "book a table",
                                "Anna",
                                "tomorrow",
                                "4",
                                "yes",
                                "what is my name",
                                "help",
                                "risotto",
                                "what time is it",
                                "is it open today",
                                "thanks",
                                "hi",
                                "what do you have for dessert",
                                "the set menu",
                                "how much is it",
                                "tell me a joke",
                                "good",
                                "help",
                                "thank you",
                                "bye"};

std::size_t HeapInUse() {
  return mallinfo2().uordblks;
}

std::size_t ResidentBytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(resident) *
         static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::unique_ptr<BrainClass> DemoBrain() {
  auto brain = std::make_unique<BrainClass>();
  brain->Seed(1);
  AttachLanguageReader(*brain);
  LoadLanguageFile(*brain, kDemoFile, [](const LanguageProblem&) {});
  return brain;
}

// A greeting pattern that says hello at the start, a catch-all, then
// `patterns` patterns of one CUSTOM fragment "kw<i>" each.
std::unique_ptr<BrainClass> KeywordBrain(int patterns) {
  auto brain = std::make_unique<BrainClass>();
  brain->Seed(1);
  KnowledgeClass* mode = brain->Modes.At(0);
  PatternClass* greet = mode->AddPattern(std::make_unique<PatternClass>());
  auto start = std::make_unique<WordFragmentClass>();
  start->RELATION = rel::kInitialize;
  greet->AddFragment(std::move(start));
  AddTextReply(greet, "Hello.");
  AddTextReply(mode->AddPattern(std::make_unique<PatternClass>()), "Pardon?");
  AddKeywordPatterns(mode, patterns);
  return brain;
}

// The knowledge of argument 0 (the demo) or of that many keyword patterns,
// frozen once per size for all benchmarks.
std::shared_ptr<const SharedKnowledge> Shared(int64_t patterns) {
  static std::vector<std::pair<int64_t, std::shared_ptr<const SharedKnowledge>>>
      made;
  for (const auto& [n, k] : made)
    if (n == patterns) return k;
  made.emplace_back(
      patterns, SharedKnowledge::Freeze(
                    patterns == 0 ? DemoBrain()
                                  : KeywordBrain(static_cast<int>(patterns))));
  return made.back().second;
}

std::string Input(int64_t patterns, int i) {
  if (patterns == 0) return kVisit[i % 25];
  return "say kw" + std::to_string((i * 7919) % patterns) + " please";
}

// A new visitor: a conversation made and greeted by its start patterns.
void BM_NewConversation(benchmark::State& state) {
  const auto shared = Shared(state.range(0));
  uint64_t seed = 1;
  for (auto _ : state) {
    Conversation c(shared, seed++);
    c.Start(46000.5);
    benchmark::DoNotOptimize(c.TakePending());
  }
}
BENCHMARK(BM_NewConversation)->Arg(0)->Arg(10000)->Arg(1000000);

// What a new session cost before: a brain of its own loaded from the
// language file and started.
void BM_NewSessionBrainFromFile(benchmark::State& state) {
  std::string file = kDemoFile;
  const std::string temp =
      std::filesystem::temp_directory_path() /
      ("corvane-bench-" + std::to_string(getpid()) + ".clf");
  if (state.range(0) > 0) {
    SaveLanguageFile(*KeywordBrain(static_cast<int>(state.range(0))), temp);
    file = temp;
  }
  for (auto _ : state) {
    BrainClass brain;
    AttachLanguageReader(brain);
    LoadLanguageFile(brain, file, [](const LanguageProblem&) {});
    brain.Start();
    benchmark::DoNotOptimize(brain.PendingOutput.Count());
  }
  std::filesystem::remove(temp);
}
BENCHMARK(BM_NewSessionBrainFromFile)
    ->Arg(0)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

// The heap a conversation keeps after a visit of 25 turns, per
// conversation, over 1,000 conversations.
void BM_MemoryAfterVisit(benchmark::State& state) {
  const auto shared = Shared(state.range(0));
  std::size_t per = 0;
  for (auto _ : state) {
    std::vector<std::unique_ptr<Conversation>> live;
    live.reserve(1000);
    const std::size_t before = HeapInUse();
    for (int v = 0; v < 1000; ++v) {
      auto c = std::make_unique<Conversation>(shared, 10 + v);
      c->state().SetEffects(&DiscardedEffects());
      c->Start(46000.5);
      for (int t = 0; t < 25; ++t)
        c->Respond(Input(state.range(0), v + t), 46000.5 + t / 86400.0);
      live.push_back(std::move(c));
    }
    per = (HeapInUse() - before) / 1000;
  }
  state.counters["bytes_per_conversation"] = static_cast<double>(per);
}
BENCHMARK(BM_MemoryAfterVisit)
    ->Arg(0)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The same for a private brain per visitor, loaded from the demo's file, as
// a session kept before.
void BM_MemoryAfterVisitPrivateBrain(benchmark::State& state) {
  std::size_t per = 0;
  for (auto _ : state) {
    std::vector<std::unique_ptr<BrainClass>> live;
    live.reserve(200);
    const std::size_t before = HeapInUse();
    for (int v = 0; v < 200; ++v) {
      auto brain = DemoBrain();
      brain->SetEffects(&DiscardedEffects());
      brain->turn().Start(46000.5);
      for (int t = 0; t < 25; ++t)
        brain->Respond(Input(0, v + t), 46000.5 + t / 86400.0);
      live.push_back(std::move(brain));
    }
    per = (HeapInUse() - before) / 200;
  }
  state.counters["bytes_per_conversation"] = static_cast<double>(per);
}
BENCHMARK(BM_MemoryAfterVisitPrivateBrain)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// 100,000 live conversations of a 100,000-pattern knowledge base, each
// after five turns: the heap they keep, and the process's resident size
// with the knowledge.
void BM_HundredThousandConversations(benchmark::State& state) {
  const auto shared = Shared(100000);
  for (auto _ : state) {
    std::vector<std::unique_ptr<Conversation>> live;
    live.reserve(100000);
    const std::size_t before = HeapInUse();
    for (int v = 0; v < 100000; ++v) {
      auto c = std::make_unique<Conversation>(shared, 10 + v);
      c->state().SetEffects(&DiscardedEffects());
      c->Start(46000.5);
      for (int t = 0; t < 5; ++t)
        c->Respond(Input(100000, v * 5 + t), 46000.5 + t / 86400.0);
      live.push_back(std::move(c));
    }
    state.counters["conversations_heap_mb"] =
        static_cast<double>(HeapInUse() - before) / 1e6;
    state.counters["resident_mb"] = static_cast<double>(ResidentBytes()) / 1e6;
  }
}
BENCHMARK(BM_HundredThousandConversations)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

std::unique_ptr<Conversation> Visited() {
  auto c = std::make_unique<Conversation>(Shared(0), 5);
  c->state().SetEffects(&DiscardedEffects());
  c->Start(46000.5);
  for (int t = 0; t < 25; ++t) c->Respond(kVisit[t], 46000.5 + t / 86400.0);
  return c;
}

// The snapshot of a 25-turn demo visit: written, and read back.
void BM_SnapshotWrite(benchmark::State& state) {
  const auto c = Visited();
  std::size_t size = 0;
  for (auto _ : state) {
    ByteWriter out;
    c->EncodeState(out);
    size = out.size();
    benchmark::DoNotOptimize(out.bytes().data());
  }
  state.counters["snapshot_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_SnapshotWrite);

void BM_SnapshotRestore(benchmark::State& state) {
  const auto c = Visited();
  ByteWriter out;
  c->EncodeState(out);
  const std::string bytes = out.Take();
  for (auto _ : state) {
    ByteReader in(bytes, "conversation");
    benchmark::DoNotOptimize(Conversation::RestoreState(Shared(0), in));
  }
}
BENCHMARK(BM_SnapshotRestore);

// One turn, on a conversation and on a private brain of the same
// knowledge: argument 0 is the demo visit, others a keyword base.
void BM_TurnConversation(benchmark::State& state) {
  Conversation c(Shared(state.range(0)), 3);
  c.state().SetEffects(&DiscardedEffects());
  c.Start(46000.5);
  int i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(c.Respond(Input(state.range(0), i++)));
}
BENCHMARK(BM_TurnConversation)->Arg(0)->Arg(10000);

void BM_TurnPrivateBrain(benchmark::State& state) {
  auto brain = state.range(0) == 0
                   ? DemoBrain()
                   : KeywordBrain(static_cast<int>(state.range(0)));
  brain->SetEffects(&DiscardedEffects());
  brain->Start();
  int i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(brain->Respond(Input(state.range(0), i++)));
}
BENCHMARK(BM_TurnPrivateBrain)->Arg(0)->Arg(10000);

}  // namespace
}  // namespace corvane
