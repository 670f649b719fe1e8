#include "text/word_index_builder.h"

#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "platform/files.h"
#include "text/text_util.h"
#include "text/word_index.h"

namespace corvane {
namespace {

void AppendInt32(std::string& out, int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// A length byte, the bytes, and zero padding up to `size`.
void AppendLengthPrefixed(std::string& out, std::string_view text,
                          int32_t size) {
  out.push_back(static_cast<char>(static_cast<unsigned char>(text.size())));
  out.append(text);
  out.append(static_cast<std::size_t>(size) - 1 - text.size(), '\0');
}

std::string LineLabel(int32_t line) {
  return "line " + IntToText(line) + ": ";
}

}  // namespace

WordIndexBuild BuildWordIndex(std::string_view corpus) {
  WordIndexBuild build;
  std::vector<std::string> texts;
  // Word -> text numbers, first ones kept; a std::map keeps words sorted.
  std::map<std::string, std::vector<int32_t>> postings;
  std::map<std::string, int64_t> dropped;  // word -> texts beyond the limit

  int32_t line_number = 0;
  std::size_t start = 0;
  while (start < corpus.size()) {
    std::size_t end = corpus.find('\n', start);
    if (end == std::string_view::npos) end = corpus.size();
    std::string_view line = corpus.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view text = TrimView(line);
    if (text.empty()) continue;
    if (text.size() > static_cast<std::size_t>(kMaxTextLength)) {
      build.errors.push_back(LineLabel(line_number) + "text of " +
                             IntToText(static_cast<int64_t>(text.size())) +
                             " bytes is longer than " +
                             IntToText(kMaxTextLength));
      continue;
    }
    const int32_t number = static_cast<int32_t>(texts.size());
    const std::string normalized = NormalizeWord(text);
    bool has_word = false;       // A word of at most 30 letters.
    bool indexed = false;        // Some word lists this text.
    std::set<std::string> seen;  // Each word counts once per text.
    std::size_t word_start = 0;
    while (word_start <= normalized.size()) {
      std::size_t word_end = normalized.find(' ', word_start);
      if (word_end == std::string::npos) word_end = normalized.size();
      std::string word = normalized.substr(word_start, word_end - word_start);
      word_start = word_end + 1;
      if (word.empty() || !seen.insert(word).second) continue;
      if (word.size() > static_cast<std::size_t>(kMaxWordLength)) {
        build.warnings.push_back(
            LineLabel(line_number) + "word " + word + " is longer than " +
            IntToText(kMaxWordLength) + " letters; skipped");
        continue;
      }
      has_word = true;
      std::vector<int32_t>& list = postings[word];
      if (list.size() >= static_cast<std::size_t>(kMaxWordEntries)) {
        ++dropped[word];
        continue;
      }
      list.push_back(number);
      indexed = true;
    }
    if (!indexed) {
      build.warnings.push_back(
          LineLabel(line_number) +
          (has_word ? "every word already lists " + IntToText(kMaxWordEntries) +
                          " texts; text skipped"
                    : std::string("no word to index; text skipped")));
      continue;
    }
    texts.emplace_back(text);
  }
  for (const auto& [word, count] : dropped)
    build.warnings.push_back(
        "word " + word + " is in " + IntToText(kMaxWordEntries + count) +
        " texts; only the first " + IntToText(kMaxWordEntries) + " are kept");
  if (!build.ok()) return build;

  for (const std::string& text : texts)
    AppendLengthPrefixed(build.files.texts, text, kTextRecordSize);
  for (const auto& [word, list] : postings) {
    if (list.empty()) continue;
    AppendLengthPrefixed(build.files.words, word, kWordRecordSize);
    AppendInt32(build.files.index, static_cast<int32_t>(list.size()));
    for (int32_t number : list) AppendInt32(build.files.index, number);
    for (std::size_t i = list.size();
         i < static_cast<std::size_t>(kMaxWordEntries); ++i)
      AppendInt32(build.files.index, 0);
    ++build.word_count;
  }
  build.text_count = static_cast<int32_t>(texts.size());
  return build;
}

bool WriteWordIndexFiles(const WordIndexFiles& files, const std::string& dir,
                         std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    *error = "cannot create directory " + dir + ": " + ec.message();
    return false;
  }
  const std::pair<const char*, const std::string*> outputs[] = {
      {kTextsFileName, &files.texts},
      {kIndexFileName, &files.index},
      {kWordsFileName, &files.words},
  };
  for (const auto& [name, data] : outputs) {
    const std::string path = dir + "/" + name;
    const std::string temporary = path + ".tmp";
    if (!WriteFileBytes(temporary, *data)) {
      *error = "cannot write " + temporary;
      return false;
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
      *error =
          "cannot rename " + temporary + " to " + path + ": " + ec.message();
      return false;
    }
  }
  return true;
}

}  // namespace corvane
