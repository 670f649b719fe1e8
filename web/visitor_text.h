// Text at the web boundary: what a visitor sends becomes engine text (the
// Windows-1252 code page, with the macro sign made harmless), and what the
// engine says becomes UTF-8 for pages and the JSON API. Pure functions;
// re-entrant.
#ifndef CORVANE_WEB_VISITOR_TEXT_H_
#define CORVANE_WEB_VISITOR_TEXT_H_

#include <string>
#include <string_view>

#include "text/utf8.h"

namespace corvane {

// The byte that stands for a visitor's "^" in engine text: Windows-1252
// 0x88, the modifier letter circumflex (U+02C6). It looks like the macro
// sign but never opens a macro, since every opening starts with 0x5E.
inline constexpr char kVisitorCaret = '\x88';

// `text` with every "^" replaced by kVisitorCaret. Visitor text passes
// through this before the engine sees it, so nothing a visitor types can
// be expanded as a macro: not in the turn that receives it and not later,
// wherever the conversation keeps it (facts, collections, learnt patterns,
// histories, logs, saved files). Every other byte stays.
std::string NeutralizeMacroSign(std::string_view text);

// UTF-8 `text` in Windows-1252. A character the code page lacks becomes
// "?", and so does every byte of a malformed sequence (a stray
// continuation byte, a truncated, overlong or surrogate encoding). The five
// bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) are
// reached from U+0081 and friends, as CodePageToUtf8 writes them, so every
// byte round-trips. Linear.
std::string Utf8ToCodePage(std::string_view text);

// Windows-1252 `text` in UTF-8; always well-formed. Linear.
std::string CodePageToUtf8(std::string_view text);

// Visitor text as the engine gets it: converted from UTF-8 when `utf8`,
// taken as code-page bytes otherwise, then NeutralizeMacroSign.
std::string VisitorText(std::string_view text, bool utf8);

// The sign that stands for a visitor's "^" in a UTF-8 knowledge base: the
// same modifier letter circumflex, U+02C6, in UTF-8.
inline constexpr std::string_view kVisitorCaretUtf8 = "\xCB\x86";

// Visitor text for a knowledge base in `encoding`. For the code page as
// VisitorText. For UTF-8 the text (sent in UTF-8) is kept as it is, but
// for each invalid sequence, which becomes U+FFFD, and the macro sign,
// which becomes kVisitorCaretUtf8.
std::string VisitorTextIn(std::string_view text, bool utf8,
                          TextEncoding encoding);

// A reply of a knowledge base in `encoding` in UTF-8: converted from the
// code page, or as it is (any byte that is no UTF-8 made U+FFFD).
std::string ReplyInUtf8(std::string_view reply, TextEncoding encoding);

}  // namespace corvane

#endif  // CORVANE_WEB_VISITOR_TEXT_H_
