// Name lists given the folding of a UTF-8 knowledge base: lookups, the hash
// index of long lists, sorted order and repeats, copies, and the code-page
// lists that must stay as they were.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/name_list.h"
#include "text/utf8.h"

namespace corvane {
namespace {

const NameFolding* Unicode() { return NameFoldingFor(TextEncoding::kUtf8); }

// Longer than any list searched entry by entry, so lookups use the index.
constexpr int kIndexedLength = 40;

TEST(NameFoldingTest, CodePageHasNoFoldingOfItsOwn) {
  EXPECT_EQ(NameFoldingFor(TextEncoding::kCodePage), nullptr);
  EXPECT_NE(Unicode(), nullptr);
  EXPECT_EQ(NameList().folding(), nullptr);
}

TEST(NameFoldingTest, LookupsFindCasePairsOfEveryScript) {
  struct Case {
    const char* stored;
    const char* asked;
    bool found;
  };
  const Case cases[] = {
      {"\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91",  // ΣΟΦΊΑ
       "\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1", true},  // σοφία
      {"\xCE\xBB\xCF\x8C\xCE\xB3\xCE\xBF\xCF\x82",  // λόγος, final ς
       "\xCE\x9B\xCE\x8C\xCE\x93\xCE\x9F\xCE\xA3", true},  // ΛΌΓΟΣ
      {"\xC7\x84" "x", "\xC7\x85" "x", true},        // Ǆx, ǅx
      {"\xC7\x86" "x", "\xC7\x84" "X", true},        // ǆx, ǄX
      {"\xC3\x89" "clair", "\xC3\xA9" "CLAIR", true},  // Éclair, éCLAIR
      {"\xC4\xB0zmir", "izmir", false},              // İ is not i
      {"\xC4\xB0zmir", "\xC4\xB0ZMIR", true},
      {"\xC4\xB1", "I", false},                      // nor is ı I
      {"Stra\xC3\x9F" "e", "STRASSE", false},        // ß is not ss
      {"Stra\xC3\x9F" "e", "stra\xE1\xBA\x9E" "e", true},  // ẞ is ß
      {"5 \xE2\x84\xAA", "5 k", true},               // the Kelvin sign
      {"Miasto", "MIASTO", true},
      {"caf\xC3\xA9", "cafe", false},
      {"caf\xC3\xA9", "caf", false},                 // a prefix is not equal
  };
  for (const Case& c : cases) {
    for (const NameList::Order order : {NameList::kUnsorted, NameList::kSorted}) {
      NameList list(order, Unicode());
      list.Add("aaa");
      list.Add(c.stored);
      list.Add("zzz");
      EXPECT_EQ(list.IndexOf(c.asked) >= 0, c.found)
          << c.stored << " / " << c.asked << " sorted " << (order == NameList::kSorted);
    }
    // The index of a long list agrees.
    NameList long_list(NameList::kUnsorted, Unicode());
    for (int i = 0; i < kIndexedLength; ++i) long_list.Add("n" + std::to_string(i));
    long_list.Add(c.stored);
    EXPECT_EQ(long_list.IndexOf(c.asked) >= 0, c.found) << c.stored << " / " << c.asked;
    if (c.found) {
      EXPECT_EQ(long_list.IndexOf(c.asked), kIndexedLength);
    }
  }
}

TEST(NameFoldingTest, CodePageListsFoldOnlyAToZ) {
  for (const NameList::Order order : {NameList::kUnsorted, NameList::kSorted}) {
    NameList list(order);
    list.Add("\xC3\x89" "clair");  // Éclair as UTF-8 bytes
    list.Add("\xC3\xA9" "clair");  // éclair
    list.Add("\xC9" "clair");      // É in the code page
    list.Add("\xE9" "clair");      // é in the code page
    EXPECT_EQ(list.Count(), 4) << "sorted " << (order == NameList::kSorted);
    EXPECT_EQ(list.IndexOf("\xC9" "CLAIR") >= 0, true);
    EXPECT_EQ(list.IndexOf("\xE9" "CLAIR"), list.IndexOf("\xE9" "clair"));
    EXPECT_NE(list.IndexOf("\xE9" "clair"), list.IndexOf("\xC9" "clair"));
  }
  // The code page orders bytes above 0x7F after the letters, as values.
  NameList sorted(NameList::kSorted);
  for (const char* name : {"\xE9", "\xC9", "z", "A"}) sorted.Add(name);
  ASSERT_EQ(sorted.Count(), 4);
  EXPECT_EQ(sorted.At(0), "A");
  EXPECT_EQ(sorted.At(1), "z");
  EXPECT_EQ(sorted.At(2), "\xC9");
  EXPECT_EQ(sorted.At(3), "\xE9");
}

TEST(NameFoldingTest, SortedListsOrderByFoldedBytesAndKeepTheFirstSpelling) {
  NameList list(NameList::kSorted, Unicode());
  list.Add("\xC3\x89" "clair");                  // Éclair
  EXPECT_EQ(list.Add("\xC3\xA9" "clair"), 0);    // éclair: the same
  list.Add("eclair");
  list.Add("\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1");  // σοφία
  list.Add("Zebra");
  list.Add("\xC3\xB6l");                          // öl
  // Folded: ECLAIR < ZEBRA < ÉCLAIR (C3 A9) < ÖL (C3 B6) < σοφία (CF 83).
  ASSERT_EQ(list.Count(), 5);
  EXPECT_EQ(list.At(0), "eclair");
  EXPECT_EQ(list.At(1), "Zebra");
  EXPECT_EQ(list.At(2), "\xC3\x89" "clair");
  EXPECT_EQ(list.At(3), "\xC3\xB6l");
  EXPECT_EQ(list.At(4), "\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1");
  EXPECT_EQ(list.IndexOf("\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91"), 4);
  EXPECT_EQ(list.IndexOf("\xC3\x96L"), 3);

  // Upper-case É (C3 89) would sort before é (C3 A9) unfolded; folded,
  // both take é's place, whichever spelling came first.
  NameList other(NameList::kSorted, Unicode());
  other.Add("\xC3\xA9" "a");   // éa
  other.Add("\xC3\x89" "b");   // Éb
  other.Add("\xC3\xA0");       // à (C3 A0)
  ASSERT_EQ(other.Count(), 3);
  EXPECT_EQ(other.At(0), "\xC3\xA0");
  EXPECT_EQ(other.At(1), "\xC3\xA9" "a");
  EXPECT_EQ(other.At(2), "\xC3\x89" "b");
}

TEST(NameFoldingTest, AddManyDropsLaterSpellingsOfOneName) {
  NameList list(NameList::kSorted, Unicode());
  list.Add("\xC7\x85" "a");  // ǅa, there first
  list.AddMany({"\xC7\x84" "A", "\xC3\xA9", "\xC7\x86" "a", "\xC3\x89", "b"});
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.At(0), "b");
  EXPECT_EQ(list.At(1), "\xC3\xA9");
  EXPECT_EQ(list.At(2), "\xC7\x85" "a");
}

TEST(NameFoldingTest, AddManyAndAddAgreeOnRandomNames) {
  // Letters whose foldings differ in length, case pairs and plain ASCII.
  const std::vector<std::string> pieces = {
      "a", "A", "z", "\xC3\xA9", "\xC3\x89", "\xCF\x83", "\xCF\x82",
      "\xCE\xA3", "\xE2\x84\xAA", "k", "\xC8\xBA", "\xE2\xB1\xA5", "\xC4\xB0",
      "i", "\xFF"};  // the last is no UTF-8 at all
  std::mt19937 random(11);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::string> names;
    for (int n = 0; n < 30; ++n) {
      std::string name;
      const int length = 1 + static_cast<int>(random() % 3);
      for (int k = 0; k < length; ++k) name += pieces[random() % pieces.size()];
      names.push_back(name);
    }
    NameList one(NameList::kSorted, Unicode());
    for (const std::string& name : names) one.Add(name);
    NameList many(NameList::kSorted, Unicode());
    many.AddMany(names);
    ASSERT_EQ(one.entries().size(), many.entries().size());
    for (int i = 0; i < one.Count(); ++i) {
      EXPECT_EQ(one.At(i), many.At(i));
      // The order is that of the folded texts, with no two equal.
      if (i > 0) {
        EXPECT_LT(utf8::Fold(one.At(i - 1)), utf8::Fold(one.At(i)));
      }
      EXPECT_EQ(one.IndexOf(utf8::Fold(one.At(i))), i);
    }
  }
}

TEST(NameFoldingTest, CompareFoldedAgreesWithComparingTheFoldedTexts) {
  const std::vector<std::string> texts = {
      "", "a", "A", "ab", "aB\xC3\xA9", "AB\xC3\x89", "ab\xC3",  // cut É
      "\xC3\x89", "\xC3\xA9", "\xE2\x84\xAA", "K", "k", "\xC8\xBA",
      "\xE2\xB1\xA5", "\xFF", "\xC3\x28", "\xCF\x82", "\xCF\x83", "\xCE\xA3",
      "\xF0\x9F\x98\x80", "\xEF\xBF\xBD"};
  for (const std::string& a : texts)
    for (const std::string& b : texts) {
      const int expected = utf8::Fold(a).compare(utf8::Fold(b));
      const int got = utf8::CompareFolded(a, b);
      EXPECT_EQ(expected < 0, got < 0) << a << " / " << b;
      EXPECT_EQ(expected == 0, got == 0) << a << " / " << b;
    }
}

TEST(NameFoldingTest, LongListsKeepTheirIndexExactThroughChanges) {
  NameList list(NameList::kUnsorted, Unicode());
  for (int i = 0; i < kIndexedLength; ++i) list.Add("n" + std::to_string(i));
  list.Add("\xCE\xA3\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1");  // Σοφία at 40
  list.Add("\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1");  // σοφία at 41
  EXPECT_EQ(list.IndexOf("\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91"), 40);
  list.Add("\xC3\xA9t\xC3\xA9");  // été, appended with the index built
  EXPECT_EQ(list.IndexOf("\xC3\x89T\xC3\x89"), 42);
  // Deleting the first spelling leaves the second as the first of its name.
  list.Delete(40);
  EXPECT_EQ(list.IndexOf("\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91"), 40);
  EXPECT_EQ(list.At(40), "\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1");
  EXPECT_EQ(list.IndexOf("\xC3\x89T\xC3\x89"), 41);
  list.SetName(41, "\xC3\x96l");
  EXPECT_EQ(list.IndexOf("\xC3\xB6L"), 41);
  EXPECT_EQ(list.IndexOf("\xC3\xA9t\xC3\xA9"), -1);
}

TEST(NameFoldingTest, CopiesAndMovesKeepTheFolding) {
  NameList list(NameList::kSorted, Unicode());
  list.Add("\xC3\x89" "clair");
  const NameList copy = list;
  EXPECT_EQ(copy.folding(), Unicode());
  EXPECT_EQ(copy.IndexOf("\xC3\xA9" "CLAIR"), 0);
  NameList assigned;
  assigned = copy;
  EXPECT_EQ(assigned.IndexOf("\xC3\xA9" "CLAIR"), 0);
  NameList moved(std::move(assigned));
  EXPECT_EQ(moved.folding(), Unicode());
  EXPECT_EQ(moved.Add("\xC3\xA9" "clair"), 0);
  EXPECT_EQ(moved.Count(), 1);
  moved.Clear();
  EXPECT_EQ(moved.folding(), Unicode());
}

TEST(NameFoldingTest, GivingASortedListTheFoldingResortsAndDropsRepeats) {
  NameList list(NameList::kSorted);
  list.Add("\xC3\xA9" "b");  // éb
  list.Add("\xC3\x89" "a");  // Éa: distinct under ASCII folding, and first
  list.Add("\xC3\x89" "B");  // ÉB
  list.Add("z");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.At(1), "\xC3\x89" "a");
  list.SetFolding(Unicode());
  // Folded: Z < ÉA < ÉB; of ÉB and éb the first in the old order stays.
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.At(0), "z");
  EXPECT_EQ(list.At(1), "\xC3\x89" "a");
  EXPECT_EQ(list.At(2), "\xC3\x89" "B");
  EXPECT_EQ(list.IndexOf("\xC3\xA9" "B"), 2);
  // An unsorted list keeps its order and entries.
  NameList unsorted;
  unsorted.Add("\xC3\xA9");
  unsorted.Add("\xC3\x89");
  unsorted.SetFolding(Unicode());
  EXPECT_EQ(unsorted.Count(), 2);
  EXPECT_EQ(unsorted.IndexOf("\xC3\x89"), 0);
}

}  // namespace
}  // namespace corvane
