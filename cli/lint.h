// The warnings of `corvane check`: mistakes that the reader accepts
// silently but that make a knowledge base behave other than its author
// meant (a misspelt kind read as "None", a comment read as a keyword line,
// a name that nothing defines, a pattern that can never win).
#ifndef CORVANE_CLI_LINT_H_
#define CORVANE_CLI_LINT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class BrainClass;

struct LintWarning {
  int64_t line = 0;     // 1-based line of the file the warning concerns.
  std::string message;  // Without the "warning: " prefix.
};

// The warnings for `brain`, read from the language file whose bytes are
// `file_text` (the same reading; items carry their source lines). Sorted
// by line; warnings of one line keep the order in which they were found.
std::vector<LintWarning> LintKnowledgeBase(const BrainClass& brain,
                                           std::string_view file_text);

// A keyword of the reader's table as the writer spells it: "FOR-MODE" as
// "For-Mode".
std::string KeywordSpelling(std::string_view keyword);

// The lines of a language file, split as the reader splits them (at CR when
// the file holds one, else at LF; a byte 0x1A ends the input).
std::vector<std::string_view> LanguageFileLines(std::string_view file_text);

}  // namespace corvane

#endif  // CORVANE_CLI_LINT_H_
