// The reader records the file and line of every item it creates; items
// created by a conversation (lines read by "Make Code", learnt patterns)
// carry no location.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

int64_t LineOf(const Item& item) {
  return item.source().from_file() ? item.source().line : -1;
}

TEST(SourceLocationTest, EveryItemTheReaderCreatesKnowsItsLine) {
  TempDir dir;
  // CR LF line ends with a lone LF inside line 3: the LF does not end it.
  const std::vector<std::string> lines = {
      "Comment",                                // 1
      "State {Busy}",                           // 2
      "Fact {Name} = {a\nb}",                   // 3
      "Mode {Talk}",                            // 4
      "For-Mode",                               // 5
      "  Fragment CUSTOM,10,0, {hi}, {}, {}",   // 6
      "  Response {Hi.},Task List,{},{}",       // 7
      "    Task {},Assignment,{A},{b}",         // 8
      "  Threshold 2,3",                        // 9
      "    Response {Again.},Just Text,{},{}",  // 10
      "  For-State {Busy}",                     // 11
      "    Response {Busy.},Just Text,{},{}",   // 12
      "Procedure {P}",                          // 13
      "Step {S},{Prompt}",                      // 14
      "  For-Step",                             // 15
      "    Fragment OR,0,0, {x}, {}, {}",       // 16
      "    Response {X.},Just Text,{},{}",      // 17
      "Start-Collection {C}",                   // 18
      "member",                                 // 19
      "End-Collection",                         // 20
      "Fact {name} = {c}",                      // 21
  };
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  dir.Write("kb.clf", text);
  const std::string path = dir.File("kb.clf");

  BrainClass brain;
  LoadLanguageFile(brain, path, [](const LanguageProblem&) {});
  ASSERT_EQ(brain.Modes.Count(), 2);
  const KnowledgeClass* mode = brain.Modes.At(1);
  EXPECT_EQ(LineOf(*mode), 4);
  EXPECT_EQ(*mode->source().file, path);
  EXPECT_EQ(LineOf(*brain.Modes.At(0)), -1);  // Built in, not read.
  const PatternClass* pattern = mode->Patterns.At(0);
  EXPECT_EQ(LineOf(*pattern), 5);
  EXPECT_EQ(LineOf(*pattern->Fragments.At(0)), 6);
  EXPECT_EQ(LineOf(*pattern->Responses.At(0)), 7);
  EXPECT_EQ(LineOf(*pattern->Responses.At(0)->Tasks.At(0)), 8);
  EXPECT_EQ(LineOf(*pattern->Thresholds.At(0)), 9);
  EXPECT_EQ(LineOf(*pattern->Thresholds.At(0)->Responses.At(0)), 10);
  EXPECT_EQ(LineOf(*pattern->StateResponses.At(0)), 11);
  EXPECT_EQ(LineOf(*pattern->StateResponses.At(0)->Responses.At(0)), 12);
  const ProcClass* proc = brain.Procs.At(0);
  EXPECT_EQ(LineOf(*proc), 13);
  const StepClass* step = proc->Steps.At(0);
  EXPECT_EQ(LineOf(*step), 14);
  EXPECT_EQ(LineOf(*step->StepPatterns.At(0)), 15);
  EXPECT_EQ(LineOf(*step->StepPatterns.At(0)->Fragments.At(0)), 16);
  EXPECT_EQ(LineOf(*step->StepPatterns.At(0)->Responses.At(0)), 17);
  EXPECT_EQ(LineOf(*brain.FindCollection("C")), 18);
  // A fact set twice (names ignore case) is where it was set last.
  ASSERT_NE(brain.FactSource("NAME"), nullptr);
  EXPECT_EQ(brain.FactSource("NAME")->line, 21);
  EXPECT_EQ(brain.FactSource("Other"), nullptr);
}

TEST(SourceLocationTest, LinesOfAConversationHaveNoLocation) {
  BrainClass brain;
  LoadLanguageLines(brain,
                    {"For-Mode", "  Fragment CUSTOM,10,0, {a}, {}, {}",
                     "  Response {A.},Just Text,{},{}", "Fact {F} = {v}"});
  const PatternClass* pattern = brain.Modes.At(0)->Patterns.At(0);
  EXPECT_FALSE(pattern->source().from_file());
  EXPECT_FALSE(pattern->Fragments.At(0)->source().from_file());
  EXPECT_FALSE(pattern->Responses.At(0)->source().from_file());
  EXPECT_EQ(brain.FactSource("F"), nullptr);
}

TEST(SourceLocationTest, LearntPatternsHaveNoLocation) {
  TempDir dir;
  dir.Write(
      "kb.clf",
      "For-Mode\n"
      "  Fragment CUSTOM,10,0, {teach}, {}, {}\n"
      "  Response {Taught.},Create AutoPattern,{new words},{New reply}\n");
  BrainClass brain;
  AttachLanguageReader(brain);
  LoadLanguageFile(brain, dir.File("kb.clf"), [](const LanguageProblem&) {});
  brain.Respond("teach");
  const KnowledgeClass* mode = brain.Modes.At(0);
  ASSERT_EQ(mode->Patterns.Count(), 2);
  EXPECT_EQ(LineOf(*mode->Patterns.At(0)), 1);
  EXPECT_FALSE(mode->Patterns.At(1)->source().from_file());
}

}  // namespace
}  // namespace corvane
