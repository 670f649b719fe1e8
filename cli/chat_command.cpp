// `corvane chat`: loads a knowledge base and answers standard input line by
// line. Standard output carries nothing but the replies, one line each, so
// a conversation can be scripted and compared; everything else (problems in
// the file, abandoned turns, the prompt) goes to standard error.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/chat_session.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/shell.h"
#include "cli/trace_format.h"
#include "engine/trace.h"
#include "platform/operator_messages.h"

namespace corvane {

const char kChatUsage[] =
    "Usage: corvane chat [--seed N] [--save] FILE.clf\n"
    "       corvane chat [--seed N] --save-to OUT.clf FILE.clf\n"
    "\n"
    "Reads the knowledge base FILE.clf and answers every line of standard\n"
    "input with one line on standard output. Files that the knowledge base\n"
    "names resolve under the directory of FILE.clf. Problems in the file and\n"
    "turns abandoned by an error are reported on standard error; such a turn\n"
    "replies with an empty line; so does an input line longer than 1 MiB,\n"
    "which is refused. Line ends inside a reply are written as blanks, so\n"
    "every input line gets exactly one reply line. FILE.clf must exist,\n"
    "unless --save is given (then a missing file starts a new one).\n"
    "\n"
    "When standard input is a terminal, chat is an interactive shell with\n"
    "line editing and a history (~/.corvane_history); lines that begin with\n"
    "'/' are commands (/help lists them; leave with /quit or Ctrl-D).\n"
    "Ctrl-C cancels the line being typed; on an empty line, or twice in a\n"
    "row, it leaves as Ctrl-D does. The history is written whenever the\n"
    "shell ends. Otherwise every line is input, including those that begin\n"
    "with '/'.\n"
    "\n"
    "Saving writes the whole knowledge base as the writer lays it out:\n"
    "comments and line ends of the file are not kept, and everything the\n"
    "conversation learnt (facts, labels, patterns) is added. A file that\n"
    "changed on disk since it was read is never replaced: the knowledge\n"
    "base goes to FILE.clf.conflict-YYYYMMDD-HHMMSS beside it instead, and\n"
    "chat says so and exits with status 1, as for any save that fails.\n"
    "\n"
    "Options:\n"
    "  --seed N    seed the random choices with N (0 to 18446744073709551615)\n"
    "              so that a conversation can be replayed\n"
    "  --save      at the end of input, write the knowledge base back to\n"
    "              FILE.clf, with everything learnt during the conversation\n"
    "  --save-to OUT.clf\n"
    "              the same, into OUT.clf; FILE.clf stays as it is\n"
    "  --trace     after every reply, write on standard error why it was\n"
    "              chosen: the patterns scored, the winner with its file and\n"
    "              line, the response, and what the turn changed\n"
    "  --trace=json\n"
    "              the same as one JSON object per turn and line\n"
    "  -h, --help  show this text\n";

namespace {

void WriteReply(const std::string& reply) {
  const std::string line = OneLine(reply);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void WriteTrace(const TurnTrace& trace, TraceFormat format) {
  const std::string text = format == TraceFormat::kJson
                               ? FormatTraceJson(trace) + "\n"
                               : FormatTraceText(trace);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

int RunChatCommand(int argc, char** argv) {
  ChatOptions options;
  CommandLine args(OneFileStyle("chat", kChatUsage));
  args.Flag("--save", [&] { options.save = true; });
  args.Value("--save-to", true, UsageProblem("--save-to needs a file"),
             [&](const std::string& value) {
               if (value.empty()) throw UsageProblem("--save-to needs a file");
               options.save_to = value;
             });
  args.Attached("--trace", "text", [&](const std::string& value) {
    options.trace = TraceFormatValue("--trace", value);
  });
  args.Value(
      "--seed", true, UsageProblem("--seed needs a number"),
      [&](const std::string& value) { options.seed = SeedValue(value); });
  if (const std::optional<int> status = args.Parse(argc, argv)) return *status;
  if (args.words().empty())
    return args.Refuse(UsageProblem("no FILE.clf given"));
  options.path = args.words().front();
  if (options.save && !options.save_to.empty())
    return args.Refuse(UsageProblem("--save and --save-to exclude each other"));
  // With --save a missing file is how a new knowledge base begins: the
  // reader reports it and the conversation starts empty.
  if (!options.save) {
    const std::string problem = UnreadableFileProblem(options.path);
    if (!problem.empty()) {
      std::fprintf(stderr, "corvane chat: %s\n", problem.c_str());
      return 2;
    }
  }

  SetOperatorMessageHandler([](const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
  });

  ChatSession session(options.path);
  if (options.seed) session.SetSeed(*options.seed);
  if (!options.save_to.empty()) {
    session.SetSaveTarget(options.save_to);
    options.save = true;
  }
  if (!session.Load()) return 1;

  if (::isatty(STDIN_FILENO) == 1) return RunShell(session, options);

  LineInput input(stdin);
  std::string line;
  TurnTrace trace;
  for (;;) {
    const LineInput::Result got = input.Next(line);
    if (got == LineInput::Result::kEnd) break;
    if (got == LineInput::Result::kTooLong) {
      std::fprintf(stderr,
                   "corvane chat: input line longer than %zu bytes refused\n",
                   kMaxInputLine);
      std::fflush(stderr);
      WriteReply("");
      continue;
    }
    if (options.trace == TraceFormat::kNone) {
      WriteReply(session.Respond(line));
      continue;
    }
    trace = TurnTrace();
    WriteReply(session.Respond(line, &trace));
    WriteTrace(trace, options.trace);
  }

  session.Stop();
  if (options.save && !session.Save()) return 1;
  return 0;
}

}  // namespace corvane
