// What guarding a save costs: the hash of a language file's bytes, which the
// reader takes while it reads and a save takes again of the file on disk.
// Compare its bytes per second with the reader's (BM_ReadPatterns).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/file_version.h"
#include "platform/files.h"

namespace corvane {
namespace {

void BM_ContentHash(benchmark::State& state) {
  const std::string data(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    ContentHash hash;
    hash.Add(data);
    benchmark::DoNotOptimize(hash.value());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ContentHash)->Range(64 << 10, 16 << 20);

// The version of a file on disk (status and a read in 64 KiB pieces), as a
// save takes it before replacing the file.
void BM_CurrentFileVersion(benchmark::State& state) {
  const std::string path =
      "/tmp/corvane_version_bench_" + std::to_string(::getpid()) + ".clf";
  WriteFileBytes(path,
                 std::string(static_cast<std::size_t>(state.range(0)), 'x'));
  for (auto _ : state) benchmark::DoNotOptimize(CurrentFileVersion(path));
  state.SetBytesProcessed(state.iterations() * state.range(0));
  std::remove(path.c_str());
}
BENCHMARK(BM_CurrentFileVersion)->Range(64 << 10, 16 << 20);

}  // namespace
}  // namespace corvane
