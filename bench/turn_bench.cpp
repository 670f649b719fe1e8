// Benchmarks of a whole input turn (Respond) against large generated
// knowledge bases, long inputs, and inputs full of macro openings against
// the demo knowledge base. A turn should cost what the input touches, not
// what the knowledge base holds.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

#include "bench/bench_util.h"
#include "bench/keyword_brain.h"
#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"

namespace corvane {
namespace {

// A keyword knowledge base: a catch-all pattern first (no fragments, so it
// scores 0 and wins when nothing else holds), then `patterns` patterns of
// one CUSTOM fragment "kw<i>" (bonus 10) each.
std::unique_ptr<BrainClass> KeywordBrain(int patterns) {
  auto brain = std::make_unique<BrainClass>();
  brain->Seed(1);
  KnowledgeClass* mode = brain->Modes.At(0);
  AddTextReply(mode->AddPattern(std::make_unique<PatternClass>()), "Pardon?");
  AddKeywordPatterns(mode, patterns);
  return brain;
}

// `words` words, every second one a keyword of the knowledge base.
std::string KeywordInput(int words, int patterns) {
  std::string input;
  uint64_t x = 88172645463325252ull;
  for (int i = 0; i < words; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    if (i) input += ' ';
    if (i % 2 == 0)
      input += "kw" + std::to_string(x % static_cast<uint64_t>(patterns));
    else
      input += "filler" + std::to_string(x % 1000);
  }
  return input;
}

// One turn: args are the pattern count and the input's word count.
void BM_InputTurnIndexed(benchmark::State& state) {
  const int patterns = static_cast<int>(state.range(0));
  auto brain = KeywordBrain(patterns);
  const std::string input =
      KeywordInput(static_cast<int>(state.range(1)), patterns);
  brain->Respond(input);  // The first turn builds what later turns reuse.
  for (auto _ : state) benchmark::DoNotOptimize(brain->Respond(input));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InputTurnIndexed)
    ->ArgsProduct({{1000, 10000, 100000, 1000000}, {5, 7, 50, 500}})
    ->Unit(benchmark::kMicrosecond);

// A 1 MiB input of keywords and filler against 100,000 patterns.
void BM_InputTurnMiB(benchmark::State& state) {
  const int patterns = static_cast<int>(state.range(0));
  auto brain = KeywordBrain(patterns);
  const std::string input = KeywordInput(1 << 17, patterns).substr(0, 1 << 20);
  for (auto _ : state) benchmark::DoNotOptimize(brain->Respond(input));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_InputTurnMiB)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

std::unique_ptr<BrainClass> DemoBrain() {
  auto brain = std::make_unique<BrainClass>();
  brain->Seed(1);
  LoadLanguageFile(*brain, CORVANE_SOURCE_DIR "/demo/wwwroot/CorvWebDemo.clf",
                   [](const LanguageProblem&) {});
  brain->Start();
  brain->PendingOutput.Clear();
  return brain;
}

// Inputs made of one piece repeated to the given size, against the demo.
void DemoTurn(benchmark::State& state, const std::string& piece) {
  auto brain = DemoBrain();
  const std::string input =
      Repeat(piece, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(brain->Respond(input));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_DemoTurnCarets(benchmark::State& state) {
  DemoTurn(state, "^");
}
BENCHMARK(BM_DemoTurnCarets)
    ->RangeMultiplier(8)
    ->Range(1 << 14, 1 << 20)
    ->Unit(benchmark::kMillisecond);

void BM_DemoTurnRemain(benchmark::State& state) {
  DemoTurn(state, "^Remain{}");
}
BENCHMARK(BM_DemoTurnRemain)
    ->RangeMultiplier(8)
    ->Range(1 << 14, 1 << 20)
    ->Unit(benchmark::kMillisecond);

// Remainders mixed with macros whose values change from fragment to
// fragment (LastFrag) or that draw random numbers: no expansion is reused.
void BM_DemoTurnRemainLastFrag(benchmark::State& state) {
  DemoTurn(state, "^LastFrag{}^Remain{}");
}
BENCHMARK(BM_DemoTurnRemainLastFrag)
    ->RangeMultiplier(8)
    ->Range(1 << 14, 1 << 20)
    ->Unit(benchmark::kMillisecond);

void BM_DemoTurnRemainMemberX(benchmark::State& state) {
  DemoTurn(state, "^MemberX{Dishes}^Remain{}");
}
BENCHMARK(BM_DemoTurnRemainMemberX)
    ->RangeMultiplier(8)
    ->Range(1 << 14, 1 << 20)
    ->Unit(benchmark::kMillisecond);

void BM_DemoTurnWords(benchmark::State& state) {
  DemoTurn(state, "could I book a table for two tonight please ");
}
BENCHMARK(BM_DemoTurnWords)
    ->RangeMultiplier(8)
    ->Range(1 << 14, 1 << 20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane
