// What a long conversation leaves in its brain, with the limits as they
// ship: a visitor who teaches 1,000 phrases of 64 KiB and then talks in
// large turns must not grow the brain by more than 16 MiB, and the brain
// goes on answering, what it learnt included.
#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/a1U2.h"
#include "kb_builder.h"
#include "platform/operator_messages.h"

namespace corvane {
namespace {

using namespace testing_kb;

// Sanitizers keep their own heap, which the C library cannot measure.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapMeasured = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kHeapMeasured = false;
#else
constexpr bool kHeapMeasured = true;
#endif
#else
constexpr bool kHeapMeasured = true;
#endif

std::size_t HeapInUse() {
#if defined(__GLIBC__)
  return mallinfo2().uordblks;
#else
  return 0;
#endif
}

// Words of six letters, different for each `seed`, about `bytes` long.
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

std::size_t HistoryBytes(const TextHistory& history) {
  std::size_t bytes = 0;
  for (const std::string_view text : history) bytes += text.size();
  return bytes;
}

// Under the sanitizers, which cannot measure the heap anyway, a tenth of
// the turns.
constexpr int kTeachings = kHeapMeasured ? 1000 : 100;
constexpr int kLargeTurns = kHeapMeasured ? 100 : 10;

TEST(GrowthTest, ThousandLongTeachingsAndLargeTurnsStayUnderSixteenMiB) {
  const OperatorMessageHandler previous =
      SetOperatorMessageHandler([](const std::string&) {});
  const std::size_t heap_before = HeapInUse();
  {
    BrainClass brain;
    // Teaching as the demo does it: a new pattern, and the whole phrase as
    // its fragment.
    PatternClass* teach = NewPattern(brain);
    AddFragment(teach, rel::kCustom, "teach", 1000);
    ResponseClass* tasks = AddResponse(teach, rt::kTaskList, "");
    AddTask(tasks, rt::kCreateAutoPattern, "learnt", "0", "taught ^Input{0}");
    AddTask(tasks, rt::kAddFragment, "^Input{0}", "100");
    PatternClass* echo = NewPattern(brain);
    AddFragment(echo, rel::kCustom, "echo", 1000);
    AddResponse(echo, rt::kJustText, "^Input{0} ^Input{0}");
    AddRule(brain, "hello", "Hello there.");

    std::string first_phrase, first_reply;
    for (int i = 0; i < kTeachings; ++i) {
      const std::string input = Phrase(64 << 10, i) + " teach";
      if (i == 0) {
        first_phrase = input.substr(0, kMaxLearntText);
        first_reply = ("taught " + input).substr(0, kMaxLearntText);
      }
      brain.Respond(input);
    }
    for (int i = 0; i < kLargeTurns; ++i)
      brain.Respond("echo " + Phrase(64 << 10, 5000 + i));

    EXPECT_LE(brain.learnt_bytes(), kMaxLearntBytes);
    EXPECT_LE(HistoryBytes(brain.InputHistory), kMaxHistoryBytes);
    EXPECT_LE(HistoryBytes(brain.OutputHistory), kMaxHistoryBytes);
    if (kHeapMeasured) {
      const std::size_t heap_after = HeapInUse();
      EXPECT_LT(heap_after - heap_before, std::size_t{16} << 20)
          << (heap_after - heap_before) << " bytes";
    }
    // Learning stopped somewhere (with all the turns), the first phrase was
    // learnt cut, and the brain answers what it knows.
    EXPECT_GT(brain.Modes.At(0)->Patterns.Count(), 3 + kTeachings / 10);
    if (kHeapMeasured) {
      EXPECT_LT(brain.Modes.At(0)->Patterns.Count(), 3 + kTeachings);
    }
    EXPECT_EQ(brain.Respond("hello"), "Hello there.");
    EXPECT_EQ(brain.Respond(first_phrase), first_reply);
  }
  SetOperatorMessageHandler(previous);
}

}  // namespace
}  // namespace corvane
