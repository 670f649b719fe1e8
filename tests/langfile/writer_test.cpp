#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/error.h"
#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "platform/files.h"
#include "platform/launch.h"
#include "platform/operator_messages.h"
#include "text/text_util.h"
#include "tests/temp_dir.h"
#include "tests/langfile/worked_example.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// Collects operator messages while it lives.
class MessageCapture {
 public:
  MessageCapture()
      : old_(SetOperatorMessageHandler(
            [this](const std::string& text) { messages.push_back(text); })) {}
  ~MessageCapture() { SetOperatorMessageHandler(std::move(old_)); }
  std::vector<std::string> messages;

 private:
  OperatorMessageHandler old_;
};

std::string Save(const BrainClass& brain) {
  TempDir dir;
  SaveLanguageFile(brain, dir.File("kb.clf"));
  return ReadFileBytes(dir.File("kb.clf")).value_or("<no file>");
}

// A fresh brain holding what `file` declares; the reading must be clean.
std::unique_ptr<BrainClass> Reload(const std::string& file) {
  TempDir dir;
  EXPECT_TRUE(WriteFileBytes(dir.File("kb.clf"), file));
  auto brain = std::make_unique<BrainClass>();
  std::vector<std::string> problems;
  LoadLanguageFile(*brain, dir.File("kb.clf"), [&](const LanguageProblem& p) {
    problems.push_back(p.message);
  });
  EXPECT_TRUE(problems.empty()) << problems.front();
  return brain;
}

std::vector<std::string> Lines(const std::string& file) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < file.size()) {
    const std::size_t end = file.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(file.substr(pos) + "<no CR LF>");
      break;
    }
    lines.push_back(file.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

// ---- Building knowledge in memory ----

template <typename T>
std::unique_ptr<T> Labelled(const std::string& label) {
  auto item = std::make_unique<T>();
  item->ObjectName = label;
  return item;
}

WordFragmentClass* Frag(auto* owner, uint8_t relation, const std::string& text,
                        int32_t bonus = 0, int32_t penalty = 0,
                        const std::string& label = "",
                        const std::string& name = "",
                        const std::string& value = "") {
  auto f = Labelled<WordFragmentClass>(label);
  f->RELATION = relation;
  f->WORDFRAG = text;
  f->BONUS = bonus;
  f->PENALTY = penalty;
  f->THENAME = name;
  f->THEVALUE = value;
  return owner->AddFragment(std::move(f));
}

template <typename T>
std::unique_ptr<T> Act(uint8_t type, const std::string& out,
                       const std::string& name = "",
                       const std::string& value = "",
                       const std::string& label = "") {
  auto r = Labelled<T>(label);
  r->RESPONSETYPE = type;
  r->OUTTEXT = out;
  r->THENAME = name;
  r->THEVALUE = value;
  return r;
}

ResponseClass* Resp(auto* owner, uint8_t type, const std::string& out,
                    const std::string& name = "", const std::string& value = "",
                    const std::string& label = "") {
  return owner->AddResponse(Act<ResponseClass>(type, out, name, value, label));
}

TaskClass* Task(ResponseClass* owner, uint8_t type, const std::string& out,
                const std::string& name = "", const std::string& value = "",
                const std::string& label = "") {
  return owner->AddTask(Act<TaskClass>(type, out, name, value, label));
}

DataCollectionClass* Collection(BrainClass& brain, const std::string& name,
                                const std::vector<std::string>& members) {
  auto c = std::make_unique<DataCollectionClass>();
  c->CollectionName = name;
  DataCollectionClass* added = brain.AddCollection(name, std::move(c));
  for (const std::string& m : members) added->Members.Add(m);
  return added;
}

// ---- Layout ----

TEST(SaveLanguageFileTest, NewEngineIsElevenLines) {
  BrainClass brain;
  const std::string file = Save(brain);
  const std::vector<std::string> lines = Lines(file);
  ASSERT_EQ(lines.size(), 11u) << file;
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "Corvane 8.0 Corvane-Language File");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5], "-------States--------");
  EXPECT_EQ(lines[6], "-------Modes---------");
  EXPECT_EQ(lines[7], "-----Procedures------");
  EXPECT_EQ(lines[8], "-------Facts---------");
  EXPECT_EQ(lines[9], "-----Collections-----");
  EXPECT_EQ(lines[10], "");
  EXPECT_EQ(Join(lines), file);  // every line, the last too, ends in CR LF

  // The notice lines are ours but must read as nothing at all.
  const char* keywords[] = {"FACT",           "START-COLLECTION",
                            "END-COLLECTION", "MODE",
                            "STATE",          "PROCEDURE",
                            "STEP",           "FOR-MODE",
                            "FOR-STEP",       "THRESHOLD",
                            "FOR-STATE",      "FRAGMENT",
                            "RESPONSE",       "TASK",
                            "NAME-OBJECT",    "AUTO-NAME"};
  for (int i : {2, 3}) {
    EXPECT_FALSE(lines[static_cast<std::size_t>(i)].empty());
    const std::string upper =
        UpperAscii(TrimView(lines[static_cast<std::size_t>(i)]));
    for (const char* k : keywords)
      EXPECT_NE(upper.rfind(k, 0), 0u) << lines[static_cast<std::size_t>(i)];
  }
  EXPECT_EQ(Save(*Reload(file)), file);
}

TEST(SaveLanguageFileTest, EveryItemKindWithItsIndentationAndSeparators) {
  BrainClass brain;
  brain.AddState("Angry");
  PatternClass* p =
      brain.Modes.At(0)->AddPattern(Labelled<PatternClass>("Greet"));
  Frag(p, rel::kCustom, "hello", 10, -2, "F1");
  ResponseClass* r = Resp(p, rt::kTaskList, "", "", "", "R1");
  Task(r, rt::kJustText, "Hi!", "", "", "T1");
  ThresholdClass* th = p->AddThreshold(Labelled<ThresholdClass>("Th"));
  th->THRESHFROM = 2;
  th->THRESHTO = 4;
  ResponseClass* tr = Resp(th, rt::kJustText, "Hi again!");
  Task(tr, rt::kAskOrvalis, "x", "n", "v");
  auto group = Labelled<StateClass>("S");
  group->STATE = "Angry";
  Resp(p->AddStateResponse(std::move(group)), rt::kJustText, "Calm down.");

  KnowledgeClass* quiz =
      brain.AddMode("Quiz", Labelled<KnowledgeClass>("QuizMode"));
  PatternClass* q = quiz->AddPattern(std::make_unique<PatternClass>());
  Frag(q, rel::kAnd, "answer", 5, 0);
  Resp(q, rt::kJustText, "Well done.");

  ProcClass* proc = brain.AddProc("Signup", Labelled<ProcClass>("SignupProc"));
  auto ask_name = Labelled<StepClass>("StepA");
  ask_name->Prompt = "What is your name?";
  StepClass* step = proc->AddStep("AskName", std::move(ask_name));
  StepPatternClass* sp = step->AddStepPattern(Labelled<StepPatternClass>("SP"));
  Frag(sp, rel::kCustom, "my name is", 1, 0);
  Task(Resp(sp, rt::kGotoStep, "Thank you.", "AskAge"), rt::kJustText, "t");
  auto ask_age = std::make_unique<StepClass>();
  ask_age->Prompt = "How old are you?";
  proc->AddStep("AskAge", std::move(ask_age));

  brain.SetFact("Colour", "blue");
  brain.SetFact("Size", "big");
  Collection(brain, "Zeta", {"z1"});
  Collection(brain, "alpha", {"pear", "apple"});
  Collection(brain, "Mid", {"m"});

  const std::string file = Save(brain);
  const std::vector<std::string> expected = {
      "",
      "Corvane 8.0 Corvane-Language File",
      Lines(file).at(2),
      Lines(file).at(3),
      "",
      "-------States--------",
      "State {Angry}",
      "-------Modes---------",
      "For-Mode",
      "Name-Object {Greet}",
      "  Fragment CUSTOM,10,-2, {hello}, {}, {}",
      "  Name-Object {F1}",
      "  Response {},Task List,{},{}",
      "  Name-Object {R1}",
      "    Task {Hi!},Just Text,{},{}",
      "    Name-Object {T1}",
      "  Threshold 2,4",
      "  Name-Object {Th}",
      "    Response {Hi again!},Just Text,{},{}",
      "      Task {x},Ask Orvalis,{n},{v}",
      "  For-State {Angry}",
      "  Name-Object {S}",
      "    Response {Calm down.},Just Text,{},{}",
      "",
      "Mode {Quiz}",
      "Name-Object {QuizMode}",
      "For-Mode",
      "  Fragment AND,5,0, {answer}, {}, {}",
      "  Response {Well done.},Just Text,{},{}",
      "",
      "-----Procedures------",
      "Procedure {Signup}",
      "",
      "Name-Object {SignupProc}",
      "Step {AskName},{What is your name?}",
      "Name-Object {StepA}",
      "  For-Step",
      "  Name-Object {SP}",
      "    Fragment CUSTOM,1,0, {my name is}, {}, {}",
      "    Response {Thank you.},Goto Step,{AskAge},{}",
      "      Task {t},Just Text,{},{}",
      "",
      "Step {AskAge},{How old are you?}",
      "",
      "-------Facts---------",
      "Fact {Colour} = {blue}",
      "Fact {Size} = {big}",
      "-----Collections-----",
      "Start-Collection {alpha}",
      "apple",
      "pear",
      "End-Collection",
      "",
      "Start-Collection {Mid}",
      "m",
      "End-Collection",
      "",
      "Start-Collection {Zeta}",
      "z1",
      "End-Collection",
      "",
      "",
  };
  EXPECT_EQ(Lines(file), expected);
  EXPECT_EQ(Join(expected), file);
  EXPECT_EQ(Save(*Reload(file)), file);
}

// Codes outside the tables (only reachable by writing the fields directly)
// are written as "None", which is what the reader makes of an unknown name.
TEST(SaveLanguageFileTest, CodesOutsideTheTablesAreWrittenAsNone) {
  BrainClass brain;
  PatternClass* p =
      brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  Frag(p, rel::kCustom, "a")->RELATION = 200;
  Resp(p, rt::kJustText, "b")->RESPONSETYPE = 39;
  const std::vector<std::string> lines = Lines(Save(brain));
  EXPECT_EQ(lines.at(8), "  Fragment None,0,0, {a}, {}, {}");
  EXPECT_EQ(lines.at(9), "  Response {b},None,{},{}");
}

// ---- Round trip ----

TEST(SaveLanguageFileTest, RoundTripOfEveryKindTypeAndRelationIsIdentical) {
  BrainClass brain;
  brain.Modes.At(0)->ObjectName = "First";
  brain.AddState("Angry");
  brain.AddState("");  // an empty state name is a state like any other
  PatternClass* p = brain.Modes.At(0)->AddPattern(Labelled<PatternClass>("P"));
  for (int code = 0; code < kRelationCount; ++code)
    Frag(p, static_cast<uint8_t>(code), "w" + std::to_string(code), code, -code,
         "F" + std::to_string(code), "n", "v");
  ResponseClass* list = Resp(p, rt::kTaskList, "", "", "", "List");
  for (int code = 0; code < kResponseTypeCount; ++code) {
    Resp(p, static_cast<uint8_t>(code), "out {nested} " + std::to_string(code),
         "name", "value", "R" + std::to_string(code));
    Task(list, static_cast<uint8_t>(code), "t", "n", "v",
         "T" + std::to_string(code));
  }
  ThresholdClass* th = p->AddThreshold(Labelled<ThresholdClass>("Th"));
  th->THRESHFROM = -5;
  th->THRESHTO = 2147483647;
  Task(Resp(th, rt::kTaskList, ""), rt::kJustText, "deep", "", "", "Deep");
  auto group = Labelled<StateClass>("S");
  group->STATE = "Angry";
  Resp(p->AddStateResponse(std::move(group)), rt::kStateChange, "", "Normal");
  KnowledgeClass* quiz = brain.AddMode("Quiz", Labelled<KnowledgeClass>("Q"));
  Frag(quiz->AddPattern(std::make_unique<PatternClass>()), rel::kOr, "x");
  brain.AddMode("Empty", std::make_unique<KnowledgeClass>());
  ProcClass* proc = brain.AddProc("Signup", Labelled<ProcClass>("Proc"));
  auto s = Labelled<StepClass>("Step1");
  s->Prompt = "Name, please: {you}";
  StepPatternClass* sp = proc->AddStep("AskName", std::move(s))
                             ->AddStepPattern(Labelled<StepPatternClass>("SP"));
  Frag(sp, rel::kExtract, "my name is ^Extr{name}", 1, -1, "SF");
  Task(Resp(sp, rt::kTaskList, "", "", "", "SR"), rt::kGotoStep, "", "Done");
  proc->AddStep("Done", std::make_unique<StepClass>());
  brain.AddProc("Other", std::make_unique<ProcClass>());
  brain.SetFact("Colour", "blue, or {green}");
  brain.SetFact("", "");
  Collection(brain, "Fruits", {"pear", "apple", "Fact {a} = {b}", "x}{"});
  Collection(brain, "Empty", {});

  MessageCapture capture;
  const std::string first = Save(brain);
  std::unique_ptr<BrainClass> reloaded = Reload(first);
  EXPECT_EQ(Save(*reloaded), first);
  EXPECT_TRUE(capture.messages.empty()) << capture.messages.front();
  EXPECT_EQ(reloaded->Modes.At(0)->Patterns.At(0)->Fragments.Count(),
            kRelationCount);
  EXPECT_EQ(reloaded->FindCollection("Fruits")->Members.Count(), 4);
}

// The worked example of the reader's guide, as an author would write it.
TEST(SaveLanguageFileTest, AuthoredFileSurvivesTwoRoundTrips) {
  const std::string authored = WorkedExample();
  ASSERT_FALSE(authored.empty());
  const std::string once = Save(*Reload(authored));
  EXPECT_EQ(Save(*Reload(once)), once);
  const std::vector<std::string> lines = Lines(once);
  EXPECT_EQ(lines.at(8), "For-Mode");  // first mode: no "Mode {" line
  EXPECT_EQ(lines.at(9), "Name-Object {GreetPattern}");
}

// ---- Texts the format cannot carry ----

TEST(SaveLanguageFileTest, BracedTextRules) {
  struct Case {
    std::string text;
    std::string written;
    const char* reason;  // nullptr: written byte for byte, no message
  };
  const Case cases[] = {
      {"plain, with commas", "plain, with commas", nullptr},
      {"a{b}c", "a{b}c", nullptr},
      {"{{}}{}", "{{}}{}", nullptr},
      {"", "", nullptr},
      {"  padded\t", "  padded\t", nullptr},
      {std::string("nul\0kept", 8), std::string("nul\0kept", 8), nullptr},
      {"\xe9t\xe9", "\xe9t\xe9", nullptr},
      {"x},Action,{some program},{", "x),Action,{some program},(",
       "unpartnered brace became a parenthesis"},
      {"}{", ")(", "unpartnered brace became a parenthesis"},
      {"{{}", "({}",
       "unpartnered brace became a parenthesis"},  // inner pair kept
      {"{}}{{}", "{})({}", "unpartnered brace became a parenthesis"},
      {"a}b}c{", "a)b)c(", "unpartnered brace became a parenthesis"},
      {"a\r\nFact {evil} = {1}", "a  Fact {evil} = {1}",
       "CR or LF became a blank"},
      {"a\nb\rc", "a b c", "CR or LF became a blank"},
      {"stop\x1ahere", "stop here", "byte 1A became a blank"},
      {"}\r", ") ",
       "CR or LF became a blank; unpartnered brace became a parenthesis"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    BrainClass brain;
    brain.SetFact("f", c.text);
    MessageCapture capture;
    const std::string file = Save(brain);
    EXPECT_EQ(Lines(file).at(9), "Fact {f} = {" + c.written + "}");
    if (c.reason == nullptr) {
      EXPECT_TRUE(capture.messages.empty());
    } else {
      ASSERT_EQ(capture.messages.size(), 1u);
      EXPECT_EQ(capture.messages[0],
                std::string("Language file save changed fact 1 {f}, value: ") +
                    c.reason);
    }
    std::unique_ptr<BrainClass> reloaded = Reload(file);
    EXPECT_EQ(reloaded->FactNames.Count(), 1);
    EXPECT_EQ(reloaded->GetFact("f"), c.written);
    EXPECT_EQ(reloaded->Modes.At(0)->Patterns.Count(), 0);
    EXPECT_EQ(Save(*reloaded), file);
  }
}

TEST(SaveLanguageFileTest, MemberRules) {
  struct Case {
    std::string member;
    std::optional<std::string> written;  // nothing: the member is left out
    const char* reason;
  };
  const Case cases[] = {
      {"x},Action,{some program},{", "x},Action,{some program},{", nullptr},
      {"Fact {a} = {b}", "Fact {a} = {b}", nullptr},
      {"my End-Collection", "my End-Collection", nullptr},
      {"End-Collection", "End Collection",
       "leading End-Collection became End Collection"},
      {"  end-collection and more", "end collection and more",  // trimmed
       "leading End-Collection became End Collection"},
      {"END-COLLECTIONS", "END COLLECTIONS",
       "leading End-Collection became End Collection"},
      // A blank member is a line of one blank: the reader skips an empty
      // line but reads a blank line as the blank member.
      {"", " ", nullptr},
      {" \t ", " ", nullptr},
      {"a\r\nEnd-Collection\r\nFact {x} = {y}",
       "a  End-Collection  Fact {x} = {y}", "CR or LF became a blank"},
      {"\r\nEnd-Collection", "End Collection",
       "CR or LF became a blank; leading End-Collection became End Collection"},
      {"\x1a", " ", "byte 1A became a blank"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.member);
    BrainClass brain;
    Collection(brain, "C", {c.member});
    Collection(brain, "D", {"d"});
    MessageCapture capture;
    const std::string file = Save(brain);
    const std::vector<std::string> lines = Lines(file);
    std::vector<std::string> expected = {"-----Collections-----",
                                         "Start-Collection {C}"};
    if (c.written) expected.push_back(*c.written);
    for (const char* line : {"End-Collection", "", "Start-Collection {D}", "d",
                             "End-Collection", "", ""})
      expected.push_back(line);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 9, lines.end()),
              expected);
    if (c.reason == nullptr) {
      EXPECT_TRUE(capture.messages.empty());
    } else {
      ASSERT_EQ(capture.messages.size(), 1u);
      EXPECT_EQ(
          capture.messages[0],
          std::string(
              "Language file save changed member 1 of collection 1 {C}: ") +
              c.reason);
    }
    std::unique_ptr<BrainClass> reloaded = Reload(file);
    ASSERT_EQ(reloaded->Collections.Count(), 2);
    const NameList& members = reloaded->FindCollection("C")->Members;
    ASSERT_EQ(members.Count(), c.written ? 1 : 0);
    if (c.written) {
      EXPECT_EQ(members.At(0), Trim(*c.written));
    }
    EXPECT_EQ(reloaded->FindCollection("D")->Members.Count(), 1);
    EXPECT_EQ(reloaded->FactNames.Count(), 0);
  }
}

// A hostile text that tries to end its field, its line and its block, and
// to add a program-starting response, a fact and a mode.
const std::string kHostile =
    "x},Action,{some program},{\r\nResponse {},Action,{evil},{}\r\n"
    "    Task {},Action,{evil},{}\r\nFact {pwn} = {1}\r\nEnd-Collection\r\n"
    "Mode {Evil}\nState {Evil";
// What the writer makes of it between braces.
const std::string kHostileCarried =
    "x),Action,{some program},(  Response {},Action,{evil},{}  "
    "    Task {},Action,{evil},{}  Fact {pwn} = {1}  End-Collection  "
    "Mode {Evil} State (Evil";

// The same brain shape with `t` in every text field and every label.
std::unique_ptr<BrainClass> EveryField(const std::string& t,
                                       const std::string& member) {
  auto brain = std::make_unique<BrainClass>();
  brain->AddState(t);
  brain->Modes.At(0)->ObjectName = t;
  PatternClass* p = brain->Modes.At(0)->AddPattern(Labelled<PatternClass>(t));
  Frag(p, rel::kCustom, t, 1, 0, t, t, t);
  Task(Resp(p, rt::kTaskList, t, t, t, t), rt::kJustText, t, t, t, t);
  ThresholdClass* th = p->AddThreshold(Labelled<ThresholdClass>(t));
  Resp(th, rt::kJustText, t, t, t, t);
  auto group = Labelled<StateClass>(t);
  group->STATE = t;
  Resp(p->AddStateResponse(std::move(group)), rt::kJustText, t, t, t, t);
  KnowledgeClass* mode = brain->AddMode(t, Labelled<KnowledgeClass>(t));
  Resp(mode->AddPattern(std::make_unique<PatternClass>()), rt::kJustText, "m");
  ProcClass* proc = brain->AddProc(t, Labelled<ProcClass>(t));
  auto step = Labelled<StepClass>(t);
  step->Prompt = t;
  StepPatternClass* sp = proc->AddStep(t, std::move(step))
                             ->AddStepPattern(Labelled<StepPatternClass>(t));
  Frag(sp, rel::kCustom, t, 1, 0, t, t, t);
  Task(Resp(sp, rt::kTaskList, t, t, t, t), rt::kJustText, t, t, t, t);
  brain->SetFact(t, t);
  Collection(*brain, t, {member});
  return brain;
}

int CountActions(const BrainClass& brain) {
  int actions = 0;
  auto count = [&](const ResponseClass& r) {
    actions += r.RESPONSETYPE == rt::kAction;
    for (const auto& task : r.Tasks)
      actions += task->RESPONSETYPE == rt::kAction;
  };
  for (const auto& mode : brain.Modes)
    for (const auto& p : mode->Patterns) {
      for (const auto& r : p->Responses) count(*r);
      for (const auto& th : p->Thresholds)
        for (const auto& r : th->Responses) count(*r);
      for (const auto& g : p->StateResponses)
        for (const auto& r : g->Responses) count(*r);
    }
  for (const auto& proc : brain.Procs)
    for (const auto& step : proc->Steps)
      for (const auto& sp : step->StepPatterns)
        for (const auto& r : sp->Responses) count(*r);
  return actions;
}

TEST(SaveLanguageFileTest, InjectionInEveryFieldReadsBackAsOneField) {
  std::string member_carried = kHostile;
  for (char& c : member_carried)
    if (c == '\r' || c == '\n') c = ' ';
  std::unique_ptr<BrainClass> hostile = EveryField(kHostile, kHostile);
  MessageCapture capture;
  const std::string file = Save(*hostile);
  // Byte for byte what the same brain holding the carried texts gives.
  std::unique_ptr<BrainClass> twin =
      EveryField(kHostileCarried, member_carried);
  const std::size_t reported = capture.messages.size();
  EXPECT_EQ(Save(*twin), file);
  EXPECT_EQ(capture.messages.size(), reported);  // the twin needs no change

  // One message per changed field, each naming its item and field. The
  // first mode's label, then everything of its pattern.
  const std::string shown = "{x),Action,{some program},(  Response {},...}";
  EXPECT_EQ(capture.messages.at(0),
            "Language file save changed state 2, name: CR or LF became a "
            "blank; unpartnered brace became a parenthesis");
  EXPECT_EQ(capture.messages.at(1),
            "Language file save changed mode 1 {Default} labelled " + shown +
                ", label: CR or LF became a blank; unpartnered brace became a "
                "parenthesis");
  EXPECT_EQ(capture.messages.at(3).rfind(
                "Language file save changed fragment 1 labelled " + shown +
                    " of pattern 1 labelled " + shown + " of mode 1 {Default}",
                0),
            0u);
  EXPECT_NE(capture.messages.at(3).find(", WORDFRAG: "), std::string::npos);
  EXPECT_EQ(reported, 1u         // state name
                          + 1    // first mode's label
                          + 1    // pattern label
                          + 4    // fragment: three texts and the label
                          + 8    // response and its task
                          + 5    // threshold label and its response
                          + 6    // state group: STATE, label, its response
                          + 2    // second mode: name and label
                          + 2    // procedure: name and label
                          + 3    // step: THENAME, THEPROMPT, label
                          + 13   // step pattern label, fragment, response, task
                          + 2    // fact name and value
                          + 2);  // collection name; the member's line breaks

  // Nothing anybody did not write comes back: same items, same fields.
  std::unique_ptr<BrainClass> reloaded = Reload(file);
  EXPECT_EQ(Save(*reloaded), file);
  EXPECT_EQ(CountActions(*reloaded), 0);
  EXPECT_EQ(reloaded->Modes.Count(), 2);
  EXPECT_EQ(reloaded->StateNames.Count(), 2);
  EXPECT_EQ(reloaded->FactNames.Count(), 1);
  EXPECT_EQ(reloaded->GetFact(kHostileCarried), kHostileCarried);
  EXPECT_EQ(reloaded->GetFact("pwn"), "#");
  EXPECT_EQ(reloaded->Procs.Count(), 1);
  EXPECT_EQ(reloaded->Modes.At(0)->Patterns.At(0)->Responses.At(0)->OUTTEXT,
            kHostileCarried);
  ASSERT_EQ(reloaded->Collections.Count(), 1);
  const auto* c = static_cast<const DataCollectionClass*>(
      reloaded->Collections.ObjectAt(0));
  ASSERT_EQ(c->Members.Count(), 1);
  EXPECT_EQ(c->Members.At(0), member_carried);
}

int launches = 0;
bool CountLaunch(std::string_view, const std::string&) {
  ++launches;
  return true;
}

// What visitors type is stored by the conversation itself: a fact, a
// collection member, a learnt pattern with its reply, a learnt response and
// a learnt fragment. After a save and a restart none of it is knowledge.
TEST(SaveLanguageFileTest,
     ConversationLearnsHostileTextsAndReloadStartsNoProgram) {
  const std::vector<std::string> kb = {
      "For-Mode",
      "  Fragment CUSTOM,10,0, {remember}, {}, {}",
      "  Response {},Task List,{},{}",
      "    Task {},Assignment,{said},{^Input{0}}",
      "    Task {},Add To Collection,{Notes},{^Input{0}}",
      "    Task {^Input{0}},Create AutoPattern,{5},{^Input{0}}",
      "    Task {^Input{0}},Add Response,{},{}",
      "    Task {^Input{0}},Add Fragment,{3},{}",
  };
  BrainClass brain;
  LoadLanguageLines(brain, kb);
  ASSERT_EQ(brain.Modes.At(0)->Patterns.Count(), 1);
  brain.Respond("remember x},Action,{some program},{");
  brain.Respond(
      "remember y\r\n  Response {},Action,{xcalc},{}\r\nFact {pwn} = {1}");
  ASSERT_EQ(brain.Modes.At(0)->Patterns.Count(), 3);
  ASSERT_NE(brain.FindCollection("Notes"), nullptr);
  ASSERT_EQ(brain.FindCollection("Notes")->Members.Count(), 2);

  MessageCapture capture;
  const std::string file = Save(brain);
  EXPECT_FALSE(capture.messages.empty());
  std::unique_ptr<BrainClass> reloaded = Reload(file);
  EXPECT_EQ(Save(*reloaded), file);
  EXPECT_EQ(CountActions(*reloaded), 0);
  EXPECT_EQ(reloaded->Modes.Count(), 1);
  EXPECT_EQ(reloaded->Modes.At(0)->Patterns.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    const PatternClass* mine = brain.Modes.At(0)->Patterns.At(i);
    const PatternClass* back = reloaded->Modes.At(0)->Patterns.At(i);
    EXPECT_EQ(back->Fragments.Count(), mine->Fragments.Count());
    EXPECT_EQ(back->Responses.Count(), mine->Responses.Count());
    EXPECT_EQ(back->ObjectName, mine->ObjectName);
  }
  EXPECT_EQ(reloaded->FactNames.Count(), 1);
  EXPECT_EQ(reloaded->GetFact("pwn"), "#");
  EXPECT_EQ(reloaded->FindCollection("Notes")->Members.Count(), 2);
  EXPECT_EQ(reloaded->NamedObjects.Count(), brain.NamedObjects.Count());

  launches = 0;
  SetLaunchHookForTesting(CountLaunch);
  for (const char* input : {"some program", "xcalc", "x", "y", "remember"})
    reloaded->Respond(input);
  SetLaunchHookForTesting(nullptr);
  EXPECT_EQ(launches, 0);
}

// A step renamed to the empty text would not be created on reading, and
// the lines under it would lose their home; it keeps its registered name.
TEST(SaveLanguageFileTest,
     StepAndProcedureRenamedToEmptyKeepTheirRegisteredNames) {
  BrainClass brain;
  ProcClass* proc = brain.AddProc("Signup", std::make_unique<ProcClass>());
  StepClass* step = proc->AddStep("Ask", std::make_unique<StepClass>());
  Resp(step->AddStepPattern(std::make_unique<StepPatternClass>()),
       rt::kJustText, "ok");
  proc->Name = "";
  step->Name = "";
  MessageCapture capture;
  const std::string file = Save(brain);
  const std::vector<std::string> lines = Lines(file);
  EXPECT_EQ(lines.at(8), "Procedure {Signup}");
  EXPECT_EQ(lines.at(10), "Step {Ask},{}");
  EXPECT_EQ(capture.messages,
            (std::vector<std::string>{
                "Language file save changed procedure 1 {Signup}, name: empty "
                "name replaced by the name it is registered under",
                "Language file save changed step 1 {Ask} of procedure 1 "
                "{Signup}, THENAME: empty name replaced by the name it is "
                "registered under"}));
  std::unique_ptr<BrainClass> reloaded = Reload(file);
  ASSERT_EQ(reloaded->Procs.Count(), 1);
  ASSERT_EQ(reloaded->Procs.At(0)->Steps.Count(), 1);
  EXPECT_EQ(reloaded->Procs.At(0)->Steps.At(0)->StepPatterns.Count(), 1);
}

// ---- Failures ----

// Random texts of the bytes and words the format is touchy about, in
// members (sorted and unsorted collections), fact values and response
// texts: the saved file, read and saved again, is the same file, and the
// second save has nothing to report.
TEST(SaveLanguageFileTest, SavingIsAFixpointForRandomTexts) {
  const char* const pieces[] = {"a", "B", "b", " ", "\t", "\r", "\n", "\r\n",
                                "{", "}", "\x1a", "End-Collection",
                                "end-collection", "x", ",", "Fact {a} = {b}"};
  std::mt19937 random(20261208);
  auto text = [&] {
    std::string t;
    const int n = static_cast<int>(random() % 6);
    for (int i = 0; i < n; ++i) t += pieces[random() % std::size(pieces)];
    return t;
  };
  for (int round = 0; round < 300; ++round) {
    BrainClass brain;
    for (int c = 0; c < 2; ++c) {
      std::vector<std::string> members;
      const int n = static_cast<int>(random() % 8);
      for (int i = 0; i < n; ++i) members.push_back(text());
      DataCollectionClass* added =
          Collection(brain, c == 0 ? "C" : "D", members);
      if (random() % 3 == 0) added->Members.SetUnsorted();
      if (random() % 2 == 0) added->Members.Add(text());  // at the end
    }
    brain.SetFact("f", text());
    Resp(brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>()),
         rt::kJustText, text(), text(), text());
    const std::string first = Save(brain);
    std::unique_ptr<BrainClass> reread = Reload(first);
    MessageCapture capture;
    const std::string second = Save(*reread);
    ASSERT_EQ(second, first) << "round " << round;
    EXPECT_TRUE(capture.messages.empty()) << capture.messages.front();
  }
}

TEST(SaveLanguageFileTest, MembersEqualOnceCarriedAreWrittenOnce) {
  BrainClass brain;
  Collection(brain, "C", {"a b", "a\nb", "A B ", "c"});
  MessageCapture capture;
  const std::string file = Save(brain);
  const std::vector<std::string> lines = Lines(file);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 11, lines.end() - 3),
            (std::vector<std::string>{"a b", "c"}));
  // Sorted, "a\nb" is member 1, "a b" member 2 and "A B " member 3.
  EXPECT_EQ(capture.messages,
            (std::vector<std::string>{
                "Language file save changed member 1 of collection 1 {C}: CR "
                "or LF became a blank",
                "Language file save changed member 2 of collection 1 {C}: "
                "equal to an earlier member once carried, written once",
                "Language file save changed member 3 of collection 1 {C}: "
                "equal to an earlier member once carried, written once"}));
}

// access() says yes to root for every file; the owner's write bit decides.
TEST(SaveLanguageFileTest, ReadOnlyFileIsNeverReplacedAndTheSaveSaysSo) {
  TempDir dir;
  const std::string target = dir.File("kb.clf");
  ASSERT_TRUE(WriteFileBytes(target, "keep"));
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  BrainClass brain;
  MessageCapture capture;
  EXPECT_FALSE(SaveLanguageFile(brain, target));
  EXPECT_EQ(ReadFileBytes(target), std::optional<std::string>("keep"));
  EXPECT_EQ(dir.Names(), std::set<std::string>{"kb.clf"});
  ASSERT_EQ(capture.messages.size(), 1u);
  EXPECT_EQ(capture.messages[0],
            "Not saved: " + target +
                " may not be written (read-only); it was left as it was");
  ASSERT_EQ(chmod(target.c_str(), 0644), 0);
  EXPECT_TRUE(SaveLanguageFile(brain, target));
  EXPECT_NE(ReadFileBytes(target), std::optional<std::string>("keep"));
}

TEST(SaveLanguageFileTest, FileThatCannotBeCreatedWritesAndSaysNothing) {
  TempDir dir;
  BrainClass brain;
  brain.SetFact("a", "b}");  // would be reported if anything were written
  MessageCapture capture;
  EXPECT_NO_THROW(SaveLanguageFile(brain, dir.File("missing/kb.clf")));
  ASSERT_TRUE(fs::create_directory(dir.File("kb.clf")));
  EXPECT_NO_THROW(SaveLanguageFile(brain, dir.File("kb.clf")));
  EXPECT_TRUE(capture.messages.empty());
  EXPECT_EQ(dir.Names(), std::set<std::string>{"kb.clf"});
  EXPECT_TRUE(fs::is_empty(dir.File("kb.clf")));
}

std::unique_ptr<BrainClass> BigBrain(int patterns) {
  auto brain = std::make_unique<BrainClass>();
  KnowledgeClass* mode = brain->Modes.At(0);
  for (int i = 0; i < patterns; ++i) {
    PatternClass* p = mode->AddPattern(std::make_unique<PatternClass>());
    Frag(p, rel::kCustom, "word number " + std::to_string(i), 10, 0);
    Resp(p, rt::kJustText, "The answer to pattern " + std::to_string(i) + ".");
  }
  return brain;
}

TEST(SaveLanguageFileTest, WriteErrorThrowsAndKeepsTheOldFile) {
  TempDir dir;
  const std::string target = dir.File("kb.clf");
  ASSERT_TRUE(WriteFileBytes(target, "old\r\n"));
  std::unique_ptr<BrainClass> brain = BigBrain(2000);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{65536, 65536};  // a disk that is full at 64 KiB
    setrlimit(RLIMIT_FSIZE, &limit);
    int code = 1;
    try {
      SaveLanguageFile(*brain, target);
    } catch (const IoError&) {
      code = 0;
    } catch (...) {
      code = 2;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFileBytes(target), std::optional<std::string>("old\r\n"));
  EXPECT_EQ(dir.Names(), std::set<std::string>{"kb.clf"});
}

bool HasTempFile(const TempDir& dir) {
  for (const std::string& name : dir.Names())
    if (name != "kb.clf") return true;
  return false;
}

// The process is killed at several moments of a large save; the file is
// then the old one or the new one, whole.
TEST(SaveLanguageFileTest, SaveKilledMidwayLeavesTheOldOrTheNewFile) {
  std::unique_ptr<BrainClass> brain = BigBrain(50000);
  const std::string new_file = Save(*brain);
  ASSERT_GT(new_file.size(), 4u << 20);
  const std::string old_file = Save(BrainClass());
  int old_seen = 0, new_seen = 0;
  for (const int delay_us : {0, 0, 1000, 5000, 20000, -1}) {
    TempDir dir;
    const std::string target = dir.File("kb.clf");
    ASSERT_TRUE(WriteFileBytes(target, old_file));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        SaveLanguageFile(*brain, target);
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    if (delay_us >= 0) {
      // Wait until the save has begun: its temporary file exists.
      int status = 0;
      while (!HasTempFile(dir) && waitpid(pid, &status, WNOHANG) == 0)
        usleep(50);
      if (delay_us > 0) usleep(static_cast<useconds_t>(delay_us));
      kill(pid, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const std::optional<std::string> now = ReadFileBytes(target);
    ASSERT_TRUE(now.has_value());
    if (*now == old_file) {
      ++old_seen;
    } else {
      ASSERT_TRUE(*now == new_file)
          << "delay " << delay_us << ", size " << now->size();
      ++new_seen;
    }
  }
  EXPECT_GE(old_seen, 1);
  EXPECT_GE(new_seen, 1);
}

}  // namespace
}  // namespace corvane
