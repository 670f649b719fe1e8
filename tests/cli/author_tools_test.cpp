// End-to-end tests of the author tools of build/corvane: one-line replies
// and bounded input lines in chat, the warnings of check, conversation
// tests, and the interactive shell on a terminal.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/cli/cli_sandbox.h"

namespace corvane {
namespace {

using namespace cli_test;  // NOLINT: the sandbox helpers of these tests

const std::vector<std::string> kEchoBase = {
    "For-Mode",
    "  Response {Fallback.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {echo}, {}, {}",
    "  Response {^Input{0}},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,0, {hello}, {}, {}",
    "  Response {Hello.},Just Text,{},{}",
    "  Threshold 2,9",
    "    Response {Hello again.},Just Text,{},{}",
};

TEST(ChatLineTest, LineEndsInARepliesAreBlanks) {
  Sandbox box;
  // In a file with CR line ends a lone LF is a byte of its line, so the
  // response text holds it.
  box.Write("kb.clf", CrLf({"For-Mode", "  Fragment CUSTOM,10,0, {two}, {}, {}",
                            "  Response {one\ntwo},Just Text,{},{}"}) +
                          CrLf(kEchoBase));
  const RunResult run = box.Corvane("chat kb.clf", "two\necho a\rb\nhello\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "one two\necho a b\nHello.\n");
}

TEST(ChatLineTest, LinesLongerThanOneMebibyteAreRefused) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kEchoBase));
  const std::size_t limit = std::size_t{1} << 20;
  const std::string input = std::string(limit, 'a') + "\n" +        // taken
                            std::string(limit, 'b') + "\r\n" +      // taken
                            std::string(limit + 1, 'c') + "\n" +    // refused
                            std::string(limit + 1, 'd') + "\r\n" +  // refused
                            "hello\n" + std::string(3 * limit, 'e');
  const RunResult run = box.Corvane("chat kb.clf", input);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Fallback.\nFallback.\n\n\nHello.\n\n");
  const std::string message =
      "corvane chat: input line longer than 1048576 bytes refused\n";
  EXPECT_EQ(run.err, message + message + message);
}

TEST(ChatLineTest, AHugeLineIsNotHeldInMemory) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kEchoBase));
  // What the program takes without any input line: the sanitizers' builds
  // alone come near 64 MiB, so the line is measured against this.
  ASSERT_EQ(box.Corvane("chat kb.clf", "").status, 0);
  struct rusage before;
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &before), 0);
  // 128 MiB in one line: held whole, it would take at least that much.
  const std::string command = "cd " + Quote(box.dir()) +
                              " && { head -c 134217728 /dev/zero | tr '\\000' "
                              "x; printf '\\nhello\\n'; }"
                              " | " +
                              Quote(kCorvane) + " chat kb.clf > out 2> err";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(box.Read("out"), "\nHello.\n");
  struct rusage usage;
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  // The largest child so far: the run without input, or the one with the
  // line when that took more.
  EXPECT_LT(usage.ru_maxrss, before.ru_maxrss + 32 * 1024) << "KiB";
}

TEST(ChatTraceTest, EveryTurnExplainedOnStandardError) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kEchoBase));
  const RunResult text = box.Corvane("chat --trace kb.clf", "hello\nhello\n");
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out, "Hello.\nHello again.\n");  // Replies unchanged.
  EXPECT_EQ(text.err.rfind("trace: \"hello\"\n"
                           "  answered by mode \"Default\": 3 patterns scored\n"
                           "  1. unnamed pattern (kb.clf:6) score 10\n"
                           "       CUSTOM \"hello\" holds +10 (kb.clf:7)\n"
                           "  2. unnamed pattern (kb.clf:1) score 0\n"
                           "  3. unnamed pattern (kb.clf:3) score 0\n"
                           "       CUSTOM \"echo\" fails +0 (kb.clf:4)\n"
                           "  winner: unnamed pattern (kb.clf:6), hit count 1, "
                           "the pattern's own responses, response Just Text "
                           "\"Hello.\" (kb.clf:8)\n"
                           "  reply: \"Hello.\"\n",
                           0),
            0u)
      << text.err;
  EXPECT_NE(text.err.find("hit count 2, threshold 2,9 (kb.clf:9), response "
                          "Just Text \"Hello again.\" (kb.clf:10)"),
            std::string::npos)
      << text.err;

  // One JSON object per turn and line.
  const RunResult json =
      box.Corvane("chat --trace=json kb.clf", "hello\necho \"x\"\n");
  EXPECT_EQ(json.out, "Hello.\necho \"x\"\n");
  std::vector<nlohmann::json> turns;
  std::size_t pos = 0;
  while (pos < json.err.size()) {
    const std::size_t end = json.err.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    turns.push_back(nlohmann::json::parse(json.err.substr(pos, end - pos)));
    pos = end + 1;
  }
  ASSERT_EQ(turns.size(), 2u);
  EXPECT_EQ(turns[0]["input"], "hello");
  EXPECT_EQ(turns[0]["answered_by"], "mode");
  EXPECT_EQ(turns[0]["winner"]["source"], "kb.clf:6");
  EXPECT_EQ(turns[0]["winner"]["hit_count"], 1);
  EXPECT_EQ(turns[0]["winner"]["response"]["type"], "Just Text");
  EXPECT_EQ(turns[0]["best"][0]["fragments"][0]["holds"], true);
  EXPECT_EQ(turns[0]["best"][0]["fragments"][0]["contribution"], 10);
  EXPECT_EQ(turns[1]["input"], "echo \"x\"");
  EXPECT_EQ(turns[1]["events"][0]["kind"], "macro");
  EXPECT_EQ(turns[1]["events"][0]["value"], "echo \"x\"");
  EXPECT_EQ(turns[1]["reply"], "echo \"x\"");
}

struct WarningCase {
  std::vector<std::string> lines;
  int line;             // The line the warning names.
  const char* message;  // Expected in the warning.
};

TEST(CheckWarningTest, LikelyMistakesAreWarnedAboutWithTheirLine) {
  const WarningCase cases[] = {
      {{"For-Mode", "  Fragment InCollection,10,0, {}, {C}, {}"},
       2,
       "unknown fragment kind 'InCollection' is read as None, which never "
       "holds (did you mean 'In Collection'?)"},
      {{"For-Mode", "  Response {x},Just Txt,{},{}"},
       2,
       "unknown response type 'Just Txt' is read as None (did you mean "
       "'Just Text'?)"},
      {{"For-Mode", "  Response {x},Task List,{},{}",
        "    Task {},Mode Chnge,{},{}"},
       3,
       "unknown task type 'Mode Chnge'"},
      {{"Modes of talking come next", "For-Mode",
        "  Response {x},Just Text,{},{}"},
       1,
       "keyword MODE"},
      // Misspelt keywords make comment lines that create nothing.
      {{"For-Mode", "  Response {x},Just Text,{},{}", "For-Mdoe"},
       3,
       "the line begins with 'For-Mdoe', which is no keyword, so the line is "
       "a comment and creates nothing (did you mean 'For-Mode'?)"},
      {{"For-Mode", "  Respnse {Hi},Just Text,{},{}"},
       2,
       "(did you mean 'Response'?)"},
      {{"For-Mode", "  Response {x},Just Text,{},{}",
        "  Fragmnet CUSTOM,10,0, {hello}, {}, {}"},
       3,
       "(did you mean 'Fragment'?)"},
      {{"Procedur {Booking}"}, 1, "(did you mean 'Procedure'?)"},
      {{"For-Mode", "  Response {x},Just Text,{},{}", "  Thresold 2,4"},
       3,
       "(did you mean 'Threshold'?)"},
      {{"Mod {Quiz}"}, 1, "(did you mean 'Mode'?)"},
      // Comments whose first word is near a keyword but that hold no
      // fields of it, and short words two edits away, are comments.
      {{"More patterns follow.", "Each step is {x} here", "Sate"}, 0, ""},
      // Patterns and step patterns that say nothing.
      {{"For-Mode", "  Fragment CUSTOM,10,0, {hello}, {}, {}"},
       1,
       "the pattern has no response: when it fires it says nothing, and a "
       "turn it wins replies with an empty line"},
      {{"For-Mode", "  For-State {S}", "State {S}"},
       1,
       "the pattern has no response"},
      {{"Procedure {P}", "Step {A},{Say something.}", "For-Step",
        "  Fragment CUSTOM,10,0, {x}, {}, {}"},
       3,
       "the step pattern has no response: when it wins, nothing is said but "
       "the step's prompt again"},
      // A response in any group is a response.
      {{"For-Mode", "  Threshold 2,3", "    Response {x},Just Text,{},{}"},
       0,
       ""},
      {{"Fact: cats purr"}, 1, "keyword FACT"},
      {{"For-Mode patterns follow"}, 1, "keyword FOR-MODE"},
      {{"For-Mode", "  Response {x},Mode Change,{Nowhere},{}"},
       2,
       "Mode Change names the mode 'Nowhere', which nothing defines"},
      {{"For-Mode", "  Response {x},Start Proc,{Booking},{}"},
       2,
       "Start Proc names the procedure 'Booking'"},
      {{"Procedure {P}", "Step {A},{}", "For-Step",
        "  Response {x},Goto Step,{B},{}"},
       4,
       "Goto Step names the step of its procedure 'B'"},
      {{"State {Calm}", "For-Mode", "  Response {x},State Change,{Clam},{}"},
       3,
       "State Change names the state 'Clam', which no State line declares"},
      {{"For-Mode", "  For-State {Happy}", "    Response {x},Just Text,{},{}"},
       2,
       "the responses for the state 'Happy' never apply"},
      {{"For-Mode", "  Fragment In Collection,10,0, {}, {Dishes}, {}"},
       2,
       "the fragment tests the collection 'Dishes', which nothing defines"},
      {{"For-Mode", "  Response {x},Task List,{},{}",
        "    Task {},Set Label,{start},{}", "    Task {},Goto,{stop},{}"},
       4,
       "Goto jumps to the label 'stop', which no Set Label task"},
      {{"For-Mode", "  Response {x},Do Response For,{},{}"},
       2,
       "Do Response For names the label 'x', which no Name-Object line "
       "gives"},
      {{"For-Mode", "  Response {^Fact{x}},Do Response For,{},{}"},
       2,
       ""},  // Decided while the conversation runs: not judged.
      // The floor is the highest lowest score of the earlier patterns.
      {{"Mode {M}", "For-Mode", "  Fragment AND,0,0, {a}, {}, {}", "For-Mode",
        "  Fragment OR,0,0, {b}, {}, {}", "For-Mode",
        "  Fragment CUSTOM,0,7, {c}, {}, {}"},
       6,
       "the pattern can never win in mode 'M': it scores at most 0, and the "
       "earlier pattern at line 4 scores at least 0 (ties go to the earlier "
       "pattern)"},
      {{"For-Mode", "  Fragment CUSTOM,1,0, {a}, {}, {}",
        "  Response {A.},Just Text,{},{}", "For-Mode",
        "  Fragment CUSTOM,1,0, {b}, {}, {}",
        "  Response {B.},Just Text,{},{}"},
       0,
       ""},  // Either may score 1 while the other scores 0.
      {{"For-Mode", "For-Mode", "  Fragment Data-Match,0,0, {}, {x}, {}"},
       2,
       "the pattern can never win in mode 'Default': it scores at most 0, and "
       "the earlier pattern at line 1 scores at least 0 (ties go to the "
       "earlier pattern)"},
      {{"For-Mode", "Name-Object {Same}", "For-Mode", "Name-Object {same}"},
       3,
       "the label 'same' is given again (first at line 1)"},
      // A UTF-8 knowledge base's names fold beyond a to z: É is é here.
      {{"Encoding: UTF-8", "For-Mode", "Name-Object {\xC3\x89" "clair}",
        "For-Mode", "Name-Object {\xC3\xA9" "clair}"},
       4,
       "the label '\xC3\xA9" "clair' is given again (first at line 2)"},
      // In the code page É and é are two names.
      {{"For-Mode", "Name-Object {\xC9" "clair}",
        "  Fragment CUSTOM,1,0, {a}, {}, {}", "  Response {A.},Just Text,{},{}",
        "For-Mode", "Name-Object {\xE9" "clair}",
        "  Fragment CUSTOM,1,0, {b}, {}, {}", "  Response {B.},Just Text,{},{}"},
       0,
       ""},
      {{"Encoding: UTF-8", "State {\xC5\x9Api\xC4\x85" "cy}", "Mode {J\xC4\x99zyk}",
        "For-Mode", "  Response {x},Task List,{},{}",
        "    Task {},State Change,{\xC5\x9API\xC4\x84" "CY},{}",
        "    Task {},Mode Change,{J\xC4\x98ZYK},{}",
        "  Fragment In Collection,10,0, {}, {\xC5\x82" "AKOCIE}, {}",
        "Start-Collection {\xC5\x81" "akocie}", "Sernik", "End-Collection"},
       0,
       ""},
      {{"Encoding: UTF-8", "State {\xC5\x9Api\xC4\x85" "cy}", "For-Mode",
        "  Response {x},State Change,{\xC5\x9API\xC4\x84" "C},{}"},
       4,
       "State Change names the state '\xC5\x9API\xC4\x84" "C'"},
      {{"For-Mode", "  Response {Hi ^Fact{Name.},Just Text,{},{}"},
       2,
       "the braces of the text do not pair up"},
      {{"For-Mode", "  Response {x},Assignment,{A},{^Input{0"},
       2,
       "unbalanced macro braces in '^Input{0': a macro that is never closed"},
  };
  Sandbox box;
  for (const WarningCase& c : cases) {
    box.Write("kb.clf", CrLf(c.lines));
    const RunResult run = box.Corvane("check kb.clf");
    EXPECT_EQ(run.status, 0) << c.message << run.out;
    if (*c.message == '\0') {
      EXPECT_EQ(run.out.find("warning"), std::string::npos) << run.out;
      continue;
    }
    const std::string head = "kb.clf:" + std::to_string(c.line) + ": warning: ";
    bool found = false;  // Several warnings may name the line.
    for (std::size_t at = run.out.find(head); at != std::string::npos;
         at = run.out.find(head, at + 1)) {
      const std::string line = run.out.substr(at, run.out.find('\n', at) - at);
      found = found || line.find(c.message) != std::string::npos;
    }
    EXPECT_TRUE(found) << c.message << "\n" << run.out;
    // The warned line follows, indented, and the summary counts it.
    EXPECT_NE(run.out.find("\n    " + c.lines[c.line - 1] + "\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(" warning"), std::string::npos) << run.out;
    EXPECT_EQ(box.Corvane("check --strict kb.clf").status, 1) << c.message;
  }
}

TEST(CheckWarningTest, CleanFilesAndProblemsKeepTheirStatus) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kEchoBase));
  const RunResult clean = box.Corvane("check --strict kb.clf");
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.out,
            "kb.clf: 1 mode, 3 patterns, 0 procedures, 0 steps, 0 facts, 0 "
            "collections; no problems\n");
  // A problem comes first; the summary counts both.
  box.Write("bad.clf", CrLf({"Response {x},Just Text,{},{}", "For-Mode",
                             "  Response {y},Jst Text,{},{}"}));
  const RunResult bad = box.Corvane("check bad.clf");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out,
            "bad.clf:1: Mode Error In Line 1\n"
            "    Response {x},Just Text,{},{}\n"
            "bad.clf:3: warning: unknown response type 'Jst Text' is read as "
            "None (did you mean 'Just Text'?)\n"
            "      Response {y},Jst Text,{},{}\n"
            "bad.clf: 1 mode, 1 pattern, 0 procedures, 0 steps, 0 facts, 0 "
            "collections; 1 problem, 1 warning\n");
  // A directory is no knowledge base.
  EXPECT_EQ(box.Corvane("check .").status, 2);
}

TEST(ConversationTestCommandTest, PassesFailsAndReportsWithFileAndLine) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kEchoBase));
  box.Write("t.test",
            "# Every test starts afresh.\n"
            "== greets\n"
            "> hello\n"
            "< Hello.\n"
            "> hello\n"
            "<~ ^Hello ag.+\\.$\n"
            "> echo anything\n"
            "\n"
            "== greets afresh\n"
            "> hello\n"
            "< Hello.\n"
            "== fails\n"
            "> hello\n"
            "< Hello.\n"
            "> hello\n"
            "< Hello.\n"
            "> never sent\n"
            "< x\n");
  const RunResult run = box.Corvane("test kb.clf t.test");
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(
      run.out.find("ok   greets (3 turns)\nok   greets afresh (1 turns)\n"),
      std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("t.test:16: FAIL fails: reply to \"hello\"\n"
                         "  expected: Hello.\n"
                         "  actual:   Hello again.\n"
                         "    trace: \"hello\"\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1),
            "2 passed, 1 failed\n");

  // Several test files; an input without a reply line only talks.
  box.Write("u.test", "> hello\n> hello\n< Hello again.\n");
  const RunResult two = box.Corvane("test --seed 7 kb.clf u.test u.test");
  EXPECT_EQ(two.status, 0) << two.out;
  EXPECT_EQ(two.out,
            "ok   u.test (2 turns)\nok   u.test (2 turns)\n"
            "2 passed, 0 failed\n");
}

TEST(ConversationTestCommandTest, UpdateWritesTheActualReplies) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kEchoBase));
  box.Write("t.test",
            "== a\r\n> hello\r\n< wrong\r\n> hello\r\n<~ again\r\n"
            "> echo x\r\n# comment\r\n== b\r\n> hello\r\n");
  const RunResult update = box.Corvane("test --update kb.clf t.test");
  EXPECT_EQ(update.status, 0) << update.out;
  EXPECT_EQ(box.Read("t.test"),
            "== a\r\n> hello\r\n< Hello.\r\n> hello\r\n<~ again\r\n"
            "> echo x\r\n< echo x\r\n# comment\r\n== b\r\n> hello\r\n"
            "< Hello.\r\n");
  EXPECT_EQ(box.Corvane("test kb.clf t.test").status, 0);
}

TEST(ConversationTestCommandTest, BadTestFilesAreUsageErrors) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kEchoBase));
  const struct {
    const char* content;
    const char* err;
  } cases[] = {
      {"> hi\nhello\n", "t.test:2: not a test line"},
      {"< Hello.\n", "t.test:1: a reply line before any input line"},
      {"> hi\n< a\n< b\n",
       "t.test:3: a second reply line for the input of line 1"},
      {"> hi\n<~ (\n", "t.test:2: not a regular expression"},
  };
  for (const auto& c : cases) {
    box.Write("t.test", c.content);
    const RunResult run = box.Corvane("test kb.clf t.test");
    EXPECT_EQ(run.status, 2) << c.content;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  const RunResult missing = box.Corvane("test kb.clf nosuch.test");
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot read nosuch.test"), std::string::npos);
}

TEST(ShellTest, ATerminalGetsTheShellAndAPipeDoesNot) {
  if (std::system("command -v script > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "no 'script' to give corvane a terminal";
  Sandbox box;
  box.Write("kb.clf",
            CrLf(kEchoBase) + CrLf({"Fact {Colour} = {blue}", "State {Busy}"}));
  box.Write("in",
            "hello\n/state\n/facts\n/why\n/seed 5\n/nonsense\n"
            "//echo slash\n/reload\nhello\n/quit\nhello\n");
  const std::string command =
      "cd " + Quote(box.dir()) + " && HOME=" + Quote(box.dir()) +
      " SHELL=/bin/sh timeout 20 script -qec " +
      Quote("exec " + kCorvane + " chat kb.clf") + " /dev/null < in > out 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string out = box.Read("out");
  for (const char* expected : {
           "Corvane: talking to kb.clf",
           "Type /help for commands; /quit or Ctrl-D leaves.",
           "Hello.",
           "mode: \"Default\" (built in)",
           "state: \"Normal\"",
           "procedure: none",
           "Colour = \"blue\"  (kb.clf:11)",
           "seeded with 5",
           "winner: unnamed pattern (kb.clf:6), hit count 1",
           "unknown command /nonsense; /help lists the commands",
           "/echo slash",
           "reloaded kb.clf; a fresh conversation",
       })
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
  // After /reload the hit count starts again; /quit leaves before the
  // last line.
  EXPECT_EQ(out.find("Hello again."), std::string::npos) << out;
  EXPECT_NE(box.Read(".corvane_history").find("/seed"), std::string::npos);

  // Without a terminal every line is input, also the ones with '/'.
  const RunResult piped = box.Corvane("chat kb.clf", "/quit\nhello\n");
  EXPECT_EQ(piped.out, "Fallback.\nHello.\n");
}

}  // namespace
}  // namespace corvane
