// Patterns, thresholds and state groups.
#include "engine/pattern.h"

#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "engine/a1U2.h"
#include "tests/engine/kb_builder.h"

namespace corvane {
namespace {

using namespace testing_kb;

ThresholdClass* AddThreshold(PatternClass* p, int32_t from, int32_t to,
                             const std::string& reply) {
  auto t = std::make_unique<ThresholdClass>();
  t->THRESHFROM = from;
  t->THRESHTO = to;
  ThresholdClass* added = p->AddThreshold(std::move(t));
  AddResponse(added, rt::kJustText, reply);
  return added;
}

StateClass* AddStateGroup(PatternClass* p, const std::string& state,
                          const std::string& reply) {
  auto s = std::make_unique<StateClass>();
  s->STATE = state;
  StateClass* added = p->AddStateResponse(std::move(s));
  AddResponse(added, rt::kJustText, reply);
  return added;
}

TEST(PatternFireTest, ThresholdsByHitCountLaterOneWins) {
  BrainClass brain;
  PatternClass* p = AddRule(brain, "hi", "own");
  AddThreshold(p, 1, 1, "first");
  AddThreshold(p, 2, 5, "two to five");
  std::vector<std::string> replies;
  for (int i = 0; i < 7; ++i) replies.push_back(brain.Respond("hi"));
  EXPECT_EQ(replies[0], "first");
  for (int i = 1; i < 5; ++i) EXPECT_EQ(replies[i], "two to five");
  EXPECT_EQ(replies[5], "own");
  EXPECT_EQ(p->HITCOUNT, 7);

  BrainClass b2;
  PatternClass* q = AddRule(b2, "hi", "own");
  AddThreshold(q, 1, 10, "wide");
  AddThreshold(q, 3, 4, "narrow");
  AddThreshold(q, 9, 2, "never");  // from above to: never applies
  std::vector<std::string> r2;
  for (int i = 0; i < 5; ++i) r2.push_back(b2.Respond("hi"));
  EXPECT_EQ(r2[1], "wide");
  EXPECT_EQ(r2[2], "narrow");
  EXPECT_EQ(r2[3], "narrow");
  EXPECT_EQ(r2[4], "wide");
}

TEST(PatternFireTest, StateGroupIsCaseExactAndBeatsThresholds) {
  BrainClass brain;
  PatternClass* p = AddRule(brain, "hi", "own");
  AddThreshold(p, 1, 100, "threshold");
  AddStateGroup(p, "Happy", "happy group");
  AddStateGroup(p, "Happy", "later happy group");
  brain.SetState("HAPPY");
  EXPECT_EQ(brain.Respond("hi"), "threshold");
  brain.AddState("Happy");  // same name ignoring case: not added
  EXPECT_EQ(brain.Respond("hi"), "threshold");
  brain.StateNames.SetName(brain.CurrentState, "Happy");
  EXPECT_EQ(brain.Respond("hi"), "later happy group");
}

TEST(PatternFireTest, EmptyGroupCountsHitButSaysNothingAndKeepsLastPat) {
  BrainClass brain;
  PatternClass* p = AddRule(brain, "hi", "own");
  p->ObjectName = "P";
  auto t = std::make_unique<ThresholdClass>();
  t->THRESHFROM = 1;
  t->THRESHTO = 1;
  p->AddThreshold(std::move(t));
  brain.LastPat = "before";
  EXPECT_EQ(brain.Respond("hi"), "");
  EXPECT_EQ(p->HITCOUNT, 1);
  EXPECT_EQ(brain.LastPat, "before");
  EXPECT_EQ(brain.Respond("hi"), "own");
  EXPECT_EQ(brain.LastPat, "P");
}

TEST(PatternFireTest, HitCountOverflowRaises) {
  BrainClass brain;
  PatternClass* p = AddRule(brain, "hi", "own");
  p->HITCOUNT = 2147483647;
  EXPECT_THROW(brain.Respond("hi"), OverflowError);
}

TEST(PatternTest, ScoreSumsFragmentsAndOverflowRaises) {
  BrainClass brain;
  PatternClass* p = NewPattern(brain);
  EXPECT_EQ(p->Score(brain.turn(), "anything"), 0);
  AddFragment(p, rel::kCustom, "a", 2000000000, 0);
  AddFragment(p, rel::kCustom, "b", 2000000000, 0);
  EXPECT_EQ(p->Score(brain.turn(), "a"), 2000000000);
  EXPECT_THROW(p->Score(brain.turn(), "a b"), OverflowError);
}

TEST(PatternTest, PatternWithoutFragmentsAnswersWhenOthersScoreBelowZero) {
  BrainClass brain;
  PatternClass* bad = NewPattern(brain);
  AddFragment(bad, rel::kAnd, "zzz");
  AddResponse(bad, rt::kJustText, "bad");
  PatternClass* empty = NewPattern(brain);
  AddResponse(empty, rt::kJustText, "catch-all");
  EXPECT_EQ(brain.Respond("hello"), "catch-all");
}

TEST(PatternTest, AttachingFragmentsSetsFlagsAndRegistries) {
  BrainClass brain;
  PatternClass* p = NewPattern(brain);
  AddFragment(p, rel::kVolition, " 2.5 ");
  EXPECT_TRUE(p->HASVOLITION);
  EXPECT_TRUE(brain.HasVolition);
  EXPECT_TRUE(brain.Modes.At(0)->HasVolition);
  EXPECT_DOUBLE_EQ(p->VOLITIONWHEN, 2.5);
  AddFragment(p, rel::kVolition, "soon");
  EXPECT_DOUBLE_EQ(p->VOLITIONWHEN, 9999999.99);
  AddFragment(p, rel::kDoBefore, "");
  AddFragment(p, rel::kDoBefore, "");
  AddFragment(p, rel::kDoAfter, "");
  EXPECT_EQ(brain.DoBeforePatterns.size(), 2u);
  EXPECT_EQ(brain.DoAfterPatterns.size(), 1u);
  AddFragment(p, rel::kInitialize, "");
  AddFragment(p, rel::kFinalize, "");
  AddFragment(p, rel::kCustom, "x");  // adding never clears a flag
  EXPECT_TRUE(p->HasInitialize && p->HasFinalize);
  auto f = MakeFragment(rel::kCustom, "y");
  f->ObjectName = "Frag";
  p->AddFragment(std::move(f));
  EXPECT_EQ(brain.LastFrag, "Frag");
  EXPECT_NE(brain.FindNamedObject("Frag"), nullptr);
}

TEST(PatternTest, GroupResponsesRegisterButLeaveLastResp) {
  BrainClass brain;
  PatternClass* p = NewPattern(brain);
  auto t = std::make_unique<ThresholdClass>();
  t->ObjectName = "T";
  ThresholdClass* th = p->AddThreshold(std::move(t));
  EXPECT_EQ(brain.FindNamedObject("T"), th);
  auto r = MakeResponse(rt::kJustText, "x");
  r->ObjectName = "R";
  brain.LastResp = "keep";
  th->AddResponse(std::move(r));
  EXPECT_EQ(brain.LastResp, "keep");
  EXPECT_NE(brain.FindNamedObject("R"), nullptr);
  auto own = MakeResponse(rt::kJustText, "y");
  own->ObjectName = "Own";
  p->AddResponse(std::move(own));
  EXPECT_EQ(brain.LastResp, "Own");
}

TEST(PatternTest, StripFragmentsTakesFirstOccurrencesOut) {
  BrainClass brain;
  PatternClass* p = NewPattern(brain);
  AddFragment(p, rel::kCustom, "open");
  AddFragment(p, rel::kCustom, "door");
  EXPECT_EQ(p->StripFragments(brain.turn(), "Please open the door"), "Please  the ");
  PatternClass* q = NewPattern(brain);
  AddFragment(q, rel::kNot, "cat");         // taken out like the others
  AddFragment(q, rel::kCustomSub, "ten");   // plain substring
  AddFragment(q, rel::kDataMatch, "the");   // other kinds stay
  EXPECT_EQ(q->StripFragments(brain.turn(), "the cat is tenth cat"), "the  is th cat");
}

}  // namespace
}  // namespace corvane
