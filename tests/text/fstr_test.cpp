#include "text/fstr.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/error.h"
#include "text/text_util.h"

namespace corvane {
namespace {

TEST(PosNoCaseTest, FindsLeftmostMatchIgnoringCase) {
  struct Case {
    const char* needle;
    const char* text;
    int pos;
  };
  const Case cases[] = {
      {"LINE", "a line", 3}, {"ab", "xAb", 2},  {"abc", "ab", 0},
      {"", "abc", 0},        {"a", "", 0},      {"aab", "aaab", 2},
      {"b", "abab", 2},      {"\xC9", "caf\xE9", 4},  // 1252 e-acute
  };
  for (const Case& c : cases)
    EXPECT_EQ(PosNoCase(c.needle, c.text), c.pos) << c.needle << " in " << c.text;
}

TEST(PosNoCaseTest, AsciiUpperCasingLeavesAccentsAlone) {
  EXPECT_EQ(UpperAscii("caf\xE9"), "CAF\xE9");
  EXPECT_EQ(FastStrings::PosNoCase("\xE9", "\xC9t\xE9"), 1);
}

TEST(PosNoCaseAtTest, StartCountsFromTextStartAndPreconditionsRaise) {
  EXPECT_EQ(PosNoCaseAt("a", "banana", 3), 4);
  EXPECT_EQ(PosNoCaseAt("a", "banana", 6), 6);
  EXPECT_EQ(PosNoCaseAt("x", "banana", 1), 0);
  try {
    PosNoCaseAt("a", "banana", 0);
    FAIL() << "no assertion error";
  } catch (const AssertionError& e) {
    EXPECT_STREQ(e.what(), "Assertion failure (FStr, line 331)");
  }
  EXPECT_THROW(PosNoCaseAt("a", "banana", 7), RangeError);
  try {
    FastStrings::PosNoCaseFrom("text", "t", 0);
    FAIL() << "no assertion error";
  } catch (const AssertionError& e) {
    EXPECT_STREQ(e.what(), "Assertion failure (FastStrings, line 447)");
  }
}

TEST(PosNoCaseTest, LongNeedlesAgreeWithPlainSearch) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string text, needle;
    const int n = 20 + static_cast<int>(rng() % 200);
    for (int i = 0; i < n; ++i) text.push_back("aAb"[rng() % 3]);
    const int m = 33 + static_cast<int>(rng() % 20);
    for (int i = 0; i < m; ++i) needle.push_back("aAb"[rng() % 3]);
    if (rng() % 2 && n > m) needle = text.substr(rng() % (n - m), m);
    const std::string ut = UpperAscii(text), un = UpperAscii(needle);
    const std::size_t expect = ut.find(un);
    EXPECT_EQ(PosNoCase(needle, text),
              expect == std::string::npos ? 0 : static_cast<int>(expect) + 1);
  }
}

// Short needles jump between the bytes that fold to their first byte:
// one kind for most bytes, two for letters, including the Windows-1252
// pairs whose lower case lies below the upper (0x9A and 0x8A) or far
// from it (0xFF and 0x9F).
TEST(PosNoCaseTest, ShortNeedlesAgreeWithFoldedSearch) {
  const auto& table = FStr::Module().table();
  auto fold = [&](std::string s) {
    for (char& c : s) c = static_cast<char>(table[static_cast<unsigned char>(c)]);
    return s;
  };
  const char alphabet[] = {'a', 'A', 'b', '^', '\x8A', '\x9A',
                           '\x9F', '\xFF', '\xC9', '\xE9', '\xD7', '\xF7'};
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    std::string text, needle;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) text.push_back(alphabet[rng() % sizeof alphabet]);
    const int m = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < m; ++i) needle.push_back(alphabet[rng() % sizeof alphabet]);
    if (rng() % 2 && n > m) needle = text.substr(rng() % (n - m), m);
    const std::size_t expect = fold(text).find(fold(needle));
    ASSERT_EQ(PosNoCase(needle, text),
              expect == std::string::npos ? 0 : static_cast<int>(expect) + 1)
        << "round " << round;
  }
}

TEST(CopyTextTest, ClampsAndRejects) {
  EXPECT_EQ(CopyText("hello", 2, 3), "ell");
  EXPECT_EQ(CopyText("hello", 4, 10), "lo");
  EXPECT_EQ(CopyText("hello", 0, 3), "");
  EXPECT_EQ(CopyText("hello", 6, 1), "");
  EXPECT_EQ(CopyText("hello", 2, 0), "");
  EXPECT_EQ(CopyText("hello", 2, -1), "");
  EXPECT_EQ(CopyText("", 1, 1), "");
  EXPECT_THROW(CopyText("hello", 2, 2147483647), OverflowError);
}

TEST(ToIntOrZeroTest, ForgivingConversion) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case cases[] = {
      {" 42 ", 42},          {"-7", -7},          {"$1F", 31},
      {"x1f", 31},           {"0X1F", 31},        {"12abc", 0},
      {"", 0},               {"2147483648", 0},   {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},           {"$FFFFFFFF", -1},
      {"$100000000", 0},     {"+5", 5},           {"4x", 0},
      {"\t9\r", 9},          {"$", 0},            {"-", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ToIntOrZero(c.text), c.value) << c.text;
  EXPECT_EQ(ToIntOrZeroLeading("  5"), 5);
  EXPECT_EQ(ToIntOrZeroLeading("5 "), 0);
}

TEST(TrimTest, RemovesControlBytesNotOnlyBlanks) {
  EXPECT_EQ(Trim("\t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("\x01x "), "x ");
  EXPECT_EQ(Trim("\x7F"), "\x7F");  // DEL is above 0x20
}

}  // namespace
}  // namespace corvane
