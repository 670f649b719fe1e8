// Field scanning and attachment cases that the reader's main tests leave
// open: closing braces met before a field's opening brace, a field followed
// by something other than a comma, and item lines in the top block after a
// collection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"

namespace corvane {
namespace {

std::vector<std::string> ReadLines(BrainClass& brain,
                                   const std::vector<std::string>& lines) {
  std::vector<std::string> shown;
  LoadLanguageLines(brain, lines, [&](const LanguageProblem& p) {
    shown.push_back(p.message);
    if (p.has_text) shown.push_back(p.text);
  });
  return shown;
}

TEST(LanguageReaderFieldTest, BracedFieldEdgeCases) {
  struct Case {
    const char* line;
    const char* name;   // the fact's name
    const char* value;  // and its value
  };
  const Case cases[] = {
      // A "}" before any "{" lowers the depth below 0 and is kept; the
      // braces after it then only climb back to 0, so the rest of the
      // line is read as that one field and the value stays empty.
      {"Fact x} {a} = {b}", "}}}", ""},
      // An unclosed inner brace swallows the following field.
      {"Fact {p{q} = {r}", "p{q} = {r}", ""},
      // A comma after the field, blanks before it, is consumed; the text
      // before the next brace is skipped.
      {"Fact {k}   ,  x {v}", "k", "v"},
      {"Fact{tight}={t}", "tight", "t"},
  };
  for (const Case& c : cases) {
    BrainClass brain;
    EXPECT_TRUE(ReadLines(brain, {c.line}).empty()) << c.line;
    ASSERT_EQ(brain.FactNames.Count(), 1) << c.line;
    EXPECT_EQ(brain.FactNames.At(0), c.name) << c.line;
    EXPECT_EQ(brain.FactValues.At(0), c.value) << c.line;
  }
}

TEST(LanguageReaderFieldTest, TypeFieldRunsToTheNextComma) {
  BrainClass brain;
  ASSERT_TRUE(ReadLines(brain, {"For-Mode", "Response {a} Just Text,{b},{c}",
                                "Response {a},Just Text {b},{c}"})
                  .empty());
  PatternClass* p = brain.Modes.At(0)->Patterns.At(0);
  ASSERT_EQ(p->Responses.Count(), 2);
  // No comma after OUTTEXT: the type field still starts after it.
  EXPECT_EQ(p->Responses.At(0)->RESPONSETYPE, rt::kJustText);
  EXPECT_EQ(p->Responses.At(0)->THENAME, "b");
  EXPECT_EQ(p->Responses.At(0)->THEVALUE, "c");
  // The type field takes "Just Text {b}", which names no type, and so
  // swallows THENAME's braces.
  EXPECT_EQ(p->Responses.At(1)->RESPONSETYPE, rt::kNone);
  EXPECT_EQ(p->Responses.At(1)->THENAME, "c");
  EXPECT_EQ(p->Responses.At(1)->THEVALUE, "");
}

TEST(LanguageReaderFieldTest, TopBlockAfterCollectionKeepsTheCurrentPattern) {
  BrainClass brain;
  const std::vector<std::string> shown =
      ReadLines(brain, {"For-Mode", "Start-Collection {C}", "m",
                        "End-Collection", "Response {lost},Just Text,{},{}",
                        "Fragment OR,1,1, {f}, {}, {}", "Threshold 1,2",
                        "Response {kept},Just Text,{},{}", "End-Collection",
                        "For-State {S}", "Response {s},Just Text,{},{}"});
  const std::vector<std::string> expected = {"Mode Error In Line 5",
                                             "Response {lost},Just Text,{},{}"};
  EXPECT_EQ(shown, expected);
  PatternClass* p = brain.Modes.At(0)->Patterns.At(0);
  EXPECT_EQ(p->Responses.Count(), 0);
  // Fragments, thresholds and state responses need only a current
  // pattern, not a pattern block, and each opens its own block.
  ASSERT_EQ(p->Fragments.Count(), 1);
  EXPECT_EQ(p->Fragments.At(0)->WORDFRAG, "f");
  ASSERT_EQ(p->Thresholds.Count(), 1);
  EXPECT_EQ(p->Thresholds.At(0)->Responses.Count(), 1);
  ASSERT_EQ(p->StateResponses.Count(), 1);
  EXPECT_EQ(p->StateResponses.At(0)->Responses.Count(), 1);
}

}  // namespace
}  // namespace corvane
