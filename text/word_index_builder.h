// Builds the three data files of the word index from a corpus: a text of
// one entry per line. Every normalized word of an entry points to it, so
// asking any of its words can answer it. The builder is the deployer's tool
// (the command "corvane index build"); the engine only reads the files.
#ifndef CORVANE_TEXT_WORD_INDEX_BUILDER_H_
#define CORVANE_TEXT_WORD_INDEX_BUILDER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The contents of "Words.str", "WordIndex.idx" and "OVData.str".
struct WordIndexFiles {
  std::string words;
  std::string index;
  std::string texts;
};

// The outcome of a build. Messages name the corpus line ("line 12: ...").
struct WordIndexBuild {
  WordIndexFiles files;               // Empty when there are errors.
  std::vector<std::string> errors;    // Any error refuses the whole corpus.
  std::vector<std::string> warnings;  // Something was left out; files made.
  int32_t text_count = 0;
  int32_t word_count = 0;
  bool ok() const { return errors.empty(); }
};

// Indexes `corpus`. Lines end at LF, a CR before the LF is dropped; each
// line is trimmed, and blank lines are skipped. A text longer than 255 bytes
// is an error. The words of a text are those of its normalized form split at
// blanks (NormalizeWord), so they are looked up exactly as a phrase is. A
// word longer than 30 letters is skipped with a warning, as is a text without
// any word to index (nothing could ever answer it). A word keeps the first
// 1000 texts that hold it, with a warning. Words are stored in alphabetical
// order, each text once per word, texts numbered in corpus order.
WordIndexBuild BuildWordIndex(std::string_view corpus);

// Writes the three files into the host directory `dir`, creating it when
// missing. Each file is written beside its final name and then renamed, so a
// running reader that holds the old files open keeps reading them whole.
// Returns false and sets `*error` when something cannot be written.
bool WriteWordIndexFiles(const WordIndexFiles& files, const std::string& dir,
                         std::string* error);

}  // namespace corvane

#endif  // CORVANE_TEXT_WORD_INDEX_BUILDER_H_
