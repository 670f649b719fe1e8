// End-to-end tests of saving from `corvane chat`: a file edited on disk
// while the bot runs is never replaced, --save-to leaves the source alone,
// and a save that does not happen ends with exit status 1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/cli/cli_sandbox.h"

namespace corvane {
namespace {

using namespace cli_test;  // NOLINT: the sandbox helpers of these tests

// Learns what is said into the fact "said".
const std::vector<std::string> kLearner = {
    "// The author's comment, which a save does not keep.",
    "For-Mode",
    "  Response {Noted.},Assignment,{said},{^Input{0}}",
};

// Runs `corvane chat --save kb.clf` on a fifo, says `line`, waits for the
// reply, then runs `edit` (a shell command) while the chat still runs,
// and ends the input. Returns the chat's status, output and errors.
RunResult ChatWithEditMidway(const Sandbox& box, const std::string& options,
                             const std::string& line, const std::string& edit) {
  const std::string script =
      "cd " + Quote(box.dir()) +
      " && rm -f in .stdout .stderr .status && mkfifo in || exit 1; { " +
      Quote(kCorvane) + " chat " + options +
      " < in > .stdout 2> .stderr; echo $? > .status; } & "
      "exec 3> " +
      Quote(box.dir() + "/in") + "; printf '%s\\n' " + Quote(line) +
      " >&3; n=0; while [ ! -s " + Quote(box.dir() + "/.stdout") +
      " ] && [ $n -lt 1500 ]; do sleep 0.02; n=$((n+1)); done; " + edit +
      "; exec 3>&-; wait";
  EXPECT_EQ(std::system(("bash -c " + Quote(script)).c_str()), 0);
  RunResult run;
  const std::string status = box.Read(".status");
  run.status = status.empty() || status == "<missing>" ? -1 : std::stoi(status);
  run.out = box.Read(".stdout");
  run.err = box.Read(".stderr");
  return run;
}

// The conflict files beside kb.clf, by listing the sandbox.
std::vector<std::string> ConflictFiles(const Sandbox& box) {
  EXPECT_EQ(
      std::system(("cd " + Quote(box.dir()) + " && ls -1 > .names").c_str()),
      0);
  std::vector<std::string> found;
  const std::string names = box.Read(".names");
  std::size_t pos = 0;
  while (pos < names.size()) {
    const std::size_t end = names.find('\n', pos);
    const std::string name = names.substr(pos, end - pos);
    if (name.rfind("kb.clf.conflict-", 0) == 0) found.push_back(name);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return found;
}

TEST(SafeSaveTest, AnEditOnDiskWhileTheBotRunsIsNeverOverwritten) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kLearner));
  const std::string edited =
      CrLf(kLearner) + CrLf({"Fact {Added} = {by hand}"});
  const RunResult run = ChatWithEditMidway(
      box, "--save kb.clf", "remember this",
      "printf '%s' " + Quote(edited) + " > " + Quote(box.Path("kb.clf")));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out, "Noted.\n");
  // The author's edit stays exactly as written.
  EXPECT_EQ(box.Read("kb.clf"), edited);
  const std::vector<std::string> conflicts = ConflictFiles(box);
  ASSERT_EQ(conflicts.size(), 1u) << run.err;
  EXPECT_TRUE(std::regex_match(
      conflicts[0], std::regex("kb\\.clf\\.conflict-[0-9]{8}-[0-9]{6}")));
  EXPECT_NE(box.Read(conflicts[0]).find("Fact {said} = {remember this}"),
            std::string::npos);
  EXPECT_EQ(run.err,
            "Not saved over kb.clf: it changed on disk since it was read; the "
            "knowledge base was written to " +
                conflicts[0] + " instead\n");

  // Without an edit the same conversation saves over the file.
  box.Write("kb.clf", CrLf(kLearner));
  const RunResult plain =
      ChatWithEditMidway(box, "--save kb.clf", "remember that", "true");
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(box.Read("kb.clf").find("Fact {said} = {remember that}"),
            std::string::npos);
  EXPECT_EQ(ConflictFiles(box).size(), 1u);
}

TEST(SafeSaveTest, SaveToLeavesTheSourceAsTheAuthorWroteIt) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kLearner));
  const RunResult run =
      box.Corvane("chat --save-to learnt.clf kb.clf", "remember this\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(box.Read("kb.clf"), CrLf(kLearner));
  const std::string learnt = box.Read("learnt.clf");
  EXPECT_NE(learnt.find("Fact {said} = {remember this}"), std::string::npos);
  // The saved file is the writer's: the comment is gone.
  EXPECT_EQ(learnt.find("author's comment"), std::string::npos);
  EXPECT_EQ(box.Corvane("chat --save-to=again.clf kb.clf", "x\n").status, 0);
  EXPECT_NE(box.Read("again.clf").find("Fact {said} = {x}"), std::string::npos);
  // A target edited during the conversation is kept too.
  const RunResult edited =
      ChatWithEditMidway(box, "--save-to learnt.clf kb.clf", "once more",
                         "echo mine > " + Quote(box.Path("learnt.clf")));
  EXPECT_EQ(edited.status, 1);
  EXPECT_EQ(box.Read("learnt.clf"), "mine\n");

  for (const char* bad : {"chat --save-to", "chat --save-to= kb.clf",
                          "chat --save --save-to x.clf kb.clf"}) {
    const RunResult usage = box.Corvane(bad);
    EXPECT_EQ(usage.status, 2) << bad;
  }
}

TEST(SafeSaveTest, ASaveThatDoesNotHappenExitsWithOne) {
  Sandbox box;
  box.Write("kb.clf", CrLf(kLearner));
  ASSERT_EQ(chmod(box.Path("kb.clf").c_str(), 0444), 0);
  const RunResult read_only = box.Corvane("chat --save kb.clf", "x\n");
  EXPECT_EQ(read_only.status, 1);
  EXPECT_NE(read_only.err.find("Not saved: kb.clf may not be written"),
            std::string::npos)
      << read_only.err;
  EXPECT_EQ(box.Read("kb.clf"), CrLf(kLearner));
  // A directory that does not exist.
  const RunResult missing =
      box.Corvane("chat --save-to nowhere/out.clf kb.clf", "x\n");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("nowhere/out.clf could not be written"),
            std::string::npos)
      << missing.err;
  // Without --save nothing is written and the status stays 0.
  EXPECT_EQ(box.Corvane("chat kb.clf", "x\n").status, 0);
}

TEST(SafeSaveTest, CtrlCInTheShellCancelsTheLineAndLeavesOnAnEmptyOne) {
  if (std::system("command -v script > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "no 'script' to give corvane a terminal";
  Sandbox box;
  box.Write("kb.clf", CrLf(kLearner));
  // Keys come as typed, each after the screen shows that the one before
  // was taken: a loaded machine may start the shell late, and a Ctrl-C
  // before its handler is in place would end it. A Ctrl-C makes the
  // terminal drop the keys it holds unread.
  // The shell that runs the command execs corvane: a shell left waiting
  // in between would die of the Ctrl-C itself and report it.
  const std::string keys =
      "seen() { n=0; while [ \"$(grep -o \"$1\" out | wc -l)\" -lt "
      "\"$2\" ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n+1)); done; }; "
      "seen '> ' 1; printf 'first\\n'; seen Noted 1; printf 'dropped'; "
      "seen dropped 1; printf '\\003'; seen 'line cancelled' 1; "
      "printf 'second\\n'; seen Noted 2; printf '\\003'; "
      "sleep 1";
  const std::string command =
      "cd " + Quote(box.dir()) + " && : > out && (" + keys +
      ") | HOME=" + Quote(box.dir()) +
      " SHELL=/bin/sh timeout 40 script -qec " +
      Quote("exec " + kCorvane + " chat --save kb.clf") +
      " /dev/null > out 2>&1";
  const int status = std::system(command.c_str());
  const std::string out = box.Read("out");
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("(line cancelled; Ctrl-C again or Ctrl-D leaves)"),
            std::string::npos)
      << out;
  // The cancelled text was never said; the second Ctrl-C, on an empty
  // line, left and saved what was learnt.
  EXPECT_NE(box.Read("kb.clf").find("Fact {said} = {second}"),
            std::string::npos)
      << out;
  EXPECT_EQ(box.Read("kb.clf").find("dropped"), std::string::npos);
  const std::string history = box.Read(".corvane_history");
  EXPECT_NE(history.find("first"), std::string::npos) << history;
  EXPECT_NE(history.find("second"), std::string::npos) << history;
  EXPECT_EQ(history.find("dropped"), std::string::npos) << history;
}

}  // namespace
}  // namespace corvane
