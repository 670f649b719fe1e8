// The page producer: copies an HTML template to the response, replacing each
// tag ("<#" name parameters ">") by the text a tag handler gives for it.
// Pure text processing except PageProducer::Content, which reads the
// template file. Thread-compatible: a producer serves one request at a time.
#ifndef CORVANE_WEB_PAGE_PRODUCER_H_
#define CORVANE_WEB_PAGE_PRODUCER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class ConfinedRoot;

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

// Largest template file the producer reads.
inline constexpr std::size_t kMaxTemplateBytes = 16u << 20;

// A producer bound to a template file, which it reads anew for every page.
class PageProducer {
 public:
  // The page: the template file at HTMLFile with its tags replaced through
  // OnHTMLTag (tags are removed when it is empty). Throws IoError when the
  // file cannot be read, is not a regular file or is larger than
  // kMaxTemplateBytes.
  std::string Content() const;

  // The template: a host path, or with Root a path relative to Root that is
  // opened beneath it without following any link. Empty: none.
  std::string HTMLFile;
  const ConfinedRoot* Root = nullptr;  // Not owned; outlives the producer.
  TagHandler OnHTMLTag;  // Gives each tag's replacement.
};

}  // namespace corvane

#endif  // CORVANE_WEB_PAGE_PRODUCER_H_
