// A conversation on shared knowledge: what it keeps to itself, when it
// takes a private copy, its seed, its clock and its effects.
#include "engine/conversation.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "engine/a1U2.h"
#include "engine/conversation_snapshot.h"
#include "engine/effects.h"
#include "engine/knowledge_codec.h"
#include "langfile/CorvLangU.h"

namespace corvane {
namespace {

constexpr double kNoon = 46000.5;

const std::vector<std::string> kLines = {
    "State {Busy}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {busy}, {}, {}",
    "  Response {Busy now.},State Change,{Busy},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {add}, {}, {}",
    "  Response {Added.},Add To Collection,{Pets},{^Input{0}}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {pets}, {}, {}",
    "  Response {Pets: ^Members{Pets}.},Just Text,{},{}",
    "For-Mode",
    "  Fragment EXTRACT,80,0, {my name is ^Extr{Name}}, {}, {}",
    "  Response {Hi ^Fact{Name}.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {teach}, {}, {}",
    "  Response {learn zebra},Create AutoPattern,{40},{Striped.}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {log}, {}, {}",
    "  Response {Logged.},Log This,{visits.txt},{^Input{0}}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {when}, {}, {}",
    "  Response {It is ^SysFact{TIME}.},Just Text,{},{}",
    "Start-Collection {Pets}",
    "cat",
    "End-Collection",
};

std::shared_ptr<const SharedKnowledge> Knowledge() {
  auto brain = std::make_unique<BrainClass>();
  AttachLanguageReader(*brain);
  LoadLanguageLines(*brain, kLines, [](const LanguageProblem&) {});
  return SharedKnowledge::Freeze(std::move(brain));
}

std::string Frozen(const SharedKnowledge& k) {
  ByteWriter out;
  KnowledgeCodec::Encode(k.brain(), out, true);
  return out.Take();
}

// Counts what a conversation does outside.
class CountingEffects : public EffectSink {
 public:
  void Launch(std::string_view, const PathMapper&) override { ++launched; }
  void AppendLog(std::string_view file, std::string_view line,
                 const PathMapper&) override {
    logged.push_back(std::string(file) + ": " + std::string(line));
  }
  void ReplaceFile(std::string_view, std::string_view,
                   const PathMapper&) override {
    ++replaced;
  }
  int launched = 0;
  int replaced = 0;
  std::vector<std::string> logged;
};

TEST(ConversationTest, OrdinaryTurnsStayOnTheSharedKnowledgeAndApart) {
  const auto k = Knowledge();
  const std::string before = Frozen(*k);
  Conversation a(k, 1);
  Conversation b(k, 2);
  EXPECT_EQ(a.Respond("my name is Ann", kNoon), "Hi Ann.");
  EXPECT_EQ(a.Respond("busy", kNoon), "Busy now.");
  EXPECT_EQ(a.Respond("add dog", kNoon), "Added.");
  EXPECT_EQ(a.Respond("pets", kNoon), "Pets: add dog, cat.");
  // The other visitor sees the knowledge as the author wrote it.
  EXPECT_EQ(b.Respond("pets", kNoon), "Pets: cat.");
  EXPECT_EQ(b.turn().GetFact("Name"), "#");
  EXPECT_EQ(b.turn().CurrentStateName(), "Normal");
  EXPECT_EQ(a.turn().CurrentStateName(), "Busy");
  EXPECT_FALSE(a.promoted());
  EXPECT_EQ(Frozen(*k), before);
}

TEST(ConversationTest, TheFirstStructuralEditPromotesThatConversationOnly) {
  const auto k = Knowledge();
  const std::string before = Frozen(*k);
  Conversation a(k, 1);
  Conversation b(k, 2);
  a.Respond("add dog", kNoon);
  EXPECT_EQ(a.Respond("teach", kNoon), "");
  ASSERT_TRUE(a.promoted());
  // What it changed before carries over into its copy, in the same turn.
  EXPECT_EQ(a.Respond("learn zebra", kNoon), "Striped.");
  EXPECT_EQ(a.Respond("pets", kNoon), "Pets: add dog, cat.");
  EXPECT_FALSE(b.promoted());
  EXPECT_NE(b.Respond("learn zebra", kNoon), "Striped.");
  EXPECT_EQ(Frozen(*k), before);
  // Its snapshot carries the knowledge it learnt.
  auto restored = ReadSnapshot(k, WriteSnapshot(a));
  EXPECT_TRUE(restored->promoted());
  EXPECT_EQ(restored->Respond("learn zebra", kNoon), "Striped.");
}

std::vector<std::string> Texts(const TextHistory& h) {
  return std::vector<std::string>(h.begin(), h.end());
}

// Histories that have wrapped move into the private copy whole, and go on
// exactly as a private brain's of the same seed and clock.
TEST(ConversationTest, HistoriesGoOnAcrossThePromotion) {
  const auto k = Knowledge();
  Conversation c(k, 31);
  c.state().SetEffects(&DiscardedEffects());
  auto brain = std::make_unique<BrainClass>();
  LoadLanguageLines(*brain, kLines, [](const LanguageProblem&) {});
  brain->Seed(31);
  brain->SetEffects(&DiscardedEffects());
  c.state().LastInput = brain->LastInput = kNoon - 1;
  c.Start(kNoon);
  brain->turn().Start(kNoon);
  auto input = [](int t) {
    if (t == 120) return std::string("teach");
    return (t % 3 == 0 ? "pets " : "my name is P") + std::to_string(t);
  };
  for (int t = 0; t < 160; ++t) {
    const double now = kNoon + t / 86400.0;
    ASSERT_EQ(c.Respond(input(t), now), brain->Respond(input(t), now)) << t;
    ASSERT_EQ(c.promoted(), t >= 120) << t;
    ASSERT_EQ(Texts(c.state().InputHistory), Texts(brain->InputHistory)) << t;
    ASSERT_EQ(Texts(c.state().OutputHistory), Texts(brain->OutputHistory))
        << t;
  }
  EXPECT_EQ(c.state().InputHistory.At(0), input(159));
  EXPECT_EQ(c.state().InputHistory.At(99), input(60));
  EXPECT_EQ(c.turn().RecallInput("39"), "teach");
}

TEST(ConversationTest, OnlyAnUnusedBrainCanBeFrozen) {
  auto brain = std::make_unique<BrainClass>();
  LoadLanguageLines(*brain, kLines, [](const LanguageProblem&) {});
  brain->Respond("busy");
  EXPECT_THROW(SharedKnowledge::Freeze(std::move(brain)), AssertionError);
  EXPECT_THROW(SharedKnowledge::Freeze(nullptr), AssertionError);
}

TEST(ConversationTest, SeedsComeFromTheSystemAndAreRecorded) {
  const auto k = Knowledge();
  Conversation a(k);
  Conversation b(k);
  EXPECT_NE(a.seed(), b.seed());
  Conversation again(k, a.seed());
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(again.turn().RandomLetter(), a.turn().RandomLetter());
  EXPECT_EQ(ReadSnapshot(k, WriteSnapshot(a))->seed(), a.seed());
}

TEST(ConversationTest, EveryClockReadingOfATurnSeesTheTurnsClock) {
  const auto k = Knowledge();
  Conversation a(k, 1);
  // Three quarters of a day, later than any real clock now.
  const std::string reply = a.Respond("when", 50000.75);
  EXPECT_EQ(a.state().LastInput, 50000.75);
  Conversation b(k, 1);
  EXPECT_EQ(b.Respond("when", 50000.75), reply);
}

TEST(ConversationTest, EffectsGoThroughTheSinkAndAreNotRepeatedOnRestore) {
  const auto k = Knowledge();
  CountingEffects effects;
  Conversation a(k, 1);
  a.state().SetEffects(&effects);
  EXPECT_EQ(a.Respond("log one", kNoon), "Logged.");
  ASSERT_EQ(effects.logged.size(), 1u);
  EXPECT_EQ(effects.logged[0], "visits.txt: log one\r\n");
  auto restored = ReadSnapshot(k, WriteSnapshot(a));
  restored->state().SetEffects(&effects);
  EXPECT_EQ(restored->Respond("log two", kNoon), "Logged.");
  ASSERT_EQ(effects.logged.size(), 2u);
  EXPECT_EQ(effects.logged[1], "visits.txt: log two\r\n");
}

}  // namespace
}  // namespace corvane
