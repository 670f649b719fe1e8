// The form content of a request: a URL-encoded body ("T1=hello+there&x=1")
// decoded into entries of the form name=value. Pure functions; re-entrant.
#ifndef CORVANE_WEB_FORM_FIELDS_H_
#define CORVANE_WEB_FORM_FIELDS_H_

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// `piece` with "+" as a blank and "%" followed by two hexadecimal digits as
// that byte; any other "%" stays as it is.
std::string DecodeFormText(std::string_view piece);

// The body split at every "&"; each non-empty piece decoded and kept as one
// entry, in body order. Decoding comes first, so an encoded "%3D" in a name
// separates name and value like "=". Linear in the body's size.
std::vector<std::string> DecodeFormEntries(std::string_view body);

// The text after the first "=" of the first entry whose name (the text
// before its first "=") equals `name` without regard to ASCII case; empty
// when no entry has that name. An entry without "=" has no name.
std::string FormFieldValue(const std::vector<std::string>& entries,
                           std::string_view name);

}  // namespace corvane

#endif  // CORVANE_WEB_FORM_FIELDS_H_
