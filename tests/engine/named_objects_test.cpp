#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/a1U2.h"
#include "platform/clock.h"

namespace corvane {
namespace {

constexpr const char* kFieldMessage =
    "Corvane Internal Error.  Unknown Named Object Class Field: ";
constexpr const char* kNoModeMessage =
    "Sorry, I do not know anything at all yet!";

ResponseClass* AddTextResponse(PatternClass& pattern, const std::string& text,
                               const std::string& label = "") {
  auto r = std::make_unique<ResponseClass>();
  r->RESPONSETYPE = rt::kJustText;
  r->OUTTEXT = text;
  r->ObjectName = label;
  return pattern.AddResponse(std::move(r));
}

WordFragmentClass* AddWord(PatternClass& pattern, const std::string& word,
                           uint8_t relation = rel::kCustom,
                           const std::string& label = "") {
  auto f = std::make_unique<WordFragmentClass>();
  f->WORDFRAG = word;
  f->RELATION = relation;
  f->BONUS = 10;
  f->ObjectName = label;
  return pattern.AddFragment(std::move(f));
}

// A pattern that recognises `word` and answers `reply`.
PatternClass* AddWordPattern(KnowledgeClass& mode, const std::string& label,
                             const std::string& word,
                             const std::string& reply) {
  auto p = std::make_unique<PatternClass>();
  p->ObjectName = label;
  PatternClass* pattern = mode.AddPattern(std::move(p));
  AddWord(*pattern, word);
  AddTextResponse(*pattern, reply);
  return pattern;
}

TaskClass* AddTask(ResponseClass& response, uint8_t type,
                   const std::string& out, const std::string& label = "") {
  auto t = std::make_unique<TaskClass>();
  t->RESPONSETYPE = type;
  t->OUTTEXT = out;
  t->ObjectName = label;
  return response.AddTask(std::move(t));
}

KnowledgeClass* AddMode(BrainClass& brain, const std::string& name,
                        const std::string& label = "") {
  auto m = std::make_unique<KnowledgeClass>();
  m->ObjectName = label;
  return brain.AddMode(name, std::move(m));
}

// The text said last, or "(nothing)".
std::string LastSaid(const BrainClass& brain) {
  return brain.PendingOutput.empty()
             ? "(nothing)"
             : brain.PendingOutput.At(brain.PendingOutput.Count() - 1);
}

TEST(SetObjectFieldTest, FieldNamesAreUpperCasedButNotTrimmed) {
  BrainClass brain;
  PatternClass* p = AddWordPattern(*brain.Modes.At(0), "P1", "hello", "Hi");

  brain.SetObjectField("p1", "hitcount", "7");  // label ignores case too
  EXPECT_EQ(p->HITCOUNT, 7);
  EXPECT_TRUE(brain.PendingOutput.empty());

  brain.SetObjectField("P1", " hitcount", "9");
  EXPECT_EQ(p->HITCOUNT, 7);
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "P1  HITCOUNT");

  brain.SetObjectField("p1", "colour", "red");  // label as given
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "p1 COLOUR");
  EXPECT_EQ(brain.OutputHistory.At(0), LastSaid(brain));

  brain.PendingOutput.Clear();
  brain.SetObjectField("nobody", "colour", "red");
  EXPECT_TRUE(brain.PendingOutput.empty());
}

TEST(SetObjectFieldTest, IntegerAndFlagConversions) {
  struct Case {
    const char* field;
    const char* value;
    int32_t hitcount;
    bool volition;
  };
  const Case cases[] = {
      {"HITCOUNT", "5", 5, false},       {"HITCOUNT", "  5", 5, false},
      {"HITCOUNT", "5 ", 0, false},      {"HITCOUNT", "-12", -12, false},
      {"HITCOUNT", "$1F", 31, false},    {"HITCOUNT", "five", 0, false},
      {"HITCOUNT", "", 0, false},        {"HASVOLITION", "y", 0, true},
      {"HASVOLITION", "Yes", 0, true},   {"HASVOLITION", "true", 0, true},
      {"HASVOLITION", "yes ", 0, false}, {"HASVOLITION", " y", 0, false},
      {"HASVOLITION", "1", 0, false},    {"HASVOLITION", "on", 0, false},
  };
  for (const Case& c : cases) {
    BrainClass brain;
    PatternClass* p = AddWordPattern(*brain.Modes.At(0), "P", "x", "y");
    p->HITCOUNT = 99;
    p->HASVOLITION = !c.volition;
    brain.SetObjectField("P", c.field, c.value);
    if (std::string(c.field) == "HITCOUNT")
      EXPECT_EQ(p->HITCOUNT, c.hitcount) << "'" << c.value << "'";
    else
      EXPECT_EQ(p->HASVOLITION, c.volition) << "'" << c.value << "'";
    EXPECT_TRUE(brain.PendingOutput.empty());
  }
}

double FixedClock() {
  return 40000.25;
}

TEST(SetObjectFieldTest, PatternRealsKeepTheirDefaults) {
  SetClockForTesting(&FixedClock);
  BrainClass brain;
  PatternClass* p = AddWordPattern(*brain.Modes.At(0), "P", "x", "y");
  brain.SetObjectField("P", "VOLITIONWHEN", "soon");
  EXPECT_DOUBLE_EQ(p->VOLITIONWHEN, 9999999.99);
  brain.SetObjectField("P", "VOLITIONWHEN", " 12 ");
  EXPECT_DOUBLE_EQ(p->VOLITIONWHEN, 12);
  brain.SetObjectField("P", "LASTVOLITION", "soon");
  EXPECT_DOUBLE_EQ(p->LASTVOLITION, 40000.25);
  brain.SetObjectField("P", "LASTVOLITION", "3");
  EXPECT_DOUBLE_EQ(p->LASTVOLITION, 3);
  SetClockForTesting(nullptr);
}

TEST(SetObjectFieldTest, FragmentResponseAndTaskFields) {
  BrainClass brain;
  PatternClass* p = AddWordPattern(*brain.Modes.At(0), "P", "x", "y");
  WordFragmentClass* f = AddWord(*p, "cat", rel::kCustom, "F");
  ResponseClass* r = AddTextResponse(*p, "hello", "R");
  TaskClass* t = AddTask(*r, rt::kJustText, "tick", "T");

  brain.SetObjectField("F", "wordfrag", "Dog ");
  brain.SetObjectField("F", "RELATION", "  do-after ");
  brain.SetObjectField("F", "BONUS", "5 ");
  brain.SetObjectField("F", "PENALTY", " 7");
  brain.SetObjectField("F", "THENAME", " n ");
  brain.SetObjectField("F", "THEVALUE", "v");
  EXPECT_EQ(f->WORDFRAG, "Dog ");
  EXPECT_EQ(f->RELATION, rel::kDoAfter);
  EXPECT_EQ(f->BONUS, 0);
  EXPECT_EQ(f->PENALTY, 7);
  EXPECT_EQ(f->THENAME, " n ");
  EXPECT_EQ(f->THEVALUE, "v");
  brain.SetObjectField("F", "RELATION", "sideways");
  EXPECT_EQ(f->RELATION, rel::kNone);

  brain.SetObjectField("R", "RESPONSETYPE", "make code");
  brain.SetObjectField("R", "OUTTEXT", "o");
  brain.SetObjectField("R", "THENAME", "n");
  brain.SetObjectField("R", "THEVALUE", "v");
  EXPECT_EQ(r->RESPONSETYPE, rt::kMakeCode);
  EXPECT_EQ(r->OUTTEXT, "o");
  EXPECT_EQ(r->THENAME, "n");
  EXPECT_EQ(r->THEVALUE, "v");
  brain.SetObjectField("T", "RESPONSETYPE", " Set Label ");
  brain.SetObjectField("T", "THENAME", "L");
  EXPECT_EQ(t->RESPONSETYPE, rt::kSetLabel);
  EXPECT_EQ(t->THENAME, "L");
  brain.SetObjectField("T", "RESPONSETYPE", "Juggle");
  EXPECT_EQ(t->RESPONSETYPE, rt::kNone);
  EXPECT_TRUE(brain.PendingOutput.empty());

  // Keys of one class are unknown to another.
  brain.SetObjectField("F", "OUTTEXT", "o");
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "F OUTTEXT");
  brain.SetObjectField("T", "WORDFRAG", "w");
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "T WORDFRAG");
  brain.SetObjectField("P", "OUTTEXT", "w");
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "P OUTTEXT");
}

TEST(SetObjectFieldTest, GroupsModesStepsAndProcedures) {
  BrainClass brain;
  KnowledgeClass* mode = AddMode(brain, "Sales", "M");
  PatternClass* p = AddWordPattern(*mode, "P", "x", "y");
  auto th = std::make_unique<ThresholdClass>();
  th->ObjectName = "TH";
  ThresholdClass* threshold = p->AddThreshold(std::move(th));
  auto sg = std::make_unique<StateClass>();
  sg->ObjectName = "SG";
  StateClass* group = p->AddStateResponse(std::move(sg));
  auto pr = std::make_unique<ProcClass>();
  pr->ObjectName = "PR";
  ProcClass* proc = brain.AddProc("Order", std::move(pr));
  auto st = std::make_unique<StepClass>();
  st->ObjectName = "ST";
  StepClass* step = proc->AddStep("Ask", std::move(st));
  auto sp = std::make_unique<StepPatternClass>();
  sp->ObjectName = "SP";
  step->AddStepPattern(std::move(sp));
  auto co = std::make_unique<DataCollectionClass>();
  co->ObjectName = "CO";
  brain.AddCollection("Colours", std::move(co));

  brain.SetObjectField("TH", "THRESHFROM", " 2");
  brain.SetObjectField("TH", "threshto", "4");
  EXPECT_EQ(threshold->THRESHFROM, 2);
  EXPECT_EQ(threshold->THRESHTO, 4);
  brain.SetObjectField("SG", "STATE", " Angry");
  EXPECT_EQ(group->STATE, " Angry");
  brain.SetObjectField("M", "HASVOLITION", "Y");
  EXPECT_TRUE(mode->HasVolition);
  brain.SetObjectField("ST", "THENAME", "Question");
  brain.SetObjectField("ST", "THEPROMPT", "Which one?");
  EXPECT_EQ(step->Name, "Question");
  EXPECT_EQ(step->Prompt, "Which one?");
  EXPECT_EQ(proc->StepNames.IndexOf("Ask"), 0);  // keeps the old name
  brain.SetObjectField("PR", "THENAME", "Purchase");
  brain.SetObjectField("PR", "CURRENTSTEP", "Pay");
  brain.SetObjectField("PR", "STARTSTEP", "Greet");
  EXPECT_EQ(proc->Name, "Purchase");
  EXPECT_EQ(proc->CurrentStep, "Pay");
  EXPECT_EQ(proc->StartStep, "Greet");
  EXPECT_EQ(brain.ProcNames.IndexOf("Order"), 0);
  EXPECT_TRUE(brain.PendingOutput.empty());

  // Collections and step patterns have no fields; an empty name is quiet.
  brain.SetObjectField("CO", "", "x");
  brain.SetObjectField("SP", "", "x");
  EXPECT_TRUE(brain.PendingOutput.empty());
  brain.SetObjectField("CO", "members", "x");
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "CO MEMBERS");
  brain.SetObjectField("SP", " ", "x");
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "SP  ");
  brain.SetObjectField("ST", "STATE", "x");
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "ST STATE");
  brain.SetObjectField("M", "HITCOUNT", "x");
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "M HITCOUNT");
}

TEST(SetObjectFieldTest, BrainFieldsAndPositionsInRange) {
  BrainClass brain;
  AddMode(brain, "Second");
  brain.AddState("Busy");
  brain.AddProc("Order", std::make_unique<ProcClass>());

  brain.SetObjectField("MyBrain", "MYNAME", "Robbie");
  EXPECT_EQ(brain.Name, "Robbie");
  brain.SetObjectField("mybrain", "CURRENTMODE", "1");  // still found
  EXPECT_EQ(brain.CurrentMode, 1);
  brain.SetObjectField("Robbie", "CURRENTMODE", "0");  // not a label
  EXPECT_EQ(brain.CurrentMode, 1);

  struct Case {
    const char* field;
    const char* value;
    int32_t expected;
  };
  // Two modes, two states, one procedure; each row starts from position 1
  // for modes and states and 0 for the procedure.
  const Case cases[] = {
      {"CURRENTMODE", "0", 0},    {"CURRENTMODE", "-1", -1},
      {"CURRENTMODE", "2", 1},    {"CURRENTMODE", "-2", 1},
      {"CURRENTMODE", "zero", 0}, {"CURRENTSTATE", "0", 0},
      {"CURRENTSTATE", "2", 1},   {"CURRENTSTATE", "-1", -1},
      {"CURRENTPROC", "1", 0},    {"CURRENTPROC", "-1", -1},
      {"CURRENTPROC", " 0", 0},
  };
  for (const Case& c : cases) {
    brain.CurrentMode = 1;
    brain.CurrentState = 1;
    brain.CurrentProc = 0;
    brain.SetObjectField("MyBrain", c.field, c.value);
    const std::string field = c.field;
    const int32_t got = field == "CURRENTMODE"    ? brain.CurrentMode
                        : field == "CURRENTSTATE" ? brain.CurrentState
                                                  : brain.CurrentProc;
    EXPECT_EQ(got, c.expected) << c.field << " '" << c.value << "'";
  }

  brain.SetObjectField("MyBrain", "HASVOLITION", "TRUE");
  brain.SetObjectField("MyBrain", "SHOWBLANKOUTPUT", "y");
  EXPECT_TRUE(brain.HasVolition);
  EXPECT_TRUE(brain.ShowBlankOutput);
  brain.SetObjectField("MyBrain", "SHOWBLANKOUTPUT", "no");
  EXPECT_FALSE(brain.ShowBlankOutput);

  const double before = brain.LastInput;
  brain.SetObjectField("MyBrain", "LASTINPUT", "1.0");
  EXPECT_GT(brain.LastInput, before);
  EXPECT_NE(brain.LastInput, 1.0);
  EXPECT_TRUE(brain.PendingOutput.empty());

  brain.SetObjectField("MyBrain", "NAME", "x");
  EXPECT_EQ(LastSaid(brain), std::string(kFieldMessage) + "MyBrain NAME");
}

TEST(SetObjectFieldTest, LastOutputIsRememberedButNotSaid) {
  BrainClass brain;
  brain.Say("first");
  brain.SetObjectField("MyBrain", "LASTOUTPUT", "remembered");
  EXPECT_EQ(brain.RecallOutput("0"), "remembered");
  EXPECT_EQ(brain.RecallOutput("1"), "first");
  ASSERT_EQ(brain.PendingOutput.Count(), 1);
  EXPECT_EQ(brain.PendingOutput.At(0), "first");
}

TEST(NamedObjectsTest, DuplicateLabelsReachTheFirstUntilItIsDeleted) {
  BrainClass brain;
  PatternClass* a = AddWordPattern(*brain.Modes.At(0), "Twin", "apple", "A");
  PatternClass* b = AddWordPattern(*brain.Modes.At(0), "twin", "banana", "B");
  brain.SetObjectField("TWIN", "HITCOUNT", "1");
  EXPECT_EQ(a->HITCOUNT, 1);
  EXPECT_EQ(b->HITCOUNT, 0);

  brain.DeleteNamedObject("Twin");
  EXPECT_EQ(brain.Modes.At(0)->Patterns.Count(), 1);
  EXPECT_EQ(brain.Modes.At(0)->Patterns.At(0), b);
  brain.SetObjectField("TWIN", "HITCOUNT", "2");
  EXPECT_EQ(b->HITCOUNT, 2);
  EXPECT_EQ(brain.Respond("apple"), "B");  // the deleted pattern is gone
  brain.DeleteNamedObject("twin");
  brain.DeleteNamedObject("twin");  // unknown now: nothing happens
  EXPECT_TRUE(brain.Modes.At(0)->Patterns.empty());
}

TEST(DeleteNamedObjectTest, EachKindLeavesItsOwner) {
  BrainClass brain;
  PatternClass* p = AddWordPattern(*brain.Modes.At(0), "P", "x", "y");
  AddWord(*p, "cat", rel::kCustom, "F");
  ResponseClass* r = AddTextResponse(*p, "r", "R");
  AddTask(*r, rt::kJustText, "t", "T");
  auto th = std::make_unique<ThresholdClass>();
  th->ObjectName = "TH";
  ThresholdClass* threshold = p->AddThreshold(std::move(th));
  auto tr = std::make_unique<ResponseClass>();
  tr->ObjectName = "TR";
  threshold->AddResponse(std::move(tr));
  auto sg = std::make_unique<StateClass>();
  sg->ObjectName = "SG";
  StateClass* group = p->AddStateResponse(std::move(sg));
  auto gr = std::make_unique<ResponseClass>();
  gr->ObjectName = "GR";
  group->AddResponse(std::move(gr));
  ProcClass* proc = brain.AddProc("Order", std::make_unique<ProcClass>());
  StepClass* step = proc->AddStep("Ask", std::make_unique<StepClass>());
  auto sp = std::make_unique<StepPatternClass>();
  sp->ObjectName = "SP";
  StepPatternClass* spat = step->AddStepPattern(std::move(sp));
  auto sf = std::make_unique<WordFragmentClass>();
  sf->ObjectName = "SF";
  spat->AddFragment(std::move(sf));
  auto sr = std::make_unique<ResponseClass>();
  sr->ObjectName = "SR";
  spat->AddResponse(std::move(sr));
  auto co = std::make_unique<DataCollectionClass>();
  co->ObjectName = "CO";
  brain.AddCollection("Colours", std::move(co));

  ASSERT_EQ(p->Fragments.Count(), 2);
  brain.DeleteNamedObject("F");
  EXPECT_EQ(p->Fragments.Count(), 1);
  brain.DeleteNamedObject("T");
  EXPECT_TRUE(r->Tasks.empty());
  brain.DeleteNamedObject("TR");
  EXPECT_TRUE(threshold->Responses.empty());
  brain.DeleteNamedObject("GR");
  EXPECT_TRUE(group->Responses.empty());
  ASSERT_EQ(p->Responses.Count(), 2);
  brain.DeleteNamedObject("R");
  EXPECT_EQ(p->Responses.Count(), 1);
  brain.DeleteNamedObject("TH");
  EXPECT_TRUE(p->Thresholds.empty());
  brain.DeleteNamedObject("SG");
  EXPECT_TRUE(p->StateResponses.empty());
  brain.DeleteNamedObject("SF");
  EXPECT_TRUE(spat->Fragments.empty());
  brain.DeleteNamedObject("SR");
  EXPECT_TRUE(spat->Responses.empty());
  brain.DeleteNamedObject("SP");
  EXPECT_TRUE(step->StepPatterns.empty());
  brain.DeleteNamedObject("CO");
  EXPECT_EQ(brain.FindCollection("Colours"), nullptr);
  EXPECT_EQ(brain.Collections.Count(), 0);
  // Only the entries of the deleted items themselves left the registry.
  EXPECT_EQ(brain.NamedObjects.Count(), 2);  // MyBrain and P
}

TEST(DeleteNamedObjectTest, PartsOfADeletedItemStayUsable) {
  BrainClass brain;
  PatternClass* p = AddWordPattern(*brain.Modes.At(0), "P", "x", "y");
  AddTextResponse(*p, "r", "R");
  AddWord(*p, "cat", rel::kDoBefore, "F");
  AddWord(*p, "dog", rel::kDoAfter);
  ASSERT_EQ(brain.DoBeforePatterns.size(), 1u);
  brain.DeleteNamedObject("P");
  EXPECT_TRUE(brain.DoBeforePatterns.empty());
  EXPECT_TRUE(brain.DoAfterPatterns.empty());
  // Registry entries of its parts still lead to live (detached) items.
  brain.SetObjectField("R", "OUTTEXT", "changed");
  brain.SetObjectField("F", "BONUS", "3");
  brain.DeleteNamedObject("R");
  brain.DeleteNamedObject("F");
  EXPECT_EQ(brain.Respond("x"), kModeFallbackMessage);
}

TEST(DeleteNamedObjectTest, ModesKeepTheCurrentPositionValid) {
  BrainClass brain;
  brain.Modes.At(0)->ObjectName = "M0";
  brain.RegisterNamedObject("M0", brain.Modes.At(0));
  KnowledgeClass* m1 = AddMode(brain, "One", "M1");
  KnowledgeClass* m2 = AddMode(brain, "Two", "M2");
  AddWordPattern(*m2, "P2", "x", "two");
  PatternClass* before = AddWordPattern(*m1, "", "x", "one");
  AddWord(*before, "", rel::kDoBefore);

  brain.CurrentMode = 2;
  brain.DeleteNamedObject("M0");  // before the current one: shifts down
  EXPECT_EQ(brain.CurrentMode, 1);
  EXPECT_EQ(brain.ModeNames.At(0), "One");
  EXPECT_EQ(brain.ModeNames.At(1), "Two");
  EXPECT_EQ(brain.Modes.At(1), m2);
  EXPECT_EQ(brain.Respond("x"), "one  two");  // Do-Before, then the mode

  brain.DeleteNamedObject("M1");  // its Do-Before pattern stops firing
  EXPECT_TRUE(brain.DoBeforePatterns.empty());
  EXPECT_EQ(brain.CurrentMode, 0);
  EXPECT_EQ(brain.Respond("x"), "two");

  brain.DeleteNamedObject("m2");  // the current and last one
  EXPECT_EQ(brain.CurrentMode, -1);
  EXPECT_TRUE(brain.Modes.empty());
  EXPECT_TRUE(brain.ModeNames.empty());
  EXPECT_EQ(brain.Respond("x"), kNoModeMessage);
  brain.SetObjectField("MyBrain", "CURRENTMODE", "0");  // nothing to point at
  EXPECT_EQ(brain.CurrentMode, -1);
  brain.CreateAutoPattern("hello", "1", "Hi");  // nowhere to learn into
  EXPECT_EQ(brain.NamedObjects.Count(), 2);     // MyBrain and P2
}

TEST(DeleteNamedObjectTest, DeletingTheCurrentModeFallsBackToTheFirst) {
  BrainClass brain;
  AddWordPattern(*brain.Modes.At(0), "", "x", "default");
  AddMode(brain, "One", "M1");
  AddMode(brain, "Two");
  brain.CurrentMode = 1;
  brain.DeleteNamedObject("M1");
  EXPECT_EQ(brain.CurrentMode, 0);
  EXPECT_EQ(brain.Respond("x"), "default");
}

TEST(DeleteNamedObjectTest, ProceduresAndSteps) {
  BrainClass brain;
  auto first = std::make_unique<ProcClass>();
  first->ObjectName = "PR0";
  brain.AddProc("First", std::move(first));
  auto order = std::make_unique<ProcClass>();
  order->ObjectName = "PR1";
  ProcClass* proc = brain.AddProc("Order", std::move(order));
  auto ask = std::make_unique<StepClass>();
  ask->ObjectName = "ASK";
  ask->Prompt = "What?";
  proc->AddStep("Ask", std::move(ask));
  auto pay = std::make_unique<StepClass>();
  pay->ObjectName = "PAY";
  pay->Prompt = "Pay now.";
  proc->AddStep("Pay", std::move(pay));

  brain.StartProc("Order");
  ASSERT_EQ(brain.CurrentProc, 1);
  brain.PendingOutput.Clear();
  brain.DeleteNamedObject("PR0");
  EXPECT_EQ(brain.CurrentProc, 0);
  EXPECT_EQ(brain.ProcNames.At(0), "Order");

  brain.DeleteNamedObject("ASK");  // the current step
  ASSERT_EQ(proc->StepNames.Count(), 1);
  EXPECT_EQ(proc->StepNames.At(0), "Pay");
  EXPECT_EQ(brain.Respond("anything"),
            "There is a problem with the procedure Order.  There is not a "
            "current step!  ");
  brain.SetStep("Pay");
  EXPECT_EQ(brain.Respond("anything"),
            std::string(kNoStepPatternsMessage) + "  Pay now.");

  brain.DeleteNamedObject("PR1");  // the running procedure
  EXPECT_EQ(brain.CurrentProc, -1);
  EXPECT_TRUE(brain.Procs.empty());
  EXPECT_TRUE(brain.ProcNames.empty());
  EXPECT_EQ(brain.Respond("anything"), kModeFallbackMessage);
  brain.DeleteNamedObject("PAY");  // a step of a deleted procedure
}

TEST(DeleteNamedObjectTest, DeletingMyBrainLeavesTheBrainWorking) {
  BrainClass brain;
  AddWordPattern(*brain.Modes.At(0), "", "x", "still here");
  brain.DeleteNamedObject("MyBrain");
  EXPECT_EQ(brain.NamedObjects.IndexOf("MyBrain"), -1);
  brain.SetObjectField("MyBrain", "MYNAME", "Other");
  EXPECT_EQ(brain.Name, "MyBrain");
  EXPECT_EQ(brain.Respond("x"), "still here");
}

// A task list that deletes its own task, its response, the response's
// pattern and the mode: everything goes on running on live objects.
TEST(DeleteNamedObjectTest, RunningTaskListDeletesItsOwnOwners) {
  BrainClass brain;
  KnowledgeClass* mode = brain.Modes.At(0);
  mode->ObjectName = "M";
  brain.RegisterNamedObject("M", mode);
  auto p = std::make_unique<PatternClass>();
  p->ObjectName = "P";
  PatternClass* pattern = mode->AddPattern(std::move(p));
  AddWord(*pattern, "forget");
  AddWord(*pattern, "", rel::kDoAfter);
  auto r = std::make_unique<ResponseClass>();
  r->ObjectName = "R";
  r->RESPONSETYPE = rt::kTaskList;
  r->OUTTEXT = "done";
  ResponseClass* response = pattern->AddResponse(std::move(r));
  AddTask(*response, rt::kDeleteObject, "T1", "T1");
  AddTask(*response, rt::kJustText, "passed over");
  AddTask(*response, rt::kDeleteObject, "R");
  AddTask(*response, rt::kDeleteObject, "P");
  AddTask(*response, rt::kJustText, "still running");
  AddTask(*response, rt::kDeleteObject, "M");
  AddTask(*response, rt::kJustText, "last task");

  // The run goes on over the list as it now stands: deleting T1 shifts the
  // others down by one, so the task right after it is passed over.
  EXPECT_EQ(brain.Respond("forget"), "still running  last task  done");
  EXPECT_EQ(brain.CurrentMode, -1);
  EXPECT_TRUE(brain.DoAfterPatterns.empty());
  EXPECT_EQ(brain.Respond("forget"), kNoModeMessage);
}

TEST(NamedObjectResponsesTest, SelfModifyAndDeleteObjectThroughResponses) {
  BrainClass brain;
  KnowledgeClass* mode = brain.Modes.At(0);
  PatternClass* target = AddWordPattern(*mode, "Target", "target", "T");
  auto p = std::make_unique<PatternClass>();
  PatternClass* edit = mode->AddPattern(std::move(p));
  AddWord(*edit, "edit");
  auto r = std::make_unique<ResponseClass>();
  r->RESPONSETYPE = rt::kSelfModify;
  r->OUTTEXT = "Target";
  r->THENAME = "hitcount";
  r->THEVALUE = "41";
  edit->AddResponse(std::move(r));
  auto q = std::make_unique<PatternClass>();
  PatternClass* drop = mode->AddPattern(std::move(q));
  AddWord(*drop, "drop");
  auto d = std::make_unique<ResponseClass>();
  d->RESPONSETYPE = rt::kDeleteObject;
  d->OUTTEXT = "Target";
  drop->AddResponse(std::move(d));

  EXPECT_EQ(brain.Respond("edit"), "");  // "Self Modify" says nothing
  EXPECT_EQ(target->HITCOUNT, 41);
  EXPECT_EQ(brain.Respond("target"), "T");
  EXPECT_EQ(target->HITCOUNT, 42);
  EXPECT_EQ(brain.Respond("drop"), "Target");  // says its OUTTEXT
  EXPECT_EQ(mode->Patterns.Count(), 2);
  EXPECT_EQ(brain.Respond("target"), "");  // first of equal scores: edit
}

}  // namespace
}  // namespace corvane
