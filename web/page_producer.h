// The page producer: copies an HTML template to the response, replacing each
// tag ("<#" name parameters ">") by the text a tag handler gives for it.
// Pure text processing; web/page_template.h reads the template file. Pure
// functions; re-entrant.
#ifndef CORVANE_WEB_PAGE_PRODUCER_H_
#define CORVANE_WEB_PAGE_PRODUCER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// One name=value parameter of a tag; quotes around the value removed.
struct TagParam {
  std::string name;
  std::string value;
};

// Returns the replacement for the tag `name` with its parameters.
using TagHandler = std::function<std::string(
    std::string_view name, const std::vector<TagParam>& params)>;

// Splits a tag's parameter text at blanks outside quotes into name=value
// parameters. A parameter without "=" has an empty value; a value enclosed
// in matching single or double quotes loses them.
std::vector<TagParam> ParseTagParams(std::string_view text);

// Copies `templ`, replacing every tag by handler(name, parameters). A tag
// starts at a "<" followed by "#"; its name is the identifier (letters,
// digits, underscores) after "#", its parameter text the rest up to the next
// ">". A "<" not followed by "#", and a "<#" that no ">" closes, are copied
// unchanged. Linear in the size of `templ` plus the replacements.
std::string ProduceContent(std::string_view templ, const TagHandler& handler);

// `text` with &, <, >, " and ' written as HTML character references, so a
// reply shows as text and never as markup.
std::string EscapeHtml(std::string_view text);

// Largest template file that is read.
inline constexpr std::size_t kMaxTemplateBytes = 16u << 20;

// Walks `templ` as ProduceContent reads it: on_text for each stretch copied
// as it is (possibly empty), on_tag for each tag with its name and its
// parameter text. Linear in the size of `templ`.
void ScanTemplate(std::string_view templ,
                  const std::function<void(std::string_view text)>& on_text,
                  const std::function<void(std::string_view name,
                                           std::string_view params)>& on_tag);

}  // namespace corvane

#endif  // CORVANE_WEB_PAGE_PRODUCER_H_
