// The web boundary on hostile input: the code-page conversions and the JSON
// API's body must stay linear in the input's size.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_util.h"
#include "web/json_api.h"
#include "web/visitor_text.h"

namespace corvane {
namespace {

// UTF-8 made to hurt: truncated sequences, stray continuation bytes,
// characters the code page lacks, carets, and plain emoji.
void BM_VisitorTextHostile(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::string inputs[] = {Repeat("\xE2\x82", n), Repeat("\x80", n),
                                Repeat("\xC5\x81^", n),
                                Repeat("\xF0\x9F\x98\x80", n)};
  for (auto _ : state) {
    for (const std::string& in : inputs)
      benchmark::DoNotOptimize(VisitorText(in, true));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4 *
                          static_cast<int64_t>(n));
}
BENCHMARK(BM_VisitorTextHostile)->Range(1 << 10, 1 << 20);

void BM_CodePageToUtf8(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::string text = Repeat("caf\xE9 \x80\x88\x9F", n);
  for (auto _ : state) benchmark::DoNotOptimize(CodePageToUtf8(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_CodePageToUtf8)->Range(1 << 10, 1 << 20);

// API bodies made to hurt: deep nesting (refused before parsing), long
// escapes, many members, an unterminated string.
void BM_ApiBodyHostile(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::string bodies[] = {
      Repeat("[", n), "{\"input\": \"" + Repeat("\\u00e9", n) + "\"}",
      "{" + Repeat("\"a\":1,", n) + "\"input\":\"x\"}",
      "{\"input\": \"" + Repeat("x", n)};
  for (auto _ : state) {
    for (const std::string& body : bodies) {
      std::string error;
      benchmark::DoNotOptimize(ParseApiRequest(body, &error));
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4 *
                          static_cast<int64_t>(n));
}
BENCHMARK(BM_ApiBodyHostile)->Range(1 << 10, 1 << 20);

}  // namespace
}  // namespace corvane
