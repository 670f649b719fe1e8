// The corvane command: dispatches to the subcommand named by the first
// argument.
#include <cstdio>
#include <cstring>

#include "cli/commands.h"

// The word index's own subcommand joins when its file exists.
#if __has_include("cli/index_command.h")
#include "cli/index_command.h"
#define CORVANE_HAVE_INDEX_COMMAND 1
#else
#define CORVANE_HAVE_INDEX_COMMAND 0
#endif

namespace corvane {

const char kMainUsage[] =
    "Usage: corvane COMMAND [ARGUMENTS]\n"
    "\n"
    "Commands:\n"
    "  chat [--seed N] [--save] FILE.clf\n"
    "                 talk to the knowledge base FILE.clf: each line of\n"
    "                 standard input gets one reply line on standard output\n"
    "  check FILE.clf  report every problem of FILE.clf and a summary\n"
    "  index ...       build and query a word index\n"
    "\n"
    "Options:\n"
    "  -h, --help      show this text\n"
    "\n"
    "'corvane COMMAND --help' describes one command.\n";

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
  if (std::strcmp(command, "chat") == 0)
    return corvane::RunChatCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "check") == 0)
    return corvane::RunCheckCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "index") == 0) {
#if CORVANE_HAVE_INDEX_COMMAND
    return corvane::RunIndexCommand(argc - 2, argv + 2);
#else
    std::fputs(
        "corvane index: the word index command is not available in "
        "this build\n",
        stderr);
    return 2;
#endif
  }
  std::fprintf(stderr, "corvane: unknown command '%s'\n\n%s", command,
               kMainUsage);
  return 2;
}
