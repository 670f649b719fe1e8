// `corvane check`: reads a language file into a fresh brain and lists every
// problem the reader finds, so an author can mend a file before serving it.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"

namespace corvane {

const char kCheckUsage[] =
    "Usage: corvane check FILE.clf\n"
    "\n"
    "Reads FILE.clf into a fresh brain and prints every problem as\n"
    "'FILE.clf:LINE: message', followed by the offending line indented, and\n"
    "then a one-line summary of what was read.\n"
    "\n"
    "Exit status: 0 when the file has no problem, 1 when it has one or\n"
    "cannot be read, 2 for a usage error.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text\n";

namespace {

std::string Counted(long long n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace

int RunCheckCommand(int argc, char** argv) {
  std::string path;
  bool have_path = false;
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && !arg.empty() && arg[0] == '-' && arg != "-") {
      if (arg == "--") {
        options_done = true;
        continue;
      }
      if (arg == "-h" || arg == "--help") {
        std::fputs(kCheckUsage, stdout);
        return 0;
      }
      return UsageError("check", "unknown option '" + arg + "'", kCheckUsage);
    }
    if (have_path)
      return UsageError("check", "more than one FILE.clf given", kCheckUsage);
    path = arg;
    have_path = true;
  }
  if (!have_path) return UsageError("check", "no FILE.clf given", kCheckUsage);

  long long problems = 0;
  BrainClass brain;
  LoadLanguageFile(brain, path, [&](const LanguageProblem& problem) {
    ++problems;
    std::string out = path;
    if (problem.line > 0) out += ":" + std::to_string(problem.line);
    out += ": " + problem.message + "\n";
    if (problem.has_text) out += "    " + problem.text + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  });

  long long patterns = 0;
  for (const auto& mode : brain.Modes) patterns += mode->Patterns.Count();
  long long steps = 0;
  for (const auto& proc : brain.Procs) steps += proc->Steps.Count();
  const std::string summary =
      path + ": " + Counted(brain.Modes.Count(), "mode", "modes") + ", " +
      Counted(patterns, "pattern", "patterns") + ", " +
      Counted(brain.Procs.Count(), "procedure", "procedures") + ", " +
      Counted(steps, "step", "steps") + ", " +
      Counted(brain.FactNames.Count(), "fact", "facts") + ", " +
      Counted(brain.Collections.Count(), "collection", "collections") + "; " +
      (problems == 0 ? std::string("no problems")
                     : Counted(problems, "problem", "problems")) +
      "\n";
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  std::fflush(stdout);
  return problems == 0 ? 0 : 1;
}

}  // namespace corvane
