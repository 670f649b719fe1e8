// The subcommands of the corvane command line. Each takes the arguments
// after its own name and returns the process exit status: 0 success, 1 a
// problem with the knowledge base or its file, 2 a usage error.
#ifndef CORVANE_CLI_COMMANDS_H_
#define CORVANE_CLI_COMMANDS_H_

namespace corvane {

// `corvane chat [--seed N] [--save | --save-to OUT.clf] FILE.clf`: a
// conversation over standard input and output, one reply line per input line.
int RunChatCommand(int argc, char** argv);

// `corvane check FILE.clf`: reads the file into a fresh brain, prints every
// problem and a summary on standard output.
int RunCheckCommand(int argc, char** argv);

// `corvane test [--seed N] [--update] FILE.clf TESTFILE...`: runs
// conversation tests; 0 when all pass, 1 when one fails, 2 for a usage or
// file error.
int RunTestCommand(int argc, char** argv);

// `corvane sessions STORE list|show ID|export|unanswered`: reads the
// conversations of a store; 0 success, 1 a store problem or an unknown
// conversation, 2 a usage error.
int RunSessionsCommand(int argc, char** argv);

// `corvane graph [--svg] [-o OUT] FILE.clf`: the modes, procedures and
// steps and the transitions between them, as Graphviz DOT (or SVG).
int RunGraphCommand(int argc, char** argv);

// `corvane lsp`: a language server for .clf files on standard input and
// output.
int RunLspCommand(int argc, char** argv);

// The usage texts, each ending in a line end.
extern const char kMainUsage[];
extern const char kChatUsage[];
extern const char kCheckUsage[];
extern const char kTestUsage[];
extern const char kGraphUsage[];
extern const char kLspUsage[];

}  // namespace corvane

#endif  // CORVANE_CLI_COMMANDS_H_
