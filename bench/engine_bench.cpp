// Benchmarks of the string search, word matching and the input turn.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>

#include "bench/bench_util.h"
#include "engine/a1U2.h"
#include "text/fstr.h"

namespace corvane {
namespace {

// A needle that almost matches everywhere: every candidate position passes
// the first-byte test.
void BM_PosNoCaseNearMisses(benchmark::State& state) {
  const std::string text = Repeat("a", static_cast<std::size_t>(state.range(0)));
  const std::string needle = Repeat("A", 15) + "b";
  for (auto _ : state) benchmark::DoNotOptimize(PosNoCase(needle, text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PosNoCaseNearMisses)->Range(1 << 10, 1 << 20);

// A long needle on a text of near misses takes the linear path.
void BM_PosNoCaseLongNeedle(benchmark::State& state) {
  const std::string text = Repeat("a", static_cast<std::size_t>(state.range(0)));
  const std::string needle = Repeat("a", 4096) + "b";
  for (auto _ : state) benchmark::DoNotOptimize(PosNoCase(needle, text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PosNoCaseLongNeedle)->Range(1 << 12, 1 << 20);

void BM_PosNoCaseText(benchmark::State& state) {
  const std::string text = Repeat("The quick brown fox jumps over the lazy dog. ",
                                  static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(PosNoCase("LAZY CAT", text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PosNoCaseText)->Range(1 << 10, 1 << 20);

// Every occurrence of 'cat' is followed by a capital and so rejected; the
// plain rule would cut and search again from the start each time.
void BM_FragmentInTextHostile(benchmark::State& state) {
  const std::string text = Repeat("cat", static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(FragmentInText("cat", text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FragmentInTextHostile)->Range(1 << 10, 1 << 20);

void BM_FragmentInTextHostileLongFragment(benchmark::State& state) {
  const std::string unit = "abcdefghijklmnopqrstuvwxyz";
  const std::string text = Repeat(unit, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(FragmentInText(unit, text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FragmentInTextHostileLongFragment)->Range(1 << 10, 1 << 20);

const char* const kWords[] = {"apple", "river", "stone", "cloud", "green", "light",
                              "music", "north", "paper", "quiet", "sugar", "table"};

std::unique_ptr<BrainClass> BigMode(int patterns) {
  auto brain = std::make_unique<BrainClass>();
  brain->Seed(1);
  KnowledgeClass* mode = brain->Modes.At(0);
  for (int i = 0; i < patterns; ++i) {
    PatternClass* p = mode->AddPattern(std::make_unique<PatternClass>());
    for (int k = 0; k < 3; ++k) {
      auto f = std::make_unique<WordFragmentClass>();
      f->RELATION = rel::kCustom;
      f->BONUS = 10;
      f->WORDFRAG = std::string(kWords[(i + k * 5) % 12]) + std::to_string(i % 97);
      p->AddFragment(std::move(f));
    }
    auto r = std::make_unique<ResponseClass>();
    r->RESPONSETYPE = rt::kJustText;
    r->OUTTEXT = "Reply " + std::to_string(i);
    p->AddResponse(std::move(r));
  }
  return brain;
}

std::string TwentyWords() {
  std::string input;
  for (int i = 0; i < 20; ++i) {
    if (i) input += ' ';
    input += std::string(kWords[i % 12]) + std::to_string(i * 7 % 97);
  }
  return input;
}

void BM_ScoreModeTwentyWords(benchmark::State& state) {
  auto brain = BigMode(static_cast<int>(state.range(0)));
  KnowledgeClass* mode = brain->Modes.At(0);
  const std::string input = TwentyWords();
  for (auto _ : state) {
    int32_t best = -30000;
    for (int i = 0; i < mode->Patterns.Count(); ++i)
      best = std::max(best, mode->Patterns.At(i)->Score(brain->turn(), input));
    benchmark::DoNotOptimize(best);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ScoreModeTwentyWords)->Range(100, 10000)->Unit(benchmark::kMillisecond);

void BM_InputTurn(benchmark::State& state) {
  auto brain = BigMode(static_cast<int>(state.range(0)));
  const std::string input = TwentyWords();
  for (auto _ : state) benchmark::DoNotOptimize(brain->Respond(input));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InputTurn)->Range(10, 10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvane
