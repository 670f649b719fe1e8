// The turn trace: filled while the turn runs when one is attached, and the
// same whichever way the turn chooses its pattern.
#include "engine/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/a1U2.h"
#include "engine/type_tables.h"
#include "langfile/CorvLangU.h"
#include "tests/reference/plain_scorer.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

// Reads `lines` (LF line ends) from a file, so items know their lines.
void Load(BrainClass& brain, const TempDir& dir,
          const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  dir.Write("kb.clf", text);
  AttachLanguageReader(brain);
  LoadLanguageFile(brain, dir.File("kb.clf"), [](const LanguageProblem& p) {
    ADD_FAILURE() << p.message;
  });
}

const std::vector<std::string> kRanked = {
    "State {Busy}",                                             // 1
    "For-Mode",                                                 // 2
    "Name-Object {Low}",                                        // 3
    "  Fragment CUSTOM,10,0, {tea}, {}, {}",                    // 4
    "  Response {Low.},Just Text,{},{}",                        // 5
    "For-Mode",                                                 // 6
    "Name-Object {High}",                                       // 7
    "  Fragment CUSTOM,30,5, {tea}, {}, {}",                    // 8
    "  Fragment OR,0,0, {green}, {}, {}",                       // 9
    "  Response {High.},Just Text,{},{}",                       // 10
    "  Threshold 2,3",                                          // 11
    "    Response {High again.},Just Text,{},{}",               // 12
    "  For-State {Busy}",                                       // 13
    "    Response {High ^Input{0}.},State Change,{Normal},{}",  // 14
    "For-Mode",                                                 // 15
    "Name-Object {Tie}",                                        // 16
    "  Fragment CUSTOM,30,0, {tea}, {}, {}",                    // 17
    "  Response {Tie.},Just Text,{},{}",                        // 18
    "For-Mode",                                                 // 19
    "Name-Object {Minus}",                                      // 20
    "  Fragment NOT,0,0, {tea}, {}, {}",                        // 21
    "For-Mode",                                                 // 22
    "Name-Object {Zero}",                                       // 23
    "For-Mode",                                                 // 24
    "Name-Object {AlsoZero}",                                   // 25
    "For-Mode",                                                 // 26
    "Name-Object {Extract}",                                    // 27
    "  Fragment EXTRACT,0,3, {my ^Extr{Drink}}, {}, {}",        // 28
};

// Both ways of choosing give the same trace; the plain scorer is the
// reference.
class TraceRankingTest : public ::testing::TestWithParam<bool> {};

TEST_P(TraceRankingTest, BestPatternsWinnerAndGroups) {
  TempDir dir;
  BrainClass brain;
  if (GetParam()) reference::UsePlainScoring(brain);
  Load(brain, dir, kRanked);
  brain.Seed(1);

  TurnTrace trace;
  brain.SetTrace(&trace);
  EXPECT_EQ(brain.Respond("tea"), "High.");
  EXPECT_EQ(trace.input, "tea");
  EXPECT_EQ(trace.answerer, TurnTrace::Answerer::kMode);
  EXPECT_EQ(trace.mode, "Default");
  EXPECT_EQ(trace.candidates, 7);
  // Ties keep list order; the sixth best (AlsoZero) is left out.
  std::vector<std::string> labels;
  std::vector<int32_t> scores;
  for (const TracePattern& p : trace.best) {
    labels.push_back(p.label);
    scores.push_back(p.score);
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"High", "Tie", "Low", "Zero",
                                              "AlsoZero"}));
  EXPECT_EQ(scores, (std::vector<int32_t>{30, 30, 10, 0, 0}));
  const TracePattern& high = trace.best[0];
  EXPECT_EQ(high.source.line, 6);
  EXPECT_EQ(high.position, 1);
  ASSERT_EQ(high.fragments.size(), 2u);
  EXPECT_EQ(high.fragments[0].relation, rel::kCustom);
  EXPECT_EQ(high.fragments[0].text, "tea");
  EXPECT_TRUE(high.fragments[0].holds);
  EXPECT_EQ(high.fragments[0].contribution, 30);
  EXPECT_EQ(high.fragments[0].source.line, 8);
  EXPECT_FALSE(high.fragments[1].holds);
  EXPECT_EQ(high.fragments[1].contribution, 0);
  ASSERT_TRUE(trace.has_winner);
  EXPECT_EQ(trace.winner.label, "High");
  EXPECT_EQ(trace.winner.hit_count, 1);
  EXPECT_EQ(trace.winner.group, TraceFiring::Group::kPattern);
  EXPECT_EQ(trace.winner.response_text, "High.");
  EXPECT_EQ(trace.winner.response_source.line, 10);
  EXPECT_EQ(trace.reply, "High.");

  // The second hit takes the threshold's group. With room for all, every
  // pattern is there, the failing ones with their penalties.
  trace = TurnTrace();
  trace.best_limit = 10;
  EXPECT_EQ(brain.Respond("green tea"), "High again.");
  EXPECT_EQ(trace.winner.group, TraceFiring::Group::kThreshold);
  EXPECT_EQ(trace.winner.thresh_from, 2);
  EXPECT_EQ(trace.winner.thresh_to, 3);
  EXPECT_EQ(trace.winner.group_source.line, 11);
  EXPECT_EQ(trace.winner.hit_count, 2);
  labels.clear();
  scores.clear();
  for (const TracePattern& p : trace.best) {
    labels.push_back(p.label);
    scores.push_back(p.score);
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"High", "Tie", "Low", "Zero",
                                              "AlsoZero", "Extract", "Minus"}));
  EXPECT_EQ(scores, (std::vector<int32_t>{80, 30, 10, 0, 0, -3, -100}));
  EXPECT_TRUE(trace.best[6].fragments[0].holds);  // NOT holds: -100.
  EXPECT_EQ(trace.best[6].fragments[0].contribution, -100);
  EXPECT_FALSE(trace.best[5].fragments[0].holds);
  EXPECT_EQ(trace.best[5].fragments[0].contribution, -3);

  // The state group wins over the threshold; the response's macros and the
  // state change it makes are events, in order.
  brain.SetState("Busy");
  trace = TurnTrace();
  EXPECT_EQ(brain.Respond("tea"), "High tea.");
  EXPECT_EQ(trace.winner.group, TraceFiring::Group::kState);
  EXPECT_EQ(trace.winner.state, "Busy");
  EXPECT_EQ(trace.winner.group_source.line, 13);
  EXPECT_EQ(trace.winner.hit_count, 3);
  ASSERT_EQ(trace.events.size(), 2u);
  EXPECT_EQ(trace.events[0].kind, TraceEvent::Kind::kMacro);
  EXPECT_EQ(trace.events[0].text, "High ^Input{0}.");
  EXPECT_EQ(trace.events[0].value, "High tea.");
  EXPECT_EQ(trace.events[1].kind, TraceEvent::Kind::kState);
  EXPECT_EQ(trace.events[1].text, "Normal");

  // A fact extracted while scoring is an event of the turn.
  trace = TurnTrace();
  brain.Respond("my coffee");
  ASSERT_FALSE(trace.events.empty());
  EXPECT_EQ(trace.events[0].kind, TraceEvent::Kind::kFact);
  EXPECT_EQ(trace.events[0].value, "coffee");
  brain.SetTrace(nullptr);
}

INSTANTIATE_TEST_SUITE_P(PlainAndIndexed, TraceRankingTest,
                         ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Plain" : "Indexed";
                         });

TEST(TraceTest, DoBeforeDoAfterStepsAndNestedTurns) {
  TempDir dir;
  BrainClass brain;
  Load(brain, dir,
       {
           "For-Mode",                                     // 1
           "  Response {Fallback.},Just Text,{},{}",       // 2
           "For-Mode",                                     // 3
           "Name-Object {Before}",                         // 4
           "  Fragment Do-Before,0,0, {}, {}, {}",         // 5
           "  Response {},Assignment,{Seen},{^Input{0}}",  // 6
           "For-Mode",                                     // 7
           "Name-Object {After}",                          // 8
           "  Fragment Do-After,0,0, {}, {}, {}",          // 9
           "For-Mode",                                     // 10
           "Name-Object {Start}",                          // 11
           "  Fragment CUSTOM,10,0, {start}, {}, {}",      // 12
           "  Response {},Start Proc,{P},{}",              // 13
           "For-Mode",                                     // 14
           "Name-Object {Echo}",                           // 15
           "  Fragment CUSTOM,10,0, {echo}, {}, {}",       // 16
           "  Response {Echo.},Submit This,{start},{}",    // 17
           "Procedure {P}",                                // 18
           "Step {S},{Say something.}",                    // 19
           "  For-Step",                                   // 20
           "    Response {Done.},Task List,{},{}",         // 21
           "      Task {},Halt Proc,{},{}",                // 22
       });
  TurnTrace trace;
  brain.SetTrace(&trace);
  brain.Respond("hello");
  ASSERT_EQ(trace.do_before.size(), 1u);
  EXPECT_EQ(trace.do_before[0].label, "Before");
  EXPECT_EQ(trace.do_before[0].response_source.line, 6);
  ASSERT_EQ(trace.do_after.size(), 1u);
  EXPECT_EQ(trace.do_after[0].label, "After");
  EXPECT_FALSE(trace.do_after[0].responded);
  EXPECT_EQ(trace.winner.label, "");  // The fallback pattern.
  EXPECT_EQ(trace.winner.source.line, 1);
  ASSERT_FALSE(trace.events.empty());
  EXPECT_EQ(trace.events[0].kind, TraceEvent::Kind::kFact);
  EXPECT_EQ(trace.events[0].text, "Seen");

  // A submitted turn is an event; its own ranking and firings are not
  // recorded, what it changes is.
  trace = TurnTrace();
  EXPECT_EQ(brain.Respond("echo"), "Say something.    Echo.");
  EXPECT_EQ(trace.winner.label, "Echo");
  EXPECT_EQ(trace.best[0].label, "Echo");
  EXPECT_EQ(trace.do_before.size(), 1u);
  EXPECT_EQ(trace.do_after.size(), 1u);
  std::vector<TraceEvent::Kind> kinds;
  for (const TraceEvent& e : trace.events) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<TraceEvent::Kind>{
                       TraceEvent::Kind::kFact,    // Before, outer turn
                       TraceEvent::Kind::kSubmit,  // "start"
                       TraceEvent::Kind::kFact,    // Before, nested turn
                       TraceEvent::Kind::kProcedure}));
  EXPECT_EQ(trace.events[1].text, "start");
  EXPECT_EQ(trace.events[3].text, "P");
  EXPECT_EQ(trace.events[3].value, "S");

  // The running procedure's step answers; step patterns count no hits.
  trace = TurnTrace();
  EXPECT_EQ(brain.Respond("anything"), "Done.");
  EXPECT_EQ(trace.answerer, TurnTrace::Answerer::kStep);
  EXPECT_EQ(trace.procedure, "P");
  EXPECT_EQ(trace.step, "S");
  EXPECT_EQ(trace.candidates, 1);
  EXPECT_EQ(trace.winner.source.line, 20);
  EXPECT_EQ(trace.winner.hit_count, -1);
  EXPECT_TRUE(trace.do_after.empty());
  ASSERT_EQ(trace.events.size(), 3u);
  EXPECT_EQ(trace.events[1].kind, TraceEvent::Kind::kTask);
  EXPECT_EQ(trace.events[1].code, rt::kHaltProc);
  EXPECT_EQ(trace.events[1].source.line, 22);
  EXPECT_EQ(trace.events[2].kind, TraceEvent::Kind::kProcedure);
  EXPECT_EQ(trace.events[2].text, "");
  brain.SetTrace(nullptr);
}

TEST(TraceTest, TracingChangesNothingInTheConversation) {
  const std::vector<std::string> inputs = {
      "hello", "my name is Anna",
      "menu",  "what do you recommend",
      "back",  "book a table",
      "Anna",  "friday",
      "two",   "yes",
      "joke",  "more",
      "more",  "more",
      "more",  "when I say tick answer tock",
      "tick"};
  std::vector<std::string> replies[2];
  std::vector<std::string> facts[2];
  for (int traced = 0; traced < 2; ++traced) {
    BrainClass brain;
    brain.Seed(3);
    AttachLanguageReader(brain);
    LoadLanguageFile(
        brain,
        std::string(CORVANE_SOURCE_DIR) + "/demo/wwwroot/CorvWebDemo.clf",
        [](const LanguageProblem&) {});
    brain.Start();
    TurnTrace trace;
    for (const std::string& input : inputs) {
      trace = TurnTrace();
      if (traced == 1) brain.SetTrace(&trace);
      replies[traced].push_back(brain.Respond(input));
      brain.SetTrace(nullptr);
      if (traced == 1) {
        EXPECT_EQ(trace.reply, replies[traced].back());
      }
    }
    for (int i = 0; i < brain.FactNames.Count(); ++i)
      facts[traced].push_back(brain.FactNames.At(i) + "=" +
                              brain.FactValues.At(i));
    facts[traced].push_back(brain.LastFrag + "|" + brain.LastPat);
  }
  EXPECT_EQ(replies[0], replies[1]);
  EXPECT_EQ(facts[0], facts[1]);
}

}  // namespace
}  // namespace corvane
