// Word matching and word fragments.
#include "engine/fragment.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/error.h"
#include "engine/a1U2.h"
#include "tests/engine/kb_builder.h"
#include "text/fstr.h"
#include "text/text_util.h"

namespace corvane {
namespace {

using namespace testing_kb;

// The rule as plainly stated: search, test, cut a rejected occurrence out
// and search the shortened text again from its start.
bool PlainFragmentInText(std::string_view fragment, std::string_view text) {
  const std::string f = UpperAscii(Trim(fragment));
  std::string t = UpperAscii(text);
  if (f.empty()) return false;
  if (f == t) return true;
  while (true) {
    const int32_t p = PosNoCase(f, t);
    if (p == 0) return false;
    const std::size_t i = static_cast<std::size_t>(p - 1);
    const bool starts = i == 0 || !IsCapital(static_cast<unsigned char>(f.front())) ||
                        !IsCapital(static_cast<unsigned char>(t[i - 1]));
    const bool ends = i + f.size() == t.size() ||
                      !IsCapital(static_cast<unsigned char>(f.back())) ||
                      !IsCapital(static_cast<unsigned char>(t[i + f.size()]));
    if (starts && ends) return true;
    t.erase(i, f.size());
  }
}

TEST(FragmentInTextTest, WholeWordRules) {
  struct Case {
    const char* fragment;
    const char* text;
    bool holds;
  };
  const Case cases[] = {
      {"cat", "I like cats, and my CAT.", true},  // second one accepted
      {"cat", "concatenate", false},
      {"cat", "catcat dog", true},  // the cut leaves 'CAT DOG'
      {"ab", "aabb", true},         // the cut joins 'a' and 'b'
      {"o'clock", "it is 5 o'clock", true},
      {"u.s.", "the u.s.a", true},  // ends in a non-capital
      {"good morning", "good  morning", false},
      {"d", "r2d2", true},
      {"r2", "r2d2", true},
      {"  Hello ", "hello", true},  // fragment trimmed; whole text equal
      {"", "anything", false},
      {"   ", "   ", false},
      {"x", "", false},
      {"cat", "cat", true},
      {"cat", "scat", false},
      {"caf\xC9", "le caf\xE9!", true},  // 1252 case folding in the search
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FragmentInText(c.fragment, c.text), c.holds)
        << c.fragment << " in " << c.text;
    EXPECT_EQ(PlainFragmentInText(c.fragment, c.text), c.holds)
        << "reference: " << c.fragment << " in " << c.text;
  }
}

TEST(FragmentInTextTest, AgreesWithThePlainRuleOnRandomTexts) {
  std::mt19937 rng(12345);
  const std::string alphabet = "abAB .'1";
  for (int round = 0; round < 20000; ++round) {
    std::string fragment, text;
    const int m = 1 + static_cast<int>(rng() % (round % 7 == 0 ? 24 : 4));
    for (int i = 0; i < m; ++i) fragment.push_back(alphabet[rng() % 4]);
    if (rng() % 5 == 0) fragment.push_back(alphabet[4 + rng() % 4]);
    const int n = static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i)
      text.push_back(rng() % 3 == 0 ? alphabet[rng() % alphabet.size()]
                                    : fragment[rng() % fragment.size()]);
    ASSERT_EQ(FragmentInText(fragment, text), PlainFragmentInText(fragment, text))
        << "'" << fragment << "' in '" << text << "'";
  }
}

TEST(FragmentInTextTest, LongFragmentsUseTheHashedPathAndStillAgree) {
  std::mt19937 rng(99);
  for (int round = 0; round < 500; ++round) {
    std::string unit;
    for (int i = 0; i < 20; ++i) unit.push_back("ab"[rng() % 2]);
    std::string text;
    const int reps = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < reps; ++i) {
      text += unit;
      if (rng() % 3 == 0) text.push_back(rng() % 2 ? ' ' : 'a');
    }
    ASSERT_EQ(FragmentInText(unit, text), PlainFragmentInText(unit, text)) << text;
  }
}

TEST(SplitWordsTest, CapitalsOnlyMakeWords) {
  NameList list;
  SplitWords("Don't stop-2 ME!", list);
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.At(0), "DON");
  EXPECT_EQ(list.At(1), "T");
  EXPECT_EQ(list.At(2), "STOP");
  EXPECT_EQ(list.At(3), "ME");
  NameList none;
  SplitWords("  ...  ", none);
  EXPECT_EQ(none.Count(), 0);
  NameList rock;
  SplitWords("rock'n'roll", rock);
  EXPECT_EQ(rock.Count(), 3);
  EXPECT_EQ(rock.At(1), "N");
  NameList sorted(NameList::kSorted);
  SplitWords("b a B", sorted);
  EXPECT_EQ(sorted.Count(), 2);
  EXPECT_EQ(sorted.At(0), "A");
}

class FragmentScoreTest : public ::testing::Test {
 protected:
  int32_t ScoreOf(uint8_t relation, const std::string& text, const std::string& input,
                  int32_t bonus = 7, int32_t penalty = 3, const std::string& name = "",
                  const std::string& value = "") {
    PatternClass* p = NewPattern(brain_);
    WordFragmentClass* f = AddFragment(p, relation, text, bonus, penalty, name, value);
    f->ObjectName = "F" + std::to_string(++counter_);
    brain_.LastFrag.clear();
    const int32_t score = f->Score(brain_.turn(), input);
    EXPECT_EQ(brain_.LastFrag, f->ObjectName);
    return score;
  }
  BrainClass brain_;
  int counter_ = 0;
};

TEST_F(FragmentScoreTest, ScoringTableByKind) {
  EXPECT_EQ(ScoreOf(rel::kAnd, "cat", "a cat"), 100);
  EXPECT_EQ(ScoreOf(rel::kAnd, "cat", "a dog"), -100);
  EXPECT_EQ(ScoreOf(rel::kOr, "cat", "a cat"), 50);
  EXPECT_EQ(ScoreOf(rel::kOr, "cat", "a dog"), 0);
  EXPECT_EQ(ScoreOf(rel::kNot, "cat", "a cat"), -100);
  EXPECT_EQ(ScoreOf(rel::kNot, "cat", "a dog"), 100);
  EXPECT_EQ(ScoreOf(rel::kNot, "", "a dog"), 100);   // empty never holds
  EXPECT_EQ(ScoreOf(rel::kAnd, "  ", "a dog"), -100);
  EXPECT_EQ(ScoreOf(rel::kCustom, "cat", "a cat"), 7);
  EXPECT_EQ(ScoreOf(rel::kCustom, "cat", "a dog"), -3);
  EXPECT_EQ(ScoreOf(rel::kCustomSub, "cat", "concatenate"), 7);
  EXPECT_EQ(ScoreOf(rel::kCustom, "cat", "concatenate"), -3);
  EXPECT_EQ(ScoreOf(rel::kVolition, "12", "x"), 0);
  EXPECT_EQ(ScoreOf(rel::kInitialize, "cat", "cat"), 0);
  EXPECT_EQ(ScoreOf(rel::kExternal, "cat", "cat"), 0);
}

TEST_F(FragmentScoreTest, DataStateCollectionAndOutputKinds) {
  // A missing fact reads "#", so a value of "#" holds exactly then.
  EXPECT_EQ(ScoreOf(rel::kDataMatch, "", "", 5, 2, "colour", "#"), 5);
  brain_.SetFact("colour", "Blue");
  EXPECT_EQ(ScoreOf(rel::kDataMatch, "", "", 5, 2, "COLOUR", "blue"), 5);
  EXPECT_EQ(ScoreOf(rel::kDataMatch, "", "", 5, 2, "colour", "red"), -2);
  EXPECT_EQ(ScoreOf(rel::kStateMatch, "", "", 5, 2, "normal"), 5);
  brain_.ClearState();
  EXPECT_EQ(ScoreOf(rel::kStateMatch, "", "", 5, 2, ""), 5);
  EXPECT_EQ(ScoreOf(rel::kInCollection, "", "red car", 5, 2, "colours"), -2);
  brain_.AddMember("colours", "red");
  EXPECT_EQ(ScoreOf(rel::kInCollection, "", "red car", 5, 2, "colours"), 5);
  EXPECT_EQ(ScoreOf(rel::kInCollection, "", "redcar", 5, 2, "colours"), -2);
  EXPECT_EQ(ScoreOf(rel::kInCollectionSub, "", "redcar", 5, 2, "colours"), 5);
  brain_.Say("The answer is yes.");
  brain_.Say("Something else.");
  // An ordinary word reads as position 0: the newest output.
  EXPECT_EQ(ScoreOf(rel::kOutMatch, "else", "", 5, 2), 5);
  EXPECT_EQ(ScoreOf(rel::kOutMatch, "yes", "", 5, 2), -2);
}

TEST_F(FragmentScoreTest, ExtractSetsFactsInTheInputsCase) {
  EXPECT_EQ(ScoreOf(rel::kExtract, "my name is ^Extr{name}",
                    "Hello, my name is Ann Lee ", 9, 1),
            9);
  EXPECT_EQ(brain_.GetFact("name"), "Ann Lee");
  EXPECT_EQ(ScoreOf(rel::kExtract, "my name is ^Extr{name}", "no name", 9, 1), -1);
}

TEST_F(FragmentScoreTest, NegatingTheMostNegativePenaltyOverflows) {
  PatternClass* p = NewPattern(brain_);
  WordFragmentClass* f =
      AddFragment(p, rel::kCustom, "cat", 0, -2147483647 - 1);
  EXPECT_THROW(f->Score(brain_.turn(), "dog"), OverflowError);
  EXPECT_EQ(f->Score(brain_.turn(), "cat"), 0);
}

}  // namespace
}  // namespace corvane
