// Behaviours of the conversation engine that combine several parts: what
// is scored, said and recorded, and in which order.
#include <gtest/gtest.h>

#include <string>

#include "engine/a1U2.h"
#include "tests/engine/kb_builder.h"

namespace corvane {
namespace {

using namespace testing_kb;

TEST(CrossPartTurnTest, RunningProcedureLeavesTheModeUnscored) {
  BrainClass brain;
  PatternClass* grab = NewPattern(brain);
  AddFragment(grab, rel::kExtract, "i am ^Extr{who}", 5);
  AddResponse(grab, rt::kJustText, "mode");
  ProcClass* proc = brain.AddProc("P", std::make_unique<ProcClass>());
  auto s = std::make_unique<StepClass>();
  s->Prompt = "again";
  StepClass* step = proc->AddStep("S", std::move(s));
  StepPatternClass* sp = step->AddStepPattern(std::make_unique<StepPatternClass>());
  AddResponse(sp, rt::kJustText, "step");
  brain.StartProc("P");
  brain.PendingOutput.Clear();
  brain.LastKnow = "untouched";
  EXPECT_EQ(brain.Respond("i am Ann"), "step  again");
  EXPECT_EQ(brain.GetFact("WHO"), "#");
  EXPECT_EQ(brain.LastKnow, "untouched");
}

TEST(CrossPartTurnTest, DoAfterFiresAfterTheNoModeMessage) {
  BrainClass brain;
  PatternClass* after = NewPattern(brain);
  AddFragment(after, rel::kDoAfter, "");
  AddResponse(after, rt::kJustText, "after");
  brain.CurrentMode = -1;
  EXPECT_EQ(brain.Respond("x"), "Sorry, I do not know anything at all yet!  after");
}

TEST(CrossPartTurnTest, StepPatternAtMinus30000IsNeverChosen) {
  BrainClass brain;
  ProcClass* proc = brain.AddProc("P", std::make_unique<ProcClass>());
  auto s = std::make_unique<StepClass>();
  s->Prompt = "p";
  StepClass* step = proc->AddStep("S", std::move(s));
  StepPatternClass* sp = step->AddStepPattern(std::make_unique<StepPatternClass>());
  AddFragment(sp, rel::kCustom, "zzz", 0, 30000);
  AddResponse(sp, rt::kJustText, "chosen");
  brain.StartProc("P");
  brain.PendingOutput.Clear();
  EXPECT_EQ(brain.Respond("x"),
            "There are no patterns for this procedure step!  I can not proceed!  p");
  EXPECT_EQ(brain.Respond("zzz"), "chosen  p");
}

TEST(CrossPartTurnTest, FactsExtractedWhileScoringAreSeenByLaterPatterns) {
  BrainClass brain;
  PatternClass* grab = NewPattern(brain);
  AddFragment(grab, rel::kExtract, "i am ^Extr{who}", 1);
  AddResponse(grab, rt::kJustText, "first");
  PatternClass* later = NewPattern(brain);
  AddFragment(later, rel::kDataMatch, "", 5, 0, "WHO", "ann");
  AddResponse(later, rt::kJustText, "Hello ^Fact{who}");
  EXPECT_EQ(brain.Respond("I am Ann"), "Hello Ann");
}

TEST(CrossPartTurnTest, SubmittedTextIsTheNewestInput) {
  BrainClass brain;
  PatternClass* p = NewPattern(brain);
  AddFragment(p, rel::kCustom, "go", 10);
  AddResponse(p, rt::kSubmitThis, "outer", "inner");
  AddRule(brain, "inner", "got ^Input{0} after ^Input{1}");
  EXPECT_EQ(brain.Respond("go"), "got inner after go  outer");
  EXPECT_EQ(brain.InputHistory.At(0), "inner");
  EXPECT_EQ(brain.InputHistory.At(1), "go");
}

TEST(CrossPartTurnTest, StripFragmentsTakesNotAndSubFragmentsToo) {
  BrainClass brain;
  PatternClass* p = NewPattern(brain);
  AddFragment(p, rel::kNot, "never");
  AddFragment(p, rel::kCustomSub, "cat");
  AddFragment(p, rel::kDataMatch, "the");
  EXPECT_EQ(p->StripFragments(brain.turn(), "I never concatenate the"), "I  conenate the");
}

TEST(CrossPartTurnTest, OutMatchLooksAtTheChosenOutput) {
  BrainClass brain;
  brain.Say("older apple");
  brain.Say("newer pear");
  PatternClass* p = NewPattern(brain);
  WordFragmentClass* f = AddFragment(p, rel::kOutMatch, "pear", 7, 3);
  EXPECT_EQ(f->Score(brain.turn(), "x"), 7);
  f->WORDFRAG = "1";
  EXPECT_EQ(f->Score(brain.turn(), "x"), -3);
}

TEST(CrossPartTurnTest, EmptyStartStepSaysAnEmptyText) {
  BrainClass brain;
  ProcClass* proc = brain.AddProc("P", std::make_unique<ProcClass>());
  proc->StartStep = "ghost";
  brain.StartProc("P");
  ASSERT_EQ(brain.PendingOutput.Count(), 1);
  EXPECT_EQ(brain.PendingOutput.At(0), "");
  EXPECT_EQ(proc->CurrentStep, "");
}

TEST(CrossPartTurnTest, TaskGotoStepPromptFollows) {
  BrainClass brain;
  ProcClass* proc = brain.AddProc("P", std::make_unique<ProcClass>());
  auto s1 = std::make_unique<StepClass>();
  s1->Prompt = "one";
  StepClass* step1 = proc->AddStep("S1", std::move(s1));
  auto s2 = std::make_unique<StepClass>();
  s2->Prompt = "two ^Input{}";
  proc->AddStep("S2", std::move(s2));
  StepPatternClass* sp = step1->AddStepPattern(std::make_unique<StepPatternClass>());
  ResponseClass* r = AddResponse(sp, rt::kTaskList, "done");
  AddTask(r, rt::kGotoStep, "", "S2");
  AddTask(r, rt::kJustText, "moved");
  brain.StartProc("P");
  EXPECT_EQ(brain.Respond("hi"), "one  moved  done  two hi");
}

}  // namespace
}  // namespace corvane
