// The corvane command: dispatches to the subcommand named by the first
// argument.
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "cli/commands.h"
#include "cli/index_command.h"
#include "cli/options.h"

namespace corvane {

const char kMainUsage[] =
    "Usage: corvane COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  chat [--seed N] [--save] FILE.clf\n"
    "  chat [--seed N] --save-to OUT.clf FILE.clf\n"
    "                 talk to the knowledge base FILE.clf: each line of\n"
    "                 standard input gets one reply line on standard output\n"
    "  check [--strict] FILE.clf\n"
    "                 report every problem of FILE.clf and a summary, with\n"
    "                 warnings about likely mistakes\n"
    "  test [--seed N] [--update] FILE.clf TESTFILE...\n"
    "                 run conversation tests against FILE.clf\n"
    "  test --coverage[=json] FILE.clf TESTFILE...\n"
    "                 also list what no test fired\n"
    "  graph [--svg] [-o OUT] FILE.clf\n"
    "                 the modes, procedures, steps and the moves between\n"
    "                 them, as Graphviz DOT (SVG with dot installed)\n"
    "  lsp            a language server for .clf files on standard input\n"
    "                 and output, for editors\n"
    "  index ...       build and query a word index\n"
    "  sessions STORE list|show ID|export|unanswered\n"
    "                 read the conversations a host kept in its store\n"
    "\n"
    "Options:\n"
    "  -h, --help      show this text\n"
    "  --version       show the version\n"
    "\n"
    "'corvane COMMAND --help' describes one command.\n";

}  // namespace corvane

int main(int argc, char** argv) {
  using corvane::kMainUsage;
  // Options come before the command's name, whose arguments are its own.
  corvane::CommandStyle style;
  style.prefix = "corvane: ";
  style.usage = kMainUsage;
  style.usage_gap = "\n";
  style.help = kMainUsage;
  style.unknown = "unknown command '%s'";
  style.double_dash = corvane::CommandStyle::DoubleDash::kUnknown;
  style.first_word_ends_options = true;
  corvane::CommandLine args(std::move(style));
  args.Exit("--version", std::string("corvane ") + CORVANE_VERSION + "\n");
  if (const std::optional<int> status = args.Parse(argc - 1, argv + 1))
    return *status;
  if (args.words().empty()) {
    std::fputs(kMainUsage, stderr);
    return 2;
  }
  const std::string& command = args.words().front();
  if (command == "help") {
    std::fputs(kMainUsage, stdout);
    return 0;
  }
  using Run = int (*)(int, char**);
  const std::pair<const char*, Run> commands[] = {
      {"chat", corvane::RunChatCommand},
      {"check", corvane::RunCheckCommand},
      {"test", corvane::RunTestCommand},
      {"graph", corvane::RunGraphCommand},
      {"lsp", corvane::RunLspCommand},
      {"index", corvane::RunIndexCommand},
      {"sessions", corvane::RunSessionsCommand},
  };
  // The command's arguments are the rest of argv, as given.
  const int first = argc - static_cast<int>(args.words().size()) + 1;
  for (const auto& [name, run] : commands)
    if (command == name) return run(argc - first, argv + first);
  return args.Refuse(
      corvane::UsageProblem("unknown command '" + command + "'"));
}
