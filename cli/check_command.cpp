// `corvane check`: reads a language file into a fresh brain and lists every
// problem the reader finds, so an author can mend a file before serving it.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/lint.h"
#include "cli/options.h"
#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "platform/files.h"

namespace corvane {

const char kCheckUsage[] =
    "Usage: corvane check FILE.clf\n"
    "       corvane check --strict FILE.clf\n"
    "\n"
    "Reads FILE.clf into a fresh brain and prints every problem as\n"
    "'FILE.clf:LINE: message', followed by the offending line indented, and\n"
    "then a one-line summary of what was read.\n"
    "\n"
    "Likely mistakes that the reader accepts are warnings, printed after\n"
    "the problems as 'FILE.clf:LINE: warning: message': fragment kinds and\n"
    "response types that are no known name (read as None), comment lines\n"
    "that begin with a keyword, lines whose first word is a misspelt\n"
    "keyword (read as comments), modes, procedures, steps, states,\n"
    "collections and labels that responses name but nothing defines,\n"
    "patterns that can never win, patterns and step patterns without any\n"
    "response, labels given twice, macro braces that do not pair up.\n"
    "\n"
    "Exit status: 0 when the file has no problem (warnings allowed unless\n"
    "--strict), 1 when it has one, 2 for a usage error or a file that\n"
    "cannot be read.\n"
    "\n"
    "Options:\n"
    "  --strict    exit with 1 when there is a warning, too\n"
    "  -h, --help  show this text\n";

namespace {

std::string Counted(long long n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace

int RunCheckCommand(int argc, char** argv) {
  bool strict = false;
  CommandLine args(OneFileStyle("check", kCheckUsage));
  args.Flag("--strict", [&] { strict = true; });
  if (const std::optional<int> status = args.Parse(argc, argv)) return *status;
  if (args.words().empty())
    return args.Refuse(UsageProblem("no FILE.clf given"));
  const std::string path = args.words().front();
  const std::string unreadable = UnreadableFileProblem(path);
  const std::optional<std::string> text =
      unreadable.empty() ? ReadFileBytes(path) : std::nullopt;
  if (!text) {
    std::fprintf(stderr, "corvane check: %s\n",
                 unreadable.empty() ? ("cannot read " + path).c_str()
                                    : unreadable.c_str());
    return 2;
  }

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

  const std::vector<LintWarning> warnings = LintKnowledgeBase(brain, *text);
  const std::vector<std::string_view> lines = LanguageFileLines(*text);
  for (const LintWarning& warning : warnings) {
    std::string out = path + ":" + std::to_string(warning.line) +
                      ": warning: " + warning.message + "\n";
    if (warning.line >= 1 &&
        static_cast<std::size_t>(warning.line) <= lines.size())
      out += "    " + std::string(lines[warning.line - 1]) + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  }

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
      (warnings.empty()
           ? std::string()
           : ", " + Counted(static_cast<long long>(warnings.size()), "warning",
                            "warnings")) +
      "\n";
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  std::fflush(stdout);
  if (problems > 0) return 1;
  return strict && !warnings.empty() ? 1 : 0;
}

}  // namespace corvane
