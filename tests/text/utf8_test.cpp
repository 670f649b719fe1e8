#include "text/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace corvane {
namespace {

using utf8::FoldCode;

TEST(Utf8DecodeTest, InvalidSequencesTakeTheirLongestValidBeginning) {
  struct Case {
    std::string text;
    char32_t code;
    int length;
    bool valid;
  };
  const Case cases[] = {
      {"a", 'a', 1, true},
      {"\xC5\x81", 0x141, 2, true},                 // Ł
      {"\xE4\xBD\xA0", 0x4F60, 3, true},            // 你
      {"\xF0\x9F\x98\x80", 0x1F600, 4, true},       // 😀
      {"\xC0\xAF", 0xFFFD, 1, false},               // overlong
      {"\xE0\x80\x80", 0xFFFD, 1, false},           // overlong, 3 bytes
      {"\xED\xA0\x80", 0xFFFD, 1, false},           // surrogate
      {"\xF4\x90\x80\x80", 0xFFFD, 1, false},       // above U+10FFFF
      {"\xE4\xBD", 0xFFFD, 2, false},               // cut at the end
      {"\xE4\xBDx", 0xFFFD, 2, false},              // cut by ASCII
      {"\x80", 0xFFFD, 1, false},                   // lone continuation
      {"\xFF", 0xFFFD, 1, false},
  };
  for (const Case& c : cases) {
    const utf8::Decoded d = utf8::Decode(c.text, 0);
    EXPECT_EQ(static_cast<uint32_t>(d.code), static_cast<uint32_t>(c.code)) << c.text;
    EXPECT_EQ(d.length, c.length) << c.text;
    EXPECT_EQ(d.valid, c.valid) << c.text;
  }
}

TEST(Utf8SanitizeTest, EachInvalidSequenceBecomesOneReplacement) {
  EXPECT_EQ(utf8::Sanitize("Zo\xC3\xAB"), "Zo\xC3\xAB");
  EXPECT_EQ(utf8::Sanitize("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(utf8::Sanitize("\xE4\xBD!"), "\xEF\xBF\xBD!");
  EXPECT_EQ(utf8::Sanitize("\xE9t\xE9"), "\xEF\xBF\xBDt\xEF\xBF\xBD");  // 1252
  EXPECT_EQ(utf8::Sanitize("\xF0\x9F\x98"), "\xEF\xBF\xBD");
  EXPECT_EQ(utf8::FirstInvalid("ok\xC3"), 2u);
  EXPECT_TRUE(utf8::IsValid(""));
  EXPECT_TRUE(utf8::HasMultiByteSequence("caf\xC3\xA9"));
  EXPECT_FALSE(utf8::HasMultiByteSequence("caf\xE9"));
}

TEST(Utf8SanitizeTest, RandomBytesAlwaysComeOutValid) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string text(static_cast<std::size_t>(rng() % 12), '\0');
    for (char& c : text) c = static_cast<char>(0x7E + rng() % 0x82);
    const std::string clean = utf8::Sanitize(text);
    EXPECT_TRUE(utf8::IsValid(clean));
    if (utf8::IsValid(text)) {
      EXPECT_EQ(clean, text);
    }
    for (std::size_t cut = 0; cut <= clean.size(); ++cut)
      EXPECT_TRUE(utf8::IsValid(utf8::CutPrefix(clean, cut)));
  }
}

TEST(Utf8CutTest, CutsNeverSplitACharacter) {
  const std::string text = "a\xC5\x81\xE4\xBD\xA0\xF0\x9F\x98\x80";  // aŁ你😀
  const std::size_t expected[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 10};
  for (std::size_t max = 0; max < 12; ++max)
    EXPECT_EQ(utf8::CutPrefix(text, max).size(), expected[max]) << max;
  EXPECT_EQ(CutTextIn(TextEncoding::kCodePage, text, 2).size(), 2u);
  EXPECT_EQ(CutTextIn(TextEncoding::kUtf8, text, 2).size(), 1u);
}

TEST(Utf8FoldTest, SimpleCaseFoldingWithAsciiShownUpper) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", "CAF\xC3\x89", true},                 // café, CAFÉ
      {"\xCE\xA3", "\xCF\x83", true},                       // Σ σ
      {"\xCF\x82", "\xCF\x83", true},                       // ς σ
      {"\xC7\x84", "\xC7\x85", true},                       // Ǆ ǅ
      {"\xC7\x86", "\xC7\x85", true},                       // ǆ ǅ
      {"\xE2\x84\xAA", "k", true},                          // Kelvin sign
      {"\xC5\xBF", "S", true},                              // long s
      {"\xE1\xBA\x9E", "\xC3\x9F", true},                   // ẞ ß
      {"\xC3\x9F", "ss", false},                            // no full folding
      {"\xC4\xB0", "i", false},                             // İ: Turkic only
      {"\xC4\xB1", "I", false},                             // ı
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",  // Привет
       "\xD0\xBF\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2", true},
      {"\xC5\x81ukasz", "\xC5\x82UKASZ", true},             // Łukasz
  };
  for (const Case& c : cases)
    EXPECT_EQ(utf8::Fold(c.a) == utf8::Fold(c.b), c.equal) << c.a << " / " << c.b;
  EXPECT_EQ(utf8::Fold("Hello \xC5\x81"), "HELLO \xC5\x82");
  EXPECT_EQ(static_cast<uint32_t>(FoldCode(0x212A)), uint32_t{'K'});
  EXPECT_TRUE(EqualNoCaseIn(TextEncoding::kUtf8, "\xCE\xA3", "\xCF\x82"));
  // The code page folds ASCII only, byte by byte.
  EXPECT_FALSE(EqualNoCaseIn(TextEncoding::kCodePage, "\xCE\xA3", "\xCF\x83"));
  EXPECT_TRUE(EqualNoCaseIn(TextEncoding::kCodePage, "abc", "ABC"));
}

TEST(Utf8FoldTest, FoldingIsIdempotentOverThePlane) {
  for (char32_t c = 0; c < 0x30000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    ASSERT_EQ(static_cast<uint32_t>(FoldCode(FoldCode(c))),
              static_cast<uint32_t>(FoldCode(c)))
        << std::hex << static_cast<uint32_t>(c);
  }
}

TEST(Utf8WordTest, LettersAndMarksJoinWordsButSpacelessScriptsDoNot) {
  EXPECT_TRUE(utf8::IsWordCode('a'));
  EXPECT_TRUE(utf8::IsWordCode(0x00E9));   // é
  EXPECT_TRUE(utf8::IsWordCode(0x0301));   // combining acute
  EXPECT_TRUE(utf8::IsWordCode(0x0416));   // Ж
  EXPECT_TRUE(utf8::IsWordCode(0xAC00));   // Hangul, written with spaces
  EXPECT_FALSE(utf8::IsWordCode('1'));
  EXPECT_FALSE(utf8::IsWordCode('\''));
  EXPECT_FALSE(utf8::IsWordCode(0x2014));  // dash
  EXPECT_FALSE(utf8::IsWordCode(0x4F60));  // 你
  EXPECT_FALSE(utf8::IsWordCode(0x3042));  // あ
  EXPECT_FALSE(utf8::IsWordCode(0x0E01));  // Thai
  EXPECT_FALSE(utf8::IsWordCode(0x1F600)); // 😀
  EXPECT_TRUE(utf8::WordCodeBefore("a\xC3\xA9", 3));
  EXPECT_FALSE(utf8::WordCodeBefore("a\xE2\x80\x94", 4));
  EXPECT_FALSE(utf8::WordCodeAt("ab", 2));
}

TEST(Utf8FindFoldedTest, TheMatchIsTheStretchOfTheOriginalText) {
  std::size_t offset = 0, length = 0;
  // The Kelvin sign is three bytes, its folded form one.
  ASSERT_TRUE(utf8::FindFolded("KM", "5 \xE2\x84\xAAm away", offset, length));
  EXPECT_EQ(offset, 2u);
  EXPECT_EQ(length, 4u);
  ASSERT_TRUE(utf8::FindFolded(utf8::Fold("\xC5\x82\xC3\xB3" "d\xC5\xBA"),
                               "w \xC5\x81\xC3\x93" "D\xC5\xB9!", offset, length));
  EXPECT_EQ(offset, 2u);
  EXPECT_EQ(length, 7u);
  EXPECT_FALSE(utf8::FindFolded("X", "abc", offset, length));
  ASSERT_TRUE(utf8::FindFolded("A", "bab", offset, length, 1));
  EXPECT_EQ(offset, 1u);
}

}  // namespace
}  // namespace corvane
