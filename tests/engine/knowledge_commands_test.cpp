#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "tests/engine/kb_builder.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The members of a collection joined by "|"; "(none)" when it is missing.
std::string Members(const BrainClass& brain, const std::string& name) {
  const DataCollectionClass* c = brain.FindCollection(name);
  if (c == nullptr) return "(none)";
  std::string joined;
  for (const NameList::Entry& e : c->Members.entries())
    joined += (joined.empty() ? "" : "|") + e.name;
  return joined;
}

void Fill(BrainClass& brain, const std::string& name,
          const std::vector<std::string>& members, bool sorted = true) {
  DataCollectionClass* c = brain.FindOrCreateCollection(name);
  if (!sorted) c->Members.SetUnsorted();
  for (const std::string& m : members) c->Members.Add(m);
}

bool IsAutoName(const std::string& label) {
  if (label.size() != 15 || label.compare(0, 5, "Auto-") != 0) return false;
  for (char c : label.substr(5))
    if (c < 'A' || c > 'Y') return false;
  return true;
}

ResponseClass* AddCommand(PatternClass& pattern, uint8_t type,
                          const std::string& out, const std::string& name = "",
                          const std::string& value = "") {
  return testing_kb::AddResponse(&pattern, type, out, name, value);
}

// A pattern of the first mode that fires on `word`.
PatternClass* AddTrigger(BrainClass& brain, const std::string& word) {
  PatternClass* p = testing_kb::NewPattern(brain);
  testing_kb::AddFragment(p, rel::kCustom, word, 10);
  return p;
}

TEST(CreateAutoPatternTest, BuildsOnePatternFromTheWordsAndAnswersNextInput) {
  BrainClass brain;
  const int registered = brain.NamedObjects.Count();
  brain.LastFrag = "stale";
  brain.CreateAutoPattern("Hello, hello world!", " 5", "Hi there.");

  KnowledgeClass* mode = brain.Modes.At(0);
  ASSERT_EQ(mode->Patterns.Count(), 1);
  PatternClass* p = mode->Patterns.At(0);
  ASSERT_EQ(p->Fragments.Count(), 3);
  const char* words[] = {"HELLO", "HELLO", "WORLD"};
  for (int i = 0; i < 3; ++i) {
    const WordFragmentClass* f = p->Fragments.At(i);
    EXPECT_EQ(f->WORDFRAG, words[i]);
    EXPECT_EQ(f->RELATION, rel::kCustom);
    EXPECT_EQ(f->BONUS, 5);
    EXPECT_EQ(f->PENALTY, 0);
    EXPECT_EQ(f->ObjectName, "");
  }
  ASSERT_EQ(p->Responses.Count(), 1);
  const ResponseClass* r = p->Responses.At(0);
  EXPECT_EQ(r->RESPONSETYPE, rt::kJustText);
  EXPECT_EQ(r->OUTTEXT, "Hi there.");
  EXPECT_TRUE(IsAutoName(p->ObjectName)) << p->ObjectName;
  EXPECT_TRUE(IsAutoName(r->ObjectName)) << r->ObjectName;
  EXPECT_NE(p->ObjectName, r->ObjectName);
  EXPECT_EQ(p->HITCOUNT, 0);
  EXPECT_EQ(brain.NamedObjects.Count(), registered + 2);
  EXPECT_EQ(brain.FindNamedObject(p->ObjectName), p);
  EXPECT_EQ(brain.LastPat, p->ObjectName);
  EXPECT_EQ(brain.LastResp, r->ObjectName);
  EXPECT_EQ(brain.LastFrag, "");

  EXPECT_EQ(brain.Respond("well, hello"), "Hi there.");
  EXPECT_EQ(p->HITCOUNT, 1);
}

TEST(CreateAutoPatternTest, BonusIsReadUntrimmedAndWordlessTextsCreateNothing) {
  struct Case {
    const char* bonus;
    int32_t expected;
  };
  const Case cases[] = {{"7", 7}, {"  7", 7}, {"7 ", 0},
                        {"x", 0}, {"", 0},    {"-3", -3}};
  for (const Case& c : cases) {
    BrainClass brain;
    brain.CreateAutoPattern("cat", c.bonus, "Meow.");
    ASSERT_EQ(brain.Modes.At(0)->Patterns.Count(), 1);
    EXPECT_EQ(brain.Modes.At(0)->Patterns.At(0)->Fragments.At(0)->BONUS,
              c.expected)
        << "'" << c.bonus << "'";
  }

  BrainClass brain;
  brain.CreateAutoPattern("", "1", "No.");
  brain.CreateAutoPattern("42 ... ?!", "1", "No.");
  EXPECT_TRUE(brain.Modes.At(0)->Patterns.empty());
  EXPECT_EQ(brain.NamedObjects.Count(), 1);

  // Into the current mode, not the first.
  brain.AddMode("Second", std::make_unique<KnowledgeClass>());
  brain.CurrentMode = 1;
  brain.CreateAutoPattern("dog", "1", "Woof.");
  EXPECT_TRUE(brain.Modes.At(0)->Patterns.empty());
  EXPECT_EQ(brain.Modes.At(1)->Patterns.Count(), 1);
}

TEST(LearningTest, AddResponseAndFragmentExtendTheLastPattern) {
  BrainClass brain;
  brain.AddResponseToLastPattern("Nothing to extend.");  // LastPat empty
  brain.AddFragmentToLastPattern("nothing", "1");
  EXPECT_EQ(brain.NamedObjects.Count(), 1);

  brain.CreateAutoPattern("morning", "1", "Morning!");
  PatternClass* p = brain.Modes.At(0)->Patterns.At(0);
  brain.AddResponseToLastPattern("");  // empty text: nothing
  brain.AddFragmentToLastPattern("", "1");
  brain.AddResponseToLastPattern("Good morning to you.");
  brain.AddFragmentToLastPattern("good morning", "3 ");
  brain.AddFragmentToLastPattern("Top of the Morning", " 4");
  ASSERT_EQ(p->Responses.Count(), 2);
  const ResponseClass* added = p->Responses.At(1);
  EXPECT_EQ(added->OUTTEXT, "Good morning to you.");
  EXPECT_EQ(added->RESPONSETYPE, rt::kJustText);
  EXPECT_TRUE(IsAutoName(added->ObjectName));
  EXPECT_EQ(brain.LastResp, added->ObjectName);
  ASSERT_EQ(p->Fragments.Count(), 3);
  const WordFragmentClass* f = p->Fragments.At(1);
  EXPECT_EQ(f->WORDFRAG, "good morning");  // not split, case kept
  EXPECT_EQ(f->RELATION, rel::kCustom);
  EXPECT_EQ(f->BONUS, 0);
  EXPECT_EQ(p->Fragments.At(2)->WORDFRAG, "Top of the Morning");
  EXPECT_EQ(p->Fragments.At(2)->BONUS, 4);
  EXPECT_TRUE(IsAutoName(p->Fragments.At(2)->ObjectName));
  EXPECT_EQ(brain.LastFrag, p->Fragments.At(2)->ObjectName);
  EXPECT_EQ(brain.FindNamedObject(brain.LastFrag), p->Fragments.At(2));

  // LastPat naming something that is not a pattern: nothing.
  brain.LastPat = "MyBrain";
  brain.AddResponseToLastPattern("lost");
  brain.LastPat = "nobody";
  brain.AddFragmentToLastPattern("lost", "1");
  EXPECT_EQ(p->Responses.Count(), 2);
  EXPECT_EQ(p->Fragments.Count(), 3);
}

TEST(CollectionCommandsTest, WordsToCollectionFollowsTheListsRules) {
  BrainClass brain;
  Fill(brain, "Sorted", {"hello"});
  brain.WordsToCollection("Hello there, hello!", "Sorted");
  EXPECT_EQ(Members(brain, "Sorted"), "hello|THERE");

  Fill(brain, "Loose", {"hello"});
  brain.SetUnsorted("loose");
  brain.WordsToCollection("Hello there, hello!", "Loose");
  EXPECT_EQ(Members(brain, "Loose"), "hello|HELLO|THERE|HELLO");

  brain.WordsToCollection("1, 2, 3!", "Fresh");  // created without words
  EXPECT_EQ(Members(brain, "Fresh"), "");
  brain.WordsToCollection("words", "");  // no name: nothing created
  EXPECT_EQ(brain.Collections.Count(), 3);
}

TEST(CollectionCommandsTest, MergeAndParseNeedTheirSource) {
  BrainClass brain;
  brain.MergeCollection("Missing", "Target");
  brain.ParseCollection("Missing", "Target", "anything");
  EXPECT_EQ(Members(brain, "Target"), "(none)");

  Fill(brain, "Cities", {"Paris", "new york", "york"});
  brain.ParseCollection("cities", "Seen", "I love New York!");
  EXPECT_EQ(Members(brain, "Seen"), "new york|york");
  brain.ParseCollection("Cities", "Glued", "newyork and Parisian");
  EXPECT_EQ(Members(brain, "Glued"), "");  // created, but nothing found

  Fill(brain, "Sorted", {"PARIS", "Rome"});
  brain.MergeCollection("Cities", "Sorted");
  EXPECT_EQ(Members(brain, "Sorted"), "new york|PARIS|Rome|york");
  Fill(brain, "Loose", {"paris"}, /*sorted=*/false);
  brain.MergeCollection("Cities", "Loose");
  EXPECT_EQ(Members(brain, "Loose"), "paris|new york|Paris|york");
  brain.MergeCollection("Loose", "Loose");  // itself: doubled, once
  EXPECT_EQ(Members(brain, "Loose"),
            "paris|new york|Paris|york|paris|new york|Paris|york");
  brain.MergeCollection("Cities", "New");
  EXPECT_EQ(Members(brain, "New"), "new york|Paris|york");
}

TEST(CollectionCommandsTest, ClearAndSetUnsortedTouchOnlyExistingOnes) {
  BrainClass brain;
  brain.ClearCollection("Ghost");
  brain.SetUnsorted("Ghost");
  EXPECT_EQ(brain.Collections.Count(), 0);

  Fill(brain, "Pets", {"dog", "cat"});
  brain.SetUnsorted("PETS");
  brain.AddMember("Pets", "bird");
  brain.AddMember("Pets", "ant");
  EXPECT_EQ(Members(brain, "Pets"), "cat|dog|bird|ant");
  brain.ClearCollection("pets");
  EXPECT_EQ(Members(brain, "Pets"), "");
}

TEST(CollectionCommandsTest, LoadAndSaveStayInsideTheRoot) {
  TempDir dir;
  BrainClass brain;
  brain.SetFileRoot(dir.str());

  brain.SaveCollection("Missing", "missing.txt");
  EXPECT_FALSE(fs::exists(dir / "missing.txt"));

  Fill(brain, "Pets", {"dog", "cat"});
  brain.SaveCollection("pets", "C:\\Inetpub\\wwwroot\\pets.txt");
  EXPECT_EQ(ReadAll(dir / "pets.txt"), "cat\r\ndog\r\n");
  brain.SaveCollection("Pets", "..\\outside.txt");  // refused
  EXPECT_FALSE(fs::exists(fs::path(dir.str()).parent_path() / "outside.txt"));

  brain.LoadCollection("Loaded", "pets.txt");  // created, then filled
  EXPECT_EQ(Members(brain, "Loaded"), "cat|dog");
  brain.LoadCollection("Loaded", "nowhere.txt");  // unreadable: unchanged
  EXPECT_EQ(Members(brain, "Loaded"), "cat|dog");
  brain.LoadCollection("Other", "..\\..\\etc\\passwd");
  EXPECT_EQ(Members(brain, "Other"), "");
}

TEST(MakeCodeTest, MembersAreReadAsLanguageLines) {
  BrainClass brain;
  brain.MakeCode("Code");  // no such collection, and no reader yet
  Fill(brain, "Code",
       {"For-Mode", "Auto-Name", "Fragment CUSTOM,10,0, {banana}, {}, {}",
        "Response {Yellow.},Just Text,{},{}"},
       /*sorted=*/false);
  brain.MakeCode("code");  // without a reader: nothing
  EXPECT_TRUE(brain.Modes.At(0)->Patterns.empty());

  AttachLanguageReader(brain);
  brain.MakeCode("Missing");
  EXPECT_TRUE(brain.Modes.At(0)->Patterns.empty());
  brain.MakeCode("code");
  ASSERT_EQ(brain.Modes.At(0)->Patterns.Count(), 1);
  const PatternClass* p = brain.Modes.At(0)->Patterns.At(0);
  EXPECT_TRUE(IsAutoName(p->ObjectName)) << p->ObjectName;
  EXPECT_EQ(brain.FindNamedObject(p->ObjectName), p);
  EXPECT_EQ(brain.Respond("a banana"), "Yellow.");
}

TEST(MakeCodeTest, LinesMayReplaceTheCollectionBeingRead) {
  BrainClass brain;
  AttachLanguageReader(brain);
  Fill(brain, "Code",
       {"Start-Collection {Code}", "replaced", "End-Collection",
        "Fact {after} = {read}"},
       /*sorted=*/false);
  brain.MakeCode("Code");
  EXPECT_EQ(Members(brain, "Code"), "replaced");
  EXPECT_EQ(brain.GetFact("after"), "read");
}

// Every wired command type, carried out by a response and then by a task.
TEST(KnowledgeResponsesTest, EachCommandTypeThroughAResponseAndATask) {
  struct Case {
    uint8_t type;
    const char* out;
    const char* name;
    const char* value;
    const char* reply;   // what the response says
    const char* effect;  // collection and members afterwards
    const char* collection;
  };
  const Case cases[] = {
      {rt::kLoadCollection, "Loaded.", "Got", "pets.txt", "Loaded.", "cat|dog",
       "Got"},
      {rt::kSaveCollection, "Saved.", "Pets", "copy.txt", "Saved.", "cat|dog",
       "Copy"},
      {rt::kClearCollection, "Cleared.", "Pets", "", "Cleared.", "", "Pets"},
      {rt::kParseCollection, "my dog", "Pets", "Found", "", "dog", "Found"},
      {rt::kMergeCollection, "Merged.", "Pets", "Both", "Merged.", "cat|dog",
       "Both"},
      {rt::kWordsToCollection, "Big red dog", "Words", "", "", "BIG|DOG|RED",
       "Words"},
      {rt::kSetUnsorted, "Unsorted.", "Pets", "", "Unsorted.", "cat|dog|ant",
       "Pets"},
  };
  for (int as_task = 0; as_task < 2; ++as_task) {
    for (const Case& c : cases) {
      TempDir dir;
      BrainClass brain;
      brain.SetFileRoot(dir.str());
      std::ofstream(dir / "pets.txt", std::ios::binary) << "dog\r\ncat\r\n";
      Fill(brain, "Pets", {"dog", "cat"});
      PatternClass* p = AddTrigger(brain, "go");
      if (as_task) {
        ResponseClass* list = AddCommand(*p, rt::kTaskList, "listed");
        auto t = std::make_unique<TaskClass>();
        t->RESPONSETYPE = c.type;
        t->OUTTEXT = c.out;
        t->THENAME = c.name;
        t->THEVALUE = c.value;
        list->AddTask(std::move(t));
      } else {
        AddCommand(*p, c.type, c.out, c.name, c.value);
      }
      const std::string reply = brain.Respond("go");
      EXPECT_EQ(reply, as_task ? "listed" : c.reply)
          << kResponseTypeNames[c.type] << (as_task ? " task" : "");
      if (c.type == rt::kSaveCollection) {
        brain.LoadCollection("Copy", "copy.txt");
      } else if (c.type == rt::kSetUnsorted) {
        brain.AddMember("Pets", "ant");
      }
      EXPECT_EQ(Members(brain, c.collection), c.effect)
          << kResponseTypeNames[c.type] << (as_task ? " task" : "");
    }
  }
}

TEST(KnowledgeResponsesTest, LearningTypesAndMakeCodeThroughTasks) {
  BrainClass brain;
  AttachLanguageReader(brain);
  Fill(brain, "Code",
       {"For-Mode", "Fragment CUSTOM,10,0, {plum}, {}, {}",
        "Response {Purple.},Just Text,{},{}"},
       /*sorted=*/false);
  PatternClass* teach = AddTrigger(brain, "teach");
  ResponseClass* list = AddCommand(*teach, rt::kTaskList, "Learnt.");
  const struct {
    uint8_t type;
    const char* out;
    const char* name;
    const char* value;
  } tasks[] = {
      {rt::kCreateAutoPattern, "apple pie", "10", "Yum."},
      {rt::kAddResponse, "Yum yum.", "", ""},
      {rt::kAddFragment, "custard", "20", ""},
      {rt::kMakeCode, "Code", "", ""},
  };
  for (const auto& row : tasks) {
    auto t = std::make_unique<TaskClass>();
    t->RESPONSETYPE = row.type;
    t->OUTTEXT = row.out;
    t->THENAME = row.name;
    t->THEVALUE = row.value;
    list->AddTask(std::move(t));
  }
  EXPECT_EQ(brain.Respond("teach"), "Learnt.");
  KnowledgeClass* mode = brain.Modes.At(0);
  ASSERT_EQ(mode->Patterns.Count(), 3);
  const PatternClass* learnt = mode->Patterns.At(1);
  EXPECT_EQ(learnt->Fragments.Count(), 3);  // APPLE, PIE, custard
  EXPECT_EQ(learnt->Responses.Count(), 2);
  const std::string answer = brain.Respond("custard");
  EXPECT_TRUE(answer == "Yum." || answer == "Yum yum.") << answer;
  EXPECT_EQ(brain.Respond("plum"), "Purple.");

  // As responses, the learning types say nothing; "Make Code" says its
  // collection's name.
  PatternClass* more = AddTrigger(brain, "more");
  AddCommand(*more, rt::kCreateAutoPattern, "kiwi", "1", "Green.");
  EXPECT_EQ(brain.Respond("more"), "");
  PatternClass* code = AddTrigger(brain, "code");
  AddCommand(*code, rt::kMakeCode, "Code");
  EXPECT_EQ(brain.Respond("code"), "Code");
  EXPECT_EQ(brain.Respond("kiwi"), "Green.");
}

// The demo's learning section: the user teaches an answer, the knowledge
// base is written and read back, and the new brain still knows it.
TEST(LearningTest, DemoTaughtAnswerSurvivesSaveAndReload) {
  TempDir dir;
  const std::string file = (dir / "CorvWebDemo.clf").string();
  fs::copy_file(fs::path(CORVANE_SOURCE_DIR) / "demo/wwwroot/CorvWebDemo.clf",
                file);
  {
    BrainClass brain;
    brain.SetFileRoot(dir.str());
    LoadLanguageFile(brain, file);
    brain.Seed(3);
    const int patterns = brain.Modes.At(0)->Patterns.Count();
    EXPECT_EQ(brain.Respond("When I say good night, answer Sleep well!"),
              "All right: when you say \"good night\", I will answer \"Sleep "
              "well!\".");
    EXPECT_EQ(brain.Respond("when I say pasta of the day answer Pappardelle."),
              "All right: when you say \"pasta of the day\", I will answer "
              "\"Pappardelle.\".");
    EXPECT_EQ(brain.Modes.At(0)->Patterns.Count(), patterns + 2);
    EXPECT_EQ(brain.Respond("good night"), "Sleep well!");
    EXPECT_EQ(brain.Respond("And the pasta of the day?"), "Pappardelle.");
    SaveLanguageFile(brain, file);
  }
  BrainClass reloaded;
  LoadLanguageFile(reloaded, file);
  EXPECT_EQ(reloaded.Respond("Good night, everyone"), "Sleep well!");
  EXPECT_EQ(reloaded.Respond("pasta of the day"), "Pappardelle.");
  // Only the whole phrase calls up a taught answer.
  EXPECT_NE(reloaded.Respond("pasta"), "Pappardelle.");
}

}  // namespace
}  // namespace corvane
