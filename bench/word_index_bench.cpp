// Answering phrases from a built word index: the cost should grow with the
// phrase, not with its repeats, and stay near-linear in its length.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "base/random.h"
#include "platform/files.h"
#include "text/text_util.h"
#include "text/word_index.h"
#include "text/word_index_builder.h"

namespace corvane {
namespace {

// A temporary directory removed when the program ends.
struct BenchDir {
  std::string path = (std::filesystem::temp_directory_path() /
                      ("corvane-windex-bench-" + std::to_string(ClockSeed())))
                         .string();
  ~BenchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// A corpus of 5000 texts over a vocabulary of about 200 words, so common
// words list hundreds of texts each.
const std::string& IndexDir() {
  static const BenchDir holder;
  static const std::string dir = [] {
    const std::string path = holder.path;
    std::string corpus;
    Random random(1);
    for (int t = 0; t < 5000; ++t) {
      for (int w = 0; w < 8; ++w) {
        const int32_t n = random.Below(20) * random.Below(20);
        corpus += "w";
        for (int32_t v = n;; v /= 26) {
          corpus.push_back(static_cast<char>('a' + v % 26));
          if (v < 26) break;
        }
        corpus += ' ';
      }
      corpus += "\n";
    }
    std::string error;
    WriteWordIndexFiles(BuildWordIndex(corpus).files, path, &error);
    return path;
  }();
  return dir;
}

std::string Phrase(int64_t bytes, bool repeat) {
  std::string phrase;
  Random random(2);
  while (static_cast<int64_t>(phrase.size()) < bytes) {
    const int32_t n = repeat ? 0 : random.Below(20) * random.Below(20);
    phrase += "w";
    for (int32_t v = n;; v /= 26) {
      phrase.push_back(static_cast<char>('a' + v % 26));
      if (v < 26) break;
    }
    phrase += ' ';
  }
  return phrase;
}

void RunAsk(benchmark::State& state, bool repeat) {
  WordIndex index;
  Random random(3);
  const PathMapper paths(IndexDir());
  const std::string phrase = Phrase(state.range(0), repeat);
  for (auto _ : state)
    benchmark::DoNotOptimize(index.Ask(phrase, "", paths, random));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(phrase.size()));
}

void BM_AskWordIndexVariedWords(benchmark::State& state) {
  RunAsk(state, false);
}
void BM_AskWordIndexRepeatedWord(benchmark::State& state) {
  RunAsk(state, true);
}

BENCHMARK(BM_AskWordIndexVariedWords)->Range(16, 1 << 20);
BENCHMARK(BM_AskWordIndexRepeatedWord)->Range(16, 1 << 20);

}  // namespace
}  // namespace corvane
