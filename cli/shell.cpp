#include "cli/shell.h"

#include <histedit.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

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
    "  /quit     leave (so does Ctrl-D)\n"
    "Ctrl-C cancels the line; on an empty line, or twice in a row, it\n"
    "leaves as Ctrl-D does.\n";

constexpr int kHistoryLines = 1000;

// The signal that interrupted the line being read (SIGINT, or SIGTERM or
// SIGHUP, which leave); 0 when none did.
volatile std::sig_atomic_t g_signal = 0;

void OnSignal(int signo) {
  g_signal = signo;
}

// Installs the shell's signal handlers for its lifetime and restores the
// earlier ones at the end.
class SignalScope {
 public:
  SignalScope() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // No SA_RESTART: a read in progress fails.
    for (std::size_t i = 0; i < kSignals.size(); ++i)
      ::sigaction(kSignals[i], &action, &saved_[i]);
  }
  ~SignalScope() {
    for (std::size_t i = 0; i < kSignals.size(); ++i)
      ::sigaction(kSignals[i], &saved_[i], nullptr);
  }
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> saved_{};
};

// Line editing and the history (libedit). The history file is read at
// the start and written when the editor goes, however the shell ends.
// The shell handles Ctrl-C itself: the editor's own handlers would end
// the process through the signal, and what was learnt with it.
class LineEditor {
 public:
  enum class Result { kLine, kCancelled, kEnd };

  explicit LineEditor(std::string history_path)
      : history_path_(std::move(history_path)) {
    history_ = ::history_init();
    HistEvent event;
    ::history(history_, &event, H_SETSIZE, kHistoryLines);
    ::history(history_, &event, H_SETUNIQUE, 1);
    if (!history_path_.empty())
      ::history(history_, &event, H_LOAD, history_path_.c_str());
    // The prompt and the editing go to standard error, so that standard
    // output carries the replies alone, as without a terminal.
    editor_ = ::el_init("corvane", stdin, stderr, stderr);
    ::el_set(editor_, EL_EDITOR, "emacs");
    ::el_set(editor_, EL_SIGNAL, 0);
    ::el_set(editor_, EL_HIST, ::history, history_);
    ::el_set(editor_, EL_PROMPT, &Prompt);
    ::el_set(editor_, EL_CLIENTDATA, this);
    ::el_set(editor_, EL_GETCFN, &ReadKey);
    ::el_source(editor_, nullptr);  // ~/.editrc, as other libedit programs.
  }
  ~LineEditor() {
    HistEvent event;
    if (!history_path_.empty())
      ::history(history_, &event, H_SAVE, history_path_.c_str());
    ::el_end(editor_);
    ::history_end(history_);
  }
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // The next line, without its line end: kLine. Ctrl-C on a line with
  // text: kCancelled (the text is dropped). Ctrl-D, Ctrl-C on an empty
  // line, SIGTERM and SIGHUP: kEnd. A signal that came between lines
  // (during a turn) is kept and counts as one on an empty line.
  Result Read(std::string& line) {
    typed_at_signal_ = false;
    int count = 0;
    const char* text = ::el_gets(editor_, &count);
    const int signo = g_signal;
    g_signal = 0;
    if (signo != 0)
      return signo == SIGINT && typed_at_signal_ ? Result::kCancelled
                                                 : Result::kEnd;
    if (text == nullptr || count <= 0) return Result::kEnd;
    line.assign(text, static_cast<std::size_t>(count));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return Result::kLine;
  }

  void Remember(const std::string& line) {
    HistEvent event;
    ::history(history_, &event, H_ENTER, line.c_str());
  }

 private:
  static const char* Prompt(EditLine*) { return "> "; }

  // Reads one byte of the terminal. A signal makes the read fail with
  // EINTR (the handlers are installed without SA_RESTART); the editor is
  // then told that the input ended, after noting whether the line held
  // text.
  static int ReadKey(EditLine* editor, wchar_t* key) {
    for (;;) {
      if (g_signal != 0) {
        void* data = nullptr;
        ::el_get(editor, EL_CLIENTDATA, &data);
        const LineInfo* info = ::el_line(editor);
        static_cast<LineEditor*>(data)->typed_at_signal_ =
            info != nullptr && info->lastchar > info->buffer;
        return 0;
      }
      unsigned char c = 0;
      const ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n == 1) {
        *key = static_cast<wchar_t>(c);
        return 1;
      }
      if (n < 0 && errno == EINTR) continue;
      return n == 0 ? 0 : -1;
    }
  }

  std::string history_path_;
  History* history_ = nullptr;
  EditLine* editor_ = nullptr;
  bool typed_at_signal_ = false;  // The line held text when a signal came.
};

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
    out += "\nstep: \"" + brain.turn().CurrentStepOf(*proc) + "\"";
    if (const StepClass* step = brain.turn().CurrentStepItem(*proc))
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
  const SignalScope signals;
  LineEditor editor(HistoryPath());
  Print(Banner(session, session.brain()));

  TurnTrace last;
  bool have_last = false;
  std::string line;
  for (;;) {
    const LineEditor::Result got = editor.Read(line);
    if (got == LineEditor::Result::kEnd) {
      Print("\n");
      break;
    }
    if (got == LineEditor::Result::kCancelled) {
      Print("\n(line cancelled; Ctrl-C again or Ctrl-D leaves)\n");
      continue;
    }
    if (!TrimView(line).empty()) editor.Remember(line);

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
      if (session.Save())
        Print("saved to " + session.save_target() + "\n");
      else
        Print("not saved\n");
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
  session.Stop();
  if (options.save && !session.Save()) return 1;
  return 0;
}

}  // namespace corvane
