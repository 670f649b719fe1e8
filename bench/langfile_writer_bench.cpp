// Saving costs: a knowledge base of up to 100,000 patterns built in memory,
// and single texts of up to 1 MiB that the format can carry (the byte-for-
// byte path) or cannot (every brace unpartnered, line breaks everywhere),
// both of which must stay linear. Each save is a whole atomic replacement,
// fsync included, of a file under /tmp.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "bench/bench_util.h"
#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "platform/files.h"
#include "platform/operator_messages.h"

namespace corvane {
namespace {

std::string BenchPath() {
  return "/tmp/corvane-writer-bench-" + std::to_string(getpid()) + ".clf";
}

// Each pattern has two fragments, a labelled response, and every tenth a
// threshold with a task list, about 200 bytes of file per pattern.
std::unique_ptr<BrainClass> BuildBrain(int patterns) {
  auto brain = std::make_unique<BrainClass>();
  KnowledgeClass* mode = brain->Modes.At(0);
  for (int i = 0; i < patterns; ++i) {
    const std::string n = std::to_string(i);
    PatternClass* p = mode->AddPattern(std::make_unique<PatternClass>());
    for (const char* word : {"hello", "number"}) {
      auto f = std::make_unique<WordFragmentClass>();
      f->RELATION = rel::kCustom;
      f->WORDFRAG = word + n;
      f->BONUS = 10;
      f->PENALTY = -2;
      p->AddFragment(std::move(f));
    }
    auto r = std::make_unique<ResponseClass>();
    r->RESPONSETYPE = rt::kJustText;
    r->OUTTEXT = "The answer {" + n + "} to pattern " + n + ".";
    r->ObjectName = "R" + n;
    p->AddResponse(std::move(r));
    if (i % 10 == 0) {
      auto th = std::make_unique<ThresholdClass>();
      th->THRESHFROM = 2;
      th->THRESHTO = 5;
      ThresholdClass* t = p->AddThreshold(std::move(th));
      auto list = std::make_unique<ResponseClass>();
      list->RESPONSETYPE = rt::kTaskList;
      ResponseClass* l = t->AddResponse(std::move(list));
      auto task = std::make_unique<TaskClass>();
      task->RESPONSETYPE = rt::kAssignment;
      task->THENAME = "seen";
      task->THEVALUE = n;
      l->AddTask(std::move(task));
    }
  }
  return brain;
}

int64_t FileSize(const std::string& path) {
  const std::optional<std::string> bytes = ReadFileBytes(path);
  return bytes ? static_cast<int64_t>(bytes->size()) : 0;
}

void BM_SavePatterns(benchmark::State& state) {
  const std::unique_ptr<BrainClass> brain =
      BuildBrain(static_cast<int>(state.range(0)));
  const std::string path = BenchPath();
  for (auto _ : state) SaveLanguageFile(*brain, path);
  state.SetBytesProcessed(state.iterations() * FileSize(path));
  state.counters["file_bytes"] = static_cast<double>(FileSize(path));
  unlink(path.c_str());
}
BENCHMARK(BM_SavePatterns)
    ->Range(1 << 10, 100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// One fact value and one collection member of range(0) bytes.
void SaveOneText(benchmark::State& state, const std::string& text) {
  const OperatorMessageHandler old =
      SetOperatorMessageHandler([](const std::string&) {});
  BrainClass brain;
  brain.SetFact("f", text);
  brain.AddMember("c", "m" + text);
  const std::string path = BenchPath();
  for (auto _ : state) SaveLanguageFile(brain, path);
  state.SetBytesProcessed(state.iterations() * 2 *
                          static_cast<int64_t>(text.size()));
  unlink(path.c_str());
  SetOperatorMessageHandler(old);
}

void BM_SaveCarriableText(benchmark::State& state) {
  SaveOneText(state,
              RepeatWhole("a{b{c}d}e, ", static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_SaveCarriableText)->Range(1 << 10, 1 << 20);

// Closing braces first, then opening ones: nothing pairs, and every
// eighth byte is a line break or the end-of-input byte.
void BM_SaveHostileText(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  std::string text = std::string(n / 2, '}') + std::string(n - n / 2, '{');
  for (std::size_t i = 0; i < n; i += 8) text[i] = "\r\n\x1a"[i / 8 % 3];
  SaveOneText(state, text);
}
BENCHMARK(BM_SaveHostileText)->Range(1 << 10, 1 << 20);

}  // namespace
}  // namespace corvane
