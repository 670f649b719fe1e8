// The text rules of a knowledge base written in UTF-8, beside those of the
// single-byte code page that every other file of text/ follows. A knowledge
// base is in one encoding or the other (TextEncoding); code that compares,
// cuts or splits texts asks for the encoding's rules here.
//
// In UTF-8 texts are sequences of whole characters. Comparison without
// regard to case uses Unicode simple case folding (one character to one
// character, from the library's case tables), with the ASCII letters shown
// as A to Z so that the engine's upper-cased keywords and markers stay as
// they are. Words are maximal runs of letters and combining marks;
// characters of scripts written without spaces between words (Chinese,
// Japanese, Thai and their neighbours) separate words like punctuation, so
// their fragments match as phrases wherever they occur.
//
// All functions are re-entrant; the case tables are built once, on first
// use, and only read afterwards.
#ifndef CORVANE_TEXT_UTF8_H_
#define CORVANE_TEXT_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/name_list.h"

namespace corvane {

// How a knowledge base's texts are encoded.
enum class TextEncoding : uint8_t {
  kCodePage,  // Single bytes (Windows-1252); every file made before UTF-8.
  kUtf8,      // UTF-8, declared by the file.
};

namespace utf8 {

// The byte-order mark that declares a UTF-8 language file.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// The replacement character, what an invalid sequence becomes.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// One decoded character: its code point and how many bytes it took. An
// invalid sequence decodes as U+FFFD taking the bytes of its longest valid
// beginning (at least one), so decoding never stops and never reads past
// the end.
struct Decoded {
  char32_t code = 0;
  uint8_t length = 0;
  bool valid = false;
};
Decoded Decode(std::string_view text, std::size_t at);

// Appends the UTF-8 form of `code` (a scalar value) to `out`.
void Append(std::string& out, char32_t code);

// Byte offset of the first invalid sequence, or npos when the text is all
// valid UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
std::size_t FirstInvalid(std::string_view text);
inline bool IsValid(std::string_view text) {
  return FirstInvalid(text) == std::string_view::npos;
}
// Whether the text holds at least one valid sequence of two or more bytes.
bool HasMultiByteSequence(std::string_view text);

// The text with every invalid sequence replaced by U+FFFD.
std::string Sanitize(std::string_view text);
// As Sanitize, in place; returns whether anything was replaced.
bool SanitizeInPlace(std::string& text);

// The longest prefix of `text` of at most `max_bytes` bytes that does not
// end inside a character. For valid text; an invalid byte counts as one
// character.
std::string_view CutPrefix(std::string_view text, std::size_t max_bytes);
// The largest character boundary at or below `at` (at most text.size()).
std::size_t BoundaryAtOrBefore(std::string_view text, std::size_t at);

// The case-folded form of one code point: its simple case folding, with
// a to z shown as A to Z. Two characters are equal without regard to case
// when their folded forms are equal.
char32_t FoldCode(char32_t code);
// The simple upper case of one code point, for showing a word: the
// character itself when its upper case would fold differently (dotless ı,
// whose upper case is I).
char32_t UpperCode(char32_t code);

// Whether the character belongs to words: a letter or a mark, outside the
// scripts written without spaces.
bool IsWordCode(char32_t code);

// The text with every character folded; invalid bytes are kept as they are.
std::string Fold(std::string_view text);

// Compares Fold(a) with Fold(b) byte by byte as unsigned values (<0, 0,
// >0) without making them; texts of ASCII bytes compare as CompareNoCase
// does. As UTF-8 keeps the order of code points, valid texts order as
// their folded characters do.
int CompareFolded(std::string_view a, std::string_view b);

// The first occurrence, without regard to case, of `folded_needle` (already
// folded, not empty) in the unfolded `text` at or after byte `from`, as the
// byte offset and byte length of the stretch of `text` that matches; false
// when there is none. The stretch always covers whole characters.
bool FindFolded(std::string_view folded_needle, std::string_view text,
                std::size_t& offset, std::size_t& length,
                std::size_t from = 0);

// Whether the character that ends at byte `end` of `text` (the one before
// `end`) is a word character; false at the start.
bool WordCodeBefore(std::string_view text, std::size_t end);
// Whether the character that starts at byte `at` is a word character;
// false at the end.
bool WordCodeAt(std::string_view text, std::size_t at);

}  // namespace utf8

// The text upper-cased for matching under `encoding`: the ASCII letters for
// the code page (UpperAscii), folded characters for UTF-8.
std::string UpperForMatch(TextEncoding encoding, std::string_view text);

// Whether the texts are equal without regard to case under `encoding`.
bool EqualNoCaseIn(TextEncoding encoding, std::string_view a,
                   std::string_view b);

// How names compare in a knowledge base in `encoding` (NameList): nullptr,
// the ASCII letters, for the code page; CompareFolded and Fold for UTF-8.
const NameFolding* NameFoldingFor(TextEncoding encoding);

// Cuts `text` to at most `max_bytes` bytes without leaving part of a
// character at its end in UTF-8.
std::string_view CutTextIn(TextEncoding encoding, std::string_view text,
                           std::size_t max_bytes);

}  // namespace corvane

#endif  // CORVANE_TEXT_UTF8_H_
