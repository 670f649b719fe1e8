// The same keyword knowledge base in the code page and in UTF-8: a turn of
// a UTF-8 knowledge base should cost no more than half as much again as
// the code page's (folding the input, character-wise word boundaries).
// Keywords and filler carry accented letters, "é" as the byte E9 in the
// code page and as C3 A9 in UTF-8, so both read the same texts.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>

#include "bench/keyword_brain.h"
#include "engine/a1U2.h"
#include "text/utf8.h"

namespace corvane {
namespace {

std::string Accent(bool utf8) { return utf8 ? "\xC3\xA9" : "\xE9"; }

// A catch-all first, then `patterns` patterns of one CUSTOM fragment
// "kwé<i>" each.
std::unique_ptr<BrainClass> AccentedKeywordBrain(bool utf8, int patterns) {
  auto brain = std::make_unique<BrainClass>();
  if (utf8) brain->SetTextEncoding(TextEncoding::kUtf8);
  brain->Seed(1);
  KnowledgeClass* mode = brain->Modes.At(0);
  AddTextReply(mode->AddPattern(std::make_unique<PatternClass>()), "Pardon?");
  for (int i = 0; i < patterns; ++i) {
    PatternClass* p = mode->AddPattern(std::make_unique<PatternClass>());
    auto f = std::make_unique<WordFragmentClass>();
    f->RELATION = rel::kCustom;
    f->BONUS = 10;
    f->WORDFRAG = "kw" + Accent(utf8) + std::to_string(i);
    p->AddFragment(std::move(f));
    AddTextReply(p, "R" + Accent(utf8) + "ponse " + std::to_string(i));
  }
  return brain;
}

// `words` words, every second one a keyword (in varying case), the others
// accented filler.
std::string AccentedInput(bool utf8, int words, int patterns) {
  std::string input;
  uint64_t x = 88172645463325252ull;
  for (int i = 0; i < words; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    if (i) input += ' ';
    if (i % 2 == 0)
      input += (i % 4 == 0 ? "KW" : "kw") + Accent(utf8) +
               std::to_string(x % static_cast<uint64_t>(patterns));
    else
      input += "d" + Accent(utf8) + "j" + std::to_string(x % 1000);
  }
  return input;
}

// Args: encoding (0 code page, 1 UTF-8), pattern count, input words.
void BM_KeywordTurnByEncoding(benchmark::State& state) {
  const bool utf8 = state.range(0) == 1;
  const int patterns = static_cast<int>(state.range(1));
  auto brain = AccentedKeywordBrain(utf8, patterns);
  const std::string input =
      AccentedInput(utf8, static_cast<int>(state.range(2)), patterns);
  brain->Respond(input);  // Builds the index.
  for (auto _ : state) benchmark::DoNotOptimize(brain->Respond(input));
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(utf8 ? "utf-8" : "code page");
}
BENCHMARK(BM_KeywordTurnByEncoding)
    ->ArgsProduct({{0, 1}, {10000, 100000}, {7, 50, 500}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvane
