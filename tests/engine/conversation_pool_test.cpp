// Many threads on one shared knowledge base: sixteen threads each run
// conversations of their own over the frozen demo, one of them taught (so
// it takes its private copy while the others read), one written to bytes
// and restored now and then, each checked against a private brain of the
// thread's own. Built into the ThreadSanitizer run (its name holds "pool"),
// where any write to what the threads share is reported.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "engine/a1U2.h"
#include "engine/conversation.h"
#include "engine/effects.h"
#include "langfile/CorvLangU.h"

namespace corvane {
namespace {

constexpr int kThreads = 16;
constexpr int kTurns = CORVANE_TEST_SCALE > 1 ? 60 : 400;
constexpr double kDay0 = 46000.5;

std::vector<std::string> DemoLines() {
  std::ifstream file(std::string(CORVANE_SOURCE_DIR) +
                     "/demo/wwwroot/CorvWebDemo.clf");
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::unique_ptr<BrainClass> Load(const std::vector<std::string>& lines) {
  auto brain = std::make_unique<BrainClass>();
  brain->Seed(3);
  AttachLanguageReader(*brain);
  LoadLanguageLines(*brain, lines, [](const LanguageProblem&) {});
  brain->SetEffects(&DiscardedEffects());
  return brain;
}

std::string Reply(BrainClass& brain, const std::string& input, double now) {
  try {
    return brain.Respond(input, now);
  } catch (const Error& e) {
    return std::string("ERROR ") + e.what();
  }
}
std::string Reply(Conversation& c, const std::string& input, double now) {
  try {
    return c.Respond(input, now);
  } catch (const Error& e) {
    return std::string("ERROR ") + e.what();
  }
}

TEST(ConversationPoolTest, SixteenThreadsShareOneFrozenKnowledgeBase) {
  const std::vector<std::string> lines = DemoLines();
  ASSERT_GT(lines.size(), 300u);
  const std::shared_ptr<const SharedKnowledge> shared =
      SharedKnowledge::Freeze(Load(lines));
  // The private brains are loaded first: the reader is not what is tested.
  std::vector<std::unique_ptr<BrainClass>> brains;
  for (int t = 0; t < kThreads; ++t) {
    brains.push_back(Load(lines));
    brains.back()->Seed(100 + t);
  }
  const std::vector<std::string> inputs = {"hello",
                                           "my name is Bo",
                                           "what is on the menu",
                                           "tell me a joke",
                                           "book a table",
                                           "Bo",
                                           "tomorrow",
                                           "3",
                                           "yes",
                                           "help",
                                           "risotto",
                                           "cancel",
                                           "what is my name",
                                           "bye",
                                           "good night",
                                           ""};
  const std::string teach = "when I say good night, answer sleep well";

  std::atomic<int> differences{0};
  std::atomic<int> promoted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      BrainClass& brain = *brains[static_cast<std::size_t>(t)];
      auto mine = std::make_unique<Conversation>(shared, 100 + t);
      mine->state().SetEffects(&DiscardedEffects());
      Conversation other(shared, 900 + t);
      other.state().SetEffects(&DiscardedEffects());
      brain.turn().Start(kDay0);
      mine->Start(kDay0);
      other.Start(kDay0);
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int turn = 0; turn < kTurns; ++turn) {
        std::string input = inputs[std::uniform_int_distribution<std::size_t>(
            0, inputs.size() - 1)(rng)];
        // Even threads teach first, while the others read.
        if (t % 2 == 0 && turn == 0) input = teach;
        const double now = kDay0 + turn / 86400.0;
        if (Reply(brain, input, now) != Reply(*mine, input, now)) ++differences;
        Reply(other, input, now);
        if (turn % 25 == 24 && t % 4 == 1) {
          // A restored conversation continues where the original stopped.
          ByteWriter bytes;
          mine->EncodeState(bytes);
          if (!mine->promoted()) {
            ByteReader in(bytes.bytes(), "conversation");
            mine = Conversation::RestoreState(shared, in);
            mine->state().SetEffects(&DiscardedEffects());
          }
        }
      }
      promoted += mine->promoted();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(differences.load(), 0);
  EXPECT_EQ(promoted.load(), kThreads / 2);
}

}  // namespace
}  // namespace corvane
