// The brain's state operations.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/error.h"
#include "engine/a1U2.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "tests/engine/kb_builder.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

using namespace testing_kb;

TEST(StateOpsTest, ModesAndStates) {
  BrainClass brain;
  brain.AddMode("Sales", std::make_unique<KnowledgeClass>());
  brain.SetMode("ghost");
  EXPECT_EQ(brain.CurrentMode, 0);
  brain.SetMode("SALES");
  EXPECT_EQ(brain.CurrentMode, 1);
  brain.SetState("Angry");
  EXPECT_EQ(brain.StateNames.Count(), 2);
  EXPECT_EQ(brain.CurrentStateName(), "Angry");
  brain.SetState("normal");
  EXPECT_EQ(brain.CurrentState, 0);
}

TEST(StateOpsTest, FactsOverwriteIgnoringCaseAndUnknownReadsHash) {
  BrainClass brain;
  EXPECT_EQ(brain.GetFact("x"), "#");
  brain.SetFact("Colour", "blue");
  brain.SetFact("COLOUR", "Red");
  EXPECT_EQ(brain.FactNames.Count(), 1);
  EXPECT_EQ(brain.FactNames.At(0), "Colour");
  EXPECT_EQ(brain.GetFact("colour"), "Red");
}

TEST(ExtractFactsTest, SegmentsLiteralsAndSlots) {
  BrainClass brain;
  EXPECT_TRUE(brain.ExtractFacts("MY NAME IS ^EXTR{NAME}", "Hello, my name is Ann Lee "));
  EXPECT_EQ(brain.GetFact("NAME"), "Ann Lee");
  EXPECT_TRUE(brain.ExtractFacts("^EXTR{A} AND ^EXTR{B}", "tea and cake"));
  EXPECT_EQ(brain.GetFact("A"), "tea");
  EXPECT_EQ(brain.GetFact("B"), "cake");
  EXPECT_FALSE(brain.ExtractFacts("^EXTR{A} AND ^EXTR{B}", "milk or sugar"));
  EXPECT_EQ(brain.GetFact("A"), "tea");  // unchanged
  EXPECT_FALSE(brain.ExtractFacts("JUST A LITERAL", "just a literal"));
  EXPECT_FALSE(brain.ExtractFacts("HELLO ^EXTR{}", "hello there"));
  EXPECT_FALSE(brain.ExtractFacts("HELLO ^EXTR{NAME", "hello there"));
  EXPECT_FALSE(brain.ExtractFacts("^EXTR{ONLY}", "anything"));  // no literal
  EXPECT_FALSE(brain.ExtractFacts("   ", "x"));
  EXPECT_FALSE(brain.ExtractFacts("A ^EXTR{X}", "   "));
  // A slot between two literals takes the text up to the next literal.
  EXPECT_TRUE(brain.ExtractFacts("FROM ^EXTR{SRC} TO ^EXTR{DST} TODAY",
                                 "flights from Oslo to Rome today please"));
  EXPECT_EQ(brain.GetFact("SRC"), "Oslo");
  EXPECT_EQ(brain.GetFact("DST"), "Rome");
}

TEST(ExtractFactsTest, MoreThanFiftySegmentsRaise) {
  BrainClass brain;
  std::string fifty, fifty_one;
  for (int i = 0; i < 25; ++i) fifty += "W ^EXTR{F" + std::to_string(i) + "} ";
  EXPECT_NO_THROW(brain.ExtractFacts(fifty, "w a w b"));
  fifty_one = fifty + "W";
  EXPECT_THROW(brain.ExtractFacts(fifty_one, "w a w b"), LimitError);
}

TEST(StateOpsTest, HistoryRecall) {
  BrainClass brain;
  EXPECT_EQ(brain.RecallInput("0"), "");
  brain.RecordInput("first");
  brain.RecordInput("second");
  EXPECT_EQ(brain.RecallInput("0"), "second");
  EXPECT_EQ(brain.RecallInput(" 1"), "first");
  EXPECT_EQ(brain.RecallInput("1 "), "second");  // trailing blank: not a number, 0
  EXPECT_EQ(brain.RecallInput("2"), "");
  EXPECT_EQ(brain.RecallInput("-1"), "");
  EXPECT_EQ(brain.RecallInput("word"), "second");
  for (int i = 0; i < 150; ++i) brain.RecordOutput(std::to_string(i));
  EXPECT_EQ(brain.RecallOutput("99"), "50");
  EXPECT_EQ(brain.RecallOutput("100"), "");
}

TEST(StateOpsTest, AutoNamesAreTenLettersFromAToY) {
  BrainClass brain;
  brain.Seed(42);
  for (int i = 0; i < 200; ++i) {
    const std::string name = brain.AutoName();
    ASSERT_EQ(name.size(), 15u);
    EXPECT_EQ(name.substr(0, 5), "Auto-");
    for (char c : name.substr(5)) EXPECT_TRUE(c >= 'A' && c <= 'Y') << name;
  }
  BrainClass a, b;
  a.Seed(7);
  b.Seed(7);
  EXPECT_EQ(a.AutoName(), b.AutoName());
}

TEST(StateOpsTest, NameAndCodeConversions) {
  EXPECT_EQ(BrainClass::ResponseTypeCode("  just text "), 1);
  EXPECT_EQ(BrainClass::ResponseTypeCode("BRANCHIF"), 38);
  EXPECT_EQ(BrainClass::ResponseTypeCode("Speak"), 0);
  EXPECT_EQ(BrainClass::RelationCode("in collection-sub"), 12);
  EXPECT_EQ(BrainClass::RelationCode("\tcustom\r"), 4);
  EXPECT_EQ(BrainClass::RelationCode("Or else"), 0);
  EXPECT_EQ(BrainClass::ResponseTypeName(19), "Ask Orvalis");
  EXPECT_EQ(BrainClass::RelationName(17), "EXTRACT");
  for (int i = 0; i < kResponseTypeCount; ++i)
    EXPECT_EQ(BrainClass::ResponseTypeCode(BrainClass::ResponseTypeName(i)), i);
  for (int i = 0; i < kRelationCount; ++i)
    EXPECT_EQ(BrainClass::RelationCode(BrainClass::RelationName(i)), i);
  EXPECT_EQ(BrainClass::TextToInt(" 42 "), 42);
  EXPECT_EQ(BrainClass::TextToInt("4x"), 0);
  EXPECT_EQ(BrainClass::TextToInt("$1F"), 31);
  EXPECT_DOUBLE_EQ(BrainClass::TextToReal("abc", 7.5), 7.5);
  EXPECT_DOUBLE_EQ(BrainClass::TextToReal(" -1.5e2 ", 7.5), -150);
  EXPECT_DOUBLE_EQ(BrainClass::TextToReal("1e999", 7.5), 7.5);
}

double FixedClock() { return DateTimeFromCivil(2026, 3, 7) + (15 * 3600 + 7 * 60 + 9) / 86400.0; }

TEST(StateOpsTest, SystemValuesWithFixedFormats) {
  SetClockForTesting(&FixedClock);
  BrainClass brain;
  EXPECT_EQ(brain.SystemValue("time"), "3:07:09 PM");
  EXPECT_EQ(brain.SystemValue("Date"), "03/07/2026");
  // 2 October 2002 to 7 March 2026.
  EXPECT_EQ(brain.SystemValue("AGE"),
            std::to_string(static_cast<int>(DateTimeFromCivil(2026, 3, 7) -
                                            DateTimeFromCivil(2002, 10, 2))));
  EXPECT_EQ(brain.SystemValue("TIME "), "*");
  SetClockForTesting(nullptr);
}

TEST(StateOpsTest, LastInputStrictlyIncreasesEvenWhenTheClockStands) {
  SetClockForTesting(&FixedClock);
  BrainClass brain;
  const double t0 = brain.LastInput;
  brain.Respond("a");
  const double t1 = brain.LastInput;
  brain.Respond("b");
  EXPECT_GT(t1, t0);
  EXPECT_GT(brain.LastInput, t1);
  SetClockForTesting(nullptr);
}

TEST(StateOpsTest, MembersLogLinesAndDoResponseFor) {
  TempDir dir;
  const std::filesystem::path root = dir.path();
  BrainClass brain;
  brain.SetFileRoot(root.string());
  brain.AddMember("Fruits", " apple ");
  brain.AddMember("fruits", "APPLE");
  ASSERT_NE(brain.FindCollection("FRUITS"), nullptr);
  EXPECT_EQ(brain.FindCollection("fruits")->Members.Count(), 1);
  brain.AddMember("", "lost");
  EXPECT_EQ(brain.Collections.Count(), 1);
  brain.RemoveMember("fruits", "Apple");
  EXPECT_EQ(brain.FindCollection("fruits")->Members.Count(), 0);
  brain.RemoveMember("ghost", "x");

  brain.LogLine("log.txt", "one");
  brain.LogLine("C:\\Inetpub\\wwwroot\\log.txt", "two");
  brain.LogLine("../escape.txt", "no");
  EXPECT_EQ(*ReadFileBytes((root / "log.txt").string()), "one\r\ntwo\r\n");
  EXPECT_FALSE(std::filesystem::exists(root.parent_path() / "escape.txt"));

  PatternClass* p = NewPattern(brain, "Greeter");
  AddResponse(p, rt::kJustText, "Hi!");
  brain.DoResponseFor("greeter");
  brain.DoResponseFor("MyBrain");
  brain.DoResponseFor("ghost");
  ASSERT_EQ(brain.PendingOutput.Count(), 1);
  EXPECT_EQ(p->HITCOUNT, 1);
  brain.ResetAllHits();
  EXPECT_EQ(p->HITCOUNT, 0);
}

TEST(StateOpsTest, StateResponseTypesThroughResponses) {
  BrainClass brain;
  brain.AddMode("Other", std::make_unique<KnowledgeClass>());
  PatternClass* p = NewPattern(brain);
  ResponseClass* r = AddResponse(p, rt::kTaskList, "done");
  AddTask(r, rt::kStateChange, "", "Busy");
  AddTask(r, rt::kAssignment, "", "who", "me");
  AddTask(r, rt::kAddToCollection, "", "bag", "pen");
  AddTask(r, rt::kAddToCollection, "", "bag", "cup");
  AddTask(r, rt::kRemoveFromCollection, "", "bag", "pen");
  AddTask(r, rt::kModeChange, "", "Other");
  EXPECT_EQ(brain.Respond("x"), "done");
  EXPECT_EQ(brain.CurrentStateName(), "Busy");
  EXPECT_EQ(brain.GetFact("who"), "me");
  EXPECT_EQ(brain.FindCollection("bag")->AllMembers("x"), "cup");
  EXPECT_EQ(brain.CurrentMode, 1);
  PatternClass* q = NewPattern(brain.Modes.At(1));
  AddResponse(q, rt::kResetState, "cleared");
  EXPECT_EQ(brain.Respond("x"), "cleared");
  EXPECT_EQ(brain.CurrentState, -1);
}

}  // namespace
}  // namespace corvane
