// The keywords of the language file, as the reader recognises them.
#ifndef CORVANE_LANGFILE_KEYWORDS_H_
#define CORVANE_LANGFILE_KEYWORDS_H_

#include <array>
#include <string_view>

namespace corvane {

// The keywords in the reader's order; the index is the line kind, and
// entry 0 (data lines) is empty.
inline constexpr std::array<std::string_view, 17> kLanguageKeywords = {
    "",
    "FACT",
    "START-COLLECTION",
    "END-COLLECTION",
    "MODE",
    "STATE",
    "PROCEDURE",
    "STEP",
    "FOR-MODE",
    "FOR-STEP",
    "THRESHOLD",
    "FOR-STATE",
    "FRAGMENT",
    "RESPONSE",
    "TASK",
    "NAME-OBJECT",
    "AUTO-NAME",
};

// The declaration line of a UTF-8 language file besides the byte-order
// mark: a data line, outside a collection and before the first keyword
// line, that reads this when trimmed, in any letter case. Files of the code
// page ignore it like any other data line.
inline constexpr std::string_view kUtf8Declaration = "Encoding: UTF-8";

// The keyword (upper case, as "START-COLLECTION") that begins the
// left-trimmed line text, compared without regard to ASCII case; the first
// in the reader's order when several would. Empty for a data line.
std::string_view LanguageKeywordOf(std::string_view left_trimmed);

}  // namespace corvane

#endif  // CORVANE_LANGFILE_KEYWORDS_H_
