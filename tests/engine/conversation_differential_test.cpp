// Conversations on shared knowledge against full private brains. Each
// knowledge base is loaded twice from the same lines: once as a brain of
// its own per visitor, once frozen and shared by two conversations whose
// turns interleave. A third conversation is written to bytes and restored
// before every turn. With the same seed and clock, every turn must give
// the same reply (or error) and leave the same state as its brain sees it:
// facts, states, hit counts, current steps, collections and their picks,
// labels, histories and the generator. Knowledge bases are the demo and
// generated ones that use every kind of response a conversation changes
// state with, procedures, learning, self edits and deletions.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "engine/a1U2.h"
#include "engine/conversation.h"
#include "engine/conversation_snapshot.h"
#include "engine/effects.h"
#include "engine/knowledge_codec.h"
#include "langfile/CorvLangU.h"

namespace corvane {
namespace {

// Sanitizer builds run a part of the turns (CORVANE_TEST_SCALE divides).
constexpr int kScale = CORVANE_TEST_SCALE;
constexpr int kGeneratedBases = 120 / kScale > 0 ? 120 / kScale : 1;
constexpr int kTurnsPerBase = 300;
constexpr int kDemoTurns = 15000 / kScale;
constexpr double kDay0 = 46000.5;  // Noon of a day in 2025.

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::unique_ptr<BrainClass> LoadBrain(const std::vector<std::string>& lines) {
  auto brain = std::make_unique<BrainClass>();
  brain->Seed(7);  // Automatic names drawn while reading are the same.
  AttachLanguageReader(*brain);
  LoadLanguageLines(*brain, lines, [](const LanguageProblem&) {});
  return brain;
}

// Everything a turn can change, as the turn's view shows it.
std::string Dump(const TurnRunner& turn) {
  const ConversationState& s = turn.state();
  const BrainClass& k = turn.knowledge();
  std::ostringstream out;
  out << s.Name << '|' << s.CurrentMode << '|' << s.CurrentState << '|'
      << s.CurrentProc << '|' << s.HasVolition << '|' << s.ShowBlankOutput
      << '|' << s.LastInput << '|' << s.LastPat << '|' << s.LastSPat << '|'
      << s.LastFrag << '|' << s.LastResp << '|' << s.LastTask << '|'
      << s.LastKnow << '|' << s.learnt_bytes() << "\n";
  for (const NameList* list : {&s.ProcStack, &s.StepStack}) {
    for (const NameList::Entry& e : list->entries()) out << e.name << '^';
    out << "\n";
  }
  for (const TextHistory* history : {&s.InputHistory, &s.OutputHistory}) {
    for (const std::string_view text : *history) out << text << '^';
    out << "\n";
  }
  for (const NameList::Entry& e : s.PendingOutput.entries())
    out << e.name << '^';
  out << "\n";
  uint64_t random[4];
  s.random().GetState(random);
  out << random[0] << ' ' << random[1] << ' ' << random[2] << ' ' << random[3]
      << "\nfacts:";
  for (int i = 0; i < turn.FactCount(); ++i)
    out << turn.FactName(i) << '=' << turn.FactValue(i) << ';';
  out << "\nstates:";
  for (int i = 0; i < turn.StateCount(); ++i) out << turn.StateName(i) << ';';
  out << "\nmodes:";
  for (const auto& mode : k.Modes) {
    out << mode->Name << '[';
    for (const auto& p : mode->Patterns)
      out << p->ObjectName.str() << ':' << turn.HitCount(*p) << ':'
          << p->Fragments.Count() << ':' << p->Responses.Count() << ',';
    out << ']';
  }
  out << "\nprocs:";
  for (const auto& proc : k.Procs)
    out << proc->Name << '@' << turn.CurrentStepOf(*proc) << ';';
  out << "\ncollections:";
  for (const DataCollectionClass* c : turn.AllCollections()) {
    const CollectionPicks picks = turn.PicksOf(*c);
    out << c->CollectionName << '{';
    for (const NameList::Entry& e : c->Members.entries()) out << e.name << ',';
    out << '}' << picks.member_pick << '@' << picks.member_pick_time << '/'
        << picks.member_sub_pick << '@' << picks.member_sub_pick_time << ';';
  }
  return out.str();
}

template <typename Turn>
std::string Reply(Turn&& turn) {
  try {
    return turn();
  } catch (const Error& e) {
    return std::string("ERROR ") + e.kind_name() + ": " + e.what();
  }
}

std::unique_ptr<Conversation> RoundTrip(
    const std::shared_ptr<const SharedKnowledge>& shared,
    const Conversation& c) {
  auto restored = ReadSnapshot(shared, WriteSnapshot(c));
  restored->state().SetEffects(&DiscardedEffects());
  return restored;
}

// One visitor: a brain of its own and the conversation that must match it.
struct Visitor {
  std::unique_ptr<BrainClass> brain;
  std::unique_ptr<Conversation> conversation;
  bool restored_every_turn = false;
};

// Runs `turns` inputs from `next_input` through three visitors over one
// knowledge base and fails at the first difference, naming the turn.
// Returns how many conversations were promoted by the end.
int RunSideBySide(const std::vector<std::string>& lines, uint64_t seed,
                  int turns, const std::function<std::string(int)>& next_input,
                  const std::string& what) {
  std::shared_ptr<const SharedKnowledge> shared =
      SharedKnowledge::Freeze(LoadBrain(lines));
  const uint64_t fingerprint = shared->fingerprint();
  ByteWriter frozen_before;
  KnowledgeCodec::Encode(shared->brain(), frozen_before, true);

  std::vector<Visitor> visitors(3);
  for (std::size_t v = 0; v < visitors.size(); ++v) {
    Visitor& visitor = visitors[v];
    visitor.brain = LoadBrain(lines);
    visitor.brain->Seed(seed + v);
    visitor.brain->SetEffects(&DiscardedEffects());
    visitor.conversation = std::make_unique<Conversation>(shared, seed + v);
    visitor.conversation->state().SetEffects(&DiscardedEffects());
    visitor.restored_every_turn = v == 2;
    const std::string a = Reply([&] {
      visitor.brain->turn().Start(kDay0);
      return std::string();
    });
    const std::string b = Reply([&] {
      visitor.conversation->Start(kDay0);
      return std::string();
    });
    EXPECT_EQ(a, b) << what << " start";
  }
  for (int t = 0; t < turns; ++t) {
    Visitor& visitor = visitors[static_cast<std::size_t>(t) % visitors.size()];
    if (visitor.restored_every_turn)
      visitor.conversation = RoundTrip(shared, *visitor.conversation);
    const std::string input = next_input(t);
    const double now = kDay0 + t / 86400.0;  // A second apart.
    const std::string expected =
        Reply([&] { return visitor.brain->Respond(input, now); });
    const std::string got =
        Reply([&] { return visitor.conversation->Respond(input, now); });
    if (expected != got ||
        Dump(visitor.brain->turn()) != Dump(visitor.conversation->turn())) {
      ADD_FAILURE() << what << ", turn " << t << ", visitor "
                    << t % visitors.size()
                    << " (restored every turn: " << visitor.restored_every_turn
                    << ", promoted: " << visitor.conversation->promoted()
                    << "), input \"" << input << "\"\nbrain: " << expected
                    << "\nconversation: " << got << "\nbrain state:\n"
                    << Dump(visitor.brain->turn()) << "\nconversation state:\n"
                    << Dump(visitor.conversation->turn());
      return -1;
    }
  }
  // No conversation wrote into what they share.
  ByteWriter frozen_after;
  KnowledgeCodec::Encode(shared->brain(), frozen_after, true);
  EXPECT_TRUE(frozen_before.bytes() == frozen_after.bytes())
      << what << ": the shared knowledge changed";
  EXPECT_EQ(fingerprint, shared->fingerprint());
  int promoted = 0;
  for (const Visitor& v : visitors) promoted += v.conversation->promoted();
  return promoted;
}

// ---- Generated knowledge bases ----

const char* const kWords[] = {"apple", "pear", "plum",  "red",  "blue",
                              "hello", "help", "book",  "stop", "go",
                              "learn", "name", "zebra", "one",  "two"};

class KnowledgeGenerator {
 public:
  KnowledgeGenerator(uint64_t seed, bool learning)
      : rng_(seed), learning_(learning) {}

  std::string Word() { return kWords[Pick(std::size(kWords))]; }
  std::string Input() {
    switch (Pick(8)) {
      case 0:
        return "my name is " + Word();
      case 1:
        return "";
      default: {
        std::string text = Word();
        for (std::size_t n = Pick(4); n > 0; --n) text += " " + Word();
        return text;
      }
    }
  }

  std::vector<std::string> Build() {
    out_.clear();
    Line("Corvane 8.0 Corvane-Language File");
    Line("State {Happy}");
    Line("State {Sad}");
    patterns_ = 8 + static_cast<int>(Pick(16));
    // The first mode, with a greeting, a step before every turn and a
    // fallback first.
    Line("Name-Object {Front}");
    Line("For-Mode");
    Line("Name-Object {Greet}");
    Line("  Fragment Initialize,0,0, {}, {}, {}");
    Line("  Response {Hi, ^Member{Fruit}!},Just Text,{},{}");
    Line("For-Mode");
    Line("Name-Object {Before}");
    Line("  Fragment Do-Before,0,0, {}, {}, {}");
    Line("  Response {},Assignment,{Heard},{^Input{0}}");
    for (int p = 0; p < patterns_; ++p) Pattern("P" + std::to_string(p));
    Line("For-Mode");
    Line("Name-Object {After}");
    Line("  Fragment Do-After,0,0, {}, {}, {}");
    Line("  Response {},Assignment,{Turns},{^Add{^Fact{Turns}|1}}");
    Line("Mode {Second}");
    for (int p = 0; p < 4; ++p) Pattern("Q" + std::to_string(p));
    Line("For-Mode");
    Line("  Fragment CUSTOM,50,0, {go}, {}, {}");
    Line("  Response {back},Mode Change,{Front},{}");
    Line("Procedure {Proc}");
    for (int s = 0; s < 3; ++s) {
      Line("Step {S" + std::to_string(s) + "},{Step " + std::to_string(s) +
           " of ^Fact{Heard}}");
      Line("  For-Step");
      Line("    Response {},Goto Step,{S" + std::to_string((s + 1) % 3) +
           "},{}");
      Line("  For-Step");
      Line("    Fragment CUSTOM,100,0, {stop}, {}, {}");
      Line("    Response {stopped},Halt Proc,{},{}");
      Line("  For-Step");
      Line("    Fragment CUSTOM,60,0, {" + Word() + "}, {}, {}");
      Response("    ", false);
    }
    Line("Fact {Turns} = {0}");
    Line("Fact {Heard} = {}");
    Line("Start-Collection {Fruit}");
    Line("apple");
    Line("pear");
    Line("plum");
    Line("End-Collection");
    Line("Start-Collection {Colours}");
    Line("red");
    Line("blue");
    Line("End-Collection");
    Line("Start-Collection {Code}");
    Line("Fact {Made} = {yes}");
    Line("End-Collection");
    return out_;
  }

 private:
  std::size_t Pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  void Line(std::string line) { out_.push_back(std::move(line)); }
  std::string Label() {
    return Pick(2) == 0 ? "P" + std::to_string(Pick(patterns_))
                        : "Q" + std::to_string(Pick(4));
  }

  void Pattern(const std::string& label) {
    Line("For-Mode");
    Line("Name-Object {" + label + "}");
    for (std::size_t f = Pick(3); f > 0; --f) {
      switch (Pick(7)) {
        case 0:
          Line("  Fragment OR,0,0, {" + Word() + "}, {}, {}");
          break;
        case 1:
          Line("  Fragment NOT,0,0, {" + Word() + "}, {}, {}");
          break;
        case 2:
          Line("  Fragment In Collection,30,0, {}, {Fruit}, {}");
          break;
        case 3:
          Line("  Fragment Data-Match,20,5, {}, {Heard}, {" + Word() + "}");
          break;
        case 4:
          Line("  Fragment EXTRACT,40,0, {my name is ^Extr{Name}}, {}, {}");
          break;
        case 5:
          Line("  Fragment State-Match,10,0, {}, {Happy}, {}");
          break;
        default:
          Line("  Fragment CUSTOM," + std::to_string(5 + Pick(40)) + ",0, {" +
               Word() + "}, {}, {}");
      }
    }
    for (std::size_t r = 1 + Pick(2); r > 0; --r) Response("  ", true);
    if (Pick(3) == 0) {
      Line("  Threshold 2,3");
      Response("    ", true);
    }
    if (Pick(4) == 0) {
      Line("  For-State {Happy}");
      Response("    ", true);
    }
  }

  // One response, or a task list of a few, with a type a conversation
  // changes its state with. Structural edits only where `learning_`.
  void Response(const std::string& indent, bool tasks_allowed) {
    if (tasks_allowed && Pick(6) == 0) {
      Line(indent + "Response {},Task List,{},{}");
      for (std::size_t t = 1 + Pick(3); t > 0; --t) Task(indent + "  Task ");
      return;
    }
    Task(indent + "Response ");
  }

  void Task(const std::string& head) {
    auto say = [&](const std::string& out, const std::string& type,
                   const std::string& name, const std::string& value) {
      Line(head + "{" + out + "}," + type + ",{" + name + "},{" + value + "}");
    };
    const std::size_t kinds = learning_ ? 26 : 20;
    switch (Pick(kinds)) {
      case 0:
        return say("Fruit ^Member{Fruit} and ^Member{Fruit}", "Just Text", "",
                   "");
      case 1:
        return say("You said ^Input{0}, before ^Input{1}; I said ^Output{0}",
                   "Just Text", "", "");
      case 2:
        return say("", "Assignment", "F" + std::to_string(Pick(3)),
                   "^Input{0}");
      case 3:
        return say("to second", "Mode Change", "Second", "");
      case 4:
        return say("happy", "State Change", Pick(2) ? "Happy" : "Wild", "");
      case 5:
        return say("reset", "Reset State", "", "");
      case 6:
        return say("hits", "Reset Hits", "", "");
      case 7:
        return say("all hits", Pick(2) ? "Reset KM Hits" : "Reset Brain Hits",
                   "", "");
      case 8:
        return say("added", "Add To Collection", Pick(2) ? "Colours" : "Fresh",
                   "^Input{0}");
      case 9:
        return say("removed", "Remove From Collection", "Fruit", Word());
      case 10:
        return say("proc", "Start Proc", "Proc", "");
      case 11:
        return say("call", "Call Proc", "Proc", "");
      case 12:
        return say("return", "Proc Return", "", "");
      case 13:
        return say("", "Submit This", Word(), "");
      case 14:
        return say("log", "Log This", "log.txt", "^Input{0}");
      case 15:
        return say("cleared", "Clear Collection", "Colours", "");
      case 16:
        return say("words", "Words To Collection", "^Input{0}", "Said");
      case 17:
        return say("sub ^MemberSub{Colours} ^Fact{Name} ^SysFact{TIME}",
                   "Just Text", "", "");
      case 18:
        return say("saved", "Save Collection", "Fruit", "fruit.txt");
      case 19:
        return say("", "Self Modify", Label(), "HITCOUNT");
      // Structural edits: each promotes its conversation.
      case 20:
        return say(Label(), "Delete Object", "", "");
      case 21:
        return say("learn " + Word(), "Create AutoPattern", "30", "learnt");
      case 22:
        return say("more ^Input{0}", "Add Response", "", "");
      case 23:
        return say(Word(), "Add Fragment", "15", "");
      case 24:
        return say("Code", "Make Code", "", "");
      default:
        return say(Label(), "Self Modify", "OUTTEXT", "edited");
    }
  }

  std::mt19937_64 rng_;
  bool learning_;
  int patterns_ = 0;
  std::vector<std::string> out_;
};

TEST(ConversationDifferentialTest, GeneratedKnowledgeMatchesPrivateBrains) {
  int promoted = 0;
  int unpromoted = 0;
  for (int b = 0; b < kGeneratedBases; ++b) {
    const bool learning = b % 3 == 2;
    KnowledgeGenerator gen(1000 + b, learning);
    const std::vector<std::string> lines = gen.Build();
    const int p = RunSideBySide(
        lines, 5000 + b, kTurnsPerBase, [&](int) { return gen.Input(); },
        "knowledge base " + std::to_string(b));
    ASSERT_GE(p, 0);
    promoted += p;
    unpromoted += 3 - p;
  }
  // Both kinds of conversation were compared.
  EXPECT_GT(promoted, 0);
  EXPECT_GT(unpromoted, kGeneratedBases);
}

TEST(ConversationDifferentialTest, DemoVisitsMatchPrivateBrains) {
  std::ifstream file(std::string(CORVANE_SOURCE_DIR) +
                     "/demo/wwwroot/CorvWebDemo.clf");
  std::stringstream text;
  text << file.rdbuf();
  const std::vector<std::string> lines = SplitLines(text.str());
  ASSERT_GT(lines.size(), 300u);
  // What visitors of the demo say, teaching included.
  const std::vector<std::string> inputs = {"hello",
                                           "my name is Anna",
                                           "what is on the menu",
                                           "tell me a joke",
                                           "book a table",
                                           "Anna",
                                           "tomorrow",
                                           "4",
                                           "yes",
                                           "help",
                                           "risotto",
                                           "what time is it",
                                           "thanks",
                                           "bye",
                                           "hi",
                                           "cancel",
                                           "what is my name",
                                           "how can I teach you",
                                           "good night",
                                           "",
                                           "back",
                                           "stop"};
  // Teaching is rare: most demo visits stay on the shared knowledge.
  const std::string teach = "when I say good night, answer sleep well";
  std::mt19937_64 rng(42);
  const int promoted = RunSideBySide(
      lines, 77, kDemoTurns,
      [&](int t) {
        if (t % 1501 == 1000) return teach;
        return inputs[std::uniform_int_distribution<std::size_t>(
            0, inputs.size() - 1)(rng)];
      },
      "demo");
  ASSERT_GE(promoted, 0);
  // Teaching promoted a visitor (unless a procedure held the input); the
  // others stayed on the shared knowledge.
  if (kDemoTurns > 4002) {
    EXPECT_GE(promoted, 1);
  }
}

}  // namespace
}  // namespace corvane
