// Macro expansion costs: long texts full of macros (each run must stay
// linear in the text's size), and a plain input through a large mode, where
// every pattern and fragment asks for an expansion that finds no "^".
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench/bench_util.h"
#include "engine/a1U2.h"

namespace corvane {
namespace {

void AddCollection(BrainClass& brain, const std::string& name,
                   std::initializer_list<const char*> members) {
  auto c = std::make_unique<DataCollectionClass>();
  c->CollectionName = name;
  for (const char* m : members) c->Members.Add(m);
  brain.AddCollection(name, std::move(c));
}

// 1 MiB holds about 100,000 ^Fact{x}.
void BM_ExpandFacts(benchmark::State& state) {
  BrainClass brain;
  brain.SetFact("x", "value");
  const std::string text =
      RepeatWhole("^Fact{x}ab", static_cast<std::size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(brain.ExpandMacros(text, "", nullptr, nullptr));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ExpandFacts)->Range(1 << 10, 1 << 20);

// A fact that brings itself back until the row's bound stops it.
void BM_ExpandSelfReference(benchmark::State& state) {
  BrainClass brain;
  brain.SetFact("loop", "a^Fact{loop}");
  const std::string text =
      RepeatWhole("^Fact{loop}", static_cast<std::size_t>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(brain.ExpandMacros(text, "", nullptr, nullptr));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ExpandSelfReference)->Range(1 << 10, 1 << 20);

// A hostile input expanded against itself on behalf of a pattern: macros
// whose values depend on the whole input, stray carets and an opening
// without its brace at the end (of the last row, so that all rows run).
void BM_ExpandHostileInput(benchmark::State& state) {
  BrainClass brain;
  AddCollection(brain, "a", {"red", "blue"});
  AddCollection(brain, "b", {"red car", "blue sky", "green tree"});
  PatternClass* p =
      brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  for (const char* w : {"open", "door"}) {
    auto f = std::make_unique<WordFragmentClass>();
    f->WORDFRAG = w;
    f->RELATION = rel::kCustom;
    p->AddFragment(std::move(f));
  }
  // One ^Remain{}: each one inserts the whole input again, so many of them
  // grow the text to its cap whatever the input's size.
  const std::string text =
      "^Remain{} " +
      RepeatWhole("^Member{a|1} ^MemberZ{a|b} ^Members{b} ^Add{$1|2} ^^ blue sky ",
             static_cast<std::size_t>(state.range(0))) +
      "^Div{";
  for (auto _ : state)
    benchmark::DoNotOptimize(brain.ExpandMacros(text, text, p, nullptr));
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ExpandHostileInput)->Range(1 << 10, 1 << 20);

// A 20-word input without macros through a mode of range(0) patterns,
// each with two fragments that do not match.
void BM_RespondWithoutMacros(benchmark::State& state) {
  BrainClass brain;
  KnowledgeClass* mode = brain.Modes.At(0);
  for (int64_t i = 0; i < state.range(0); ++i) {
    PatternClass* p = mode->AddPattern(std::make_unique<PatternClass>());
    for (int k = 0; k < 2; ++k) {
      auto f = std::make_unique<WordFragmentClass>();
      f->WORDFRAG = "word" + std::to_string(i * 2 + k);
      f->RELATION = rel::kCustom;
      f->BONUS = 10;
      p->AddFragment(std::move(f));
    }
    auto r = std::make_unique<ResponseClass>();
    r->RESPONSETYPE = rt::kJustText;
    r->OUTTEXT = "reply";
    p->AddResponse(std::move(r));
  }
  const std::string input =
      "the quick brown fox jumps over the lazy dog while seven tired "
      "owls watch from the old barn near a quiet river";
  for (auto _ : state) benchmark::DoNotOptimize(brain.Respond(input));
  state.SetBytesProcessed(state.iterations() * state.range(0) *
                          static_cast<int64_t>(input.size()));
}
BENCHMARK(BM_RespondWithoutMacros)->Range(1 << 7, 10000);

}  // namespace
}  // namespace corvane
