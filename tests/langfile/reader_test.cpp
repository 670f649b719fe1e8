#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "platform/files.h"
#include "platform/operator_messages.h"
#include "tests/langfile/worked_example.h"

namespace corvane {
namespace {

// Joins lines with CR LF, the line end the writer uses.
std::string CrLf(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

// A file in the test's temporary directory, removed at the end.
class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    static std::atomic<int> counter{0};
    path_ = testing::TempDir() + "reader_test_" + std::to_string(::getpid()) +
            "_" + std::to_string(counter++) + ".clf";
    EXPECT_TRUE(WriteFileBytes(path_, content));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct Problems {
  std::vector<std::string> messages;  // Message, then "| " + the line.
  LanguageProblemSink Sink() {
    return [this](const LanguageProblem& p) {
      messages.push_back(p.message);
      if (p.has_text) messages.push_back("| " + p.text);
    };
  }
};

std::vector<std::string> ReadFile(BrainClass& brain,
                                  const std::string& content) {
  TempFile file(content);
  Problems problems;
  LoadLanguageFile(brain, file.path(), problems.Sink());
  return problems.messages;
}

std::vector<std::string> ReadLines(BrainClass& brain,
                                   const std::vector<std::string>& lines) {
  Problems problems;
  LoadLanguageLines(brain, lines, problems.Sink());
  return problems.messages;
}

KnowledgeClass* Mode(BrainClass& brain, const std::string& name) {
  const int i = brain.ModeNames.IndexOf(name);
  return i < 0 ? nullptr : brain.Modes.At(i);
}

TEST(LanguageReaderTest, WorkedExampleBuildsTheKnowledgeBase) {
  BrainClass brain;
  EXPECT_TRUE(ReadFile(brain, WorkedExample()).empty());

  ASSERT_EQ(brain.Modes.Count(), 2);
  EXPECT_GE(brain.StateNames.IndexOf("Angry"), 0);
  KnowledgeClass* first = brain.Modes.At(0);
  ASSERT_EQ(first->Patterns.Count(), 1);
  PatternClass* greet = first->Patterns.At(0);
  EXPECT_EQ(greet->ObjectName, "GreetPattern");
  ASSERT_EQ(greet->Fragments.Count(), 1);
  EXPECT_EQ(greet->Fragments.At(0)->RELATION, rel::kCustom);
  EXPECT_EQ(greet->Fragments.At(0)->BONUS, 10);
  EXPECT_EQ(greet->Fragments.At(0)->WORDFRAG, "hello");
  ASSERT_EQ(greet->Responses.Count(), 1);
  EXPECT_EQ(greet->Responses.At(0)->RESPONSETYPE, rt::kJustText);
  ASSERT_EQ(greet->Thresholds.Count(), 1);
  EXPECT_EQ(greet->Thresholds.At(0)->THRESHFROM, 3);
  EXPECT_EQ(greet->Thresholds.At(0)->THRESHTO, 5);
  EXPECT_EQ(greet->Thresholds.At(0)->ObjectName, "Again");
  ASSERT_EQ(greet->Thresholds.At(0)->Responses.Count(), 1);
  ASSERT_EQ(greet->StateResponses.Count(), 1);
  EXPECT_EQ(greet->StateResponses.At(0)->STATE, "Angry");
  EXPECT_EQ(brain.FindNamedObject("GreetPattern"), greet);
  EXPECT_EQ(brain.FindNamedObject("Again"), greet->Thresholds.At(0));

  KnowledgeClass* quiz = Mode(brain, "Quiz");
  ASSERT_NE(quiz, nullptr);
  ASSERT_EQ(quiz->Patterns.Count(), 1);
  ResponseClass* list = quiz->Patterns.At(0)->Responses.At(0);
  EXPECT_EQ(list->RESPONSETYPE, rt::kTaskList);
  ASSERT_EQ(list->Tasks.Count(), 2);
  EXPECT_EQ(list->Tasks.At(1)->RESPONSETYPE, rt::kModeChange);
  EXPECT_EQ(list->Tasks.At(1)->THENAME, "Default");

  ASSERT_EQ(brain.Procs.Count(), 1);
  ProcClass* signup = brain.Procs.At(0);
  EXPECT_EQ(signup->Name, "Signup");
  EXPECT_EQ(signup->StartStep, "AskName");
  ASSERT_EQ(signup->Steps.Count(), 2);
  EXPECT_EQ(signup->Steps.At(0)->Prompt, "What is your name?");
  ASSERT_EQ(signup->Steps.At(0)->StepPatterns.Count(), 1);
  EXPECT_EQ(signup->Steps.At(0)->StepPatterns.At(0)->Responses.At(0)->THENAME,
            "AskAge");
  EXPECT_EQ(signup->Steps.At(1)->StepPatterns.Count(), 0);

  EXPECT_EQ(brain.GetFact("Colour"), "blue");
  DataCollectionClass* fruits = brain.FindCollection("fruits");
  ASSERT_NE(fruits, nullptr);
  ASSERT_EQ(fruits->Members.Count(), 2);
  EXPECT_EQ(fruits->Members.At(0), "apple");
  EXPECT_EQ(fruits->Members.At(1), "pear");
}

TEST(LanguageReaderTest, WorkedExampleAnswers) {
  BrainClass brain;
  ASSERT_TRUE(ReadFile(brain, WorkedExample()).empty());
  brain.Start();
  EXPECT_EQ(brain.Respond("hello"), "Hello there.");
  EXPECT_EQ(brain.Respond("Hello!"), "Hello there.");
  EXPECT_EQ(brain.Respond("hello"), "Hello again.");  // third hit: 3..5
  brain.SetState("Angry");
  EXPECT_EQ(brain.Respond("hello"), "Please calm down.");
  brain.SetMode("Quiz");
  EXPECT_EQ(brain.Respond("the answer"), "Well done.  ");
  EXPECT_EQ(brain.CurrentMode, 0);
}

TEST(LanguageReaderTest, KeywordsAreLineBeginningsWithoutWordBoundary) {
  BrainClass brain;
  EXPECT_TRUE(ReadLines(brain, {"  fact {a} = {b}", "Statement {x}",
                                "Facts and figures", "A free comment",
                                "-------Modes---------", "", "\t"})
                  .empty());
  EXPECT_EQ(brain.GetFact("a"), "b");
  EXPECT_GE(brain.StateNames.IndexOf("x"), 0);
  EXPECT_EQ(brain.GetFact(""), "");  // 'Facts and figures'
  EXPECT_EQ(brain.FactNames.Count(), 2);
  EXPECT_EQ(brain.Modes.Count(), 1);
}

TEST(LanguageReaderTest, RejectedLinesReportTheirNumberAndText) {
  struct Case {
    std::vector<std::string> lines;
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {{"Response {x},Just Text,{},{}"},
       {"Mode Error In Line 1", "| Response {x},Just Text,{},{}"}},
      {{"", "Fragment CUSTOM,1,0, {x}, {}, {}"},
       {"No Current Clause In Line 2", "| Fragment CUSTOM,1,0, {x}, {}, {}"}},
      {{"Step {A},{Prompt}"},
       {"No Current Procedure In Line 1", "| Step {A},{Prompt}"}},
      {{"Procedure {P}", "For-Step"},
       {"No Current Step In Line 2", "| For-Step"}},
      {{"Task {x},Just Text,{},{}"},
       {"No Current Response In Line 1", "| Task {x},Just Text,{},{}"}},
      // A comment that happens to begin with the word Task.
      {{"Tasks are listed below."},
       {"No Current Response In Line 1", "| Tasks are listed below."}},
      {{"Procedure {P}", "Step {S},{}", "For-Step", "  Threshold 1,2"},
       {"Can Not Add Threshold To a Procedure Step In Line 4",
        "|   Threshold 1,2"}},
      {{"Procedure {P}", "Step {S},{}", "For-Step", "For-State {Angry}"},
       {"Can Not Add State Responses To a Procedure Step In Line 4",
        "| For-State {Angry}"}},
      {{"Threshold 1,2"}, {"No Current Clause In Line 1", "| Threshold 1,2"}},
      {{"For-State {S}"}, {"No Current Clause In Line 1", "| For-State {S}"}},
      // END-COLLECTION outside a block still returns to the top block.
      {{"For-Mode", "End-Collection", "Response {x},Just Text,{},{}"},
       {"Mode Error In Line 3", "| Response {x},Just Text,{},{}"}},
  };
  for (const Case& c : cases) {
    BrainClass brain;
    EXPECT_EQ(ReadLines(brain, c.lines), c.problems) << c.lines.back();
  }
}

TEST(LanguageReaderTest, RejectedLineGoesToOperatorAsTwoMessages) {
  std::vector<std::string> shown;
  OperatorMessageHandler old = SetOperatorMessageHandler(
      [&](const std::string& text) { shown.push_back(text); });
  BrainClass brain;
  TempFile file(CrLf({"Title", "Step {A},{B}  "}));
  LoadLanguageFile(brain, file.path());
  LoadLanguageFile(brain, file.path() + ".missing");
  SetOperatorMessageHandler(std::move(old));
  const std::vector<std::string> expected = {
      "No Current Procedure In Line 2", "Step {A},{B}  ",
      "Could not open file: " + file.path() + ".missing"};
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(brain.Modes.Count(), 1);
  EXPECT_EQ(brain.StateNames.Count(), 1);
}

TEST(LanguageReaderTest, FieldScanners) {
  BrainClass brain;
  ASSERT_TRUE(ReadLines(brain, {"For-Mode", "Response {a{b}c},Just Text,{},{}",
                                "Response {Hello, you},Just Text,{},{}",
                                "Response {open brace, no close",
                                "Response {x},  just text  ,{N},{V} trailing",
                                "Response {x},Jumbo Text,{},{}",
                                "Response{tight},Mode Change,{Quiz}",
                                "Fragment  custom-sub , 7 ,x, {wf}, {nm}, {vl}",
                                "Fragment In Collection,3,2,{},{Fruits},{}",
                                "Threshold x,5", "Fact {a} junk {b} more"})
                  .empty());
  PatternClass* p = brain.Modes.At(0)->Patterns.At(0);
  ASSERT_EQ(p->Responses.Count(), 6);
  EXPECT_EQ(p->Responses.At(0)->OUTTEXT, "a{b}c");
  EXPECT_EQ(p->Responses.At(1)->OUTTEXT, "Hello, you");
  EXPECT_EQ(p->Responses.At(1)->RESPONSETYPE, rt::kJustText);
  EXPECT_EQ(p->Responses.At(2)->OUTTEXT, "open brace, no close");
  EXPECT_EQ(p->Responses.At(2)->RESPONSETYPE, rt::kNone);
  EXPECT_EQ(p->Responses.At(3)->RESPONSETYPE, rt::kJustText);
  EXPECT_EQ(p->Responses.At(3)->THENAME, "N");
  EXPECT_EQ(p->Responses.At(3)->THEVALUE, "V");
  EXPECT_EQ(p->Responses.At(4)->RESPONSETYPE, rt::kNone);
  EXPECT_EQ(p->Responses.At(5)->OUTTEXT, "tight");
  EXPECT_EQ(p->Responses.At(5)->RESPONSETYPE, rt::kModeChange);
  EXPECT_EQ(p->Responses.At(5)->THENAME, "Quiz");
  EXPECT_EQ(p->Responses.At(5)->THEVALUE, "");
  ASSERT_EQ(p->Fragments.Count(), 2);
  EXPECT_EQ(p->Fragments.At(0)->RELATION, rel::kCustomSub);
  EXPECT_EQ(p->Fragments.At(0)->BONUS, 7);
  EXPECT_EQ(p->Fragments.At(0)->PENALTY, 0);
  EXPECT_EQ(p->Fragments.At(0)->WORDFRAG, "wf");
  EXPECT_EQ(p->Fragments.At(0)->THENAME, "nm");
  EXPECT_EQ(p->Fragments.At(0)->THEVALUE, "vl");
  EXPECT_EQ(p->Fragments.At(1)->RELATION, rel::kInCollection);
  EXPECT_EQ(p->Fragments.At(1)->PENALTY, 2);
  ASSERT_EQ(p->Thresholds.Count(), 1);
  EXPECT_EQ(p->Thresholds.At(0)->THRESHFROM, 0);
  EXPECT_EQ(p->Thresholds.At(0)->THRESHTO, 5);
  EXPECT_EQ(brain.GetFact("a"), "b");
}

// A field is the run between its opening brace and the matching closing
// one; a closing brace before any opening one turns the scan into a count
// of depths that never comes back to 1, so the field takes every closing
// brace up to the end of the line.
TEST(LanguageReaderTest, BracedFieldsWithNestedAndStrayBraces) {
  BrainClass brain;
  ASSERT_TRUE(ReadLines(brain, {"FOR-mode",
                                "Response {a{b}{c}d},Just Text,{N},{V}",
                                "Response {a{b}c",
                                "Response }x{y}z{w},Just Text,{N},{V}",
                                "Response  x { {}} },Just Text",
                                "Fragment data-MATCH,1,2,{w{x}},{n},{v}",
                                "fragment in collection-sub,0,0,{},{C},{}",
                                "Fact {a{b}} = {c}"})
                  .empty());
  PatternClass* p = brain.Modes.At(0)->Patterns.At(0);
  ASSERT_EQ(p->Responses.Count(), 4);
  EXPECT_EQ(p->Responses.At(0)->OUTTEXT, "a{b}{c}d");
  EXPECT_EQ(p->Responses.At(0)->RESPONSETYPE, rt::kJustText);
  EXPECT_EQ(p->Responses.At(0)->THENAME, "N");
  EXPECT_EQ(p->Responses.At(0)->THEVALUE, "V");
  EXPECT_EQ(p->Responses.At(1)->OUTTEXT, "a{b}c");
  EXPECT_EQ(p->Responses.At(2)->OUTTEXT, "}}}}}");
  EXPECT_EQ(p->Responses.At(2)->RESPONSETYPE, rt::kNone);
  EXPECT_EQ(p->Responses.At(2)->THENAME, "");
  EXPECT_EQ(p->Responses.At(3)->OUTTEXT, " {}");
  EXPECT_EQ(p->Responses.At(3)->RESPONSETYPE, rt::kNone);
  ASSERT_EQ(p->Fragments.Count(), 2);
  EXPECT_EQ(p->Fragments.At(0)->RELATION, rel::kDataMatch);
  EXPECT_EQ(p->Fragments.At(0)->WORDFRAG, "w{x}");
  EXPECT_EQ(p->Fragments.At(0)->THENAME, "n");
  EXPECT_EQ(p->Fragments.At(1)->RELATION, rel::kInCollectionSub);
  EXPECT_EQ(p->Fragments.At(1)->THENAME, "C");
  EXPECT_EQ(brain.GetFact("a{b}"), "c");
}

TEST(LanguageReaderTest, CurrentItemsCarryAcrossSections) {
  BrainClass brain;
  ASSERT_TRUE(
      ReadLines(
          brain,
          {"Mode {A}", "For-Mode", "Fragment AND,0,0, {one}, {}, {}",
           "Mode {B}",
           // Before B's first For-Mode: still A's pattern.
           "Fragment AND,0,0, {two}, {}, {}", "Response {r},Just Text,{},{}",
           "Procedure {P}", "Step {S1},{first}", "For-Step",
           "Fragment AND,0,0, {s1}, {}, {}", "Step {S2},{second}",
           // A new step keeps the block: S1's step pattern.
           "Fragment AND,0,0, {s2}, {}, {}", "Response {sr},Just Text,{},{}",
           // A task goes to the last response read anywhere.
           "Task {t},Just Text,{},{}"})
          .empty());
  KnowledgeClass* a = Mode(brain, "A");
  KnowledgeClass* b = Mode(brain, "B");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Patterns.Count(), 0);
  ASSERT_EQ(a->Patterns.Count(), 1);
  EXPECT_EQ(a->Patterns.At(0)->Fragments.Count(), 2);
  EXPECT_EQ(a->Patterns.At(0)->Responses.Count(), 1);
  ProcClass* p = brain.Procs.At(0);
  ASSERT_EQ(p->Steps.Count(), 2);
  StepPatternClass* sp = p->Steps.At(0)->StepPatterns.At(0);
  EXPECT_EQ(sp->Fragments.Count(), 2);
  ASSERT_EQ(sp->Responses.Count(), 1);
  EXPECT_EQ(sp->Responses.At(0)->Tasks.Count(), 1);
  EXPECT_EQ(p->Steps.At(1)->StepPatterns.Count(), 0);
}

TEST(LanguageReaderTest, CollectionBlocks) {
  BrainClass brain;
  ASSERT_TRUE(
      ReadLines(brain, {"Start-Collection {Words}", "pear", "Fact {a} = {b}",
                        "  Apple  ", "APPLE", "apple", "Mode {M}", "",
                        "  end-collection", "Fact {c} = {d}"})
          .empty());
  DataCollectionClass* c = brain.FindCollection("Words");
  ASSERT_NE(c, nullptr);
  std::vector<std::string> members;
  for (int i = 0; i < c->Members.Count(); ++i)
    members.push_back(c->Members.At(i));
  // Sorted; of members equal but for case the first one read stays.
  const std::vector<std::string> expected = {"Apple", "Fact {a} = {b}",
                                             "Mode {M}", "pear"};
  EXPECT_EQ(members, expected);
  EXPECT_EQ(brain.GetFact("a"), "#");
  EXPECT_EQ(brain.GetFact("c"), "d");
  EXPECT_EQ(brain.Modes.Count(), 1);
}

TEST(LanguageReaderTest, ManyMembersInReverseOrderEndSorted) {
  std::vector<std::string> lines = {"Start-Collection {N}"};
  for (int i = 20000; i > 0; --i)
    lines.push_back("m" + std::to_string(100000 + i));
  BrainClass brain;
  ASSERT_TRUE(ReadLines(brain, lines).empty());  // No End-Collection.
  DataCollectionClass* c = brain.FindCollection("N");
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->Members.Count(), 20000);
  EXPECT_EQ(c->Members.At(0), "m100001");
  EXPECT_EQ(c->Members.At(19999), "m120000");
}

TEST(LanguageReaderTest, UnnamedItemsAreNotRegistered) {
  BrainClass brain;
  ASSERT_TRUE(ReadLines(brain, {"Start-Collection", "member", "End-Collection",
                                "Procedure", "Step {S},{p}", "For-Step",
                                "Response {r},Just Text,{},{}", "Procedure {Q}",
                                "Step {},{no name}", "For-Step",
                                "Response {r},Just Text,{},{}"})
                  .empty());
  EXPECT_EQ(brain.Collections.Count(), 0);
  ASSERT_EQ(brain.Procs.Count(), 1);
  EXPECT_EQ(brain.Procs.At(0)->Name, "Q");
  EXPECT_EQ(brain.Procs.At(0)->Steps.Count(), 0);
}

TEST(LanguageReaderTest, ReplacedItemsStayUsableForFollowingLines) {
  BrainClass brain;
  ASSERT_TRUE(
      ReadLines(
          brain,
          {"Mode {A}", "For-Mode", "Mode {A}", "Fragment AND,0,0, {x}, {}, {}",
           "Response {r},Just Text,{},{}", "Procedure {P}", "Step {S},{p}",
           "For-Step", "Step {S},{q}", "Procedure {P}",
           "Fragment AND,0,0, {y}, {}, {}", "Response {r},Just Text,{},{}",
           "Task {t},Just Text,{},{}", "Name-Object {Late}"})
          .empty());
  // The lines went to the replaced items, which the brain keeps alive.
  EXPECT_EQ(Mode(brain, "A")->Patterns.Count(), 0);
  EXPECT_EQ(brain.Procs.At(0)->Steps.Count(), 0);
  EXPECT_NE(brain.FindNamedObject("Late"), nullptr);
}

TEST(LanguageReaderTest, NameObjectAndAutoName) {
  BrainClass brain;
  const int initial = brain.NamedObjects.Count();
  ASSERT_TRUE(ReadLines(brain, {"For-Mode", "Name-Object {P1}", "Name-Object",
                                "Response {r},Just Text,{},{}", "Auto-Name"})
                  .empty());
  PatternClass* p = brain.Modes.At(0)->Patterns.At(0);
  EXPECT_EQ(p->ObjectName, "");  // Cleared by the label-less line.
  EXPECT_EQ(brain.FindNamedObject("P1"), p);
  ASSERT_EQ(brain.NamedObjects.Count(), initial + 3);
  EXPECT_EQ(brain.NamedObjects.At(initial + 1), "");
  EXPECT_EQ(brain.NamedObjects.ObjectAt(initial + 1), static_cast<Item*>(p));
  const std::string auto_name = p->Responses.At(0)->ObjectName;
  ASSERT_EQ(auto_name.size(), 15u);
  EXPECT_EQ(auto_name.substr(0, 5), "Auto-");
  EXPECT_EQ(brain.FindNamedObject(auto_name), p->Responses.At(0));

  // In a file, Auto-Name is ignored.
  BrainClass other;
  const int before = other.NamedObjects.Count();
  ASSERT_TRUE(ReadFile(other, CrLf({"For-Mode", "Auto-Name"})).empty());
  EXPECT_EQ(other.NamedObjects.Count(), before);
  EXPECT_EQ(other.Modes.At(0)->Patterns.At(0)->ObjectName, "");
}

TEST(LanguageReaderTest, EmptyLineListChangesNothing) {
  BrainClass brain;
  EXPECT_TRUE(ReadLines(brain, {}).empty());
  EXPECT_EQ(brain.Modes.Count(), 1);
}

TEST(LanguageReaderTest, LineEnds) {
  struct Case {
    const char* name;
    std::string content;
    std::vector<std::string> facts;  // name=value, in order read
  };
  const Case cases[] = {
      {"crlf", "Fact {a} = {1}\r\nFact {b} = {2}\r\n", {"a=1", "b=2"}},
      {"cr only", "Fact {a} = {1}\rFact {b} = {2}", {"a=1", "b=2"}},
      {"unix", "Fact {a} = {1}\nFact {b} = {2}\n", {"a=1", "b=2"}},
      {"unix no final end", "Fact {a} = {1}\nFact {b} = {2}", {"a=1", "b=2"}},
      // With a CR anywhere, a lone LF is an ordinary byte of its line.
      {"lone lf in cr file",
       "Fact {a} = {x\ny}\r\nFact {b} = {2}\r\n",
       {"a=x\ny", "b=2"}},
      // One LF after a CR belongs to the line end; a second one is a
      // leading byte of the next line, which trimming skips.
      {"cr lf lf", "Fact {a} = {1}\r\n\nFact {b} = {2}\r\n", {"a=1", "b=2"}},
      {"eof byte",
       "Fact {a} = {1}\r\n\x1a"
       "Fact {b} = {2}\r\n",
       {"a=1"}},
      {"eof byte unix", "Fact {a} = {1}\n\x1a\rFact {b} = {2}\n", {"a=1"}},
  };
  for (const Case& c : cases) {
    BrainClass brain;
    EXPECT_TRUE(ReadFile(brain, c.content).empty()) << c.name;
    std::vector<std::string> facts;
    for (int i = 0; i < brain.FactNames.Count(); ++i)
      facts.push_back(brain.FactNames.At(i) + "=" + brain.FactValues.At(i));
    EXPECT_EQ(facts, c.facts) << c.name;
  }
}

// Files larger than the reader's pieces (64 KiB): a line end, a line or
// the CR that decides the line ends may lie on either side of a border.
TEST(LanguageReaderTest, LargeFilesReadAcrossPieces) {
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  {
    // CR as the piece's last byte, its LF as the next piece's first: the
    // LF belongs to the line end, not to the next line.
    std::string content = "Fact {a} = {";
    content += std::string(kPiece - 1 - content.size() - 1, 'p') + "}";
    ASSERT_EQ(content.size(), kPiece - 1);
    content += "\r\nTask x\r\n";
    // A line that spans several pieces.
    content += "Fact {long} = {" + std::string(3 * kPiece, 'q') + "}\r\n";
    content += "Task y";
    BrainClass brain;
    const std::vector<std::string> expected = {
        "No Current Response In Line 2", "| Task x",
        "No Current Response In Line 4", "| Task y"};
    EXPECT_EQ(ReadFile(brain, content), expected);
    EXPECT_EQ(brain.GetFact("a"), std::string(kPiece - 14, 'p'));
    EXPECT_EQ(brain.GetFact("long"), std::string(3 * kPiece, 'q'));
  }
  {
    // The first CR comes after the first piece: the whole file has CR line
    // ends, so the LF before it is a byte of the first line.
    const std::string first = "Task\n" + std::string(kPiece + 10, 'y');
    BrainClass brain;
    const std::vector<std::string> expected = {
        "No Current Response In Line 1", "| " + first,
        "No Current Response In Line 2", "| Task"};
    EXPECT_EQ(ReadFile(brain, first + "\r\nTask\r\n"), expected);
  }
  {
    // Unix lines and CR line ends with the end byte 0x1A in a later piece.
    for (const char* end : {"\n", "\r\n"}) {
      std::string content;
      int n = 0;
      while (content.size() < 2 * kPiece)
        content += "Fact {f" + std::to_string(n++) + "} = {v}" + end;
      content += "\x1a" "Fact {after} = {v}" + std::string(end);
      BrainClass brain;
      EXPECT_TRUE(ReadFile(brain, content).empty());
      EXPECT_EQ(brain.FactNames.Count(), n) << n;
      EXPECT_EQ(brain.GetFact("f" + std::to_string(n - 1)), "v");
      EXPECT_EQ(brain.FactNames.IndexOf("after"), -1);
    }
  }
}

TEST(LanguageReaderTest, LineNumbersFollowTheLineEnds) {
  BrainClass brain;
  const std::vector<std::string> problems =
      ReadFile(brain, "x\r\n\r\ny\rStep {A},{B}\r\n");
  const std::vector<std::string> expected = {"No Current Procedure In Line 4",
                                             "| Step {A},{B}"};
  EXPECT_EQ(problems, expected);
}

TEST(LanguageReaderTest, UnreadableFile) {
  BrainClass brain;
  const std::string dir = testing::TempDir();
  const std::vector<std::string> problems = ReadFile(brain, "");
  EXPECT_TRUE(problems.empty());
  Problems sink;
  LoadLanguageFile(brain, dir, sink.Sink());
  ASSERT_EQ(sink.messages.size(), 1u);
  EXPECT_EQ(sink.messages[0], "Error reading " + dir + " at line 1");
}

TEST(LanguageReaderTest, ReadingsInTwoThreadsDoNotDisturbEachOther) {
  std::vector<std::string> lines;
  for (int i = 0; i < 2000; ++i) {
    lines.push_back("For-Mode");
    lines.push_back("Fragment CUSTOM,1,0, {w" + std::to_string(i) +
                    "}, {}, {}");
    lines.push_back("Response {r},Just Text,{},{}");
  }
  BrainClass one, two;
  std::thread t1([&] { LoadLanguageLines(one, lines); });
  std::thread t2([&] { LoadLanguageLines(two, lines); });
  t1.join();
  t2.join();
  EXPECT_EQ(one.Modes.At(0)->Patterns.Count(), 2000);
  EXPECT_EQ(two.Modes.At(0)->Patterns.Count(), 2000);
}

TEST(LanguageReaderTest, MakeCodeReadsThroughTheAttachedReader) {
  BrainClass brain;
  AttachLanguageReader(brain);
  ASSERT_TRUE(static_cast<bool>(brain.line_loader()));
  brain.line_loader()(brain, {"Fact {made} = {yes}"});
  EXPECT_EQ(brain.GetFact("made"), "yes");
}

}  // namespace
}  // namespace corvane
