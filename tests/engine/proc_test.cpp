// Procedures, steps and step patterns.
#include "engine/proc.h"

#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "engine/a1U2.h"
#include "tests/engine/kb_builder.h"

namespace corvane {
namespace {

using namespace testing_kb;

StepClass* AddStep(ProcClass* proc, const std::string& name, const std::string& prompt) {
  auto s = std::make_unique<StepClass>();
  s->Prompt = prompt;
  return proc->AddStep(name, std::move(s));
}

StepPatternClass* AddStepPattern(StepClass* step) {
  return step->AddStepPattern(std::make_unique<StepPatternClass>());
}

class ProcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signup_ = brain_.AddProc("Signup", std::make_unique<ProcClass>());
    s1_ = AddStep(signup_, "S1", "What is your name?");
    s2_ = AddStep(signup_, "S2", "How old are you?");
    StepPatternClass* sp = AddStepPattern(s1_);
    AddFragment(sp, rel::kCustom, "name", 1);
    AddResponse(sp, rt::kGotoStep, "Thank you.", "S2");
    StepPatternClass* quit = AddStepPattern(s2_);
    AddFragment(quit, rel::kCustom, "stop", 5);
    AddResponse(quit, rt::kHaltProc, "Stopped.");
    PatternClass* start = NewPattern(brain_);
    AddFragment(start, rel::kCustom, "signup", 10);
    AddResponse(start, rt::kStartProc, "", "Signup");
    AddRule(brain_, "hello", "Hello from the mode.");
  }
  BrainClass brain_;
  ProcClass* signup_ = nullptr;
  StepClass* s1_ = nullptr;
  StepClass* s2_ = nullptr;
};

TEST_F(ProcTest, StartsAtFirstStepAndPromptFollowsGotoStep) {
  EXPECT_EQ(signup_->StartStep, "S1");
  EXPECT_EQ(brain_.Respond("signup"), "What is your name?  ");
  EXPECT_EQ(brain_.Respond("my name is Ann"), "Thank you.  How old are you?");
  EXPECT_EQ(brain_.Respond("stop"), "Stopped.");
  EXPECT_EQ(brain_.CurrentProc, -1);
  EXPECT_EQ(brain_.Respond("hello"), "Hello from the mode.");
}

TEST_F(ProcTest, StepWithoutPatternsAndUnknownCurrentStep) {
  StepClass* empty = AddStep(signup_, "S3", "Anything else?");
  (void)empty;
  brain_.CurrentProc = 0;
  signup_->CurrentStep = "S3";
  EXPECT_EQ(brain_.Respond("x"),
            "There are no patterns for this procedure step!  I can not proceed!  "
            "Anything else?");
  signup_->CurrentStep = "Nowhere";
  EXPECT_EQ(brain_.Respond("x"),
            "There is a problem with the procedure Signup.  There is not a current step!  ");
  EXPECT_EQ(brain_.CurrentProc, 0);
}

TEST_F(ProcTest, ReAddingAStepReplacesItInPlace) {
  AddStep(signup_, "s1", "New prompt");
  EXPECT_EQ(signup_->Steps.Count(), 2);
  EXPECT_EQ(signup_->StartStep, "S1");
  EXPECT_EQ(signup_->Steps.At(0)->Prompt, "New prompt");
  EXPECT_EQ(brain_.Respond("signup"), "New prompt  ");
}

TEST_F(ProcTest, CallAndReturnResumeTheCallerWithItsLiteralPrompt) {
  ProcClass* b = brain_.AddProc("B", std::make_unique<ProcClass>());
  StepClass* b1 = AddStep(b, "B1", "In B.");
  StepPatternClass* back = AddStepPattern(b1);
  AddResponse(back, rt::kProcReturn, "Back.");
  s2_->Prompt = "Age, ^Fact{name}?";
  brain_.SetFact("name", "Ann");
  StepPatternClass* call = AddStepPattern(s2_);
  AddFragment(call, rel::kCustom, "help", 5);
  AddResponse(call, rt::kCallProc, "Calling.", "B");
  brain_.StartProc("Signup");
  brain_.SetStep("S2");
  brain_.PendingOutput.Clear();
  // Signup no longer runs after the call, so its prompt is not said.
  EXPECT_EQ(brain_.Respond("help"), "In B.  Calling.");
  ASSERT_EQ(brain_.ProcStack.Count(), 1);
  EXPECT_EQ(brain_.StepStack.At(0), "S2");
  // The return says S2's prompt as stored; then Handle of B sees that B no
  // longer runs and adds nothing.
  EXPECT_EQ(brain_.Respond("x"), "Age, ^Fact{name}?  Back.");
  EXPECT_EQ(brain_.CurrentProc, 0);
  EXPECT_EQ(signup_->CurrentStep, "S2");
}

TEST_F(ProcTest, ReturnWithEmptyStackChangesNothingAndStaleStackRaises) {
  brain_.StartProc("Signup");
  brain_.ProcReturn();
  EXPECT_EQ(brain_.CurrentProc, 0);
  brain_.ProcStack.Add("Signup");
  brain_.StepStack.Add("Gone");
  EXPECT_THROW(brain_.ProcReturn(), IndexError);
}

TEST_F(ProcTest, StartingAnUnknownProcedureStopsTheRunningOneSilently) {
  brain_.StartProc("Signup");
  brain_.PendingOutput.Clear();
  brain_.StartProc("Ghost");
  EXPECT_EQ(brain_.CurrentProc, -1);
  EXPECT_TRUE(brain_.PendingOutput.empty());
}

TEST_F(ProcTest, SetStepOnlyForKnownStepsOfTheRunningProcedure) {
  brain_.SetStep("S2");
  EXPECT_EQ(signup_->CurrentStep, "");
  brain_.StartProc("Signup");
  brain_.SetStep("nope");
  EXPECT_EQ(signup_->CurrentStep, "S1");
  brain_.SetStep("s2");
  EXPECT_EQ(signup_->CurrentStep, "s2");
}

TEST_F(ProcTest, PromptMacrosUseTheNewestInputAndStepPatternStrip) {
  s1_->Prompt = "You said: ^Input{}";
  s2_->Prompt = "Was it ^Input{}?";
  brain_.StartProc("Signup");
  ASSERT_EQ(brain_.PendingOutput.Count(), 1);
  EXPECT_EQ(brain_.PendingOutput.At(0), "You said: ");  // no input yet
  brain_.PendingOutput.Clear();
  EXPECT_EQ(brain_.Respond("my name"), "Thank you.  Was it my name?");
  StepPatternClass* sp = AddStepPattern(s1_);
  AddFragment(sp, rel::kCustom, "open");
  AddFragment(sp, rel::kCustomSub, "door");  // not taken out for steps
  EXPECT_EQ(sp->StripFragments(brain_.turn(), "Please open the door"), "Please  the door");
}

TEST(ProcClassTest, StepsAddedBeforeTheProcedureHasABrainStayAlive) {
  ProcClass proc;
  auto unnamed = std::make_unique<StepClass>();
  unnamed->Prompt = "kept";
  StepClass* kept = proc.AddStep("", std::move(unnamed));
  StepClass* first = AddStep(&proc, "A", "first");
  AddStep(&proc, "a", "second");
  // Both detached steps are still readable (checked by the sanitizers).
  EXPECT_EQ(kept->Prompt, "kept");
  EXPECT_EQ(first->Prompt, "first");
  EXPECT_EQ(proc.Steps.Count(), 1);
  EXPECT_EQ(proc.Steps.At(0)->Prompt, "second");
}

}  // namespace
}  // namespace corvane
