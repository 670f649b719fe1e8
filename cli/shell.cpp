#include "cli/shell.h"

#include <editline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/cli_support.h"
#include "engine/a1U2.h"
#include "text/text_util.h"

namespace corvane {
namespace {

constexpr char kShellHelp[] =
    "Commands (everything else is said to the bot; start a line with //\n"
    "to say a line that begins with /):\n"
    "  /why      why the last reply was chosen (the trace of the last turn)\n"
    "  /facts    every fact, its value and where it was set\n"
    "  /state    the current mode, state, procedure and step\n"
    "  /reload   read the file again and start a fresh conversation\n"
    "  /save     write the knowledge base to the file now\n"
    "  /seed N   seed the random choices with N, to replay a conversation\n"
    "  /help     show this text\n"
    "  /quit     leave (so does Ctrl-D)\n";

constexpr int kHistoryLines = 1000;

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void WriteReply(const std::string& reply) {
  const std::string line = OneLine(reply);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string HistoryPath() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return std::string(home) + "/.corvane_history";
}

std::string Counted(long long n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

std::string Banner(const ChatSession& session, BrainClass& brain) {
  long long patterns = 0;
  for (const auto& mode : brain.Modes) patterns += mode->Patterns.Count();
  return "Corvane: talking to " + session.path() + " (" +
         Counted(brain.Modes.Count(), "mode", "modes") + ", " +
         Counted(patterns, "pattern", "patterns") + ", " +
         Counted(brain.Procs.Count(), "procedure", "procedures") +
         ").\nType /help for commands; /quit or Ctrl-D leaves.\n";
}

}  // namespace

std::string FactsText(const BrainClass& brain) {
  if (brain.FactNames.Count() == 0) return "no facts\n";
  std::string out;
  for (int i = 0; i < brain.FactNames.Count(); ++i) {
    const std::string& name = brain.FactNames.At(i);
    const SourceLocation* source = brain.FactSource(name);
    out += name + " = \"" + OneLine(brain.FactValues.At(i)) + "\"  (" +
           (source != nullptr ? SourceText(*source)
                              : std::string("set by conversation")) +
           ")\n";
  }
  return out;
}

std::string StateText(const BrainClass& brain) {
  std::string out = "mode: ";
  if (brain.CurrentMode >= 0 && brain.CurrentMode < brain.Modes.Count()) {
    const KnowledgeClass* mode = brain.Modes.At(brain.CurrentMode);
    // The first mode is the brain's own unless the file replaced it.
    const std::string where =
        brain.CurrentMode == 0 && !mode->source().from_file()
            ? std::string("built in")
            : SourceText(mode->source());
    out += "\"" + mode->Name + "\" (" + where + ")";
  } else {
    out += "none (" + std::to_string(brain.CurrentMode) + ")";
  }
  out += "\nstate: ";
  out += brain.CurrentState == -1 ? std::string("none")
                                  : "\"" + brain.CurrentStateName() + "\"";
  out += "\nprocedure: ";
  if (brain.CurrentProc >= 0 && brain.CurrentProc < brain.Procs.Count()) {
    const ProcClass* proc = brain.Procs.At(brain.CurrentProc);
    out += "\"" + proc->Name + "\" (" + SourceText(proc->source()) + ")";
    out += "\nstep: \"" + proc->CurrentStep + "\"";
    if (const StepClass* step = proc->CurrentStepItem())
      out += " (" + SourceText(step->source()) + ")";
  } else if (brain.CurrentProc == -1) {
    out += "none";
  } else {
    out += "none (" + std::to_string(brain.CurrentProc) + ")";
  }
  out += "\n";
  if (brain.ProcStack.Count() > 0) {
    out += "suspended procedures:";
    for (int i = brain.ProcStack.Count() - 1; i >= 0; --i)
      out += " \"" + brain.ProcStack.At(i) + "\" at \"" +
             brain.StepStack.At(i) + "\"";
    out += "\n";
  }
  return out;
}

int RunShell(ChatSession& session, const ChatOptions& options) {
  // The prompt and the shell's own messages go to standard error, so that
  // standard output carries the replies alone, as without a terminal.
  rl_outstream = stderr;
  const std::string history = HistoryPath();
  if (!history.empty()) read_history(history.c_str());
  Print(Banner(session, session.brain()));

  TurnTrace last;
  bool have_last = false;
  for (;;) {
    char* raw = readline("> ");
    if (raw == nullptr) {
      Print("\n");
      break;
    }
    std::string line(raw);
    std::free(raw);
    if (!TrimView(line).empty()) add_history(line.c_str());

    if (line.size() > kMaxInputLine) {
      Print("input line longer than " + std::to_string(kMaxInputLine) +
            " bytes refused\n");
      WriteReply("");
      continue;
    }
    const std::string_view command = TrimView(line);
    const bool is_command = !command.empty() && command[0] == '/' &&
                            (command.size() < 2 || command[1] != '/');
    if (!is_command) {
      // "//text" says "/text".
      if (command.size() >= 2 && command[0] == '/') {
        line.erase(0, line.find('/') + 1);
      }
      last = TurnTrace();
      WriteReply(session.Respond(line, &last));
      have_last = true;
      if (options.trace == TraceFormat::kText) Print(FormatTraceText(last));
      if (options.trace == TraceFormat::kJson)
        Print(FormatTraceJson(last) + "\n");
      continue;
    }
    const std::size_t blank = command.find(' ');
    const std::string name(command.substr(0, blank));
    const std::string argument(blank == std::string_view::npos
                                   ? std::string_view()
                                   : TrimView(command.substr(blank)));
    if (name == "/quit" || name == "/exit") break;
    if (name == "/help") {
      Print(kShellHelp);
    } else if (name == "/why") {
      Print(have_last ? FormatTraceText(last) : "no turn yet\n");
    } else if (name == "/facts") {
      Print(FactsText(session.brain()));
    } else if (name == "/state") {
      Print(StateText(session.brain()));
    } else if (name == "/reload") {
      const std::string problem = UnreadableFileProblem(session.path());
      if (!problem.empty()) {
        Print(problem + "; the conversation goes on unchanged\n");
      } else if (session.Load()) {
        have_last = false;
        Print("reloaded " + session.path() + "; a fresh conversation\n");
        Print(Banner(session, session.brain()));
      } else {
        Print("the file could not be read; the brain is empty\n");
      }
    } else if (name == "/save") {
      if (session.Save()) Print("saved to " + session.path() + "\n");
    } else if (name == "/seed") {
      const std::optional<uint64_t> seed = ParseSeed(argument);
      if (seed) {
        session.SetSeed(*seed);
        Print("seeded with " + argument + "\n");
      } else {
        Print("/seed needs a number from 0 to 18446744073709551615\n");
      }
    } else {
      Print("unknown command " + name + "; /help lists the commands\n");
    }
  }
  if (!history.empty()) {
    write_history(history.c_str());
    history_truncate_file(history.c_str(), kHistoryLines);
  }

  session.Stop();
  if (options.save && !session.Save()) return 1;
  return 0;
}

}  // namespace corvane
