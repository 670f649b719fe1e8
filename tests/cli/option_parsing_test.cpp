// The command line of every corvane subcommand, argument by argument: which
// spellings are options, which are file names, which error wins when there
// are several, and the exact texts and exit status of each outcome. Scripts
// outside this repository drive these, so every row is pinned byte for byte.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/cli/cli_sandbox.h"

namespace corvane {
namespace {

using namespace cli_test;  // NOLINT: the sandbox helpers of these tests

// One run: the arguments after `corvane` (shell-quoted where needed), the
// exit status and the whole of standard output and standard error. In the
// expected texts "%U" stands for the usage text the command prints for
// --help (tests/cli/data/usage/COMMAND.txt).
struct Case {
  const char* args;
  int status;
  const char* out;
  const char* err;
};

std::string Usage(const std::string& command) {
  const std::string path = std::string(CORVANE_SOURCE_DIR) +
                           "/tests/cli/data/usage/" + command + ".txt";
  const std::optional<std::string> text = ReadFileBytes(path);
  EXPECT_TRUE(text) << path;
  return text.value_or("");
}

std::string Expand(const std::string& text, const std::string& usage) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "%U") == 0) {
      out += usage;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A sandbox with a small knowledge base kb.clf and a passing test file
// t.test.
class OptionParsingTest : public testing::Test {
 protected:
  OptionParsingTest() {
    box_.Write("kb.clf", CrLf({
                             "",
                             "Corvane 8.0 Corvane-Language File",
                             "-------Modes---------",
                             "For-Mode",
                             "  Response {Fallback.},Just Text,{},{}",
                             "For-Mode",
                             "  Fragment CUSTOM,10,0, {hello}, {}, {}",
                             "  Response {Hello.},Just Text,{},{}",
                         }));
    box_.Write("t.test", "== one\n> hello\n< Hello.\n");
  }

  // Runs `corvane COMMAND ARGS` for every case ("main": `corvane ARGS`).
  void RunAll(const std::string& command, const std::vector<Case>& cases) {
    const std::string usage = Usage(command);
    const std::string word = command == "main" ? "" : command + " ";
    for (const Case& c : cases) {
      const RunResult run = box_.Corvane(word + c.args);
      EXPECT_EQ(run.status, c.status) << c.args;
      EXPECT_EQ(run.out, Expand(c.out, usage)) << c.args;
      EXPECT_EQ(run.err, Expand(c.err, usage)) << c.args;
    }
  }

  Sandbox box_;
};

TEST_F(OptionParsingTest, TopLevelDispatch) {
  RunAll(
      "main",
      {
          {"", 2, "", "%U"},
          {"--help", 0, "%U", ""},
          {"-h", 0, "%U", ""},
          {"help", 0, "%U", ""},
          {"--help chat", 0, "%U", ""},  // only the first word counts
          {"--version", 0, "corvane 8.0\n", ""},
          {"--version --help", 0, "corvane 8.0\n", ""},
          {"frobnicate", 2, "", "corvane: unknown command 'frobnicate'\n\n%U"},
          {"Chat", 2, "", "corvane: unknown command 'Chat'\n\n%U"},
          {"--bogus chat", 2, "", "corvane: unknown command '--bogus'\n\n%U"},
          {"-- chat", 2, "", "corvane: unknown command '--'\n\n%U"},
          {"--help=x", 2, "", "corvane: unknown command '--help=x'\n\n%U"},
          {"''", 2, "", "corvane: unknown command ''\n\n%U"},
      });
}

TEST_F(OptionParsingTest, Chat) {
  RunAll(
      "chat",
      {
          {"--help", 0, "%U", ""},
          {"-h", 0, "%U", ""},
          {"kb.clf -h", 0, "%U", ""},  // help wins over what came before
          {"--seed x -h", 2, "",
           "corvane chat: --seed needs a number, not 'x'\n\n%U"},
          {"a.clf b.clf -h", 2, "",
           "corvane chat: more than one FILE.clf given\n\n%U"},
          {"-hx", 2, "", "corvane chat: unknown option '-hx'\n\n%U"},
          {"--help=x", 2, "", "corvane chat: unknown option '--help=x'\n\n%U"},
          {"", 2, "", "corvane chat: no FILE.clf given\n\n%U"},
          {"kb.clf", 0, "", ""},
          {"kb.clf --seed 7 --trace", 0, "", ""},  // options after the file
          {"--seed=5 kb.clf", 0, "", ""},
          {"--seed 1 --seed 2 kb.clf", 0, "", ""},  // the last one counts
          {"--seed 1 --seed x kb.clf", 2, "",
           "corvane chat: --seed needs a number, not 'x'\n\n%U"},
          {"--seed", 2, "", "corvane chat: --seed needs a number\n\n%U"},
          {"--seed= kb.clf", 2, "",
           "corvane chat: --seed needs a number, not ''\n\n%U"},
          {"--seed -1 kb.clf", 2, "",
           "corvane chat: --seed needs a number, not '-1'\n\n%U"},
          {"--seed 18446744073709551615 kb.clf", 0, "", ""},
          {"--seed 18446744073709551616 kb.clf", 2, "",
           "corvane chat: --seed needs a number, not "
           "'18446744073709551616'\n\n%U"},
          {"--seed ' 1' kb.clf", 2, "",
           "corvane chat: --seed needs a number, not ' 1'\n\n%U"},
          {"--seed=1x kb.clf", 2, "",
           "corvane chat: --seed needs a number, not '1x'\n\n%U"},
          {"--save-to", 2, "", "corvane chat: --save-to needs a file\n\n%U"},
          {"--save-to= kb.clf", 2, "",
           "corvane chat: --save-to needs a file\n\n%U"},
          {"--save-to '' kb.clf", 2, "",
           "corvane chat: --save-to needs a file\n\n%U"},
          {"--save-to=out.clf kb.clf", 0, "", ""},
          {"--save --save-to o.clf kb.clf", 2, "",
           "corvane chat: --save and --save-to exclude each other\n\n%U"},
          {"--save-to o.clf --save kb.clf", 2, "",
           "corvane chat: --save and --save-to exclude each other\n\n%U"},
          {"--save --save", 2, "", "corvane chat: no FILE.clf given\n\n%U"},
          {"--save=1 kb.clf", 2, "",
           "corvane chat: unknown option '--save=1'\n\n%U"},
          {"--save= kb.clf", 2, "",
           "corvane chat: unknown option '--save='\n\n%U"},
          {"--trace kb.clf", 0, "", ""},
          {"--trace=text kb.clf", 0, "", ""},
          {"--trace=json kb.clf", 0, "", ""},
          {"--trace=xml kb.clf", 2, "",
           "corvane chat: --trace takes text or json, not 'xml'\n\n%U"},
          {"--trace=true kb.clf", 2, "",
           "corvane chat: --trace takes text or json, not 'true'\n\n%U"},
          {"--trace= kb.clf", 2, "",
           "corvane chat: --trace takes text or json, not ''\n\n%U"},
          {"--trace json kb.clf", 2, "",
           "corvane chat: more than one FILE.clf given\n\n%U"},
          {"--bogus kb.clf", 2, "",
           "corvane chat: unknown option '--bogus'\n\n%U"},
          {"-s kb.clf", 2, "", "corvane chat: unknown option '-s'\n\n%U"},
          {"---save kb.clf", 2, "",
           "corvane chat: unknown option '---save'\n\n%U"},
          {"--Save kb.clf", 2, "",
           "corvane chat: unknown option '--Save'\n\n%U"},
          {"--sav kb.clf", 2, "", "corvane chat: unknown option '--sav'\n\n%U"},
          {"--bogus --seed", 2, "",
           "corvane chat: unknown option '--bogus'\n\n%U"},
          {"--bogus a.clf b.clf", 2, "",
           "corvane chat: unknown option '--bogus'\n\n%U"},
          {"--bogus --seed x kb.clf", 2, "",
           "corvane chat: unknown option '--bogus'\n\n%U"},
          {"a.clf b.clf --seed x", 2, "",
           "corvane chat: more than one FILE.clf given\n\n%U"},
          {"a.clf b.clf --bogus", 2, "",
           "corvane chat: more than one FILE.clf given\n\n%U"},
          {"a.clf --seed x b.clf", 2, "",
           "corvane chat: --seed needs a number, not 'x'\n\n%U"},
          {"-- -h", 2, "",
           "corvane chat: cannot read -h: No such file or directory\n"},
          {"kb.clf --", 0, "", ""},
          {"-- kb.clf --", 2, "",
           "corvane chat: more than one FILE.clf given\n\n%U"},
          {"-", 2, "",
           "corvane chat: cannot read -: No such file or directory\n"},
          {"missing.clf", 2, "",
           "corvane chat: cannot read missing.clf: No such file or "
           "directory\n"},
          {"--save missing.clf", 0, "", "Could not open file: missing.clf\n"},
      });
}

TEST_F(OptionParsingTest, ChatValuesAreTakenVerbatim) {
  // The argument after --save-to is its file even when it looks like an
  // option; the conversation is saved there.
  const RunResult run = box_.Corvane("chat --save-to --seed kb.clf", "hello\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Hello.\n");
  EXPECT_NE(box_.Read("--seed"), "<missing>");
  const RunResult dash = box_.Corvane("chat --save-to -- kb.clf", "");
  EXPECT_EQ(dash.status, 0) << dash.err;
  EXPECT_NE(box_.Read("--"), "<missing>");
}

TEST_F(OptionParsingTest, Check) {
  const std::string summary =
      "kb.clf: 1 mode, 2 patterns, 0 procedures, 0 steps, 0 facts, 0 "
      "collections; no problems\n";
  const std::vector<Case> cases = {
      {"--help", 0, "%U", ""},
      {"kb.clf -h", 0, "%U", ""},
      {"", 2, "", "corvane check: no FILE.clf given\n\n%U"},
      {"kb.clf", 0, summary.c_str(), ""},
      {"--strict kb.clf", 0, summary.c_str(), ""},
      {"kb.clf --strict --strict", 0, summary.c_str(), ""},
      {"--strict=1 kb.clf", 2, "",
       "corvane check: unknown option '--strict=1'\n\n%U"},
      {"-x kb.clf", 2, "", "corvane check: unknown option '-x'\n\n%U"},
      {"a.clf b.clf", 2, "",
       "corvane check: more than one FILE.clf given\n\n%U"},
      {"a.clf b.clf --bogus", 2, "",
       "corvane check: more than one FILE.clf given\n\n%U"},
      {"-- -x", 2, "",
       "corvane check: cannot read -x: No such file or directory\n"},
      {"-- kb.clf", 0, summary.c_str(), ""},
      {"-", 2, "", "corvane check: cannot read -: No such file or directory\n"},
  };
  RunAll("check", cases);
}

TEST_F(OptionParsingTest, Test) {
  const char* passed = "ok   one (1 turns)\n1 passed, 0 failed\n";
  RunAll(
      "test",
      {
          {"--help", 0, "%U", ""},
          {"kb.clf t.test -h", 0, "%U", ""},
          {"", 2, "", "corvane test: no FILE.clf given\n\n%U"},
          {"kb.clf", 2, "", "corvane test: no TESTFILE given\n\n%U"},
          {"kb.clf t.test", 0, passed, ""},
          {"--seed=3 kb.clf t.test", 0, passed, ""},
          {"kb.clf --seed 3 t.test", 0, passed, ""},
          {"--seed x kb.clf t.test", 2, "",
           "corvane test: --seed needs a number, not 'x'\n\n%U"},
          {"kb.clf t.test --seed", 2, "",
           "corvane test: --seed needs a number\n\n%U"},
          {"--seed= kb.clf t.test", 2, "",
           "corvane test: --seed needs a number, not ''\n\n%U"},
          {"--coverage=xml kb.clf t.test", 2, "",
           "corvane test: --coverage takes text or json, not 'xml'\n\n%U"},
          {"--coverage= kb.clf t.test", 2, "",
           "corvane test: --coverage takes text or json, not ''\n\n%U"},
          {"--update=1 kb.clf t.test", 2, "",
           "corvane test: unknown option '--update=1'\n\n%U"},
          {"--bogus kb.clf t.test", 2, "",
           "corvane test: unknown option '--bogus'\n\n%U"},
          {"kb.clf t.test --bogus --seed x", 2, "",
           "corvane test: unknown option '--bogus'\n\n%U"},
          {"-- kb.clf --update", 2, "",
           "corvane test: cannot read --update: No such file or directory\n"},
          {"missing.clf t.test", 2, "",
           "corvane test: cannot read missing.clf: No such file or "
           "directory\n"},
      });
}

TEST_F(OptionParsingTest, Graph) {
  RunAll("graph",
         {
             {"--help", 0, "%U", ""},
             {"-h kb.clf", 0, "%U", ""},
             {"", 2, "", "corvane graph: no FILE.clf given\n\n%U"},
             {"-o", 2, "", "corvane graph: -o needs a file\n\n%U"},
             {"-o out.dot kb.clf", 0, "", ""},
             {"kb.clf -o out.dot -o out2.dot", 0, "", ""},
             {"-ofile kb.clf", 2, "",
              "corvane graph: unknown option '-ofile'\n\n%U"},
             {"-o=file kb.clf", 2, "",
              "corvane graph: unknown option '-o=file'\n\n%U"},
             {"--o file kb.clf", 2, "",
              "corvane graph: unknown option '--o'\n\n%U"},
             {"--svg=1 kb.clf", 2, "",
              "corvane graph: unknown option '--svg=1'\n\n%U"},
             {"--output x kb.clf", 2, "",
              "corvane graph: unknown option '--output'\n\n%U"},
             {"a.clf b.clf", 2, "",
              "corvane graph: more than one FILE.clf given\n\n%U"},
             {"a.clf b.clf -o", 2, "",
              "corvane graph: more than one FILE.clf given\n\n%U"},
             {"-- -o", 2, "",
              "corvane graph: cannot read -o: No such file or directory\n"},
         });
  EXPECT_NE(box_.Read("out2.dot"), "<missing>");
  EXPECT_EQ(box_.Read("out2.dot"), box_.Read("out.dot"));
  // The value of -o is taken as it is, even "-" or what looks like an option.
  EXPECT_EQ(box_.Corvane("graph -o -x kb.clf").status, 0);
  EXPECT_EQ(box_.Read("-x"), box_.Read("out.dot"));
}

TEST_F(OptionParsingTest, Lsp) {
  RunAll("lsp",
         {
             {"--help", 0, "%U", ""},
             {"--stdio -h", 0, "%U", ""},
             {"", 1, "", ""},  // input ended without "exit"
             {"--stdio", 1, "", ""},
             {"--stdio --stdio", 1, "", ""},
             {"foo -h", 2, "", "corvane lsp: unknown argument 'foo'\n\n%U"},
             {"--stdio=1", 2, "",
              "corvane lsp: unknown argument '--stdio=1'\n\n%U"},
             {"--", 2, "", "corvane lsp: unknown argument '--'\n\n%U"},
             {"-", 2, "", "corvane lsp: unknown argument '-'\n\n%U"},
             {"-x", 2, "", "corvane lsp: unknown argument '-x'\n\n%U"},
         });
}

TEST_F(OptionParsingTest, Index) {
  const std::string usage =
      "usage: corvane index build CORPUS.txt DIR\n"
      "       corvane index ask DIR PHRASE...\n";
  const std::string build =
      "corvane index: build takes CORPUS.txt and DIR\n" + usage;
  const std::string ask = "corvane index: ask takes DIR and a PHRASE\n" + usage;
  RunAll(
      "index",
      {
          {"--help", 0, "%U", ""},
          {"build -h", 0, "%U", ""},
          {"frob -h", 0, "%U", ""},
          {"ask dir a --help=x -h", 0, "%U", ""},
          {"", 2, "", ("corvane index: missing subcommand\n" + usage).c_str()},
          {"frob", 2, "",
           ("corvane index: unknown subcommand \"frob\"\n" + usage).c_str()},
          {"-- -h", 2, "",
           ("corvane index: unknown subcommand \"--\"\n" + usage).c_str()},
          {"--bogus", 2, "",
           ("corvane index: unknown subcommand \"--bogus\"\n" + usage).c_str()},
          {"build", 2, "", build.c_str()},
          {"build -- x y", 2, "", build.c_str()},  // "--" is a word
          {"build a b c", 2, "", build.c_str()},
          {"ask", 2, "", ask.c_str()},
          {"ask dir", 2, "", ask.c_str()},
          {"build missing.txt dir", 1, "",
           "corvane index build: cannot read missing.txt\n"},
          {"build -x dir", 1, "", "corvane index build: cannot read -x\n"},
          {"ask nodir --seed=1 x", 1, "",
           "corvane index ask: cannot open the word index in nodir\n"},
      });
}

TEST_F(OptionParsingTest, Sessions) {
  RunAll(
      "sessions",
      {
          {"--help", 0, "%U", ""},
          {"a b -h", 0, "%U", ""},
          {"--prefix p -h", 0, "%U", ""},
          {"", 2, "", "corvane sessions: give a STORE and a COMMAND\n\n%U"},
          {"sqlite:x", 2, "",
           "corvane sessions: give a STORE and a COMMAND\n\n%U"},
          {"--", 2, "", "corvane sessions: unknown option --\n\n%U"},
          {"-x a list", 2, "", "corvane sessions: unknown option -x\n\n%U"},
          {"a list --bogus", 2, "",
           "corvane sessions: unknown option --bogus\n\n%U"},
          {"--prefix", 2, "", "corvane sessions: --prefix needs a value\n\n%U"},
          {"--bogus --prefix", 2, "",
           "corvane sessions: unknown option --bogus\n\n%U"},
          {"--bogus --prefix p", 2, "",
           "corvane sessions: unknown option --bogus\n\n%U"},
          {"--prefix=x a list", 2, "",
           "corvane sessions: unknown option --prefix=x\n\n%U"},
          {"a b", 2, "", "corvane sessions: unknown command 'b'\n\n%U"},
          {"a list extra", 2, "",
           "corvane sessions: list takes no more arguments\n\n%U"},
          {"a show", 2, "",
           "corvane sessions: show takes one conversation ID\n\n%U"},
          {"a show 1 2", 2, "",
           "corvane sessions: show takes one conversation ID\n\n%U"},
          {"- list", 2, "",
           "corvane sessions: store URL '-': unknown kind of store; use "
           "sqlite:PATH or "
           "redis://HOST:PORT[/DB]\n\n%U"},
          {"sqlite:nodir/x.db list", 1, "",
           "corvane sessions: store directory nodir: No such file or "
           "directory\n"},
          {"--prefix -x sqlite:nodir/x.db list", 1, "",
           "corvane sessions: store directory nodir: No such file or "
           "directory\n"},
          {"sqlite:nodir/x.db --prefix p --prefix q export", 1, "",
           "corvane sessions: store directory nodir: No such file or "
           "directory\n"},
      });
}

}  // namespace
}  // namespace corvane
