// The brain, the input turn and modes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/a1U2.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/error.h"
#include "tests/engine/kb_builder.h"

namespace corvane {
namespace {

using namespace testing_kb;

TEST(BrainClassTest, NewBrainHasDefaultModeNormalStateAndOnlyItsOwnLabel) {
  BrainClass brain;
  EXPECT_EQ(brain.CurrentStateName(), "Normal");
  EXPECT_EQ(brain.CurrentMode, 0);
  EXPECT_EQ(brain.CurrentProc, -1);
  ASSERT_EQ(brain.NamedObjects.Count(), 1);
  EXPECT_EQ(brain.NamedObjects.At(0), "MyBrain");
  EXPECT_EQ(brain.FindNamedObject("mybrain"), &brain);
  EXPECT_EQ(brain.ModeNames.At(0), "Default");
  EXPECT_EQ(brain.Name, "MyBrain");
}

TEST(BrainClassTest, ModeRegistrationReplacesInPlaceAndKeepsCurrent) {
  BrainClass brain;
  auto replacement = std::make_unique<KnowledgeClass>();
  replacement->ObjectName = "NewDefault";
  KnowledgeClass* added = brain.AddMode("DEFAULT", std::move(replacement));
  EXPECT_EQ(brain.Modes.Count(), 1);
  EXPECT_EQ(brain.Modes.At(0), added);
  EXPECT_EQ(brain.CurrentMode, 0);
  EXPECT_EQ(brain.LastKnow, "NewDefault");
  brain.AddMode("Sales", std::make_unique<KnowledgeClass>());
  EXPECT_EQ(brain.CurrentMode, 0);
  EXPECT_EQ(brain.LastKnow, "");
  brain.AddMode("", std::make_unique<KnowledgeClass>());  // accepted
  EXPECT_EQ(brain.Modes.Count(), 3);
}

TEST(BrainClassTest, StatesIgnoreCaseAndEmptyNamesOfProcsAndCollectionsChangeNothing) {
  BrainClass brain;
  brain.AddState("NORMAL");
  EXPECT_EQ(brain.StateNames.Count(), 1);
  brain.AddState("");
  EXPECT_EQ(brain.StateNames.Count(), 2);
  brain.ClearState();
  EXPECT_EQ(brain.CurrentStateName(), "");
  brain.AddProc("", std::make_unique<ProcClass>());
  brain.AddCollection("", std::make_unique<DataCollectionClass>());
  EXPECT_EQ(brain.ProcNames.Count(), 0);
  EXPECT_EQ(brain.Collections.Count(), 0);
  EXPECT_EQ(brain.NamedObjects.Count(), 1);
}

TEST(BrainClassTest, ReAddingTheOnlyStateMakesItCurrentAgain) {
  BrainClass brain;
  brain.ClearState();
  brain.AddState("normal");
  EXPECT_EQ(brain.CurrentState, 0);
}

TEST(BrainClassTest, HistoriesKeepTheHundredNewestNewestFirst) {
  BrainClass brain;
  for (int i = 0; i < 101; ++i) brain.RecordOutput("t" + std::to_string(i));
  ASSERT_EQ(brain.OutputHistory.Count(), 100);
  EXPECT_EQ(brain.OutputHistory.At(0), "t100");
  EXPECT_EQ(brain.OutputHistory.At(99), "t1");
}

TEST(BrainClassTest, OutputHandlerReceivesTextsAndRepliesStayEmpty) {
  std::vector<std::string> seen;
  BrainClass brain([&](const std::string& t) { seen.push_back(t); });
  brain.Say("hello");
  EXPECT_TRUE(brain.PendingOutput.empty());
  EXPECT_EQ(brain.OutputHistory.At(0), "hello");
  EXPECT_EQ(brain.Respond("anything"), "");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], kModeFallbackMessage);
}

TEST(BrainClassTest, FirstRegisteredOfTwoEqualLabelsIsFound) {
  BrainClass brain;
  PatternClass* first = NewPattern(brain, "P");
  NewPattern(brain, "p");
  EXPECT_EQ(brain.FindNamedObject("P"), first);
  EXPECT_EQ(brain.NamedObjects.Count(), 3);
}

TEST(RespondTest, RepliesJoinWithTwoBlanksAndEmptyTextsAsSpecified) {
  struct Case {
    std::vector<std::string> said;
    std::string reply;
  };
  const Case cases[] = {
      {{"A", "B", "C"}, "A  B  C"},
      {{"", "B"}, "B"},
      {{"A", "", "C"}, "A    C"},
      {{"", "", ""}, ""},
      {{"A", ""}, "A  "},
  };
  for (const Case& c : cases) {
    BrainClass brain;
    PatternClass* p = NewPattern(brain);
    ResponseClass* list = AddResponse(p, rt::kTaskList, "");
    // The task list says its texts, then the response itself says "" last.
    for (const std::string& s : c.said) AddTask(list, rt::kJustText, s);
    std::string expect = c.reply;
    expect = expect.empty() ? "" : expect + "  ";
    EXPECT_EQ(brain.Respond("x"), expect);
  }
}

TEST(RespondTest, FreshBrainAnswersWithModeFallbackAndNoModeMessageNeedsMinusOne) {
  BrainClass brain;
  EXPECT_EQ(brain.Respond("hi"),
            "Sorry, I can't answer you because I don't know anything at all yet...");
  brain.CurrentMode = -1;
  EXPECT_EQ(brain.Respond("hi"), "Sorry, I do not know anything at all yet!");
  EXPECT_EQ(brain.InputHistory.At(0), "hi");
  EXPECT_EQ(brain.InputHistory.Count(), 2);
}

TEST(RespondTest, StartGreetingLeadsFirstReplyAndStopIsNeverCollected) {
  BrainClass brain;
  PatternClass* greet = NewPattern(brain);
  AddFragment(greet, rel::kInitialize, "");
  AddResponse(greet, rt::kJustText, "Welcome!");
  PatternClass* bye = NewPattern(brain);
  AddFragment(bye, rel::kFinalize, "");
  AddFragment(bye, rel::kAnd, "zzz");  // -100: never the best pattern
  AddResponse(bye, rt::kJustText, "Bye.");
  AddRule(brain, "hello", "Hi there.");
  brain.Start();
  EXPECT_EQ(brain.Respond("hello"), "Welcome!  Hi there.");
  brain.Stop();
  EXPECT_EQ(brain.PendingOutput.Count(), 1);
}

TEST(RespondTest, DoBeforeStartsProcedureThatTakesTheSameTurn) {
  BrainClass brain;
  auto proc = std::make_unique<ProcClass>();
  ProcClass* signup = brain.AddProc("Signup", std::move(proc));
  auto step = std::make_unique<StepClass>();
  step->Prompt = "Name?";
  StepClass* s1 = signup->AddStep("S1", std::move(step));
  auto sp = std::make_unique<StepPatternClass>();
  StepPatternClass* spp = s1->AddStepPattern(std::move(sp));
  AddResponse(spp, rt::kJustText, "Got it.");

  PatternClass* before = NewPattern(brain);
  AddFragment(before, rel::kDoBefore, "");
  AddResponse(before, rt::kStartProc, "", "Signup");
  before->HITCOUNT = 0;
  PatternClass* after = NewPattern(brain);
  AddFragment(after, rel::kDoAfter, "");
  AddResponse(after, rt::kJustText, "after");
  // Before: "Name?" (Begin) then "" (the start response, which still adds
  // its separator); the step answers "Got it.", then the prompt again; no
  // "Do-After" text.
  EXPECT_EQ(brain.Respond("Ann"), "Name?    Got it.  Name?");
  // The procedure is now running and the mode is not consulted.
  brain.DoBeforePatterns.clear();
  EXPECT_EQ(brain.Respond("x"), "Got it.  Name?");
}

TEST(RespondTest, SelfSubmittingResponseEndsAtTheDepthLimit) {
  BrainClass brain;
  PatternClass* p = NewPattern(brain);
  AddResponse(p, rt::kSubmitThis, "s", "again");
  const std::string reply = brain.Respond("go");
  // Each nested turn says "s" after its own nested turn returns.
  std::string expect = "s";
  for (int i = 1; i < kMaxSubmitDepth; ++i) expect += "  s";
  EXPECT_EQ(reply, expect);
  EXPECT_EQ(brain.InputHistory.Count(), kMaxSubmitDepth);
  EXPECT_EQ(brain.InputHistory.At(0), "again");
}

TEST(RespondTest, IndexErrorAbandonsTurnAndPendingOutputLeadsNextReply) {
  BrainClass brain;
  PatternClass* p = NewPattern(brain);
  ResponseClass* r = AddResponse(p, rt::kTaskList, "");
  AddTask(r, rt::kJustText, "said first");
  AddTask(r, rt::kProcReturn, "");
  brain.ProcStack.Add("Ghost");
  brain.StepStack.Add("Nowhere");
  EXPECT_THROW(brain.Respond("x"), IndexError);
  brain.ProcStack.Clear();
  brain.StepStack.Clear();
  brain.CurrentProc = -1;
  EXPECT_EQ(brain.Respond("x"), "said first  said first  ");
}

TEST(KnowledgeClassTest, BestScoreWinsFirstOfEqualScoresAndMinus30000NeverChosen) {
  {
    BrainClass brain;
    AddRule(brain, "hello", "first");
    AddRule(brain, "hello", "second");
    EXPECT_EQ(brain.Respond("hello"), "first");
  }
  {
    BrainClass brain;
    PatternClass* a = NewPattern(brain);
    AddFragment(a, rel::kCustom, "zzz", 0, 100);  // -100
    AddResponse(a, rt::kJustText, "minus hundred");
    PatternClass* b = NewPattern(brain);
    AddFragment(b, rel::kCustom, "zzz", 0, 50);  // -50
    AddResponse(b, rt::kJustText, "minus fifty");
    EXPECT_EQ(brain.Respond("hello"), "minus fifty");
  }
  {
    BrainClass brain;
    PatternClass* a = NewPattern(brain);
    AddFragment(a, rel::kCustom, "zzz", 0, 30000);
    AddResponse(a, rt::kJustText, "never");
    EXPECT_EQ(brain.Respond("hello"), kModeFallbackMessage);
    EXPECT_EQ(a->HITCOUNT, 0);
  }
}

TEST(KnowledgeClassTest, AnswerSetsLastKnowAndClearsLastVolition) {
  BrainClass brain;
  brain.Modes.At(0)->ObjectName = "Main";
  PatternClass* p = AddRule(brain, "hi", "hello");
  p->LASTVOLITION = 5;
  brain.LastKnow = "other";
  brain.Respond("hi");
  EXPECT_EQ(brain.LastKnow, "Main");
  EXPECT_EQ(p->LASTVOLITION, 0);
}

TEST(KnowledgeClassTest, FireInitializeFiresEveryStartPatternInOrder) {
  BrainClass brain;
  for (const char* text : {"one", "two"}) {
    PatternClass* p = NewPattern(brain);
    AddFragment(p, rel::kInitialize, "");
    AddResponse(p, rt::kJustText, text);
  }
  brain.Start();
  EXPECT_EQ(brain.Respond("x"), "one  two  one");
}

// Start and stop patterns are kept in lists of their own, in list order;
// Start walks the list, not the mode.
TEST(KnowledgeClassTest, StartFiresTheListedStartPatternsAsTheModeOrdersThem) {
  BrainClass brain;
  std::vector<PatternClass*> p;
  for (int i = 0; i < 6; ++i) {
    p.push_back(NewPattern(brain, "P" + std::to_string(i)));
    AddResponse(p.back(), rt::kJustText, "p" + std::to_string(i));
  }
  // Flagged out of list order; P4 twice; P2 stops only.
  AddFragment(p[4], rel::kInitialize, "");
  AddFragment(p[1], rel::kInitialize, "");
  AddFragment(p[4], rel::kInitialize, "");
  AddFragment(p[2], rel::kFinalize, "");
  AddFragment(p[3], rel::kInitialize, "");
  brain.Start();
  EXPECT_EQ(brain.Respond(""), "p1  p3  p4  p0");
  brain.Stop();
  EXPECT_EQ(brain.Respond(""), "p2  p0");
  // A deleted start pattern fires no more.
  brain.DeleteNamedObject("P3");
  brain.Start();
  EXPECT_EQ(brain.Respond(""), "p1  p4  p0");
}

TEST(KnowledgeClassTest, StartPatternsThatChangeTheListWhileTheyFire) {
  BrainClass brain;
  PatternClass* first = NewPattern(brain, "First");
  AddFragment(first, rel::kInitialize, "");
  ResponseClass* tasks = AddResponse(first, rt::kTaskList, "");
  AddTask(tasks, rt::kJustText, "first");
  AddTask(tasks, rt::kDeleteObject, "First");  // Itself: the next still fires.
  AddTask(tasks, rt::kDeleteObject, "Third");  // A later one: it does not.
  PatternClass* second = NewPattern(brain, "Second");
  AddFragment(second, rel::kInitialize, "");
  AddResponse(second, rt::kJustText, "second");
  PatternClass* third = NewPattern(brain, "Third");
  AddFragment(third, rel::kInitialize, "");
  AddResponse(third, rt::kJustText, "third");
  PatternClass* fourth = NewPattern(brain, "Fourth");
  AddFragment(fourth, rel::kInitialize, "");
  AddResponse(fourth, rt::kJustText, "fourth");
  brain.Start();
  // The task list says its own (empty) text after its tasks; the turn's
  // own answer comes from Second, the first pattern left at 0.
  EXPECT_EQ(brain.Respond(""), "first    second  fourth  second");
}

TEST(KnowledgeClassTest, ReplacedModeStaysAliveForRegistriesThatHoldIt) {
  BrainClass brain;
  PatternClass* before = NewPattern(brain, "Hook");
  AddFragment(before, rel::kDoBefore, "");
  AddResponse(before, rt::kJustText, "still here");
  brain.AddMode("Default", std::make_unique<KnowledgeClass>());
  // The old mode is parked, not released: the registry entries stay valid.
  EXPECT_EQ(brain.FindNamedObject("Hook"), before);
  EXPECT_EQ(brain.Respond("x"), std::string("still here  ") + kModeFallbackMessage);
}

TEST(BrainClassTest, StartAndStopWithoutAnyModeDoNothing) {
  BrainClass brain;
  brain.Park(brain.Modes.Remove(0));
  brain.ModeNames.Delete(0);
  brain.CurrentMode = -1;
  EXPECT_NO_THROW(brain.Start());
  EXPECT_NO_THROW(brain.Stop());
  EXPECT_EQ(brain.Respond("x"), "Sorry, I do not know anything at all yet!");
}

}  // namespace
}  // namespace corvane
