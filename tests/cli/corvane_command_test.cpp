// End-to-end tests of build/corvane: each test spawns the binary with its
// standard input from a file and compares standard output, standard error
// and the exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/cli/cli_sandbox.h"

namespace corvane {
namespace {

using namespace cli_test;  // NOLINT: the sandbox helpers of these tests

const std::vector<std::string> kSmallBase = {
    "",
    "Corvane 8.0 Corvane-Language File",
    "-------Modes---------",
    "For-Mode",
    "  Response {Fallback.},Just Text,{},{}",
    "For-Mode",
    "  Fragment Initialize,0,0, {}, {}, {}",
    "  Response {Welcome.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {hello}, {}, {}",
    "  Response {Hello.},Just Text,{},{}",
};

TEST(ChatCommandTest, OneReplyPerLineAndTheGreetingLeads) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kSmallBase));
  // CR LF and LF input line ends; the last line has none.
  const RunResult run = box.Corvane("chat kb.clf", "hello\r\nwhat?\n\nhello");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Welcome.  Hello.\nFallback.\nFallback.\nHello.\n");
  EXPECT_EQ(run.err, "");
}

TEST(ChatCommandTest, UnixKnowledgeBaseAndEmptyInput) {
  Sandbox box;
  std::string unix_text;
  for (const std::string& line : kSmallBase) unix_text += line + "\n";
  box.Write("kb.clf", unix_text);
  EXPECT_EQ(box.Corvane("chat kb.clf", "hello\n").out, "Welcome.  Hello.\n");
  const RunResult silent = box.Corvane("chat kb.clf", "");
  EXPECT_EQ(silent.status, 0);
  EXPECT_EQ(silent.out, "");
}

TEST(ChatCommandTest, ProblemsOfTheFileGoToStandardError) {
  Sandbox box;
  std::vector<std::string> lines = kSmallBase;
  lines.insert(lines.begin() + 1, "Step {A},{B}");
  box.Write("kb.clf", CrLf(lines));
  const RunResult run = box.Corvane("chat kb.clf", "hello\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Welcome.  Hello.\n");
  EXPECT_EQ(run.err, "No Current Procedure In Line 2\nStep {A},{B}\n");

  // A missing file is an error, unless --save starts a new one.
  const RunResult missing = box.Corvane("chat missing.clf", "hi\n");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err,
            "corvane chat: cannot read missing.clf: No such file or "
            "directory\n");
  EXPECT_EQ(missing.out, "");
  const RunResult fresh = box.Corvane("chat --save missing.clf", "hi\n");
  EXPECT_EQ(fresh.status, 0);
  EXPECT_EQ(fresh.err, "Could not open file: missing.clf\n");
  EXPECT_EQ(fresh.out,
            "Sorry, I can't answer you because I don't know anything at all "
            "yet...\n");
  EXPECT_NE(box.Read("missing.clf"), "<missing>");
}

TEST(ChatCommandTest, AbandonedTurnRepliesEmptyAndItsOutputLeadsTheNext) {
  Sandbox box;
  box.Write(
      "kb.clf",
      CrLf({"For-Mode", "  Response {Fallback.},Just Text,{},{}", "For-Mode",
            "  Fragment Do-Before,0,0, {}, {}, {}",
            "  Response {[turn]},Just Text,{},{}", "For-Mode",
            "Name-Object {Boom}", "  Fragment CUSTOM,10,0, {boom}, {}, {}",
            "  Response {Boom.},Just Text,{},{}", "For-Mode",
            "  Fragment CUSTOM,10,0, {arm}, {}, {}",
            "  Response {Boom},Self Modify,{HITCOUNT},{2147483647}"}));
  const RunResult run = box.Corvane("chat kb.clf", "arm\nboom\nhello\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "[turn]  \n\n[turn]  [turn]  Fallback.\n");
  EXPECT_NE(run.err.find("EIntOverflow"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;  // One line.
}

TEST(ChatCommandTest, SeedReplaysTheConversation) {
  Sandbox box;
  std::vector<std::string> lines = {"For-Mode"};
  for (int i = 0; i < 8; ++i)
    lines.push_back("  Response {r" + std::to_string(i) + "},Just Text,{},{}");
  box.Write("kb.clf", CrLf(lines));
  const std::string input(30, '\n');
  const RunResult a = box.Corvane("chat --seed 42 kb.clf", input);
  const RunResult b = box.Corvane("chat --seed=42 kb.clf", input);
  const RunResult c = box.Corvane("chat kb.clf --seed 43", input);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.out, b.out);
  EXPECT_NE(a.out, c.out);
  EXPECT_EQ(std::count(a.out.begin(), a.out.end(), '\n'), 30);
}

TEST(ChatCommandTest, FilesResolveUnderTheKnowledgeBaseDirectory) {
  Sandbox box;
  ASSERT_EQ(::mkdir(box.Path("kb").c_str(), 0755), 0);
  box.Write(
      "kb/kb.clf",
      CrLf({"For-Mode", "  Response {Logged.},Log This,{notes.log},{^Input{0}}",
            "For-Mode", "  Fragment CUSTOM,10,0, {escape}, {}, {}",
            "  Response {Tried.},Log This,{..\\outside.log},{x}"}));
  const RunResult run = box.Corvane("chat kb/kb.clf", "first note\nescape\n");
  EXPECT_EQ(run.out, "Logged.\nTried.\n");
  EXPECT_EQ(box.Read("kb/notes.log"), "first note\r\n");
  EXPECT_EQ(box.Read("outside.log"), "<missing>");
}

TEST(ChatCommandTest, SaveWritesTheKnowledgeBaseBack) {
  Sandbox box;
  box.Write(
      "kb.clf",
      CrLf({"For-Mode", "  Fragment CUSTOM,10,0, {remember}, {}, {}",
            "  Response {Noted.},Add To Collection,{Notes},{^Input{0}}"}));
  EXPECT_EQ(box.Corvane("chat --save kb.clf", "remember the milk\n").out,
            "Noted.\n");
  const std::string saved = box.Read("kb.clf");
  EXPECT_NE(saved.find("Start-Collection {Notes}\r\nremember the milk\r\n"),
            std::string::npos)
      << saved;
  const RunResult check = box.Corvane("check kb.clf");
  EXPECT_EQ(check.status, 0) << check.out;
  // Without --save the file stays as it is.
  box.Corvane("chat kb.clf", "remember more\n");
  EXPECT_EQ(box.Read("kb.clf"), saved);
}

TEST(CheckCommandTest, ReportsEveryProblemAndASummary) {
  Sandbox box;
  box.Write("good.clf", CrLf(kSmallBase) + CrLf({"Fact {a} = {b}"}));
  const RunResult good = box.Corvane("check good.clf");
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.out,
            "good.clf: 1 mode, 3 patterns, 0 procedures, 0 steps, 1 fact, 0 "
            "collections; no problems\n");
  EXPECT_EQ(good.err, "");

  box.Write("bad.clf",
            CrLf({"Response {x},Just Text,{},{}", "Mode {Two}", "Procedure {P}",
                  "Step {S},{Prompt}", "For-Step", "  Threshold 1,2",
                  "Start-Collection {C}", "m", "End-Collection"}));
  const RunResult bad = box.Corvane("check bad.clf");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out,
            "bad.clf:1: Mode Error In Line 1\n"
            "    Response {x},Just Text,{},{}\n"
            "bad.clf:6: Can Not Add Threshold To a Procedure Step In Line 6\n"
            "      Threshold 1,2\n"
            "bad.clf:5: warning: the step pattern has no response: when it "
            "wins, nothing is said but the step's prompt again\n"
            "    For-Step\n"
            "bad.clf: 2 modes, 0 patterns, 1 procedure, 1 step, 0 facts, 1 "
            "collection; 2 problems, 1 warning\n");

  const RunResult missing = box.Corvane("check missing.clf");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err,
            "corvane check: cannot read missing.clf: No such file or "
            "directory\n");
}

TEST(CommandLineTest, UsageAndExitStatus) {
  struct Case {
    const char* args;
    int status;
    const char* out_has;  // Expected in stdout ("" for nothing on stdout).
    const char* err_has;  // Expected in stderr ("" for nothing on stderr).
  };
  const Case cases[] = {
      {"--help", 0, "Usage: corvane COMMAND", ""},
      {"chat --help", 0, "Usage: corvane chat [--seed N] [--save] FILE.clf",
       ""},
      {"check --help", 0, "Usage: corvane check FILE.clf", ""},
      {"test --help", 0, "Usage: corvane test [--seed N] [--update]", ""},
      {"index --help", 0, "corvane index build CORPUS.txt DIR", ""},
      {"index build --help", 0, "corvane index ask DIR PHRASE", ""},
      {"chat -h", 0, "Usage: corvane chat", ""},
      {"", 2, "", "Usage: corvane COMMAND"},
      {"frobnicate", 2, "", "unknown command 'frobnicate'"},
      {"chat", 2, "", "no FILE.clf given"},
      {"chat --bogus kb.clf", 2, "", "unknown option '--bogus'"},
      {"chat --seed", 2, "", "--seed needs a number"},
      {"chat --seed -1 kb.clf", 2, "", "--seed needs a number"},
      {"chat --seed 18446744073709551616 kb.clf", 2, "",
       "--seed needs a number"},
      {"chat a.clf b.clf", 2, "", "more than one FILE.clf"},
      {"check", 2, "", "no FILE.clf given"},
      {"check -x kb.clf", 2, "", "unknown option '-x'"},
      {"chat --trace=xml kb.clf", 2, "", "--trace takes text or json"},
      {"test", 2, "", "no FILE.clf given"},
      {"test kb.clf", 2, "", "no TESTFILE given"},
      {"test --seed x kb.clf t.test", 2, "", "--seed needs a number"},
      {"test --bogus kb.clf t.test", 2, "", "unknown option '--bogus'"},
      {"test missing.clf t.test", 2, "", "cannot read missing.clf"},
  };
  Sandbox box;
  for (const Case& c : cases) {
    const RunResult run = box.Corvane(c.args);
    EXPECT_EQ(run.status, c.status) << c.args;
    if (*c.out_has) {
      EXPECT_NE(run.out.find(c.out_has), std::string::npos) << c.args;
    } else {
      EXPECT_EQ(run.out, "") << c.args;
    }
    if (*c.err_has) {
      EXPECT_NE(run.err.find(c.err_has), std::string::npos)
          << c.args << run.err;
    } else {
      EXPECT_EQ(run.err, "") << c.args;
    }
  }
}

TEST(DemoKnowledgeBaseTest, ChecksCleanAndBooksATable) {
  const std::string demo =
      std::string(CORVANE_SOURCE_DIR) + "/demo/wwwroot/CorvWebDemo.clf";
  const std::string text = ReadFileBytes(demo).value_or("");
  ASSERT_FALSE(text.empty());
  // CR LF everywhere: every LF follows a CR and every CR precedes a LF.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << i;
    }
    if (text[i] == '\r') {
      ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << i;
    }
  }
  Sandbox box;
  box.Write("CorvWebDemo.clf", text);
  const RunResult check = box.Corvane("check CorvWebDemo.clf");
  EXPECT_EQ(check.status, 0);
  EXPECT_NE(check.out.find("; no problems\n"), std::string::npos) << check.out;

  const RunResult chat = box.Corvane("chat --seed 5 CorvWebDemo.clf",
                                     "help\nbook a table\nAnna\nmonday\nFriday "
                                     "please\n4\nyes\nbook a table\n");
  // The greeting follows the real clock here.
  const std::string& out = chat.out;
  const std::size_t welcome = out.find(", and welcome");
  ASSERT_NE(welcome, std::string::npos) << out;
  const std::string greeting = out.substr(0, welcome);
  EXPECT_TRUE(greeting == "Good morning" || greeting == "Good afternoon" ||
              greeting == "Good evening")
      << greeting;
  const std::string expected =
      ", and welcome to the Corvane Bistro! I'm Corvane, your "
      "host. I can tell you about the menu, book you a table, or tell you a "
      "joke. Type \"help\" any time.  Here is what I understand: say hello, "
      "tell me your name (\"my name is ...\"), ask about the menu or our "
      "opening hours, ask me to book a table (for a day such as Friday, "
      "today or tomorrow), ask for a joke, or say \"tell me about\" something "
      "(owls, the moon, bread...).\n"
      "Let's book you a table! What name shall I put it under?  (Say "
      "\"cancel\" at any time to stop, or \"help\" if you're stuck.)\n"
      "Which day would you like to come, Anna? We're open Tuesday to "
      "Sunday.\n"
      "I'm sorry, we're closed on Mondays.  Which day would you like to come, "
      "Anna? We're open Tuesday to Sunday.\n"
      "Friday it is. How many guests will be joining, including you?\n"
      "Let me read that back: Anna, Friday, party of 4. Shall I confirm it?\n"
      "Wonderful: your table is booked. See you on Friday, Anna!\n"
      "You already have a table for Friday. Say \"cancel my booking\" if "
      "you'd like to change it.\n";
  EXPECT_EQ(out.substr(welcome), expected);
  EXPECT_EQ(chat.err, "");
}

}  // namespace
}  // namespace corvane
