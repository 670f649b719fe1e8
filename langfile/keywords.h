// The keywords of the language file, as the reader recognises them.
#ifndef CORVANE_LANGFILE_KEYWORDS_H_
#define CORVANE_LANGFILE_KEYWORDS_H_

#include <string_view>

namespace corvane {

// The keyword (upper case, as "START-COLLECTION") that begins the
// left-trimmed line text, compared without regard to ASCII case; the first
// in the reader's order when several would. Empty for a data line.
std::string_view LanguageKeywordOf(std::string_view left_trimmed);

}  // namespace corvane

#endif  // CORVANE_LANGFILE_KEYWORDS_H_
