// Word matching, fragments, collections, extraction and learning in a
// knowledge base declared UTF-8, against the same texts in the code page.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "tests/engine/kb_builder.h"
#include "tests/temp_dir.h"
#include "text/text_util.h"
#include "text/utf8.h"

namespace corvane {
namespace {

using namespace testing_kb;

constexpr TextEncoding kUtf8 = TextEncoding::kUtf8;
constexpr TextEncoding kCodePage = TextEncoding::kCodePage;

// The whole-word rule as plainly stated, on folded texts: search, test the
// neighbouring characters, cut a rejected occurrence out, search again.
bool PlainUtf8FragmentInText(std::string_view fragment, std::string_view text) {
  const std::string f = utf8::Fold(TrimView(fragment));
  std::string t = utf8::Fold(text);
  if (f.empty()) return false;
  if (f == t) return true;
  for (;;) {
    const std::size_t i = t.find(f);
    if (i == std::string::npos) return false;
    const bool starts = !utf8::WordCodeAt(f, 0) || !utf8::WordCodeBefore(t, i);
    const bool ends = !utf8::WordCodeBefore(f, f.size()) ||
                      !utf8::WordCodeAt(t, i + f.size());
    if (starts && ends) return true;
    t.erase(i, f.size());
  }
}

TEST(Utf8FragmentInTextTest, WordsAreRunsOfLettersAndMarks) {
  struct Case {
    const char* fragment;
    const char* text;
    bool holds;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", "Un CAF\xC3\x89, s'il vous pla\xC3\xAEt", true},
      {"caf", "un caf\xC3\xA9", false},                    // é is a letter
      {"cafe", "cafe\xCC\x81 noir", false},                // so is a mark
      {"\xC3\xA9t\xC3\xA9", "l'\xC3\x89T\xC3\x89!", true}, // été
      {"Stra\xC3\x9F" "e", "die STRA\xE1\xBA\x9E" "E", true},  // ß, ẞ
      {"Stra\xC3\x9F" "e", "die STRASSE", false},          // simple folding
      {"\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",  // привет
       "\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2!", true},
      {"\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",           // ривет
       "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", false},
      {"\xCE\xBB\xCF\x8C\xCE\xB3\xCE\xBF\xCF\x82",           // λόγος
       "\xCE\x9B\xCE\x8C\xCE\x93\xCE\x9F\xCE\xA3", true},    // ΛΌΓΟΣ
      {"\xE4\xBD\xA0\xE5\xA5\xBD", "\xE4\xBD\xA0\xE5\xA5\xBD\xE5\x90\x97",
       true},                                              // 你好 in 你好吗
      {"\xC5\xBC" "ar", "\xC5\xBB" "AR\xC5\xBC" "ar dom", true},  // cut, retry
      {"\xC7\x86" "a", "\xC7\x84" "A \xC7\x85" "a", true},   // ǆa in ǄA ǅa
      {"km", "5 \xE2\x84\xAAM", true},                      // Kelvin sign
      {"i", "\xC4\xB0", false},                             // İ is not i
      {"cat", "\xE7\x8C\xAB" "cat\xE7\x8C\xAB", true},      // beside 猫
      {"cat", "\xD0\xB6" "cat", false},                     // after ж
      {"r2", "r2d2", true},
      {"  ", "a b", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FragmentInText(c.fragment, c.text, kUtf8), c.holds)
        << c.fragment << " in " << c.text;
    EXPECT_EQ(PlainUtf8FragmentInText(c.fragment, c.text), c.holds)
        << c.fragment << " in " << c.text;
  }
  // The same bytes in the code page: bytes above 0x7F separate words.
  EXPECT_TRUE(FragmentInText("caf", "un caf\xC3\xA9", kCodePage));
}

TEST(Utf8FragmentInTextTest, AgreesWithThePlainRuleOnRandomTexts) {
  const char* const pieces[] = {"a", "A", "\xC3\xA9", "\xC3\x89", "\xCC\x81",
                                " ", "-", "\xCF\x83", "\xCE\xA3", "\xCF\x82",
                                "\xE2\x84\xAA", "k", "\xE4\xBD\xA0", "1"};
  std::mt19937 rng(11);
  auto random_text = [&](int max) {
    std::string t;
    const int n = static_cast<int>(rng() % static_cast<unsigned>(max));
    for (int i = 0; i < n; ++i) t += pieces[rng() % std::size(pieces)];
    return t;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::string f = random_text(4);
    const std::string t = random_text(14);
    ASSERT_EQ(FragmentInText(f, t, kUtf8), PlainUtf8FragmentInText(f, t))
        << "'" << f << "' in '" << t << "'";
  }
}

TEST(Utf8SplitWordsTest, WordsAreUpperCasedRunsOfLetters) {
  NameList words;
  SplitWords("Zo\xC3\xAB's caf\xC3\xA9\xE2\x80\x94Stra\xC3\x9F" "e 2x \xE4\xBD\xA0\xE5\xA5\xBD",
             words, kUtf8);
  ASSERT_EQ(words.Count(), 5);
  EXPECT_EQ(words.At(0), "ZO\xC3\x8B");
  EXPECT_EQ(words.At(1), "S");
  EXPECT_EQ(words.At(2), "CAF\xC3\x89");
  EXPECT_EQ(words.At(3), "STRA\xE1\xBA\x9E" "E");  // ẞ folds back to ß
  EXPECT_EQ(words.At(4), "X");
  // Dotless ı stays itself: its upper case I would fold to i.
  NameList turkish;
  SplitWords("\xC4\xB1s\xC4\xB1k \xC4\xB0zmir", turkish, kUtf8);
  ASSERT_EQ(turkish.Count(), 2);
  EXPECT_EQ(turkish.At(0), "\xC4\xB1S\xC4\xB1K");
  EXPECT_EQ(turkish.At(1), "\xC4\xB0ZMIR");
}


// A UTF-8 brain read from language lines.
void LoadUtf8(BrainClass& brain, const std::vector<std::string>& lines) {
  brain.SetTextEncoding(kUtf8);
  brain.Seed(3);
  LoadLanguageLines(brain, lines);
}

TEST(Utf8TurnTest, PatternsAnswerInAnyScriptAndCase) {
  BrainClass brain;
  LoadUtf8(brain, {
      "For-Mode",
      "  Response {Pardon?},Just Text,{},{}",
      "For-Mode",
      "  Fragment CUSTOM,100,0, {\xC5\x82ukasz}, {}, {}",          // łukasz
      "  Response {Cze\xC5\x9B\xC4\x87, \xC5\x81ukasz!},Just Text,{},{}",
      "For-Mode",
      "  Fragment CUSTOM,100,0, {\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82}, {}, {}",
      "  Response {\xD0\x97\xD0\xB4\xD1\x80\xD0\xB0\xD0\xB2\xD1\x81\xD1\x82\xD0\xB2\xD1\x83\xD0\xB9\xD1\x82\xD0\xB5},Just Text,{},{}",
      "For-Mode",
      "  Fragment CUSTOM-Sub,100,0, {\xE4\xBD\xA0\xE5\xA5\xBD}, {}, {}",
      "  Response {\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x81},Just Text,{},{}",
      "For-Mode",
      "  Fragment CUSTOM,100,0, {\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1}, {}, {}",
      "  Response {Greek},Just Text,{},{}",
  });
  EXPECT_EQ(brain.Respond("Hi, I'm \xC5\x81UKASZ"), "Cze\xC5\x9B\xC4\x87, \xC5\x81ukasz!");
  EXPECT_EQ(brain.Respond("\xC5\x81ukaszek"), "Pardon?");
  EXPECT_EQ(brain.Respond("\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2!"),
            "\xD0\x97\xD0\xB4\xD1\x80\xD0\xB0\xD0\xB2\xD1\x81\xD1\x82\xD0\xB2\xD1\x83\xD0\xB9\xD1\x82\xD0\xB5");
  EXPECT_EQ(brain.Respond("\xE4\xBD\xA0\xE5\xA5\xBD\xE5\x90\x97"), "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x81");
  EXPECT_EQ(brain.Respond("\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x8A\xCE\x91"), "Greek");
  EXPECT_EQ(brain.Respond("\xF0\x9F\x98\x80"), "Pardon?");
}

TEST(Utf8TurnTest, ExtractedFactsAreFoundByTheirNamesAsWritten) {
  BrainClass brain;
  LoadUtf8(brain, {
      "For-Mode",
      "  Response {Pardon?},Just Text,{},{}",
      "For-Mode",
      "  Fragment EXTRACT,100,0, {jestem ^Extr{IMI\xC4\x98}}, {}, {}",
      "  Response {Cze\xC5\x9B\xC4\x87, ^Fact{IMI\xC4\x98}!},Just Text,{},{}",
      "For-Mode",
      "  Fragment CUSTOM,100,0, {kto}, {}, {}",
      "  Response {^Fact{imi\xC4\x98}/^Member{Words|1}},Just Text,{},{}",
      "For-Mode",
      "  Fragment CUSTOM,100,0, {zapisz}, {}, {}",
      "  Response {^Input{0}},Words To Collection,{Words},{}",
  });
  EXPECT_EQ(brain.Respond("JESTEM \xC5\x81ukasz"), "Cze\xC5\x9B\xC4\x87, \xC5\x81ukasz!");
  // Names compare folded, as texts do.
  EXPECT_EQ(brain.GetFact("imi\xC4\x98"), "\xC5\x81ukasz");
  EXPECT_EQ(brain.GetFact("IMI\xC4\x99"), "\xC5\x81ukasz");
  EXPECT_EQ(brain.GetFact("imi\xC4\x99"), "\xC5\x81ukasz");
  EXPECT_EQ(brain.Respond("zapisz \xC5\xBC\xC3\xB3\xC5\x82w"), "");  // Silent.
  const DataCollectionClass* words = brain.FindCollection("Words");
  ASSERT_NE(words, nullptr);
  ASSERT_EQ(words->Members.Count(), 2);
  EXPECT_GE(words->Members.IndexOf("\xC5\xBB\xC3\x93\xC5\x81W"), 0);
  // The indexed pick compares the input's words folded.
  EXPECT_EQ(brain.Respond("kto \xC5\xBC\xC3\xB3\xC5\x82w ZAPISZ"),
            "\xC5\x81ukasz/\xC5\xBB\xC3\x93\xC5\x81W");
}

TEST(Utf8TurnTest, ExtractionAndRemainderCutWhereTheFoldedTextMatched) {
  BrainClass brain;
  LoadUtf8(brain, {
      "For-Mode",
      "  Response {Pardon?},Just Text,{},{}",
      "For-Mode",
      "  Fragment EXTRACT,100,0, {mam na imi\xC4\x99 ^Extr{name}!}, {}, {}",
      "  Response {Witaj, ^Fact{name}.},Just Text,{},{}",
      "For-Mode",
      "  Fragment CUSTOM,50,0, {km}, {}, {}",
      "  Response {[^Remain{}]},Just Text,{},{}",
  });
  // The input's "IMIĘ" matches the folded literal "imię"; the fact is the
  // visitor's text between the literals, exactly.
  EXPECT_EQ(brain.Respond("Mam na IMI\xC4\x98 \xC5\x81ukasz!"), "Witaj, \xC5\x81ukasz.");
  // The Kelvin sign is three bytes and folds to one: the cut takes it all.
  EXPECT_EQ(brain.Respond("5 \xE2\x84\xAAm away"), "[5  away]");
}

TEST(Utf8TurnTest, CollectionsCompareMembersByFoldedWords) {
  BrainClass brain;
  LoadUtf8(brain, {
      "For-Mode",
      "  Response {Pardon?},Just Text,{},{}",
      "For-Mode",
      "  Fragment In Collection,100,0, {}, {Cities}, {}",
      "  Response {City: ^Member{Cities}},Just Text,{},{}",
      "For-Mode",
      "  Fragment In Collection-Sub,50,0, {}, {Cities}, {}",
      "  Response {Inside: ^MemberSub{Cities}},Just Text,{},{}",
      "Start-Collection {Cities}",
      "\xC5\x81\xC3\xB3" "d\xC5\xBA",  // Łódź
      "Krak\xC3\xB3w",
      "End-Collection",
  });
  EXPECT_EQ(brain.Respond("jad\xC4\x99 do \xC5\x81\xC3\x93" "D\xC5\xB9"), "City: \xC5\x81\xC3\xB3" "d\xC5\xBA");
  // Inside a word only the substring test holds.
  EXPECT_EQ(brain.Respond("KRAK\xC3\x93WEK"), "Inside: Krak\xC3\xB3w");
  EXPECT_EQ(brain.Respond("krakowek"), "Pardon?");
}

TEST(Utf8TurnTest, LoadedCollectionFilesHoldOnlyUtf8) {
  TempDir dir;
  dir.Write("names.txt", "Zo\xC3\xAB\r\nZo\xEB\r\n\xC5\x81ukasz\r\n");
  BrainClass brain;
  brain.SetTextEncoding(kUtf8);
  brain.SetFileRoot(dir.path());
  brain.LoadCollection("Names", "names.txt");
  const DataCollectionClass* names = brain.FindCollection("Names");
  ASSERT_NE(names, nullptr);
  ASSERT_EQ(names->Members.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(utf8::IsValid(names->Members.At(i)));
  EXPECT_GE(names->Members.IndexOf("Zo\xEF\xBF\xBD"), 0);
  // The code page keeps every byte.
  BrainClass old;
  old.SetFileRoot(dir.path());
  old.LoadCollection("Names", "names.txt");
  EXPECT_GE(old.FindCollection("Names")->Members.IndexOf("Zo\xEB"), 0);
}

TEST(Utf8TurnTest, CodePageBrainKeepsTreatingHighBytesAsSeparators) {
  BrainClass brain;
  brain.Seed(3);
  LoadLanguageLines(brain, {
      "For-Mode",
      "  Response {Pardon?},Just Text,{},{}",
      "For-Mode",
      "  Fragment CUSTOM,100,0, {caf}, {}, {}",
      "  Response {caf!},Just Text,{},{}",
  });
  EXPECT_EQ(brain.text_encoding(), kCodePage);
  EXPECT_EQ(brain.Respond("un caf\xC3\xA9"), "caf!");
}

TEST(Utf8TurnTest, LearntTextsAreCutBetweenCharacters) {
  BrainClass brain;
  LoadUtf8(brain, {
      "For-Mode",
      "  Response {Pardon?},Just Text,{},{}",
  });
  // 1,023 ASCII bytes and a two-byte letter: the cut at 1,024 bytes would
  // fall inside it.
  const std::string reply = std::string(1023, 'r') + "\xC5\x82";
  brain.CreateAutoPattern("\xC5\xBC\xC3\xB3\xC5\x82w", "70", reply);
  KnowledgeClass* mode = brain.Modes.At(0);
  ASSERT_EQ(mode->Patterns.Count(), 2);
  const PatternClass* learnt = mode->Patterns.At(1);
  ASSERT_EQ(learnt->Responses.Count(), 1);
  EXPECT_EQ(learnt->Responses.At(0)->OUTTEXT, std::string(1023, 'r'));
  EXPECT_EQ(brain.Respond("\xC5\xBB\xC3\x93\xC5\x81W"), std::string(1023, 'r'));
}

}  // namespace
}  // namespace corvane
