// The limits on what a conversation may add to its brain, reached in a
// few small turns: this executable's engine is built with them lowered
// (learnt texts cut at 64 bytes, 64 KiB of learnt knowledge, 4 KiB of
// history text).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/a1U2.h"
#include "platform/operator_messages.h"
#include "tests/engine/kb_builder.h"
#include "text/text_util.h"

namespace corvane {
namespace {

using namespace testing_kb;

static_assert(kMaxLearntText == 64, "built with the lowered limits");
static_assert(kMaxLearntBytes == 65536, "built with the lowered limits");
static_assert(kMaxHistoryBytes == 4096, "built with the lowered limits");

// Collects the operator messages while it lives.
class OperatorMessages {
 public:
  OperatorMessages() {
    previous_ = SetOperatorMessageHandler(
        [this](const std::string& text) { texts.push_back(text); });
  }
  ~OperatorMessages() { SetOperatorMessageHandler(std::move(previous_)); }
  std::vector<std::string> texts;

 private:
  OperatorMessageHandler previous_;
};

// A pattern that fires on `word` and carries out one response of `type`.
ResponseClass* OnWord(BrainClass& brain, const std::string& word, uint8_t type,
                      const std::string& out, const std::string& name = "",
                      const std::string& value = "") {
  PatternClass* p = NewPattern(brain);
  AddFragment(p, rel::kCustom, word, 1000);
  return AddResponse(p, type, out, name, value);
}

std::string Letters(std::size_t n, char first = 'a') {
  std::string text;
  for (std::size_t i = 0; i < n; ++i)
    text += static_cast<char>(first + static_cast<char>(i % 26));
  return text;
}

PatternClass* LastPattern(BrainClass& brain) {
  KnowledgeClass* mode = brain.Modes.At(0);
  return mode->Patterns.At(mode->Patterns.Count() - 1);
}

TEST(LearntTextLimitTest, TextsAreCutAtTheLimitAndNoEarlier) {
  // Lengths of the whole input, which every learning command is given.
  const std::size_t lengths[] = {63, 64, 65, 500};
  for (const std::size_t length : lengths) {
    BrainClass brain;
    const std::string input = "teach " + Letters(length - 6);
    const std::string kept = input.substr(0, 64);
    // A response that teaches the input, extends the new pattern with it
    // and gives it a second answer.
    ResponseClass* teach = OnWord(brain, "teach", rt::kTaskList, "");
    AddTask(teach, rt::kCreateAutoPattern, "^Input{0}", "5", "^Input{0}");
    AddTask(teach, rt::kAddFragment, "^Input{0}", "7");
    AddTask(teach, rt::kAddResponse, "^Input{0}");
    brain.Respond(input);
    PatternClass* learnt = LastPattern(brain);
    ASSERT_EQ(learnt->Fragments.Count(), 3) << length;
    EXPECT_EQ(learnt->Fragments.At(0)->WORDFRAG, "TEACH");
    EXPECT_EQ(learnt->Fragments.At(1)->WORDFRAG, UpperAscii(kept.substr(6)))
        << length;
    EXPECT_EQ(learnt->Fragments.At(2)->WORDFRAG, kept) << length;
    ASSERT_EQ(learnt->Responses.Count(), 2);
    EXPECT_EQ(learnt->Responses.At(0)->OUTTEXT, kept) << length;
    EXPECT_EQ(learnt->Responses.At(1)->OUTTEXT, kept) << length;
  }
}

TEST(LearntKnowledgeLimitTest,
     LearningStopsAtTheBudgetAndTheConversationGoesOn) {
  OperatorMessages messages;
  BrainClass brain;
  OnWord(brain, "teach", rt::kCreateAutoPattern, "^Input{0}", "50",
         "learnt ^Input{0}");
  OnWord(brain, "hello", rt::kJustText, "Hello there.");
  int learnt = 0;
  std::size_t spent = 0;
  for (int turn = 0; turn < 1000; ++turn) {
    const int before = brain.Modes.At(0)->Patterns.Count();
    brain.Respond("teach w" + Letters(40, static_cast<char>('a' + turn % 26)));
    ASSERT_LE(brain.learnt_bytes(), kMaxLearntBytes);
    if (brain.Modes.At(0)->Patterns.Count() == before) break;
    ASSERT_GT(brain.learnt_bytes(), spent);
    spent = brain.learnt_bytes();
    ++learnt;
  }
  // Learning took patterns in until one did not fit, then stopped for good.
  EXPECT_GT(learnt, 10);
  EXPECT_LT(learnt, 1000);
  EXPECT_GT(brain.learnt_bytes() + 4096, kMaxLearntBytes);
  const int patterns = brain.Modes.At(0)->Patterns.Count();
  brain.Respond("teach again");
  EXPECT_EQ(brain.Modes.At(0)->Patterns.Count(), patterns);
  // The operator heard of it once; the conversation answers as before,
  // learnt patterns included.
  ASSERT_EQ(messages.texts.size(), 1u);
  EXPECT_NE(messages.texts[0].find("Learning stopped"), std::string::npos);
  EXPECT_EQ(brain.Respond("hello"), "Hello there.");
  EXPECT_EQ(brain.Respond("wabcdefghijklmnopqrstuvwxyzabcdefghijklmn"),
            "learnt teach wabcdefghijklmnopqrstuvwxyzabcdefghijklmn");
}

TEST(LearntKnowledgeLimitTest, OnlyWhatTurnsAddCounts) {
  BrainClass brain;
  // Building knowledge outside a turn (a loader, a test) counts nothing,
  // however much it is.
  for (int i = 0; i < 1000; ++i) {
    brain.CreateAutoPattern("word" + Letters(10), "1", Letters(60));
    brain.AddMember("big", Letters(60) + std::to_string(i));
    brain.SetFact("f" + std::to_string(i), Letters(60));
  }
  EXPECT_EQ(brain.learnt_bytes(), 0u);
  EXPECT_EQ(brain.FindCollection("big")->Members.Count(), 1000);
}

TEST(LearntKnowledgeLimitTest, CollectionsAndFactsCountWhatIsNew) {
  OperatorMessages messages;
  BrainClass brain;
  OnWord(brain, "keep", rt::kAddToCollection, "", "kept", "^Input{0}");
  OnWord(brain, "note", rt::kAssignment, "", "^Input{0}", "noted");
  OnWord(brain, "double", rt::kMergeCollection, "", "twice", "twice");
  brain.Respond("keep same");
  const std::size_t after_one = brain.learnt_bytes();
  EXPECT_GT(after_one, 0u);
  brain.Respond("keep same");  // Not added again: nothing counted.
  brain.Respond("note same");
  const std::size_t after_fact = brain.learnt_bytes();
  EXPECT_GT(after_fact, after_one);
  brain.Respond("note same");  // The fact exists: it only changes.
  EXPECT_EQ(brain.learnt_bytes(), after_fact);

  // An unsorted collection merged into itself doubles every turn: it stops
  // at the budget instead of growing without end.
  DataCollectionClass* twice = brain.FindOrCreateCollection("twice");
  twice->Members.SetUnsorted();
  twice->Members.Add(Letters(50));
  int last = 1;
  for (int turn = 0; turn < 64; ++turn) {
    brain.Respond("double");
    ASSERT_LE(brain.learnt_bytes(), kMaxLearntBytes);
    if (twice->Members.Count() == last) break;
    last = twice->Members.Count();
  }
  EXPECT_LT(twice->Members.Count(), 2048);
  EXPECT_EQ(messages.texts.size(), 1u);
  // Once learning stopped, new facts are not made; known ones still change.
  brain.Respond("note other");
  EXPECT_EQ(brain.GetFact("note other"), "#");
  brain.SetFact("x", "1");  // Outside a turn: made.
  OnWord(brain, "set", rt::kAssignment, "", "x", "2");
  brain.Respond("set");
  EXPECT_EQ(brain.GetFact("x"), "2");
}

TEST(HistoryLimitTest, HistoriesKeepTheirByteBudgetButTheNewestWhole) {
  BrainClass brain;
  // Texts of 1,000 bytes: four fit beside the newest.
  for (int i = 0; i < 10; ++i)
    brain.RecordInput(std::to_string(i) + Letters(999));
  std::size_t bytes = 0;
  for (const std::string_view text : brain.InputHistory) bytes += text.size();
  EXPECT_EQ(brain.InputHistory.Count(), 4);
  EXPECT_LE(bytes, kMaxHistoryBytes);
  EXPECT_EQ(brain.RecallInput("0").substr(0, 1), "9");
  EXPECT_EQ(brain.RecallInput("3").substr(0, 1), "6");
  // A newest text larger than the budget stays, alone and whole.
  const std::string huge = Letters(10000);
  brain.RecordOutput("small");
  brain.RecordOutput(huge);
  EXPECT_EQ(brain.OutputHistory.Count(), 1);
  EXPECT_EQ(brain.RecallOutput("0"), huge);
  // Short texts still stop at 100 entries.
  for (int i = 0; i < 150; ++i) brain.RecordOutput("t" + std::to_string(i));
  EXPECT_EQ(brain.OutputHistory.Count(), 100);
  EXPECT_EQ(brain.RecallOutput("0"), "t149");
  EXPECT_EQ(brain.RecallOutput("99"), "t50");
}

TEST(HistoryLimitTest, ATurnRecallsItsOwnLongInput) {
  BrainClass brain;
  OnWord(brain, "echo", rt::kJustText, "^Input{0}");
  const std::string input = "echo " + Letters(8000);
  EXPECT_EQ(brain.Respond(input), input);
  EXPECT_EQ(brain.InputHistory.Count(), 1);
  EXPECT_EQ(brain.OutputHistory.Count(), 1);
}

}  // namespace
}  // namespace corvane
