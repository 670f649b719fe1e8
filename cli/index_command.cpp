#include "cli/index_command.h"

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/random.h"
#include "cli/options.h"
#include "platform/files.h"
#include "text/word_index.h"
#include "text/word_index_builder.h"

namespace corvane {
namespace {

constexpr char kUsage[] =
    "usage: corvane index build CORPUS.txt DIR\n"
    "       corvane index ask DIR PHRASE...\n";

constexpr char kHelp[] =
    "\n"
    "  build CORPUS.txt DIR  make the word index files Words.str,\n"
    "                        WordIndex.idx and OVData.str in DIR from the\n"
    "                        corpus; problems name their corpus line\n"
    "  ask DIR PHRASE...     print the index's answer for PHRASE\n"
    "\n"
    "Exit status: 0 success, 1 a refused corpus, an unreadable or\n"
    "unwritable file or no answer, 2 a usage error.\n";

int Build(const std::string& corpus_path, const std::string& dir) {
  const std::optional<std::string> corpus = ReadFileBytes(corpus_path);
  if (!corpus) {
    std::cerr << "corvane index build: cannot read " << corpus_path << "\n";
    return 1;
  }
  const WordIndexBuild build = BuildWordIndex(*corpus);
  for (const std::string& warning : build.warnings)
    std::cerr << corpus_path << ": warning: " << warning << "\n";
  for (const std::string& error : build.errors)
    std::cerr << corpus_path << ": error: " << error << "\n";
  if (!build.ok()) {
    std::cerr << "corvane index build: corpus refused; nothing written\n";
    return 1;
  }
  std::string error;
  if (!WriteWordIndexFiles(build.files, dir, &error)) {
    std::cerr << "corvane index build: " << error << "\n";
    return 1;
  }
  std::cout << "indexed " << build.text_count << " texts under "
            << build.word_count << " words into " << dir << "\n";
  return 0;
}

// The files are read from DIR itself: DIR is the mapping's root and the
// prefix is empty.
int Ask(const std::string& dir, const std::string& phrase) {
  WordIndex index;
  Random random(ClockSeed());
  const std::string answer = index.Ask(phrase, "", PathMapper(dir), random);
  if (index.state() == WordIndexState::kFailed) {
    std::cerr << "corvane index ask: cannot open the word index in " << dir
              << "\n";
    return 1;
  }
  if (answer.empty()) {
    std::cerr << "corvane index ask: no answer for \"" << phrase << "\"\n";
    return 1;
  }
  std::cout << answer << "\n";
  return 0;
}

}  // namespace

int RunIndexCommand(int argc, char** argv) {
  // The words are the subcommand and its arguments; -h and --help are the
  // only options, and anything else that looks like one is a word.
  CommandStyle style;
  style.prefix = "corvane index: ";
  style.usage = kUsage;
  style.help = std::string(kUsage) + kHelp;
  style.unknown_options_are_words = true;
  style.double_dash = CommandStyle::DoubleDash::kWord;
  CommandLine args(std::move(style));
  try {
    if (const std::optional<int> status = args.Parse(argc, argv))
      return *status;
    const std::vector<std::string>& words = args.words();
    const auto usage = [&](const std::string& problem) {
      return args.Refuse(UsageProblem(problem));
    };
    if (words.empty()) return usage("missing subcommand");
    const std::string& sub = words[0];
    if (sub == "build") {
      if (words.size() != 3) return usage("build takes CORPUS.txt and DIR");
      return Build(words[1], words[2]);
    }
    if (sub == "ask") {
      if (words.size() < 3) return usage("ask takes DIR and a PHRASE");
      std::string phrase = words[2];
      for (std::size_t i = 3; i < words.size(); ++i) phrase += " " + words[i];
      return Ask(words[1], phrase);
    }
    return usage("unknown subcommand \"" + sub + "\"");
  } catch (const std::exception& e) {
    std::cerr << "corvane index: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace corvane
