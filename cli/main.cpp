// The corvane command: dispatches to the subcommand named by the first
// argument.
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/index_command.h"

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

int UsageError(const char* command, const std::string& problem,
               const char* usage) {
  std::fprintf(stderr, "corvane %s: %s\n\n%s", command, problem.c_str(), usage);
  return 2;
}

}  // namespace corvane

int main(int argc, char** argv) {
  using corvane::kMainUsage;
  if (argc < 2) {
    std::fputs(kMainUsage, stderr);
    return 2;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "-h") == 0 || std::strcmp(command, "--help") == 0 ||
      std::strcmp(command, "help") == 0) {
    std::fputs(kMainUsage, stdout);
    return 0;
  }
  if (std::strcmp(command, "--version") == 0) {
    std::printf("corvane %s\n", CORVANE_VERSION);
    return 0;
  }
  if (std::strcmp(command, "chat") == 0)
    return corvane::RunChatCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "check") == 0)
    return corvane::RunCheckCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "test") == 0)
    return corvane::RunTestCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "graph") == 0)
    return corvane::RunGraphCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "lsp") == 0)
    return corvane::RunLspCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "index") == 0)
    return corvane::RunIndexCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "sessions") == 0)
    return corvane::RunSessionsCommand(argc - 2, argv + 2);
  std::fprintf(stderr, "corvane: unknown command '%s'\n\n%s", command,
               kMainUsage);
  return 2;
}
