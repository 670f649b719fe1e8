#include "engine/macros.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "engine/a1U2.h"
#include "text/fstr.h"

namespace corvane {
namespace {

std::string Expand(BrainClass& brain, const std::string& text,
                   const std::string& input = "") {
  return brain.ExpandMacros(text, input, nullptr, nullptr);
}

DataCollectionClass* AddCollection(BrainClass& brain, const std::string& name,
                                   const std::vector<std::string>& members,
                                   bool sorted = true) {
  auto c = std::make_unique<DataCollectionClass>();
  c->CollectionName = name;
  if (!sorted) c->Members.SetUnsorted();
  for (const std::string& m : members) c->Members.Add(m);
  return brain.AddCollection(name, std::move(c));
}

WordFragmentClass* AddWord(PatternClass& pattern, const std::string& word) {
  auto f = std::make_unique<WordFragmentClass>();
  f->WORDFRAG = word;
  f->RELATION = rel::kCustom;
  f->BONUS = 10;
  return pattern.AddFragment(std::move(f));
}

PatternClass* AddPattern(BrainClass& brain,
                         const std::vector<std::string>& words,
                         const std::string& reply) {
  PatternClass* p =
      brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  for (const std::string& w : words) AddWord(*p, w);
  auto r = std::make_unique<ResponseClass>();
  r->RESPONSETYPE = rt::kJustText;
  r->OUTTEXT = reply;
  p->AddResponse(std::move(r));
  return p;
}

TEST(FormatGeneralRealTest, FixedAndScientificForms) {
  struct Case {
    long double value;
    const char* text;
  };
  const Case cases[] = {
      {0.0L, "0"},
      {-0.0L, "0"},
      {3.5L, "3.5"},
      {-2.0L, "-2"},
      {100.0L, "100"},
      {1e17L, "1E17"},
      {5e-5L, "5E-5"},
      {1.5e20L, "1.5E20"},
      {-1.5e20L, "-1.5E20"},
      {0.0001L, "0.0001"},  // lowest fixed magnitude
      {0.00012345L, "0.00012345"},
      {1e15L, "1E15"},  // first scientific magnitude
      {999999999999999.0L, "999999999999999"},
      {999999999999999.9L, "1E15"},  // rounds up into scientific
      {1.0L / 3.0L, "0.333333333333333"},
      {2.0L / 3.0L, "0.666666666666667"},
      {123456789012345678.0L, "1.23456789012346E17"},
      {0.1L + 0.2L, "0.3"},
      {1e400L, "1E400"},
      {1.25e-300L, "1.25E-300"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FormatGeneralReal(c.value), c.text) << c.text;
}

TEST(ArithmeticTest, ValuesOfTheFourRows) {
  struct Case {
    const char* text;
    const char* value;
  };
  const Case cases[] = {
      {"^Add{2|3}", "5"},
      {"^Div{7|2}", "3.5"},
      {"^Sub{5|7}", "-2"},
      {"^Add{abc|def}", "abcdef"},
      {"^Add{5}", "5"},
      {"^Add{|5}", "|5"},  // "|" first: no split, not a number
      {"^Add{|5|3}", "|5|3"},
      {"^Add{1|2|3}", "12|3"},      // right "2|3" is no number
      {"^Add{ a | b }", " a  b "},  // concatenation keeps the blanks
      {"^Div{$7|$2}", "3"},         // two integers: integer division
      {"^Div{-$7|$2}", "-3"},       // truncated toward zero
      {"^Div{$7|2}", "3.5"},        // one real makes it real
      {"^Add{0x10|$10}", "32"},
      {"^Add{x10|1}", "17"},
      {"^Mul{ 4 | 2.5 }", "10"},
      {"^Sub{0.3|0.1}", "0.2"},
      {"^Mul{1e200|1e200}", "1E400"},  // extended range
      {"^Add{1e-5|0}", "1E-5"},
      {"^Div{1|3}", "0.333333333333333"},
      {"^Add{$C521974F|1}", "$C521974F1"},   // the reader's marker
      {"^Add{-987654321|1}", "-987654320"},  // a decimal is a real
      {"^Div{1|0}", ""},
      {"^Div{0|0}", ""},
      {"^Div{$1|$0}", ""},
      {"^Mul{1e4000|1e4000}", ""},      // beyond the long double range
      {"^Add{1e99999|1}", "1e999991"},  // unreadable real: concatenated
      {"^ADD{2|3}^mul{2|3}", "56"},
  };
  for (const Case& c : cases) {
    BrainClass brain;
    EXPECT_EQ(Expand(brain, c.text), c.value) << c.text;
  }
}

TEST(ArithmeticTest, IntegerResultsOutside32BitsRaiseOverflow) {
  const char* texts[] = {"^Add{$7FFFFFFF|$1}", "^Sub{$80000000|$1}",
                         "^Mul{$10000|$10000}", "^Div{$80000000|$FFFFFFFF}"};
  for (const char* t : texts) {
    BrainClass brain;
    EXPECT_THROW(Expand(brain, t), OverflowError) << t;
  }
  BrainClass brain;
  EXPECT_EQ(Expand(brain, "^Add{$7FFFFFFF|$0}"), "2147483647");
  EXPECT_EQ(Expand(brain, "^Sub{$80000000|$0}"), "-2147483648");
}

TEST(ClassifyOperandTest, RealFirstThenInteger) {
  EXPECT_EQ(ClassifyOperand(" 12 ").kind, OperandKind::kReal);
  EXPECT_EQ(ClassifyOperand("1.5e3").kind, OperandKind::kReal);
  EXPECT_EQ(ClassifyOperand("$1F").kind, OperandKind::kInteger);
  EXPECT_EQ(ClassifyOperand("$1F").integer, 31);
  EXPECT_EQ(ClassifyOperand("$FFFFFFFF").integer, -1);
  EXPECT_EQ(ClassifyOperand("$C521974F").kind, OperandKind::kNotANumber);
  EXPECT_EQ(ClassifyOperand("").kind, OperandKind::kNotANumber);
  EXPECT_EQ(ClassifyOperand("1,5").kind, OperandKind::kNotANumber);
  EXPECT_EQ(ClassifyOperand("$100000000").kind, OperandKind::kNotANumber);
}

TEST(ExpandMacrosTest, OpeningsArgumentsAndRowOrder) {
  BrainClass brain;
  brain.SetFact("x", "4");
  brain.SetFact(" x", "blank");
  brain.SetFact("n", "1");
  brain.SetFact("Cap", "C");
  brain.RecordInput("older input");
  brain.RecordInput("this input");
  brain.LastPat = "P7";
  struct Case {
    const char* text;
    const char* result;
  };
  const Case cases[] = {
      {"^fact{x}", "4"},
      {"^FACT{x}", "4"},
      {"a^Fact{y}b", "a#b"},
      {"^Fact{ x}", "blank"},  // the name is not trimmed
      {"^Fact{cap}", "C"},     // fact names ignore case
      {"^Foo{x}", "^Foo{x}"},
      {"^ {x} { } ^", "^ {x} { } ^"},
      {"^Extr{name}", "^Extr{name}"},
      {"^Add{^Fact{x}|1}", "5"},
      {"^Input{^Fact{n}}", "older input"},  // fact row first
      {"^Fact{^Input{0}}", "#}"},  // outer argument ends at inner brace
      {"^Input{}", "this input"},
      {"^Input{ 1}", "older input"},
      {"^Input{1 }", "this input"},  // trailing blank: not an integer
      {"^Input{2}", ""},
      {"^State{}", "Normal"},
      {"^sTaTe{}", "Normal"},
      {"^State{ }", "^State{ }"},
      {"^State{x}", "^State{x}"},
      {"^LastPat{}", "P7"},
      {"^LastPat{} ^LastResp{}.", "P7 ."},
      {"^SysFact{nothing}", "*"},
      {"^SysFact{time }", "*"},
      {"^^Fact{x}", "^4"},
      {"^Fa^Fact{x}", "^Fa4"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Expand(brain, c.text), c.result) << c.text;
}

TEST(ExpandMacrosTest, ValuesAreExpandedByLaterRowsOnly) {
  BrainClass brain;
  AddCollection(brain, "c", {"see ^Fact{x}"});
  brain.SetFact("x", "4");
  brain.SetFact("f", "^MemberX{c|0}");
  brain.SetFact("g", "[^Fact{x}]");
  // A fact's value goes through the later rows; a member's text is
  // produced after the fact row and keeps ^Fact{ literally.
  EXPECT_EQ(Expand(brain, "^Fact{f}"), "see ^Fact{x}");
  // A value bringing its own row back is expanded in turn.
  EXPECT_EQ(Expand(brain, "^Fact{g}"), "[4]");
  // A value that completes an opening in front of it.
  brain.SetFact("h", "ct{x}");
  EXPECT_EQ(Expand(brain, "^Fa^Fact{h}"),
            "4");  // the search restarts before it
  brain.SetFact("k", "Fact{x}");
  EXPECT_EQ(Expand(brain, "^^Fact{k}"), "4");
}

TEST(ExpandMacrosTest, RecallsHistoriesAndSaidTexts) {
  BrainClass brain;
  brain.Say("first reply");
  EXPECT_EQ(Expand(brain, "after ^LastOut{0}"), "after first reply");
  brain.Say("second");
  EXPECT_EQ(Expand(brain, "^LastOut{1}|^LastOut{0}"), "first reply|second");
  EXPECT_EQ(Expand(brain, "^LastOut{x}"), "second");
}

TEST(ExpandMacrosTest, RememberedMemberPicksLastOneTurn) {
  BrainClass brain;
  DataCollectionClass* colors =
      AddCollection(brain, "colors", {"red", "blue", "green"});
  brain.LastInput = 100;
  EXPECT_EQ(Expand(brain, "^Member{colors}", "red or blue"), "blue");
  // Same turn: same pick, even with another input or changed members.
  EXPECT_EQ(Expand(brain, "^Member{COLORS}", "green"), "blue");
  colors->Members.Delete(0);
  EXPECT_EQ(Expand(brain, "^Member{colors}^Member{colors}", "green"),
            "blueblue");
  // Next turn: computed anew.
  brain.LastInput = 101;
  EXPECT_EQ(Expand(brain, "^Member{colors}", "green"), "green");
  brain.LastInput = 102;
  EXPECT_EQ(Expand(brain, "^Member{colors}", ""), "~");
  EXPECT_EQ(Expand(brain, "^Member{colors}", "nothing"), "~");  // remembered
  // With an index it always computes, and sets the pick of the turn.
  brain.LastInput = 103;
  EXPECT_EQ(Expand(brain, "^Member{colors}", "red"), "red");
  EXPECT_EQ(Expand(brain, "^Member{colors|1} ^Member{colors}", "green and red"),
            "red red");
  EXPECT_EQ(Expand(brain, "^Member{colors|0}/^Member{colors}", "green and red"),
            "green/green");
  EXPECT_EQ(Expand(brain, "[^Member{nosuch}]", "red"), "[]");
  // ^MemberSub keeps its own pick.
  brain.LastInput = 104;
  EXPECT_EQ(Expand(brain, "^MemberSub{colors}", "greenish"), "green");
  EXPECT_EQ(Expand(brain, "^MemberSub{colors} ^Member{colors}", "reddish"),
            "green ~");
  brain.LastInput = 105;
  EXPECT_EQ(Expand(brain, "^MemberSub{colors}", "reddish"), "red");
  EXPECT_EQ(Expand(brain, "^Members{colors}", ""), "");
  EXPECT_EQ(Expand(brain, "^Members{colors}", "x"), "green, red");
}

TEST(ExpandMacrosTest, TwoTurnsInATightLoopGetFreshPicks) {
  BrainClass brain;
  AddCollection(brain, "colors", {"red", "blue"});
  AddPattern(brain, {"color"}, "You said ^Member{colors}.");
  // Turns closer together than a clock tick still differ in LastInput.
  EXPECT_EQ(brain.Respond("red color"), "You said red.");
  EXPECT_EQ(brain.Respond("blue color"), "You said blue.");
  EXPECT_EQ(brain.Respond("red color"), "You said red.");
}

TEST(ExpandMacrosTest, IndexedPickAgreesWithTheCollection) {
  BrainClass brain;
  DataCollectionClass* c =
      AddCollection(brain, "c", {"red", "dark red", "blue", "Red2", "green"});
  const char* inputs[] = {
      "red and blue and red", "RED",     "", "  ", "dark red",
      "blue-green",           "red2 red"};
  const char* indexes[] = {"0", "1", "2", " 1 ", "-1", "x", "", "$1"};
  for (const char* in : inputs)
    for (const char* ix : indexes) {
      brain.LastInput += 1;
      EXPECT_EQ(Expand(brain, std::string("^Member{c|") + ix + "}", in),
                c->IndexedWordMember(in, ix))
          << in << " | " << ix;
    }
}

TEST(ExpandMacrosTest, MemberZPrefersCandidatesNamedInTheInput) {
  BrainClass brain;
  brain.Seed(7);
  AddCollection(brain, "A", {"red", "blue"});
  AddCollection(brain, "B", {"red car", "blue sky", "green tree"});
  AddCollection(brain, "D", {"red car", "red car", "blue sky"}, false);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Expand(brain, "^MemberZ{A|B}", "look at the SKY"), "blue sky");
  std::map<std::string, int> seen;
  for (int i = 0; i < 2000; ++i)
    ++seen[Expand(brain, "^MemberZ{a|b}", "nothing")];
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_GT(seen["red car"], 800);
  EXPECT_GT(seen["blue sky"], 800);
  // Distinct candidates: the repeated member is not drawn twice as often.
  seen.clear();
  for (int i = 0; i < 2000; ++i) ++seen[Expand(brain, "^MemberZ{A|D}", "")];
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_GT(seen["blue sky"], 800);
  EXPECT_EQ(Expand(brain, "[^MemberZ{A|none}]", "sky"), "[]");
  EXPECT_EQ(Expand(brain, "[^MemberZ{none|B}]", "sky"), "[]");
  AddCollection(brain, "E", {"purple rain"});
  EXPECT_EQ(Expand(brain, "[^MemberZ{A|E}]", "rain"), "[]");
  // Without "|" it is ^MemberX{.
  BrainClass one, two;
  one.Seed(11);
  two.Seed(11);
  AddCollection(one, "B", {"a", "b", "c", "d", "e", "f", "g", "h"});
  AddCollection(two, "B", {"a", "b", "c", "d", "e", "f", "g", "h"});
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Expand(one, "^MemberZ{B}"), Expand(two, "^MemberX{B}"));
  EXPECT_EQ(Expand(one, "^MemberX{B|2}^MemberX{B|x}[^MemberX{B|9}]"), "ca[]");
}

TEST(ExpandMacrosTest, RemainderOfPatternAndStepPattern) {
  BrainClass brain;
  PatternClass* p = AddPattern(brain, {"open", "door"}, "x");
  EXPECT_EQ(
      brain.ExpandMacros("[^Remain{}]", "Please open the door", p, nullptr),
      "[Please  the ]");
  EXPECT_EQ(Expand(brain, "[^Remain{}]", "Please open the door"),
            "[^Remain{}]");
  // The input itself holds ^Remain{}: the remainder is computed once, and
  // inside that computation ^Remain{} stays as it is.
  EXPECT_EQ(brain.ExpandMacros("^Remain{}", "open ^Remain{} door", p, nullptr),
            " ^Remain{} ");
  EXPECT_EQ(brain.ExpandMacros("open ^Remain{} door", "open ^Remain{} door", p,
                               nullptr),
            "open  ^Remain{}  door");

  auto proc = std::make_unique<ProcClass>();
  ProcClass* pr = brain.AddProc("P", std::move(proc));
  StepClass* step = pr->AddStep("S", std::make_unique<StepClass>());
  StepPatternClass* sp =
      step->AddStepPattern(std::make_unique<StepPatternClass>());
  auto f = std::make_unique<WordFragmentClass>();
  f->WORDFRAG = "yes";
  f->RELATION = rel::kCustom;
  sp->AddFragment(std::move(f));
  EXPECT_EQ(brain.ExpandMacros("<^Remain{}>", "oh yes please", nullptr, sp),
            "<oh  please>");
}

TEST(ExpandMacrosTest, TerminationChoices) {
  BrainClass brain;
  brain.SetFact("a", "A");
  brain.SetFact("loop", "^Fact{loop}");
  brain.SetFact("grow", "a^Fact{grow}");
  // No closing brace: the rest stays and the expansion ends.
  EXPECT_EQ(Expand(brain, "^Fact{a} ^State{} ^Fact{b"), "A ^State{} ^Fact{b");
  EXPECT_EQ(Expand(brain, "^Fact{a} ^Add{1|2"), "A ^Add{1|2");
  EXPECT_EQ(Expand(brain, "^Add{1|2} ^Fact{b"), "^Add{1|2} ^Fact{b");
  // A value that brings its macro back stops the row; later rows go on.
  EXPECT_EQ(Expand(brain, "^Fact{loop}^State{}"), "^Fact{loop}Normal");
  const std::string grown = Expand(brain, "^Fact{grow}");
  EXPECT_EQ(grown,
            std::string(kMaxMacroReplacementsPerRow + 1, 'a') + "^Fact{grow}");
  // Openings the text itself holds do not count against that bound.
  std::string many;
  for (int i = 0; i < 3 * kMaxMacroReplacementsPerRow; ++i) many += "^Fact{a}";
  EXPECT_EQ(Expand(brain, many),
            std::string(3 * kMaxMacroReplacementsPerRow, 'A'));
  // The working text does not grow beyond its cap.
  brain.SetFact("big", std::string(1 << 20, 'b') + "^Fact{big}");
  const std::string big = Expand(brain, "^Fact{big}^State{}");
  EXPECT_LE(big.size(), kMaxExpandedText);
  EXPECT_GT(big.size(), kMaxExpandedText - (2u << 20));
  EXPECT_EQ(big.substr(big.size() - 16), "^Fact{big}Normal");
}

TEST(TestConditionTest, OperatorsNumbersAndTexts) {
  struct Case {
    const char* condition;
    bool holds;
  };
  const Case cases[] = {
      {"5 = 5.0", true},  {"abc = ABC", false}, {"b > a", true},
      {" yes ", true},    {"", false},          {"3<=3", true},
      {"TRUE", true},     {"Yess", false},      {"no", false},
      {"10 > 9", true},   {"10 > 9x", false},  // texts: "1" < "9"
      {"ab < abc", true}, {"abc >= ab", true},  {"a <= ", false},
      {"2 >= 1e0", true}, {"-1 < $1", false},  // $1 is no real: "-" > "$"
      {"c=b>=a", true},   // ">=" is tried before "=": "c=b" >= "a"
      {"1<2>=3", false},  // ">=" before "<": "1<2" against "3" as texts
      {"x = x", true},    {"\xe9 > z", true},  // bytes compare unsigned
  };
  for (const Case& c : cases) {
    BrainClass brain;
    EXPECT_EQ(brain.TestCondition(c.condition), c.holds)
        << "'" << c.condition << "'";
  }
}

TEST(CollectionTestsTest, WordAndSubstringMembers) {
  BrainClass brain;
  AddCollection(brain, "colours", {"red", "dark red", "blue"});
  EXPECT_TRUE(brain.CollectionHasWord("COLOURS", "I like Dark Red shoes"));
  EXPECT_FALSE(brain.CollectionHasWord("colours", "redness"));
  EXPECT_TRUE(brain.CollectionHasSubstring("colours", "redness"));
  EXPECT_FALSE(brain.CollectionHasWord("colours", ""));
  EXPECT_FALSE(brain.CollectionHasSubstring("colours", ""));
  EXPECT_FALSE(brain.CollectionHasWord("nosuch", "red"));
  EXPECT_FALSE(brain.CollectionHasSubstring("nosuch", "red"));
}

// ---- The fast row loop against the plain one ----

// The expansion exactly as the rule states it: per row, find the first
// occurrence from the start, replace, and search again from the start.
// Only rows whose values are deterministic are fed to it.
std::string ReferenceValue(BrainClass& brain, int row, const std::string& arg) {
  switch (row) {
    case 0:
      return brain.GetFact(arg);
    case 1:
      return brain.SystemValue(arg);
    case 4: {
      DataCollectionClass* c = brain.FindCollection(arg);
      return c ? c->AllMembers("input") : std::string();
    }
    case 7:
      return brain.CurrentStateName();
    case 9:
      return brain.RecallInput(arg);
    case 10:
      return brain.RecallOutput(arg);
    case 11:
      return brain.LastPat;
    case 18:
      return ArithmeticValue('+', arg);
    case 20:
      return ArithmeticValue('*', arg);
    case 21:
      return ArithmeticValue('/', arg);
    default:
      ADD_FAILURE() << "row " << row << " in a reference text";
  }
  return std::string();
}

std::string ReferenceExpand(BrainClass& brain, std::string w) {
  for (int row = 0; row < static_cast<int>(kMacroRows.size()); ++row) {
    const MacroRow& m = kMacroRows[row];
    const std::string opening(m.opening);
    if (PosNoCase(opening, w) == 0) continue;
    int budget = kMaxMacroReplacementsPerRow;
    for (std::size_t p = w.find('^'); p != std::string::npos;
         p = w.find('^', p + 1))
      if (PosNoCase(opening, w.substr(p, opening.size())) == 1) ++budget;
    for (int done = 0;; ++done) {
      const int32_t p = PosNoCase(opening, w);
      if (p == 0) break;
      const std::size_t start = static_cast<std::size_t>(p - 1);
      std::size_t end = start + opening.size();
      std::string arg;
      if (m.has_argument) {
        const std::size_t brace = w.find('}', start);
        if (brace == std::string::npos) return w;
        arg = w.substr(end, brace - end);
        end = brace + 1;
      }
      if (done == budget) break;
      w = w.substr(0, start) + ReferenceValue(brain, row, arg) + w.substr(end);
    }
  }
  return w;
}

TEST(ExpandMacrosTest, AgreesWithThePlainRowLoopOnRandomTexts) {
  BrainClass brain;
  brain.SetFact("a", "[^Fact{b}]");
  brain.SetFact("b", "^Fa");
  brain.SetFact("1", "ct{a}");
  brain.SetFact("x", "^Add{1|");
  brain.SetFact("ab", "}");
  brain.SetFact("loop", "^fact{loop}");
  brain.SetFact("}", "^State{}");
  brain.RecordInput("^Fact{a}");
  brain.RecordOutput("out^");
  brain.LastPat = "^Fact{";
  AddCollection(brain, "m", {"^Fact{x}", "^Div{1|"});
  const char* pieces[] = {"^Fact{",     "^fact{",  "^FACT{",  "^SysFact{",
                          "^State{}",   "^state{", "^Input{", "^LastOut{",
                          "^LastPat{}", "^Add{",   "^Mul{",   "^Div{",
                          "^Members{",  "}",       "}",       "}",
                          "{",          "^",       "^",       "|",
                          "1",          "2",       "$1",      "0",
                          "a",          "b",       "x",       "m",
                          " ",          "^Fa",     "ct{",     "ab",
                          "loop",       "}",       "}",       "^Fact{loop}"};
  const int n_pieces = sizeof pieces / sizeof pieces[0];
  std::mt19937 gen(12345);
  for (int trial = 0; trial < 400; ++trial) {
    std::string text;
    const int len = std::uniform_int_distribution<int>(1, 30)(gen);
    for (int i = 0; i < len; ++i)
      text += pieces[std::uniform_int_distribution<int>(0, n_pieces - 1)(gen)];
    std::string expected, actual;
    bool expected_overflow = false, actual_overflow = false;
    try {
      expected = ReferenceExpand(brain, text);
    } catch (const OverflowError&) {
      expected_overflow = true;
    }
    try {
      actual = brain.ExpandMacros(text, "input", nullptr, nullptr);
    } catch (const OverflowError&) {
      actual_overflow = true;
    }
    ASSERT_EQ(actual_overflow, expected_overflow) << text;
    ASSERT_EQ(actual, expected) << text;
  }
}

}  // namespace
}  // namespace corvane
