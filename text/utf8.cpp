#include "text/utf8.h"

#include <utf8proc.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "text/text_util.h"

namespace corvane {
namespace utf8 {
namespace {

// Scripts written without spaces between words: their letters do not join
// words, so a fragment of them holds wherever it occurs, as it always did.
bool IsPhraseScript(char32_t c) {
  return (c >= 0x0E00 && c <= 0x0FFF) ||    // Thai, Lao, Tibetan
         (c >= 0x1000 && c <= 0x109F) ||    // Myanmar
         (c >= 0x1780 && c <= 0x17FF) ||    // Khmer
         (c >= 0x1950 && c <= 0x1AAF) ||    // Tai Le, New Tai Lue, Tai Tham
         (c >= 0x2E80 && c <= 0x2FDF) ||    // CJK radicals
         (c >= 0x3005 && c <= 0x3007) ||    // ideographic iteration, zero
         (c >= 0x3021 && c <= 0x3029) ||    // Hangzhou numerals
         (c >= 0x3031 && c <= 0x303C) ||    // kana repeat marks
         (c >= 0x3040 && c <= 0x31FF) ||    // kana, Bopomofo, kana extensions
         (c >= 0x3400 && c <= 0x4DBF) ||    // CJK extension A
         (c >= 0x4E00 && c <= 0x9FFF) ||    // CJK unified ideographs
         (c >= 0xA000 && c <= 0xA4CF) ||    // Yi
         (c >= 0xA9E0 && c <= 0xA9FF) ||    // Myanmar extended B
         (c >= 0xAA60 && c <= 0xAADF) ||    // Myanmar extended A, Tai Viet
         (c >= 0xF900 && c <= 0xFAFF) ||    // CJK compatibility ideographs
         (c >= 0xFF66 && c <= 0xFF9F) ||    // half-width katakana
         (c >= 0x1B000 && c <= 0x1B16F) ||  // kana supplement, extensions
         (c >= 0x20000 && c <= 0x3FFFF);    // CJK extensions B and later
}

bool IsLetterOrMark(char32_t c) {
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
      return true;
    default:
      return false;
  }
}

// Simple case folding: the library's full folding where that is one
// character, which is the simple folding too; where full folding makes
// several characters (ß to ss), the simple folding is the character's
// lower case, if it has one (ẞ to ß), and the character itself otherwise.
// Capital I with a dot folds to itself: its folding to i belongs to the
// Turkic rules, which simple folding leaves out.
char32_t SimpleFold(char32_t c) {
  if (c == 0x0130) return c;
  utf8proc_int32_t out[4];
  int boundclass = 0;
  const utf8proc_ssize_t n = utf8proc_decompose_char(
      static_cast<utf8proc_int32_t>(c), out, 4, UTF8PROC_CASEFOLD, &boundclass);
  if (n == 1) return static_cast<char32_t>(out[0]);
  return static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c)));
}

char32_t ShowAsciiUpper(char32_t c) {
  return c >= 'a' && c <= 'z' ? c - 32 : c;
}

// Per code point of the Basic Multilingual Plane: the folded code point in
// the low 21 bits and the word-character flag above them.
constexpr uint32_t kWordBit = 1u << 24;
constexpr uint32_t kCodeMask = 0x1FFFFF;

const std::vector<uint32_t>& PlaneTable() {
  static const std::vector<uint32_t> table = [] {
    std::vector<uint32_t> t(0x10000);
    for (char32_t c = 0; c < 0x10000; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) {
        t[c] = c;
        continue;
      }
      uint32_t entry = ShowAsciiUpper(SimpleFold(c));
      if (IsLetterOrMark(c) && !IsPhraseScript(c)) entry |= kWordBit;
      t[c] = entry;
    }
    return t;
  }();
  return table;
}

}  // namespace

Decoded Decode(std::string_view text, std::size_t at) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char b0 = s[at];
  if (b0 < 0x80) return {b0, 1, true};
  int need = 0;
  char32_t code = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    code = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    code = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    code = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {0xFFFD, 1, false};
  }
  std::size_t i = at + 1;
  for (int k = 0; k < need; ++k, ++i) {
    if (i >= n || s[i] < lo || s[i] > hi)
      return {0xFFFD, static_cast<uint8_t>(i - at), false};
    code = (code << 6) | (s[i] & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  return {code, static_cast<uint8_t>(need + 1), true};
}

void Append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::size_t FirstInvalid(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const Decoded d = Decode(text, i);
    if (!d.valid) return i;
    i += d.length;
  }
  return std::string_view::npos;
}

bool HasMultiByteSequence(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const Decoded d = Decode(text, i);
    if (d.valid) return true;
    i += d.length;
  }
  return false;
}

bool SanitizeInPlace(std::string& text) {
  const std::size_t bad = FirstInvalid(text);
  if (bad == std::string::npos) return false;
  std::string out(text, 0, bad);
  for (std::size_t i = bad; i < text.size();) {
    const Decoded d = Decode(text, i);
    if (d.valid)
      out.append(text, i, d.length);
    else
      out.append(kReplacement);
    i += d.length;
  }
  text = std::move(out);
  return true;
}

std::string Sanitize(std::string_view text) {
  std::string out(text);
  SanitizeInPlace(out);
  return out;
}

std::size_t BoundaryAtOrBefore(std::string_view text, std::size_t at) {
  if (at >= text.size()) return text.size();
  // A continuation byte is never the start of a character; at most three
  // of them follow a lead byte.
  std::size_t p = at;
  for (int k = 0; k < 3 && p > 0 &&
                  (static_cast<unsigned char>(text[p]) & 0xC0) == 0x80;
       ++k)
    --p;
  if ((static_cast<unsigned char>(text[p]) & 0xC0) == 0x80) return at;
  // The lead byte at p starts a character only when it reaches beyond at.
  const Decoded d = Decode(text, p);
  return p + d.length > at ? p : at;
}

std::string_view CutPrefix(std::string_view text, std::size_t max_bytes) {
  if (max_bytes >= text.size()) return text;
  return text.substr(0, BoundaryAtOrBefore(text, max_bytes));
}

char32_t FoldCode(char32_t c) {
  if (c < 0x80) return ShowAsciiUpper(c);
  if (c < 0x10000) return PlaneTable()[c] & kCodeMask;
  return ShowAsciiUpper(SimpleFold(c));
}

char32_t UpperCode(char32_t c) {
  if (c < 0x80) return ShowAsciiUpper(c);
  const char32_t upper =
      static_cast<char32_t>(utf8proc_toupper(static_cast<utf8proc_int32_t>(c)));
  return FoldCode(upper) == FoldCode(c) ? upper : c;
}

bool IsWordCode(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (c < 0x10000) return (PlaneTable()[c] & kWordBit) != 0;
  return IsLetterOrMark(c) && !IsPhraseScript(c);
}

std::string Fold(std::string_view text) {
  // A folded character takes at most half as many bytes again as the one
  // it folds (Ⱥ, two bytes, folds to ⱥ, three), so the result is written
  // into room made once.
  std::string out(text.size() + text.size() / 2 + 4, '\0');
  char* w = out.data();
  const uint32_t* plane = PlaneTable().data();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      *w++ = static_cast<char>(b >= 'a' && b <= 'z' ? b - 32 : b);
      ++i;
      continue;
    }
    const Decoded d = Decode(text, i);
    if (!d.valid) {
      for (int k = 0; k < d.length; ++k) *w++ = static_cast<char>(s[i + k]);
      i += d.length;
      continue;
    }
    const char32_t f = d.code < 0x10000 ? (plane[d.code] & kCodeMask)
                                        : FoldCode(d.code);
    if (f == d.code) {
      for (int k = 0; k < d.length; ++k) *w++ = static_cast<char>(s[i + k]);
    } else if (f < 0x80) {
      *w++ = static_cast<char>(f);
    } else if (f < 0x800) {
      *w++ = static_cast<char>(0xC0 | (f >> 6));
      *w++ = static_cast<char>(0x80 | (f & 0x3F));
    } else if (f < 0x10000) {
      *w++ = static_cast<char>(0xE0 | (f >> 12));
      *w++ = static_cast<char>(0x80 | ((f >> 6) & 0x3F));
      *w++ = static_cast<char>(0x80 | (f & 0x3F));
    } else {
      *w++ = static_cast<char>(0xF0 | (f >> 18));
      *w++ = static_cast<char>(0x80 | ((f >> 12) & 0x3F));
      *w++ = static_cast<char>(0x80 | ((f >> 6) & 0x3F));
      *w++ = static_cast<char>(0x80 | (f & 0x3F));
    }
    i += d.length;
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
  return out;
}

namespace {

// The bytes of a text's folded form, one at a time, as Fold writes them.
class FoldedBytes {
 public:
  FoldedBytes(std::string_view text, std::size_t at) : text_(text), at_(at) {}

  // The next byte (0 to 255), or -1 at the end.
  int Next() {
    if (held_at_ < held_) return held_bytes_[held_at_++];
    if (at_ >= text_.size()) return -1;
    const auto b = static_cast<unsigned char>(text_[at_]);
    if (b < 0x80) {
      ++at_;
      return b >= 'a' && b <= 'z' ? b - 32 : b;
    }
    const Decoded d = Decode(text_, at_);
    std::string bytes;
    if (d.valid)
      Append(bytes, FoldCode(d.code));
    else
      bytes.assign(text_, at_, d.length);
    at_ += d.length;
    held_ = static_cast<uint8_t>(bytes.size());
    for (std::size_t k = 0; k < bytes.size(); ++k)
      held_bytes_[k] = static_cast<unsigned char>(bytes[k]);
    held_at_ = 1;
    return held_bytes_[0];
  }

 private:
  std::string_view text_;
  std::size_t at_;
  unsigned char held_bytes_[4] = {};
  uint8_t held_ = 0;
  uint8_t held_at_ = 0;
};

int CompareFoldedNames(std::string_view a, std::string_view b) {
  return CompareFolded(a, b);
}
std::string FoldName(std::string_view name) { return Fold(name); }

constexpr NameFolding kUtf8NameFolding{&CompareFoldedNames, &FoldName};

}  // namespace

int CompareFolded(std::string_view a, std::string_view b) {
  // ASCII on both sides compares byte by byte with a to z upper-cased;
  // from the first other byte on, the folded bytes are made one at a time.
  const auto* p = reinterpret_cast<const unsigned char*>(a.data());
  const auto* q = reinterpret_cast<const unsigned char*>(b.data());
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i < n; ++i) {
    const unsigned char x = p[i], y = q[i];
    if ((x | y) >= 0x80) break;
    const int fx = x >= 'a' && x <= 'z' ? x - 32 : x;
    const int fy = y >= 'a' && y <= 'z' ? y - 32 : y;
    if (fx != fy) return fx - fy;
  }
  if (i == n && a.size() == b.size()) return 0;
  FoldedBytes fa(a, i), fb(b, i);
  for (;;) {
    const int x = fa.Next(), y = fb.Next();
    if (x != y) return x - y;  // The end (-1) orders first.
    if (x < 0) return 0;
  }
}

bool FindFolded(std::string_view needle, std::string_view text,
                std::size_t& offset, std::size_t& length, std::size_t from) {
  if (needle.empty() || from >= text.size()) return false;
  // The text folded, with the offset in `text` of each folded character.
  std::string folded;
  std::vector<std::size_t> origin;  // origin[k]: source of folded byte k.
  folded.reserve(text.size() - from);
  origin.reserve(text.size() - from + 1);
  for (std::size_t i = from; i < text.size();) {
    const Decoded d = Decode(text, i);
    const std::size_t before = folded.size();
    if (d.valid)
      Append(folded, FoldCode(d.code));
    else
      folded.append(text, i, d.length);
    origin.insert(origin.end(), folded.size() - before, i);
    i += d.length;
  }
  origin.push_back(text.size());
  // Valid UTF-8 needles match only at character starts of valid text.
  const std::size_t at = folded.find(needle);
  if (at == std::string::npos) return false;
  const std::size_t end = at + needle.size();
  offset = origin[at];
  // The end of the match is the start of the next source character.
  std::size_t stop = origin[end];
  if (end < folded.size() && origin[end] == origin[end - 1]) {
    // The match ends inside one character's folding: take all of it.
    std::size_t k = end;
    while (k < folded.size() && origin[k] == origin[end - 1]) ++k;
    stop = origin[k];
  }
  length = stop - offset;
  return true;
}

bool WordCodeBefore(std::string_view text, std::size_t end) {
  if (end == 0) return false;
  const unsigned char last = static_cast<unsigned char>(text[end - 1]);
  if (last < 0x80) return IsWordCode(last);
  const std::size_t start = BoundaryAtOrBefore(text, end - 1);
  return IsWordCode(Decode(text, start).code);
}

bool WordCodeAt(std::string_view text, std::size_t at) {
  if (at >= text.size()) return false;
  const unsigned char first = static_cast<unsigned char>(text[at]);
  if (first < 0x80) return IsWordCode(first);
  return IsWordCode(Decode(text, at).code);
}

}  // namespace utf8

std::string UpperForMatch(TextEncoding encoding, std::string_view text) {
  return encoding == TextEncoding::kUtf8 ? utf8::Fold(text) : UpperAscii(text);
}

bool EqualNoCaseIn(TextEncoding encoding, std::string_view a,
                   std::string_view b) {
  if (encoding == TextEncoding::kUtf8) return utf8::Fold(a) == utf8::Fold(b);
  if (a.size() != b.size()) return false;
  return UpperAscii(a) == UpperAscii(b);
}

const NameFolding* NameFoldingFor(TextEncoding encoding) {
  return encoding == TextEncoding::kUtf8 ? &utf8::kUtf8NameFolding : nullptr;
}

std::string_view CutTextIn(TextEncoding encoding, std::string_view text,
                           std::size_t max_bytes) {
  if (encoding == TextEncoding::kUtf8) return utf8::CutPrefix(text, max_bytes);
  return text.substr(0, std::min(text.size(), max_bytes));
}

}  // namespace corvane
