// End-to-end tests of `corvane test --coverage`, of the test files' clock
// (@now) and of `corvane graph`.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/cli/cli_sandbox.h"

namespace corvane {
namespace {

using namespace cli_test;  // NOLINT: the sandbox helpers of these tests

// Two modes, a procedure of two steps, a start pattern, a threshold, a
// Mode Change whose target a macro decides.
const std::vector<std::string> kBot = {
    "For-Mode",                                     // 1
    "  Response {What?},Just Text,{},{}",           // 2
    "For-Mode",                                     // 3
    "Name-Object {Start}",                          // 4
    "  Fragment Initialize,0,0, {}, {}, {}",        // 5
    "  Response {Welcome.},Just Text,{},{}",        // 6
    "For-Mode",                                     // 7
    "Name-Object {Hello}",                          // 8
    "  Fragment CUSTOM,10,0, {hello}, {}, {}",      // 9
    "  Response {Hi.},Just Text,{},{}",             // 10
    "  Threshold 2,9",                              // 11
    "    Response {Hi again.},Just Text,{},{}",     // 12
    "For-Mode",                                     // 13
    "  Fragment CUSTOM,10,0, {book}, {}, {}",       // 14
    "  Response {},Start Proc,{Booking},{}",        // 15
    "Mode {Quiz}",                                  // 16
    "For-Mode",                                     // 17
    "  Response {Back.},Mode Change,{Default},{}",  // 18
    "For-Mode",                                     // 19
    "  Fragment CUSTOM,10,0, {next}, {}, {}",       // 20
    "  Response {},Mode Change,{^Fact{Where}},{}",  // 21
    "Procedure {Booking}",                          // 22
    "Step {Ask},{Which day?}",                      // 23
    "  For-Step",                                   // 24
    "    Response {},Goto Step,{Done},{}",          // 25
    "  For-Step",                                   // 26
    "    Fragment CUSTOM,10,0, {stop}, {}, {}",     // 27
    "    Response {Stopped.},Halt Proc,{},{}",      // 28
    "Step {Done},{Done.}",                          // 29
    "  For-Step",                                   // 30
    "    Response {Bye.},Proc Return,{},{}",        // 31
};

TEST(CoverageTest, ListsWhatNoTestFiredWithItsLine) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kBot));
  box.Write("t.test", "== one\n> hello\n< Welcome.  Hi.\n> book\n> friday\n");
  const RunResult run = box.Corvane("test --coverage kb.clf t.test");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "ok   one (3 turns)\n"
            "1 passed, 0 failed\n"
            "coverage of kb.clf: 8 of 19 items fired (42.1%): patterns 3 of "
            "6, step patterns 1 of 3, responses 4 of 10\n"
            "never fired:\n"
            "  kb.clf:1: pattern in mode Default\n"
            "  kb.clf:2: response Just Text \"What?\" of the pattern at line "
            "1\n"
            "  kb.clf:12: response Just Text \"Hi again.\" of a threshold of "
            "the pattern at line 7\n"
            "  kb.clf:17: pattern in mode Quiz\n"
            "  kb.clf:18: response Mode Change \"Back.\" of the pattern at "
            "line 17\n"
            "  kb.clf:19: pattern in mode Quiz\n"
            "  kb.clf:21: response Mode Change \"\" of the pattern at line "
            "19\n"
            "  kb.clf:26: step pattern in step Ask of procedure Booking\n"
            "  kb.clf:28: response Halt Proc \"Stopped.\" of the step pattern "
            "at line 26\n"
            "  kb.clf:30: step pattern in step Done of procedure Booking\n"
            "  kb.clf:31: response Proc Return \"Bye.\" of the step pattern at "
            "line 30\n");

  // A second test fills the gaps it reaches; coverage is of all tests.
  box.Write("u.test",
            "> hello\n> hello\n> book\n> stop\n> book\n> x\n> y\n> z\n");
  const RunResult json =
      box.Corvane("test --coverage=json kb.clf t.test u.test");
  EXPECT_EQ(json.status, 0);
  const std::string last =
      json.out.substr(json.out.rfind('\n', json.out.size() - 2) + 1);
  const nlohmann::json doc = nlohmann::json::parse(last);
  EXPECT_EQ(doc["file"], "kb.clf");
  EXPECT_EQ(doc["items"], 19);
  // A return without a caller keeps the procedure running, so "z" goes to
  // the step again and the fallback still never fires.
  EXPECT_EQ(doc["fired"], 13);
  EXPECT_EQ(doc["patterns"]["fired"], 3);
  EXPECT_EQ(doc["step_patterns"]["fired"], 3);
  EXPECT_EQ(doc["responses"]["fired"], 7);
  ASSERT_EQ(doc["never_fired"].size(), 6u);
  EXPECT_EQ(doc["never_fired"][0]["line"], 1);
  EXPECT_EQ(doc["never_fired"][2]["line"], 17);
  EXPECT_EQ(doc["never_fired"][0]["kind"], "pattern");
  EXPECT_NEAR(doc["percent"].get<double>(), 100.0 * 13 / 19, 1e-9);

  // Without --coverage the output is as before.
  EXPECT_EQ(box.Corvane("test kb.clf t.test").out,
            "ok   one (3 turns)\n1 passed, 0 failed\n");
  EXPECT_EQ(box.Corvane("test --coverage=xml kb.clf t.test").status, 2);
}

TEST(CoverageTest, StartAndStopPatternsAndSubmittedTurnsCount) {
  Sandbox box;
  box.Write("kb.clf", CrLf({"For-Mode", "  Fragment Initialize,0,0, {}, {}, {}",
                            "  Response {},Submit This,{inner},{}", "For-Mode",
                            "  Fragment CUSTOM,10,0, {inner}, {}, {}",
                            "  Response {Inner.},Just Text,{},{}", "For-Mode",
                            "  Fragment Finalize,0,0, {}, {}, {}",
                            "  Response {Bye.},Just Text,{},{}"}));
  box.Write("t.test", "> anything\n");
  const RunResult run = box.Corvane("test --coverage kb.clf t.test");
  EXPECT_NE(run.out.find("coverage of kb.clf: 6 of 6 items fired (100.0%)"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("never fired"), std::string::npos) << run.out;
}

TEST(TestClockTest, AtNowFixesTheClockForAFileATestOrATurn) {
  Sandbox box;
  box.Write(
      "kb.clf",
      CrLf({"For-Mode",
            "  Response {^SysFact{DATE} ^SysFact{TIME}},Just Text,{},{}"}));
  box.Write("t.test",
            "@now 2026-03-07 09:05\n"
            "== the file's clock\n"
            "> x\n< 03/07/2026 9:05:00 AM\n"
            "== its own clock, then another from a turn on\n"
            "@now 2030-12-31 23:59:59\n"
            "> x\n< 12/31/2030 11:59:59 PM\n"
            "@now 2031-01-01 00:00\n"
            "> x\n< 01/01/2031 12:00:00 AM\n"
            "== a time of today\n"
            "@now 13:30\n"
            "> x\n<~ ^\\d\\d/\\d\\d/\\d{4} 1:30:00 PM$\n"
            "== back to the file's clock\n"
            "> x\n< 03/07/2026 9:05:00 AM\n");
  const RunResult run = box.Corvane("test kb.clf t.test");
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("4 passed, 0 failed"), std::string::npos);
  for (const char* bad : {"@now tomorrow", "@now 2026-13-01 10:00",
                          "@now 25:00", "@now 10:00 x"}) {
    box.Write("bad.test", std::string(bad) + "\n> x\n");
    const RunResult refused = box.Corvane("test kb.clf bad.test");
    EXPECT_EQ(refused.status, 2) << bad;
    EXPECT_NE(refused.err.find("bad.test:1: @now needs a date and time"),
              std::string::npos)
        << refused.err;
  }
}

TEST(GraphTest, ModesStepsAndTheMovesBetweenThem) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kBot));
  const RunResult run = box.Corvane("graph kb.clf");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "digraph corvane {\n"
            "  rankdir=LR;\n"
            "  node [fontname=\"Helvetica\", fontsize=11];\n"
            "  edge [fontname=\"Helvetica\", fontsize=9];\n"
            "  \"mode:DEFAULT\" [shape=box, style=rounded, label=\"mode "
            "Default\"];\n"
            "  \"mode:QUIZ\" [shape=box, style=rounded, label=\"mode Quiz\"];\n"
            "  subgraph \"cluster_Booking\" {\n"
            "    label=\"procedure Booking\";\n"
            "    \"step:BOOKING:ASK\" [label=\"Ask\", peripheries=2];\n"
            "    \"step:BOOKING:DONE\" [label=\"Done\"];\n"
            "    \"end:BOOKING\" [shape=point, width=0.15, label=\"\"];\n"
            "  }\n"
            "  \"dynamic:Mode Change:^Fact{Where}\" [shape=note, label=\"Mode "
            "Change ^Fact{Where}\"];\n"
            "  \"mode:DEFAULT\" -> \"step:BOOKING:ASK\" [label=\"Start "
            "Proc\\nkb.clf:13\"];\n"
            "  \"mode:QUIZ\" -> \"mode:DEFAULT\" [label=\"Mode "
            "Change\\nkb.clf:17\"];\n"
            "  \"mode:QUIZ\" -> \"dynamic:Mode Change:^Fact{Where}\" "
            "[label=\"Mode Change\\nkb.clf:19\", style=dashed];\n"
            "  \"step:BOOKING:ASK\" -> \"step:BOOKING:DONE\" [label=\"Goto "
            "Step\\nkb.clf:24\"];\n"
            "  \"step:BOOKING:ASK\" -> \"end:BOOKING\" [label=\"Halt "
            "Proc\\nkb.clf:26\"];\n"
            "  \"step:BOOKING:DONE\" -> \"end:BOOKING\" [label=\"Proc "
            "Return\\nkb.clf:30\"];\n"
            "}\n");
  // Quotes and backslashes in names are escaped for DOT.
  box.Write("q.clf", CrLf({"Mode {Say \"hi\\\"}", "For-Mode",
                           "  Response {},Mode Change,{Default},{}"}));
  EXPECT_NE(
      box.Corvane("graph q.clf").out.find("label=\"mode Say \\\"hi\\\\\\\"\""),
      std::string::npos);

  box.Corvane("graph -o kb.dot kb.clf");
  EXPECT_EQ(box.Read("kb.dot"), run.out);
  EXPECT_EQ(box.Corvane("graph").status, 2);
  EXPECT_EQ(box.Corvane("graph nosuch.clf").status, 2);
  EXPECT_EQ(box.Corvane("graph --png kb.clf").status, 2);
}

TEST(GraphTest, SvgThroughGraphviz) {
  const bool have_dot = std::system("command -v dot > /dev/null 2>&1") == 0;
  const char* ci = std::getenv("CI");
  if (!have_dot) {
    // CI installs Graphviz: there the SVG must be tested.
    ASSERT_TRUE(ci == nullptr || std::string(ci).empty() ||
                std::string(ci) == "false")
        << "Graphviz's dot is missing in CI";
    GTEST_SKIP() << "no Graphviz 'dot' to draw SVG";
  }
  Sandbox box;
  box.Write("kb.clf", CrLf(kBot));
  const RunResult svg = box.Corvane("graph --svg kb.clf");
  EXPECT_EQ(svg.status, 0) << svg.err;
  EXPECT_NE(svg.out.find("<svg"), std::string::npos);
  EXPECT_NE(svg.out.find("mode Quiz"), std::string::npos);
  EXPECT_EQ(box.Corvane("graph -o kb.svg kb.clf").status, 0);
  EXPECT_NE(box.Read("kb.svg").find("<svg"), std::string::npos);
  EXPECT_EQ(box.Corvane("graph -o missing/kb.svg kb.clf").status, 1);
}

}  // namespace
}  // namespace corvane
