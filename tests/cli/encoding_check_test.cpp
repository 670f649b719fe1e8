// `corvane check` on texts in the wrong encoding: UTF-8 in a file read in
// the code page, and bytes that are no UTF-8 in a file declared UTF-8; and
// `corvane chat` on such a file.
#include <gtest/gtest.h>

#include <string>

#include "tests/cli/cli_sandbox.h"

namespace corvane {
namespace {

using namespace cli_test;

const char kCodePageWarning[] =
    "warning: the line holds UTF-8 text, but the file is read in the code "
    "page (one byte per character); declare UTF-8 with a byte-order mark or "
    "a line 'Encoding: UTF-8' before the first keyword line\n";

TEST(EncodingCheckTest, UndeclaredUtf8IsWarnedAboutLineByLine) {
  Sandbox box;
  box.Write("kb.clf", CrLf({"For-Mode",
                            "  Fragment CUSTOM,10,0, {caf\xC3\xA9}, {}, {}",
                            "  Response {Caf\xE9 in the code page},Just Text,{},{}",
                            "  Response {\xC5\x81ukasz},Just Text,{},{}"}));
  const RunResult run = box.Corvane("check kb.clf");
  EXPECT_EQ(run.status, 0) << run.err;
  // Line 3 holds a code-page byte, which is no UTF-8 sequence: no warning.
  EXPECT_EQ(run.out,
            std::string("kb.clf:2: ") + kCodePageWarning +
                "      Fragment CUSTOM,10,0, {caf\xC3\xA9}, {}, {}\n" +
                "kb.clf:4: " + kCodePageWarning +
                "      Response {\xC5\x81ukasz},Just Text,{},{}\n" +
                "kb.clf: 1 mode, 1 pattern, 0 procedures, 0 steps, 0 facts, "
                "0 collections; no problems, 2 warnings\n");
  EXPECT_EQ(box.Corvane("check --strict kb.clf").status, 1);
}

TEST(EncodingCheckTest, InvalidSequencesOfADeclaredFileAreWarnedAbout) {
  Sandbox box;
  for (const std::string& declaration :
       {std::string("\xEF\xBB\xBF"), std::string("Encoding: UTF-8\r\n")}) {
    box.Write("kb.clf", declaration + CrLf({"For-Mode",
                                            "  Response {Caf\xE9},Just Text,{},{}",
                                            "  Response {Caf\xC3\xA9},Just Text,{},{}"}));
    const RunResult run = box.Corvane("check kb.clf");
    EXPECT_EQ(run.status, 0) << run.err;
    const int line = declaration.size() == 3 ? 2 : 3;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
              "kb.clf:" + std::to_string(line) +
                  ": warning: invalid UTF-8 at byte 16 of the line; it is "
                  "read as U+FFFD\n");
    EXPECT_NE(run.out.find("no problems, 1 warning\n"), std::string::npos)
        << run.out;
  }
  // Valid UTF-8 throughout: nothing to say.
  box.Write("kb.clf", "\xEF\xBB\xBF" + CrLf({"For-Mode",
                                             "  Response {\xE4\xBD\xA0\xE5\xA5\xBD},Just Text,{},{}"}));
  EXPECT_EQ(box.Corvane("check --strict kb.clf").status, 0);
}

TEST(EncodingCheckTest, ChatOfAUtf8FileTakesBadBytesAsReplacementCharacters) {
  Sandbox box;
  const std::string kb = CrLf({"For-Mode",
                               "  Response {[^Input{0}]},Just Text,{},{}"});
  box.Write("utf8.clf", "\xEF\xBB\xBF" + kb);
  box.Write("cp.clf", kb);
  const std::string typed = "Zo\xEB \xC5\x81ukasz\n";
  EXPECT_EQ(box.Corvane("chat utf8.clf", typed).out,
            "[Zo\xEF\xBF\xBD \xC5\x81ukasz]\n");
  // The code page takes every byte as it comes.
  EXPECT_EQ(box.Corvane("chat cp.clf", typed).out, "[Zo\xEB \xC5\x81ukasz]\n");
}

}  // namespace
}  // namespace corvane
