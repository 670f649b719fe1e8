// The indexed choice of a pattern against the plain scorer that scores
// every pattern in full: random knowledge bases, random inputs and random
// changes between turns must give the same replies, facts, hit counts,
// labels and errors, turn by turn.
#include "engine/pattern_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/a1U2.h"
#include "engine/macros.h"
#include "kb_builder.h"
#include "langfile/CorvLangU.h"
#include "tests/reference/plain_scorer.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

using namespace testing_kb;

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// Fragment texts: substrings that are not whole words ('cat' in 'catcat',
// 'ab' in 'aabb'), phrases, blanks to trim, Windows-1252 letters whose
// case folds, and macros.
const char* const kTexts[] = {"cat",         "CAT",
                              " cat ",       "dog",
                              "the cat",     "ab",
                              "aabb",        "a",
                              "catcat",      "at",
                              "cat dog",     "\xe9t\xe9",
                              "\xc9T\xc9",   "",
                              "  ",          "x-ray",
                              "ray",         "^Fact{w}",
                              "^LastFrag{}", "^State{}",
                              "^",           "dog^",
                              "^fact{}",     "^Remain{}",
                              "my ^Extr{w}", "is ^Extr{v} ok",
                              "^MemberX{words}", "^Add{1|2}"};

// Input words, including macro openings and their look-alikes.
const char* const kWords[] = {
    "cat",       "Cat",      "catcat",   "dog",       "the",
    "aabb",      "ab",       "a",        "x-ray",     "ray",
    "\xe9t\xe9", "my",       "is",       "ok",        "^",
    "^^",        "^Fact{w}", "^State{}", "^Remain{}", "^LastFrag{}",
    "^fact{",    "^Rem",     "CATDOG",   "dogcat",    "b",
    // Random draws, remembered picks, counters and pure arithmetic; and
    // openings that appear only once a fragment text ('cat') is cut out.
    "^MemberX{words}", "^Member{words}", "^AutoName{}", "^Add{2|3}",
    "^Remain{}^Remain{}", "^MemcatberX{words}", "^LastcatFrag{}",
    "^RemcatAIN{}"};

const int32_t kScores[] = {0,     10,     -10,  5,    100,     -30000,
                           30000, -29990, kMax, kMin, 1 << 30, -(1 << 30)};

class World {
 public:
  explicit World(uint32_t seed) : rng_(seed) {}

  int Pick(int n) {
    return static_cast<int>(rng_() % static_cast<uint32_t>(n));
  }
  bool Chance(int percent) { return Pick(100) < percent; }
  template <typename T, std::size_t N>
  const T& PickOf(const T (&a)[N]) {
    return a[Pick(static_cast<int>(N))];
  }

  uint8_t Relation() {
    // Mostly the kinds the index handles, all kinds now and then.
    static const uint8_t kCommon[] = {rel::kAnd,    rel::kOr,
                                      rel::kNot,    rel::kCustom,
                                      rel::kCustom, rel::kCustomSub};
    return Chance(75) ? PickOf(kCommon)
                      : static_cast<uint8_t>(Pick(kRelationCount));
  }

  void AddRandomFragment(PatternClass* p, int label) {
    auto f = MakeFragment(Relation(), PickOf(kTexts), PickOf(kScores),
                          Chance(70) ? Pick(20) : PickOf(kScores),
                          Chance(50) ? "w" : "v", Chance(50) ? "#" : "CAT");
    if (f->RELATION == rel::kInCollection ||
        f->RELATION == rel::kInCollectionSub)
      f->THENAME = "words";
    f->ObjectName = "F" + std::to_string(label);
    p->AddFragment(std::move(f));
  }

  void AddRandomResponse(PatternClass* p) {
    switch (Pick(12)) {
      case 0:
        AddResponse(p, rt::kCreateAutoPattern, "cat dog", "7", "learnt");
        break;
      case 1:
        AddResponse(p, rt::kSelfModify, "F" + std::to_string(Pick(labels_ + 1)),
                    Chance(50) ? "WORDFRAG" : "BONUS",
                    Chance(50) ? "dog" : "25");
        break;
      case 2:
        AddResponse(p, rt::kAddFragment, "ray", "40");
        break;
      case 3:
        AddResponse(p, rt::kAssignment, "", "w", "Cat");
        break;
      case 4:
        AddResponse(p, rt::kSelfModify, "P" + std::to_string(Pick(8)),
                    "LASTVOLITION", "5");
        break;
      case 5:
        AddResponse(p, rt::kJustText,
                    "frag ^LastFrag{} pat ^LastPat{} ^Fact{w} ^Fact{v}");
        break;
      case 6:
        AddResponse(p, rt::kDeleteObject,
                    "F" + std::to_string(Pick(labels_ + 1)));
        break;
      case 7:
        AddResponse(p, rt::kStartProc, "", "Guide");
        break;
      default:
        AddResponse(p, rt::kJustText,
                    "reply " + std::to_string(Pick(1000)) + " ^AutoName{}");
        break;
    }
  }

  // The same knowledge base for the same seed.
  void Fill(BrainClass& brain) {
    brain.Seed(rng_());
    brain.AddCollection("words", std::make_unique<DataCollectionClass>())
        ->Include("cat");
    brain.FindCollection("words")->Include("dog");
    const int patterns = 1 + Pick(24);
    for (int i = 0; i < patterns; ++i) {
      PatternClass* p = NewPattern(brain, "P" + std::to_string(i));
      const int fragments = Pick(5);
      for (int k = 0; k < fragments; ++k) AddRandomFragment(p, labels_++);
      const int responses = 1 + Pick(2);
      for (int k = 0; k < responses; ++k) AddRandomResponse(p);
      if (Chance(10)) AddThresholdGroup(p);
    }
    // A procedure whose step has enough step patterns to be indexed.
    ProcClass* proc = brain.AddProc("Guide", std::make_unique<ProcClass>());
    StepClass* step = proc->AddStep("One", std::make_unique<StepClass>());
    const int step_patterns = Pick(14);
    for (int i = 0; i < step_patterns; ++i) {
      auto sp = std::make_unique<StepPatternClass>();
      sp->ObjectName = "S" + std::to_string(i);
      StepPatternClass* added = step->AddStepPattern(std::move(sp));
      const int fragments = Pick(3);
      for (int k = 0; k < fragments; ++k) {
        auto f = MakeFragment(Relation(), PickOf(kTexts), PickOf(kScores),
                              Pick(20), "w", "#");
        f->ObjectName = "F" + std::to_string(labels_++);
        added->AddFragment(std::move(f));
      }
      AddResponse(added, Chance(30) ? rt::kHaltProc : rt::kJustText,
                  "step " + std::to_string(i) + " ^LastFrag{}");
    }
  }

  void AddThresholdGroup(PatternClass* p) {
    auto t = std::make_unique<ThresholdClass>();
    t->THRESHFROM = 2;
    t->THRESHTO = 3;
    p->AddThreshold(std::move(t))
        ->AddResponse(MakeResponse(rt::kJustText, "again"));
  }

  std::string Input() {
    std::string input;
    const int words = Pick(7);
    for (int i = 0; i < words; ++i) {
      if (i) input += Chance(80) ? " " : "";
      input += PickOf(kWords);
    }
    return input;
  }

  // A change made the same way to both brains between turns.
  struct Change {
    int kind;
    std::string label, field, value;
  };
  Change NextChange() {
    static const char* const kFields[] = {"WORDFRAG", "RELATION", "BONUS",
                                          "PENALTY"};
    static const char* const kValues[] = {
        "cat",         "dog",   "CUSTOM",   "AND",  "NOT", "CUSTOM-Sub",
        "-2147483648", "30000", "^Fact{w}", "aabb", "15",  "Data-Match"};
    Change c{Pick(5), "F" + std::to_string(Pick(labels_ + 1)), PickOf(kFields),
             PickOf(kValues)};
    if (c.kind == 1) c.label = "P" + std::to_string(Pick(30));
    return c;
  }

  int labels_ = 0;

 private:
  std::mt19937 rng_;
};

void Apply(BrainClass& brain, const World::Change& c) {
  switch (c.kind) {
    case 0:
      brain.SetObjectField(c.label, c.field, c.value);
      break;
    case 1:
      brain.DeleteNamedObject(c.label);
      break;
    case 2:
      brain.CreateAutoPattern("dog ray", c.value, "auto " + c.value);
      break;
    case 3:
      brain.AddFragmentToLastPattern(c.value, "12");
      break;
    default:
      break;  // No change: the index must be reused as it is.
  }
}

// Everything a turn may leave behind that the two ways could disagree on.
std::string State(const BrainClass& brain) {
  std::string s = "frag=" + brain.LastFrag + " pat=" + brain.LastPat +
                  " know=" + brain.LastKnow + " spat=" + brain.LastSPat +
                  " proc=" + std::to_string(brain.CurrentProc) + " facts:";
  for (int i = 0; i < brain.FactNames.Count(); ++i)
    s += brain.FactNames.At(i) + "=" + brain.FactValues.At(i) + ";";
  for (const auto& mode : brain.Modes)
    for (const auto& p : mode->Patterns)
      s += " " + std::to_string(p->HITCOUNT) + "/" +
           std::to_string(static_cast<double>(p->LASTVOLITION));
  return s;
}

TEST(PatternIndexTest, IndexedChoiceEqualsPlainScoringOnRandomKnowledge) {
  constexpr int kKnowledgeBases = 500;
  constexpr int kTurns = 42;  // 21,000 turns in all.
  int indexed_turns = 0;
  for (int kb = 0; kb < kKnowledgeBases; ++kb) {
    World plain_world(static_cast<uint32_t>(kb) * 7919u + 1);
    World indexed_world(static_cast<uint32_t>(kb) * 7919u + 1);
    BrainClass plain, indexed;
    reference::UsePlainScoring(plain);
    plain_world.Fill(plain);
    indexed_world.Fill(indexed);
    World turns(static_cast<uint32_t>(kb) + 100000u);
    turns.labels_ = plain_world.labels_;
    for (int t = 0; t < kTurns; ++t) {
      const std::string input = turns.Input();
      if (!HasMacroOpening(input)) ++indexed_turns;
      const std::string a = TurnOutcome(plain, input);
      const std::string b = TurnOutcome(indexed, input);
      ASSERT_EQ(a, b) << "knowledge base " << kb << ", turn " << t
                      << ", input '" << input << "'";
      ASSERT_EQ(State(plain), State(indexed))
          << "knowledge base " << kb << ", turn " << t << ", input '" << input
          << "'";
      const World::Change c = turns.NextChange();
      Apply(plain, c);
      Apply(indexed, c);
      ASSERT_EQ(TurnOutcome(plain, ""), TurnOutcome(indexed, ""));
    }
  }
  // Both ways of the indexed engine were taken often: through the index,
  // and around it for inputs that hold macros.
  EXPECT_GT(indexed_turns, kKnowledgeBases * kTurns / 3);
  EXPECT_GT(kKnowledgeBases * kTurns - indexed_turns, kKnowledgeBases * kTurns / 3);
}

class PatternIndexCasesTest : public ::testing::Test {
 protected:
  // The reply of each way for the input.
  std::pair<std::string, std::string> Both(const std::string& input) {
    return {plain_.Respond(input), indexed_.Respond(input)};
  }
  template <typename Fn>
  void Build(Fn fn) {
    reference::UsePlainScoring(plain_);
    fn(plain_);
    fn(indexed_);
  }
  BrainClass plain_, indexed_;
};

// A pattern answering `word` with `reply`; it scores -40000 without it.
PatternClass* Strict(BrainClass& b, const std::string& word, int32_t bonus,
                     const std::string& reply, const std::string& label = "") {
  PatternClass* p = NewPattern(b, label);
  auto f = MakeFragment(rel::kCustom, word, bonus, 40000);
  f->ObjectName = label.empty() ? "" : "F" + label;
  p->AddFragment(std::move(f));
  AddResponse(p, rt::kJustText, reply);
  return p;
}

TEST_F(PatternIndexCasesTest,
       SubstringsThatAreNotWholeWordsStillHoldAfterCuts) {
  Build([](BrainClass& b) {
    Strict(b, "cat", 10, "cat");
    Strict(b, "ab", 10, "ab");
  });
  // 'cat' holds in 'catcat dog' only after the first occurrence is cut,
  // and 'ab' in 'aabb' likewise: keys by whole words would miss both.
  EXPECT_EQ(indexed_.Respond("catcat dog"), "cat");
  EXPECT_EQ(indexed_.Respond("aabb"), "ab");
  EXPECT_EQ(indexed_.Respond("concatenate"), kModeFallbackMessage);
  EXPECT_EQ(indexed_.Respond("CAT's"), "cat");
  for (const char* input : {"catcat dog", "aabb", "concatenate", "CAT's"}) {
    const auto [a, b] = Both(input);
    EXPECT_EQ(a, b) << input;
  }
}

TEST_F(PatternIndexCasesTest, TiesGoToTheFirstAndMinus30000NeverWins) {
  Build([](BrainClass& b) {
    PatternClass* low = NewPattern(b, "low");
    AddFragment(low, rel::kCustom, "cat", -30000, 30000);  // Always -30000.
    AddResponse(low, rt::kJustText, "low");
    Strict(b, "dog", 5, "first");
    PatternClass* second = Strict(b, "dog", 3, "second");
    AddFragment(second, rel::kOr, "bird", 0, 0);
    Strict(b, "dog", 5, "third");  // Ties with "first", which comes first.
    PatternClass* base = NewPattern(b, "base");
    AddFragment(base, rel::kNot, "fish", 0, 0);  // 100 without fish, else -100.
    AddFragment(base, rel::kCustom, "zzz", 0, 30000);
    AddResponse(base, rt::kJustText, "base");
  });
  EXPECT_EQ(indexed_.Respond("cat"), "base");  // -29900, untouched.
  EXPECT_EQ(indexed_.Respond("fish cat"), kModeFallbackMessage);  // -30100.
  EXPECT_EQ(indexed_.Respond("fish dog"), "first");
  EXPECT_EQ(indexed_.Respond("fish dog bird"), "second");  // 53 beats 5.
  EXPECT_EQ(indexed_.LastFrag, "");
  for (const char* input : {"cat", "fish cat", "fish dog", "fish dog bird"}) {
    const auto [a, b] = Both(input);
    EXPECT_EQ(a, b) << input;
  }
}

TEST_F(PatternIndexCasesTest, ChangesReachTheNextTurn) {
  Build([](BrainClass& b) { Strict(b, "cat", 10, "cat", "P"); });
  EXPECT_EQ(indexed_.Respond("cat"), "cat");
  indexed_.SetObjectField("FP", "WORDFRAG", "dog");
  EXPECT_EQ(indexed_.Respond("cat"), kModeFallbackMessage);
  EXPECT_EQ(indexed_.Respond("dog"), "cat");
  indexed_.SetObjectField("FP", "BONUS", "-40000");
  EXPECT_EQ(indexed_.Respond("dog"), kModeFallbackMessage);
  indexed_.SetObjectField("FP", "RELATION", "NOT");
  EXPECT_EQ(indexed_.Respond("cat"), "cat");  // NOT scores 100 without dog.
  indexed_.CreateAutoPattern("bird", "20", "learnt");
  EXPECT_EQ(indexed_.Respond("dog bird"), "learnt");
  indexed_.DeleteNamedObject("P");
  EXPECT_EQ(indexed_.Respond("dog"), "learnt");  // Alone, at 0.
  indexed_.AddFragmentToLastPattern("fish", "1");
  EXPECT_EQ(indexed_.LastPat, indexed_.Modes.At(0)->Patterns.At(0)->ObjectName);
  indexed_.Respond("x");
  EXPECT_EQ(indexed_.LastFrag,
            indexed_.Modes.At(0)->Patterns.At(0)->Fragments.At(1)->ObjectName);
}

TEST_F(PatternIndexCasesTest, VolitionMarksAreClearedThroughTheirList) {
  Build([](BrainClass& b) { AddRule(b, "cat", "cat"); });
  PatternClass* p = indexed_.Modes.At(0)->Patterns.At(0);
  p->LASTVOLITION = 7;
  p->LASTVOLITION = 8;  // Listed once.
  EXPECT_EQ(indexed_.Modes.At(0)->MarkedPatterns.size(), 1u);
  indexed_.Respond("dog");
  EXPECT_EQ(static_cast<double>(p->LASTVOLITION), 0);
  EXPECT_TRUE(indexed_.Modes.At(0)->MarkedPatterns.empty());
  p->LASTVOLITION = 3;
  EXPECT_EQ(indexed_.Modes.At(0)->MarkedPatterns.size(), 1u);
}

// A key of letters only for `n` (digits would separate words, so "kw5"
// would hold in "kw59").
std::string LetterKey(int n) {
  std::string key = "kw";
  do {
    key += static_cast<char>('a' + n % 26);
    n /= 26;
  } while (n > 0);
  return key;
}

// A node of the automaton with more than eight children: every child must
// be found, whichever the bisection lands on. "good a" to "good z" give the
// node after "GOOD " 26 children (and "good night" one more under "N").
TEST(PatternIndexScaleTest, EveryChildOfAWideNodeIsFound) {
  BrainClass brain;
  AddResponse(NewPattern(brain), rt::kJustText, "Pardon?");
  for (char c = 'a'; c <= 'z'; ++c)
    AddRule(brain, std::string("good ") + c, std::string("reply ") + c);
  AddRule(brain, "good night", "Sleep well.");
  for (char c = 'a'; c <= 'z'; ++c)
    EXPECT_EQ(brain.Respond(std::string("so good ") + c + "!"),
              std::string("reply ") + c);
  EXPECT_EQ(brain.Respond("good night"), "Sleep well.");
  EXPECT_EQ(brain.Respond("good n ight"), "reply n");
  EXPECT_EQ(brain.Respond("good nigh"), "Pardon?");
}

// The demo's learning: a visitor who teaches phrases sharing a beginning
// must not silence the answers that share it, then or after a restart.
TEST(PatternIndexScaleTest, TeachingPhrasesKeepsTheDemoAnsweringGoodNight) {
  const std::string demo = CORVANE_SOURCE_DIR "/demo/wwwroot/CorvWebDemo.clf";
  BrainClass brain;
  AttachLanguageReader(brain);
  LoadLanguageFile(brain, demo, [](const LanguageProblem&) {});
  brain.Seed(1);
  brain.Start();
  brain.PendingOutput.Clear();
  const std::string goodbye = brain.Respond("good night");
  ASSERT_EQ(goodbye.rfind("Goodbye", 0), 0u) << goodbye;
  // With the demo's "good evening" and "good night", the node after
  // "GOOD " gets nine children, and the bisection lands on "N".
  for (const char* c : {"a", "b", "c", "p", "q", "r", "s"})
    brain.Respond(std::string("when I say good ") + c + " answer fine " + c);
  EXPECT_EQ(brain.Respond("good b"), "fine b");
  EXPECT_EQ(brain.Respond("good night"), goodbye);

  TempDir dir;
  SaveLanguageFile(brain, dir.File("kb.clf"));
  BrainClass restarted;
  AttachLanguageReader(restarted);
  LoadLanguageFile(restarted, dir.File("kb.clf"),
                   [](const LanguageProblem&) {});
  restarted.Seed(1);
  EXPECT_EQ(restarted.Respond("good night"), goodbye);
  EXPECT_EQ(restarted.Respond("good r"), "fine r");
}

// Learning, editing and deleting between turns change the index in place:
// it is built once, its automata stay few, and its choice stays exact.
TEST(PatternIndexScaleTest, ChangesBetweenTurnsNeverRebuildTheIndex) {
  BrainClass plain, indexed;
  reference::UsePlainScoring(plain);
  for (BrainClass* b : {&plain, &indexed}) {
    b->Seed(3);
    AddResponse(NewPattern(*b), rt::kJustText, "Pardon?");
    for (int i = 0; i < 2000; ++i) {
      PatternClass* p = NewPattern(*b, "P" + std::to_string(i));
      auto f = MakeFragment(rel::kCustom, LetterKey(i), 10 + i % 7, i % 3);
      f->ObjectName = "F" + std::to_string(i);
      p->AddFragment(std::move(f));
      AddResponse(p, rt::kJustText, "r" + std::to_string(i));
    }
  }
  std::mt19937 rng(11);
  const int rounds = CORVANE_TEST_SCALE == 1 ? 600 : 150;
  for (int round = 0; round < rounds; ++round) {
    const int n_number = static_cast<int>(rng() % 2000);
    const int m_number = static_cast<int>(rng() % 2000);
    const std::string n = std::to_string(n_number);
    const std::string m = std::to_string(m_number);
    for (BrainClass* b : {&plain, &indexed}) {
      switch (round % 5) {
        case 0:
          b->CreateAutoPattern(
              LetterKey(n_number) + " new" + LetterKey(m_number), "40",
              "learnt " + n);
          break;
        case 1:
          b->AddFragmentToLastPattern(LetterKey(m_number), "15");
          break;
        case 2:
          b->SetObjectField("F" + n, round % 2 ? "WORDFRAG" : "BONUS",
                            round % 2 ? LetterKey(m_number) : "25");
          break;
        case 3:
          b->DeleteNamedObject("P" + n);
          break;
        default:
          b->DeleteNamedObject("F" + m);
          break;
      }
    }
    const std::string input =
        "say " + LetterKey(m_number) + " and new" + LetterKey(n_number);
    ASSERT_EQ(indexed.Respond(input), plain.Respond(input))
        << "round " << round << ": " << input;
    ASSERT_EQ(indexed.LastFrag, plain.LastFrag) << "round " << round;
  }
  const PatternIndex* index = indexed.Modes.At(0)->index();
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->full_builds(), 1u);
  EXPECT_LE(index->level_count(), 12);
  EXPECT_EQ(index->entry_count(), indexed.Modes.At(0)->Patterns.Count());
}

// Entries removed in great numbers are dropped by one build from the live
// ones; a change behind the brain's back builds the index afresh too.
TEST(PatternIndexScaleTest, ManyRemovalsAndChangesBehindTheBrainRebuildOnce) {
  BrainClass brain;
  AddResponse(NewPattern(brain), rt::kJustText, "Pardon?");
  // 4,160 removed of 4,200: more than the 40 left and 4,096 to spare.
  for (int i = 0; i < 4200; ++i) {
    PatternClass* p = NewPattern(brain, "P" + std::to_string(i));
    AddFragment(p, rel::kCustom, LetterKey(i), 10);
    AddResponse(p, rt::kJustText, "r" + std::to_string(i));
  }
  EXPECT_EQ(brain.Respond(LetterKey(4199)), "r4199");
  const PatternIndex* index = brain.Modes.At(0)->index();
  for (int i = 0; i < 4160; ++i)
    brain.DeleteNamedObject("P" + std::to_string(i));
  EXPECT_EQ(brain.Respond(LetterKey(4199)), "r4199");
  EXPECT_EQ(brain.Respond(LetterKey(10)), "Pardon?");
  EXPECT_EQ(index->full_builds(), 2u);  // Compacted once.
  EXPECT_EQ(index->entry_count(), 41);

  PatternClass* last = brain.Modes.At(0)->Patterns.At(40);
  last->Fragments.At(0)->WORDFRAG = "changed";
  brain.NoteKnowledgeChange();
  EXPECT_EQ(brain.Respond("changed"), "r4199");
  EXPECT_EQ(index->full_builds(), 3u);
}

TEST(PatternIndexScaleTest, OnlyStaticPatternsGoIntoTheAutomaton) {
  BrainClass brain;
  PatternClass* s = NewPattern(brain);
  AddFragment(s, rel::kCustom, " Cat ", 10, 0);
  AddFragment(s, rel::kCustomSub, " Cat ", 10, 0);  // Untrimmed: its own key.
  AddFragment(s, rel::kInitialize, "", 0, 0);
  PatternClass* d = NewPattern(brain);
  AddFragment(d, rel::kCustom, "^Fact{w}", 10, 0);
  PatternClass* big = NewPattern(brain);
  AddFragment(big, rel::kCustom, "a", kMax, 0);
  AddFragment(big, rel::kCustom, "b", 1, 0);  // The sum could overflow.
  PatternIndex index;
  std::vector<PatternIndex::Source> sources;
  for (const auto& p : brain.Modes.At(0)->Patterns)
    sources.push_back({p.get(), p->ordinal(), &p->Fragments});
  index.Build(sources, 1, TextEncoding::kCodePage);
  EXPECT_EQ(index.entry_count(), 3);
  EXPECT_EQ(index.dynamic_count(), 2);
  EXPECT_EQ(index.key_count(), 2);
}

}  // namespace
}  // namespace corvane
