// Reading language files: a plain knowledge base of N patterns (four lines
// each) and hostile files of growing size. Time per byte must stay flat as
// the size grows.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "platform/files.h"

namespace corvane {
namespace {

// A file that exists while the benchmark runs.
class BenchFile {
 public:
  BenchFile(const std::string& tag, const std::string& content)
      : path_("/tmp/corvane_reader_bench_" + std::to_string(::getpid()) + "_" +
              tag + ".clf") {
    WriteFileBytes(path_, content);
  }
  ~BenchFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void ReadRepeatedly(benchmark::State& state, const std::string& content,
                    int64_t lines) {
  BenchFile file(std::to_string(state.range(0)), content);
  const LanguageProblemSink ignore = [](const LanguageProblem&) {};
  for (auto _ : state) {
    BrainClass brain;
    LoadLanguageFile(brain, file.path(), ignore);
    benchmark::DoNotOptimize(brain.Modes.At(0));
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(content.size()));
  state.counters["lines_per_s"] =
      benchmark::Counter(static_cast<double>(lines * state.iterations()),
                         benchmark::Counter::kIsRate);
}

// N patterns of the first mode, each a fragment and a response, as the
// writer lays them out: four lines per pattern.
void BM_ReadPatterns(benchmark::State& state) {
  const int64_t n = state.range(0);
  std::string content;
  for (int64_t i = 0; i < n; ++i) {
    content += "For-Mode\r\n  Fragment CUSTOM,10,0, {word" + std::to_string(i) +
               "}, {}, {}\r\n  Response {Answer number " + std::to_string(i) +
               ", with a comma.},Just Text,{},{}\r\n\r\n";
  }
  ReadRepeatedly(state, content, 4 * n);
  // What the loaded knowledge keeps on the heap, per pattern.
  BenchFile file("heap", content);
  const std::size_t before = ::mallinfo2().uordblks;
  {
    BrainClass brain;
    LoadLanguageFile(brain, file.path(), [](const LanguageProblem&) {});
    const std::size_t after = ::mallinfo2().uordblks;
    state.counters["heap_bytes_per_pattern"] =
        static_cast<double>(after - before) / static_cast<double>(n);
  }
}
BENCHMARK(BM_ReadPatterns)->Range(1000, 100000)->Unit(benchmark::kMillisecond);

// One line of `bytes` nested braces: the braced field scanner keeps one
// depth counter, so the line is read once.
void BM_ReadNestedBraces(benchmark::State& state) {
  const int64_t half = state.range(0) / 2;
  std::string content =
      "Fact " + std::string(half, '{') + std::string(half, '}');
  ReadRepeatedly(state, content, 1);
}
BENCHMARK(BM_ReadNestedBraces)->Range(64 << 10, 1 << 20);

// Stray closing braces, commas and keywords on one long response line.
void BM_ReadHostileResponseLine(benchmark::State& state) {
  std::string content = "For-Mode\r\nResponse ";
  while (content.size() < static_cast<std::size_t>(state.range(0)))
    content += "},,RESPONSE {";
  ReadRepeatedly(state, content, 2);
}
BENCHMARK(BM_ReadHostileResponseLine)->Range(64 << 10, 1 << 20);

// Collection members in reverse order: inserted one by one into a sorted
// list, each would go to the front.
void BM_ReadReverseMembers(benchmark::State& state) {
  std::string content = "Start-Collection {C}\r\n";
  int64_t lines = 1;
  for (int64_t i = 9999999;
       content.size() < static_cast<std::size_t>(state.range(0)); --i) {
    content += "m" + std::to_string(i) + "\r\n";
    ++lines;
  }
  ReadRepeatedly(state, content, lines);
}
BENCHMARK(BM_ReadReverseMembers)->Range(64 << 10, 1 << 20);

// Short lines that are all rejected ("Task" before any response), each
// reported to the sink.
void BM_ReadRejectedLines(benchmark::State& state) {
  std::string content;
  int64_t lines = 0;
  while (content.size() < static_cast<std::size_t>(state.range(0))) {
    content += "Task\n";
    ++lines;
  }
  ReadRepeatedly(state, content, lines);
}
BENCHMARK(BM_ReadRejectedLines)->Range(64 << 10, 1 << 20);

// Many distinct modes: each "MODE" line looks its name up among the modes
// registered so far.
void BM_ReadManyModes(benchmark::State& state) {
  std::string content;
  int64_t lines = 0;
  for (int64_t i = 0; content.size() < static_cast<std::size_t>(state.range(0));
       ++i) {
    content += "Mode {m" + std::to_string(i) + "}\r\n";
    ++lines;
  }
  ReadRepeatedly(state, content, lines);
}
BENCHMARK(BM_ReadManyModes)->Range(16 << 10, 256 << 10);

// Many distinct facts: each "FACT" line looks its name up among the facts.
void BM_ReadManyFacts(benchmark::State& state) {
  std::string content;
  int64_t lines = 0;
  for (int64_t i = 0; content.size() < static_cast<std::size_t>(state.range(0));
       ++i) {
    content += "Fact {f" + std::to_string(i) + "} = {v}\r\n";
    ++lines;
  }
  ReadRepeatedly(state, content, lines);
}
BENCHMARK(BM_ReadManyFacts)->Range(16 << 10, 256 << 10);

}  // namespace
}  // namespace corvane
