#include "web/visitor_text.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace corvane {
namespace {

// Code points of the bytes 0x80 to 0x9F. The five undefined bytes map to
// the C1 control of the same number, so conversion never loses a byte.
constexpr std::array<char32_t, 32> kHighTable = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char32_t CodePoint(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kHighTable[byte - 0x80];
  return byte;
}

// The code-page byte of `cp`, or '?' when the code page lacks it.
char ToCodePage(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (std::size_t i = 0; i < kHighTable.size(); ++i)
    if (kHighTable[i] == cp) return static_cast<char>(0x80 + i);
  return '?';
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string NeutralizeMacroSign(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '^') c = kVisitorCaret;
  return out;
}

// Decodes one sequence at a time. A lead byte announces its length; the
// sequence is taken only when every continuation byte is there and the
// value is neither overlong, nor a surrogate, nor beyond U+10FFFF.
// Otherwise only the lead byte is consumed (as "?"), so the next byte is
// looked at afresh and the work stays linear.
std::string Utf8ToCodePage(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07, min = 0x10000;
    }
    bool ok = len != 0 && i + len <= text.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (ok) ok = cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!ok) {
      out.push_back('?');
      ++i;
      continue;
    }
    out.push_back(ToCodePage(cp));
    i += len;
  }
  return out;
}

std::string CodePageToUtf8(std::string_view text) {
  // ASCII is the same in both, and most replies are ASCII throughout: the
  // run before the first other byte is copied at once.
  std::size_t ascii = 0;
  // Eight bytes at a time while none has its high bit set.
  for (uint64_t word; ascii + 8 <= text.size(); ascii += 8) {
    std::memcpy(&word, text.data() + ascii, 8);
    if (word & 0x8080808080808080u) break;
  }
  while (ascii < text.size() && static_cast<unsigned char>(text[ascii]) < 0x80)
    ++ascii;
  std::string out;
  if (ascii == text.size()) {
    out.assign(text);
    return out;
  }
  out.reserve(text.size() + text.size() / 8);
  out.append(text.substr(0, ascii));
  for (char c : text.substr(ascii))
    AppendUtf8(out, CodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string VisitorText(std::string_view text, bool utf8) {
  return NeutralizeMacroSign(utf8 ? Utf8ToCodePage(text) : std::string(text));
}

std::string VisitorTextIn(std::string_view text, bool utf8,
                          TextEncoding encoding) {
  if (encoding != TextEncoding::kUtf8) return VisitorText(text, utf8);
  const std::string clean = utf8::Sanitize(text);
  std::string out;
  out.reserve(clean.size());
  for (char c : clean) {
    if (c == '^')
      out += kVisitorCaretUtf8;
    else
      out.push_back(c);
  }
  return out;
}

std::string ReplyInUtf8(std::string_view reply, TextEncoding encoding) {
  // A UTF-8 brain says only UTF-8, but what it reads from outside (a word
  // index) may hold other bytes; they never reach a page or a JSON body.
  return encoding == TextEncoding::kUtf8 ? utf8::Sanitize(reply)
                                         : CodePageToUtf8(reply);
}

}  // namespace corvane
