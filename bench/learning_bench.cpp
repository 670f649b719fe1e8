// Benchmarks of a conversation that changes its knowledge while it talks:
// learning one pattern into a large mode and answering the next turn, the
// turns after many long learnt phrases, teaching turns of 64 KiB, edits and
// deletions between turns, and starting a brain with a large first mode.
// Learning should cost what it adds, not what the knowledge base holds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/a1U2.h"

namespace corvane {
namespace {

void Reply(PatternClass* p, std::string text) {
  auto r = std::make_unique<ResponseClass>();
  r->RESPONSETYPE = rt::kJustText;
  r->OUTTEXT = std::move(text);
  p->AddResponse(std::move(r));
}

void Fragment(PatternClass* p, uint8_t relation, std::string text,
              int32_t bonus, std::string label = "") {
  auto f = std::make_unique<WordFragmentClass>();
  f->RELATION = relation;
  f->BONUS = bonus;
  f->WORDFRAG = std::move(text);
  f->ObjectName = std::move(label);
  p->AddFragment(std::move(f));
}

// A keyword knowledge base: a start pattern first, a catch-all, a pattern
// that learns what it is taught, then `patterns` patterns "kw<i>" (labelled
// P<i>, their fragment F<i>). Teaching works as in the demo: "teach ..."
// creates a pattern ("Create AutoPattern", word "learnt", bonus 0) and
// gives it the whole input as one fragment of bonus 100 ("Add Fragment").
std::unique_ptr<BrainClass> KeywordBrain(int patterns) {
  auto brain = std::make_unique<BrainClass>();
  brain->Seed(1);
  KnowledgeClass* mode = brain->Modes.At(0);
  PatternClass* start = mode->AddPattern(std::make_unique<PatternClass>());
  Fragment(start, rel::kInitialize, "", 0);
  Reply(start, "Welcome.");
  Reply(mode->AddPattern(std::make_unique<PatternClass>()), "Pardon?");
  PatternClass* teach = mode->AddPattern(std::make_unique<PatternClass>());
  Fragment(teach, rel::kCustom, "teach", 1000);
  auto list = std::make_unique<ResponseClass>();
  list->RESPONSETYPE = rt::kTaskList;
  ResponseClass* tasks = teach->AddResponse(std::move(list));
  auto task = [&](uint8_t type, const char* out, const char* name,
                  const char* value) {
    auto t = std::make_unique<TaskClass>();
    t->RESPONSETYPE = type;
    t->OUTTEXT = out;
    t->THENAME = name;
    t->THEVALUE = value;
    tasks->AddTask(std::move(t));
  };
  task(rt::kCreateAutoPattern, "learnt", "0", "taught");
  task(rt::kAddFragment, "^Input{0}", "100", "");
  for (int i = 0; i < patterns; ++i) {
    auto fresh = std::make_unique<PatternClass>();
    fresh->ObjectName = "P" + std::to_string(i);
    PatternClass* p = mode->AddPattern(std::move(fresh));
    Fragment(p, rel::kCustom, "kw" + std::to_string(i), 10,
             "F" + std::to_string(i));
    Reply(p, "Reply " + std::to_string(i));
  }
  // The first turns build what later turns reuse (the index, the lookup of
  // labels that automatic names are checked against).
  brain->Respond("teach warm up");
  brain->Respond("hello");
  return brain;
}

// About `bytes` bytes of words, different for each `seed`.
std::string Phrase(std::size_t bytes, uint64_t seed) {
  std::string text;
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  while (text.size() < bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    if (!text.empty()) text += ' ';
    for (int i = 0; i < 6; ++i)
      text += static_cast<char>('a' + (x >> (5 * i)) % 26);
  }
  return text;
}

// Runs `turn` once and keeps the slowest run in `slowest`, in microseconds.
template <typename Fn>
void Timed(Fn&& turn, double& slowest) {
  const auto start = std::chrono::steady_clock::now();
  turn();
  const double us = std::chrono::duration<double, std::micro>(
                        std::chrono::steady_clock::now() - start)
                        .count();
  slowest = std::max(slowest, us);
}

// One iteration: a turn that teaches a new phrase, and the next turn.
void BM_LearnOneAndAnswer(benchmark::State& state) {
  auto brain = KeywordBrain(static_cast<int>(state.range(0)));
  uint64_t n = 0;
  double slowest = 0;
  for (auto _ : state) {
    Timed(
        [&] {
          benchmark::DoNotOptimize(
              brain->Respond("teach good night " + std::to_string(n++)));
          benchmark::DoNotOptimize(brain->Respond("hello kw7"));
        },
        slowest);
  }
  state.counters["slowest_us"] = slowest;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LearnOneAndAnswer)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

// A turn ("hello") after the visitor taught `range(0)` phrases of 64 KiB.
// With `range(1)` 1 the index is built afresh for the turn, as for the first
// turn of a brain loaded with that knowledge (after a restart, or by
// another web module).
void BM_TurnAfterLongPhrases(benchmark::State& state) {
  auto brain = KeywordBrain(1000);
  for (int64_t i = 0; i < state.range(0); ++i)
    brain->Respond("teach " + Phrase(64 << 10, static_cast<uint64_t>(i)));
  brain->Respond("hello");  // The first turn after teaching, not timed.
  const bool fresh = state.range(1) != 0;
  for (auto _ : state) {
    if (fresh) brain->NoteKnowledgeChange();
    benchmark::DoNotOptimize(brain->Respond("hello"));
  }
  state.counters["patterns"] =
      static_cast<double>(brain->Modes.At(0)->Patterns.Count());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TurnAfterLongPhrases)
    ->ArgsProduct({{10, 100, 400, 1000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// Teaching turns of 64 KiB each, one after the other, in one brain.
void BM_TeachingTurn64KiB(benchmark::State& state) {
  auto brain = KeywordBrain(1000);
  uint64_t n = 0;
  double slowest = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string input = "teach " + Phrase(64 << 10, 7777 + n++);
    state.ResumeTiming();
    Timed([&] { benchmark::DoNotOptimize(brain->Respond(input)); }, slowest);
  }
  state.counters["slowest_us"] = slowest;
  state.SetBytesProcessed(state.iterations() * (64 << 10));
}
BENCHMARK(BM_TeachingTurn64KiB)
    ->Iterations(1000)
    ->Unit(benchmark::kMillisecond);

// An edit of a fragment's BONUS (Self Modify) and the next turn.
void BM_EditFragmentAndAnswer(benchmark::State& state) {
  auto brain = KeywordBrain(static_cast<int>(state.range(0)));
  int n = 0;
  for (auto _ : state) {
    brain->SetObjectField("F5", "BONUS", ++n % 2 ? "20" : "30");
    benchmark::DoNotOptimize(brain->Respond("hello kw5"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EditFragmentAndAnswer)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);

// A deletion of a pattern (Delete Object) and the next turn.
void BM_DeletePatternAndAnswer(benchmark::State& state) {
  const int patterns = static_cast<int>(state.range(0));
  auto brain = KeywordBrain(patterns);
  int n = 0;
  for (auto _ : state) {
    brain->DeleteNamedObject("P" +
                             std::to_string(patterns - 1 - n++ % patterns));
    benchmark::DoNotOptimize(brain->Respond("hello kw5"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DeletePatternAndAnswer)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(500)
    ->Unit(benchmark::kMicrosecond);

// Starting a brain whose first mode has one start pattern among
// `range(0)` patterns.
void BM_StartBrain(benchmark::State& state) {
  auto brain = KeywordBrain(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    brain->Start();
    brain->PendingOutput.Clear();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StartBrain)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvane
