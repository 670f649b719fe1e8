// The engine's indexed choice against the plain reference scorer on
// knowledge bases shaped like real ones: thousands of patterns whose
// fragment texts come in families (a stem with 1 to 26 one-letter
// extensions, keys that are prefixes of one another, keys that end in
// other keys, phrases of two words, keys inside doubled keys), all fragment
// kinds in upper and lower case, a catch-all first. Each input names one
// key among filler words, so a key the index misses changes the winner.
// Between turns the knowledge changes as conversations change it: learnt
// patterns and fragments, edited fragment fields, deleted patterns and
// fragments. Every turn must leave the same reply (or error), the same
// labels, facts, hit counts and volition marks in both brains. The same
// runs on UTF-8 knowledge bases whose letters come from several scripts,
// with case variants that fold to one another (some changing their length
// in bytes), combining marks and characters of scripts without spaces.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/a1U2.h"
#include "kb_builder.h"
#include "tests/reference/plain_scorer.h"

namespace corvane {
namespace {

using namespace testing_kb;

// Sanitizer builds, many times slower, run a part of the knowledge bases
// and turns (CORVANE_TEST_SCALE is the divisor).
constexpr int kScale = CORVANE_TEST_SCALE;
constexpr int kKnowledgeBases = 200 / kScale;
constexpr int kTotalTurns = 100000 / kScale;
// Tests that ctest may run side by side.
constexpr int kShards = kKnowledgeBases < 8 ? kKnowledgeBases : 8;

// What one knowledge base holds, built the same way into both brains.
struct FragmentShape {
  uint8_t relation;
  std::string text, name, value;
  int32_t bonus, penalty;
  std::string label;
};
struct ResponseShape {
  uint8_t type;
  std::string out, name, value;
};
struct PatternShape {
  std::string label;
  std::vector<FragmentShape> fragments;
  std::vector<ResponseShape> responses;
};
struct KnowledgeShape {
  uint64_t seed;
  std::vector<PatternShape> patterns;
  std::vector<std::string> keys;  // Texts the inputs name.
  int fragment_labels = 0;
};

// Filler words hold no letter, so no key can hold inside them.
const char* const kFillers[] = {"1",  "22", "333", "4.5", "...", "!?",
                                "--", "#7", "(8)", "9,",  "0",   "42"};

// The letters of UTF-8 knowledge bases, each with the forms that fold to
// it: ASCII; "ς" and "Σ" with "σ"; the Kelvin sign (three bytes) with "k",
// long s with "s", capital sharp s with "ß" and the ohm sign with "ω",
// whose folded forms are shorter; "ǅ" and "Ǆ" with "ǆ"; an "e" with a
// combining acute beside the precomposed "é"; "İ" (which folds to itself,
// so an "i" written "İ" misses) and dotless "ı"; and characters of scripts
// written without spaces, which need no word boundary.
const std::vector<std::vector<std::string>>& Utf8Letters() {
  static const std::vector<std::vector<std::string>> letters = {
      {"a", "A"},
      {"b", "B"},
      {"c", "C"},
      {"d", "D"},
      {"e", "E"},
      {"f", "F"},
      {"g", "G"},
      {"h", "H"},
      {"i", "I", "i", "I", "\u0130"},
      {"k", "K", "\u212A"},
      {"s", "S", "\u017F"},
      {"\u00E9", "\u00C9"},
      {"e\u0301", "E\u0301"},
      {"\u03C3", "\u03A3", "\u03C2"},
      {"\u0436", "\u0416"},
      {"\u0142", "\u0141"},
      {"\u01C6", "\u01C5", "\u01C4"},
      {"\u00DF", "\u1E9E"},
      {"\u03C9", "\u03A9", "\u2126"},
      {"\u0130"},
      {"\u0131"},
      {"\u4F60"},
      {"\u597D"},
      {"\u0E01"},
      {"\u3042"},
      {"\u0105", "\u0104"},
  };
  return letters;
}

// Fillers of UTF-8 inputs: no letters, several bytes each.
// The UTF-8 knowledge bases' collection and second state, as fragments
// name them: SŁOWA for słowa, ŚPI for śpi.
const char* const kUtf8WordsAsNamed = "S\u0141OWA";
const char* const kUtf8BusyAsNamed = "\u015API";

const char* const kUtf8Fillers[] = {"\u2014", "\u00BF", "\u2026", "\u00AB12\u00BB",
                                    "\u3002", "7\u00B0", "\U0001F600"};

class Shapes {
 public:
  explicit Shapes(uint64_t seed, bool utf8 = false) : rng_(seed), utf8_(utf8) {}

  int Pick(int n) {
    return static_cast<int>(rng_() % static_cast<uint64_t>(n));
  }
  bool Chance(int percent) { return Pick(100) < percent; }
  template <typename T, std::size_t N>
  const T& PickOf(const T (&a)[N]) {
    return a[Pick(static_cast<int>(N))];
  }
  // One letter: a to z, or in UTF-8 the base form of one of its letters.
  std::string Letter() {
    if (utf8_) return LetterAt(Pick(static_cast<int>(Utf8Letters().size())));
    return std::string(1, static_cast<char>('a' + Pick(26)));
  }
  std::string LetterAt(int i) {
    if (utf8_) return Utf8Letters()[static_cast<std::size_t>(i)].front();
    return std::string(1, static_cast<char>('a' + i));
  }

  // Upper, lower or mixed case; now and then a Windows-1252 letter whose
  // case folds. In UTF-8 every letter takes one of its forms at random.
  std::string Cased(const std::string& text) {
    if (utf8_) return CasedUtf8(text);
    std::string out = text;
    const int how = Pick(10);
    for (char& c : out) {
      if (c < 'a' || c > 'z') continue;
      if (how < 3 || (how < 6 && Chance(50))) c = static_cast<char>(c - 32);
    }
    return out;
  }

  std::string Stem() {
    std::string stem = Letter();
    const int more = 1 + Pick(2);
    for (int i = 0; i < more; ++i) stem += Letter();
    if (!utf8_ && Chance(3)) stem += "\xe9";  // Folds with "\xc9".
    return stem;
  }

  // The keys of one family.
  std::vector<std::string> Family() {
    std::vector<std::string> keys;
    const std::string stem = Stem();
    switch (Pick(6)) {
      case 0:
      case 1: {  // 1 to 26 one-letter extensions, in no particular order.
        std::vector<int> letters(26);
        for (int i = 0; i < 26; ++i) letters[static_cast<std::size_t>(i)] = i;
        std::shuffle(letters.begin(), letters.end(), rng_);
        const int n = Chance(40) ? 9 + Pick(18) : 1 + Pick(26);
        if (Chance(40)) keys.push_back(stem);
        for (int i = 0; i < n; ++i)
          keys.push_back(stem + LetterAt(letters[static_cast<std::size_t>(i)]));
        break;
      }
      case 2: {  // Prefixes of one another.
        std::string key = stem.substr(0, 2);
        const int n = 2 + Pick(5);
        for (int i = 0; i < n; ++i) {
          keys.push_back(key);
          key += Letter();
        }
        break;
      }
      case 3: {  // Keys that end in other keys.
        std::string key = stem;
        const int n = 2 + Pick(4);
        for (int i = 0; i < n; ++i) {
          keys.push_back(key);
          key = Letter() + key;
        }
        break;
      }
      case 4: {  // Phrases of two words, and their words.
        const std::string other = Stem();
        keys.push_back(stem + " " + other);
        if (Chance(50)) keys.push_back(stem);
        if (Chance(50)) keys.push_back(other);
        if (Chance(30)) keys.push_back(other + " " + stem);
        break;
      }
      default: {  // Keys inside doubled keys.
        keys.push_back(stem);
        keys.push_back(stem + stem);
        if (Chance(50)) keys.push_back(stem + "-" + stem);
        break;
      }
    }
    return keys;
  }

  // Bonuses above 100, so that the pattern of the key an input names
  // usually beats the patterns that hold without it.
  int32_t Bonus() {
    if (Chance(2))
      return Chance(50) ? std::numeric_limits<int32_t>::max() : 40000;
    return 101 + Pick(300);
  }
  int32_t Penalty() {
    if (Chance(2)) return 40000;  // Puts a failing pattern below -30000.
    return Chance(60) ? 0 : Pick(60);
  }

  // The fragment that names `key`: mostly the kinds the index scores.
  FragmentShape KeyFragment(const std::string& key) {
    static const uint8_t kKinds[] = {
        rel::kCustom,    rel::kCustom,   rel::kCustom, rel::kCustom,
        rel::kCustom,    rel::kCustom,   rel::kAnd,    rel::kOr,
        rel::kCustomSub, rel::kCustomSub};
    std::string text = Cased(key);
    if (Chance(5)) text = " " + text + " ";  // Trimmed for whole words.
    return {PickOf(kKinds), text, "", "", Bonus(), Penalty(), ""};
  }

  // A second fragment of any kind. Those that may hold without the key
  // score little.
  FragmentShape AnyFragment(const std::vector<std::string>& keys) {
    const std::string key =
        keys[static_cast<std::size_t>(Pick(static_cast<int>(keys.size())))];
    const int32_t small = 1 + Pick(60);
    switch (Pick(16)) {
      case 0:
        return {rel::kDataMatch, "",       "x", Chance(50) ? "1" : "#",
                small,           Pick(30), ""};
      case 1:
        return {rel::kStateMatch, "", Chance(50) ? "Normal" : Busy(), "", small,
                Pick(30),         ""};
      case 2:
        return {rel::kInCollection, "", Words(), "", small, Pick(30), ""};
      case 3:
        return {rel::kInCollectionSub, "", Words(), "", small, Pick(30), ""};
      case 4:
        return {rel::kOutMatch, Cased(key), "", "", small, Pick(30), ""};
      case 5:
        return {rel::kExtract, "my ^Extr{w}", "", "", small, Pick(30), ""};
      case 6:
        return {rel::kCustom,
                Chance(50) ? "^Fact{x}" : key + " ^LastFrag{}",
                "",
                "",
                small,
                Pick(30),
                ""};
      case 7:
        return {rel::kVolition, "5", "", "", 0, 0, ""};
      case 8:
        return {static_cast<uint8_t>(Chance(50) ? rel::kNone : rel::kExternal),
                key,
                "",
                "",
                Bonus(),
                Pick(30),
                ""};
      case 9:
        return {rel::kInitialize, "", "", "", 0, 0, ""};
      case 10:
        return {rel::kNot, Cased(key), "", "", 0, 0, ""};
      case 11:  // Fires after every answer, or at the end.
        return {
            static_cast<uint8_t>(Chance(5) ? rel::kDoAfter : rel::kFinalize),
            "",
            "",
            "",
            0,
            0,
            ""};
      default:
        return KeyFragment(key);
    }
  }

  ResponseShape Response(int pattern, int labels) {
    const std::string reply = "r" + std::to_string(pattern);
    switch (Pick(60)) {
      case 0:
        return {rt::kCreateAutoPattern, Stem() + " " + Stem(), "70",
                "taught " + reply};
      case 1:
        return {rt::kAddFragment, Stem(), "25", ""};
      case 2:
        return {rt::kSelfModify, "F" + std::to_string(Pick(labels + 1)),
                Chance(50) ? "WORDFRAG" : "BONUS", Chance(50) ? Stem() : "90"};
      case 3:
        return {rt::kDeleteObject, "P" + std::to_string(Pick(pattern + 1)), "",
                ""};
      case 4:
        return {rt::kAssignment, "", "x", Chance(50) ? "1" : "2"};
      case 5:
        return {rt::kSelfModify, "P" + std::to_string(Pick(pattern + 1)),
                "LASTVOLITION", "3"};
      case 6:
      case 7:
      case 8:
        return {rt::kJustText, reply + " ^LastFrag{} ^Fact{w}", "", ""};
      default:
        return {rt::kJustText, reply, "", ""};
    }
  }

  KnowledgeShape Knowledge(int size) {
    KnowledgeShape kb;
    kb.seed = rng_();
    kb.patterns.push_back({"P0", {}, {{rt::kJustText, "pardon", "", ""}}});
    while (static_cast<int>(kb.patterns.size()) < size) {
      const std::vector<std::string> family = Family();
      for (const std::string& key : family) {
        kb.keys.push_back(key);
        const int index = static_cast<int>(kb.patterns.size());
        PatternShape p;
        if (Chance(40)) p.label = "P" + std::to_string(index);
        if (!Chance(2)) p.fragments.push_back(KeyFragment(key));  // Else empty.
        if (!p.fragments.empty() && Chance(6)) {
          p.fragments.push_back(AnyFragment(kb.keys));
          // Without its key the pattern stays at or below the catch-all.
          FragmentShape& first = p.fragments.front();
          if (first.relation == rel::kAnd || first.relation == rel::kOr)
            first.relation = rel::kCustom;
          first.penalty = 100 + Pick(100);
        }
        for (FragmentShape& f : p.fragments)
          if (Chance(40)) f.label = "F" + std::to_string(kb.fragment_labels++);
        p.responses.push_back(Response(index, kb.fragment_labels));
        if (Chance(10))
          p.responses.push_back(Response(index, kb.fragment_labels));
        kb.patterns.push_back(std::move(p));
      }
    }
    return kb;
  }

  // One input: filler words and one key of the knowledge base, in one of
  // the forms that the whole-word rule treats differently.
  std::string Input(const std::vector<std::string>& keys) {
    std::string input;
    auto filler = [&] {
      if (!input.empty()) input += ' ';
      input += utf8_ && Chance(50) ? PickOf(kUtf8Fillers) : PickOf(kFillers);
    };
    const int before = Pick(2);
    for (int i = 0; i < before; ++i) filler();
    if (!Chance(8)) {
      const std::string key = Cased(
          keys[static_cast<std::size_t>(Pick(static_cast<int>(keys.size())))]);
      if (!input.empty()) input += ' ';
      if (utf8_ && Chance(15)) {
        switch (Pick(4)) {
          case 0:
            input += key + "\u0301";  // A combining mark ends the word later.
            break;
          case 1:
            input += "\u0436" + key;  // Inside a Cyrillic word.
            break;
          case 2:
            input += "\u4F60" + key + "\u597D";  // Between Chinese characters.
            break;
          default:
            input += "\u00AB" + key + "\u00BB";
            break;
        }
      } else {
      switch (Pick(40)) {
        case 0:
        case 6:
        case 7:
          input += key + key;  // Doubled: no whole word.
          break;
        case 1:
        case 8:
        case 9:
          input += "x" + key;  // Inside a word.
          break;
        case 2:
        case 10:
          input += key + "'s!";
          break;
        case 3:
        case 11:
          input += "(" + key + ")";
          break;
        case 4:
          input += "^Fact{x} " + key;  // Scored pattern by pattern.
          break;
        case 5:
          input += key + " ^Remain{}";
          break;
        default:
          input += key;
          break;
      }
      }
    }
    const int after = Pick(2);
    for (int i = 0; i < after; ++i) filler();
    return input;
  }

 private:
  // Each letter of the UTF-8 alphabet replaced by one of its forms; other
  // bytes kept.
  std::string CasedUtf8(const std::string& text) {
    const auto& letters = Utf8Letters();
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
      std::size_t best = letters.size(), best_length = 0;
      for (std::size_t l = 0; l < letters.size(); ++l) {
        for (const std::string& form : letters[l]) {
          if (form.size() > best_length && text.compare(i, form.size(), form) == 0) {
            best = l;
            best_length = form.size();
          }
        }
      }
      if (best == letters.size()) {
        out += text[i++];
        continue;
      }
      const auto& forms = letters[best];
      out += forms[static_cast<std::size_t>(Pick(static_cast<int>(forms.size())))];
      i += best_length;
    }
    return out;
  }

  // The collection and the second state as fragments name them; in UTF-8
  // in another case than Fill made them with, beyond a to z.
  std::string Words() const { return utf8_ ? kUtf8WordsAsNamed : "words"; }
  std::string Busy() const { return utf8_ ? kUtf8BusyAsNamed : "busy"; }

  std::mt19937_64 rng_;
  bool utf8_ = false;
};

void Fill(BrainClass& brain, const KnowledgeShape& kb, bool utf8 = false) {
  if (utf8) brain.SetTextEncoding(TextEncoding::kUtf8);
  brain.Seed(kb.seed);
  const std::string words = utf8 ? "s\u0142owa" : "words";  // słowa
  if (utf8) brain.AddMember(words, "\u0142\u00F3d\u017A");
  brain.AddState(utf8 ? "\u015Bpi" : "busy");  // śpi
  brain.AddMember(words, "hey");
  brain.AddMember(words, "ok");
  if (utf8) {
    // The fragments' spellings reach them.
    EXPECT_NE(brain.FindCollection(kUtf8WordsAsNamed), nullptr);
    EXPECT_GE(brain.StateNames.IndexOf(kUtf8BusyAsNamed), 0);
  }
  KnowledgeClass* mode = brain.Modes.At(0);
  for (const PatternShape& shape : kb.patterns) {
    PatternClass* p = NewPattern(mode, shape.label);
    for (const FragmentShape& f : shape.fragments) {
      auto made =
          MakeFragment(f.relation, f.text, f.bonus, f.penalty, f.name, f.value);
      made->ObjectName = f.label;
      p->AddFragment(std::move(made));
    }
    for (const ResponseShape& r : shape.responses)
      AddResponse(p, r.type, r.out, r.name, r.value);
  }
}

// Labels, facts and, hashed, every pattern's hit count and volition mark.
std::string State(const BrainClass& brain) {
  std::string s = "frag=" + brain.LastFrag + " pat=" + brain.LastPat +
                  " know=" + brain.LastKnow + " facts:";
  for (int i = 0; i < brain.FactNames.Count(); ++i)
    s += brain.FactNames.At(i) + "=" + brain.FactValues.At(i) + ";";
  uint64_t h = 1469598103934665603ull;
  for (const auto& p : brain.Modes.At(0)->Patterns) {
    h = (h ^ static_cast<uint64_t>(p->HITCOUNT)) * 1099511628211ull;
    h = (h ^ static_cast<uint64_t>(static_cast<double>(p->LASTVOLITION) != 0)) *
        1099511628211ull;
  }
  return s +
         " patterns=" + std::to_string(brain.Modes.At(0)->Patterns.Count()) +
         " hash=" + std::to_string(h);
}

// A change made the same way to both brains between turns.
struct Change {
  int kind;
  std::string label, field, value;
};

Change NextChange(Shapes& shapes, const KnowledgeShape& kb) {
  static const char* const kFields[] = {"WORDFRAG", "WORDFRAG", "RELATION",
                                        "BONUS", "PENALTY"};
  static const char* const kRelations[] = {"CUSTOM", "AND",        "OR",
                                           "NOT",    "CUSTOM-Sub", "Data-Match",
                                           "None",   "EXTRACT"};
  const std::string key = kb.keys[static_cast<std::size_t>(
      shapes.Pick(static_cast<int>(kb.keys.size())))];
  Change c{shapes.Pick(10),
           "F" + std::to_string(shapes.Pick(kb.fragment_labels + 1)),
           shapes.PickOf(kFields), ""};
  if (c.field == "WORDFRAG")
    c.value = shapes.Chance(80) ? shapes.Cased(key) : "^Fact{x}";
  if (c.field == "RELATION") c.value = shapes.PickOf(kRelations);
  if (c.field == "BONUS") c.value = std::to_string(shapes.Pick(300));
  if (c.field == "PENALTY") c.value = std::to_string(shapes.Pick(50));
  if (c.kind == 3)
    c.label =
        "P" + std::to_string(shapes.Pick(static_cast<int>(kb.patterns.size())));
  if (c.kind == 5 || c.kind == 6)
    c.value = key + (shapes.Chance(30) ? " " + shapes.Stem() : "");
  return c;
}

void Apply(BrainClass& brain, const Change& c) {
  switch (c.kind) {
    case 0:
    case 1:
    case 2:
      brain.SetObjectField(c.label, c.field, c.value);  // A fragment field.
      break;
    case 3:
      brain.DeleteNamedObject(c.label);  // A pattern, and what it owns.
      break;
    case 4:
      brain.DeleteNamedObject(c.label);  // A fragment.
      break;
    case 5:
      brain.CreateAutoPattern(c.value, "60", "learnt " + c.value);
      break;
    case 6:
      brain.AddFragmentToLastPattern(c.value, "45");
      break;
    case 7:
      brain.SetFact("x", c.value.empty() ? "1" : "#");
      break;
    default:
      break;  // Unchanged: the index must serve as it is.
  }
}

// Sizes from 1,000 to 20,000 patterns, on a log scale, the smaller ones
// more often; the turns go to the knowledge bases in inverse proportion to
// their size, so that each costs the plain scorer about the same.
struct Plan {
  std::vector<int> sizes, turns;
};

Plan MakePlan() {
  Plan plan;
  std::mt19937_64 rng(20240521);
  double weight = 0;
  for (int kb = 0; kb < kKnowledgeBases; ++kb) {
    const double u = static_cast<double>(rng() % 10000) / 9999.0;
    plan.sizes.push_back(static_cast<int>(1000.0 * std::pow(20.0, u * u * u)));
  }
  // The ends of the range, whatever the scale.
  plan.sizes.front() = 1000;
  plan.sizes.back() = 20000;
  for (const int size : plan.sizes) weight += 1.0 / size;
  for (int kb = 0; kb < kKnowledgeBases; ++kb)
    plan.turns.push_back(static_cast<int>(std::ceil(
        kTotalTurns / (weight * plan.sizes[static_cast<std::size_t>(kb)]))));
  return plan;
}

struct Counts {
  int turns = 0;
  int named = 0;   // Turns answered by another pattern than the catch-all.
  int pardon = 0;  // Turns the catch-all answered.
};

void RunKnowledgeBase(int kb, int size, int turns, Counts& counts,
                      std::chrono::steady_clock::time_point start,
                      bool utf8 = false) {
  Shapes shapes(static_cast<uint64_t>(kb) * 1000003u + 17u, utf8);
  const KnowledgeShape knowledge = shapes.Knowledge(size);
  BrainClass plain, indexed;
  reference::UsePlainScoring(plain);
  Fill(plain, knowledge, utf8);
  Fill(indexed, knowledge, utf8);
  for (int t = 0; t < turns; ++t) {
    const std::string input = shapes.Input(knowledge.keys);
    const std::string a = TurnOutcome(plain, input);
    const std::string b = TurnOutcome(indexed, input);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    ASSERT_EQ(a, b) << "knowledge base " << kb << " (" << size
                    << " patterns), turn " << t << ", input '" << input
                    << "', after " << seconds << " s";
    ASSERT_EQ(State(plain), State(indexed))
        << "knowledge base " << kb << ", turn " << t << ", input '" << input
        << "'";
    ++counts.turns;
    if (a.rfind("reply: pardon", 0) != 0)
      ++counts.named;
    else
      ++counts.pardon;
    if (shapes.Chance(40)) {
      const Change c = NextChange(shapes, knowledge);
      Apply(plain, c);
      Apply(indexed, c);
    }
  }
}

class IndexDifferentialTest : public ::testing::TestWithParam<int> {};

TEST_P(IndexDifferentialTest, IndexedChoiceEqualsPlainOnKnowledgeInFamilies) {
  const Plan plan = MakePlan();
  const auto start = std::chrono::steady_clock::now();
  Counts counts;
  int bases = 0;
  for (int kb = GetParam(); kb < kKnowledgeBases; kb += kShards) {
    RunKnowledgeBase(kb, plan.sizes[static_cast<std::size_t>(kb)],
                     plan.turns[static_cast<std::size_t>(kb)], counts, start);
    if (HasFatalFailure()) return;
    ++bases;
  }
  EXPECT_GE(bases, kKnowledgeBases / kShards);
  // Most inputs name a key that some pattern answers; the catch-all
  // answers the others.
  EXPECT_GT(counts.named, counts.turns / 2);
  if (counts.turns >= 2000) {
    EXPECT_GT(counts.pardon, counts.turns / 50);
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, IndexDifferentialTest,
                         ::testing::Range(0, kShards));

// UTF-8 knowledge bases of 1,000 to 4,000 patterns; 16 of them with 12,000
// turns in all (under the sanitizers, a part of that).
constexpr int kUtf8KnowledgeBases = std::max(2, 16 / kScale);
constexpr int kUtf8Turns = 12000 / kScale;
constexpr int kUtf8Shards = 2;

class Utf8IndexDifferentialTest : public ::testing::TestWithParam<int> {};

TEST_P(Utf8IndexDifferentialTest, IndexedChoiceEqualsPlainOnMixedScripts) {
  const auto start = std::chrono::steady_clock::now();
  Counts counts;
  for (int kb = GetParam(); kb < kUtf8KnowledgeBases; kb += kUtf8Shards) {
    const int size = 1000 + (kb * 3000) / std::max(1, kUtf8KnowledgeBases - 1);
    RunKnowledgeBase(kb + 5000, size, kUtf8Turns / kUtf8KnowledgeBases,
                     counts, start, /*utf8=*/true);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(counts.named, counts.turns / 3);
  EXPECT_GT(counts.pardon, 0);
}

INSTANTIATE_TEST_SUITE_P(Shards, Utf8IndexDifferentialTest,
                         ::testing::Range(0, kUtf8Shards));

TEST(IndexDifferentialPlanTest, CoversTheSizesAndTurnsAsked) {
  const Plan plan = MakePlan();
  int turns = 0;
  int small = 0, large = 0;
  for (int kb = 0; kb < kKnowledgeBases; ++kb) {
    turns += plan.turns[static_cast<std::size_t>(kb)];
    EXPECT_GE(plan.sizes[static_cast<std::size_t>(kb)], 1000);
    EXPECT_LE(plan.sizes[static_cast<std::size_t>(kb)], 20000);
    small += plan.sizes[static_cast<std::size_t>(kb)] < 2000;
    large += plan.sizes[static_cast<std::size_t>(kb)] > 10000;
  }
  EXPECT_GE(turns, kTotalTurns);
  EXPECT_GT(small, 0);
  EXPECT_GT(large, 0);
}

// The keyword knowledge base where the index once went wrong: a catch-all
// first, then 100,000 patterns of one CUSTOM fragment each, whose keys are
// four letters that share their prefixes (so nodes of the automaton have up
// to 26 children). Each of 2,000 inputs names one key among filler words;
// every reply must be the plain scorer's. (Under the sanitizers, 10,000
// patterns and 200 inputs.) The inputs are shared out among a few tests
// that ctest may run side by side.
constexpr int kKeywordShards = 4;

class HundredThousandKeywordsTest : public ::testing::TestWithParam<int> {};

TEST_P(HundredThousandKeywordsTest, EveryReplyIsThePlainScorers) {
  const int patterns = kScale == 1 ? 100000 : 10000;
  const int inputs = kScale == 1 ? 2000 : 200;
  std::mt19937_64 rng(4);
  std::vector<std::string> keys;
  {
    std::vector<bool> taken(26 * 26 * 26 * 26, false);
    while (static_cast<int>(keys.size()) < patterns) {
      const std::size_t code = rng() % taken.size();
      if (taken[code]) continue;
      taken[code] = true;
      std::string key(4, 'a');
      for (std::size_t i = 0, c = code; i < 4; ++i, c /= 26)
        key[3 - i] = static_cast<char>('a' + c % 26);
      keys.push_back(key);
    }
  }
  // Filler words are never four letters long, so never keys.
  static const char* const kWords[] = {"please", "thanks", "hello", "maybe",
                                       "about",  "oh",     "me",    "the"};
  std::vector<std::string> all_inputs;
  for (int t = 0; t < inputs; ++t) {
    const std::string key = keys[rng() % keys.size()];
    std::string input = kWords[rng() % 8];
    input += " " + (rng() % 2 ? key : Shapes(rng()).Cased(key)) + " ";
    input += kWords[rng() % 8];
    all_inputs.push_back(std::move(input));
  }
  auto fill = [&](BrainClass& brain) {
    brain.Seed(9);
    KnowledgeClass* mode = brain.Modes.At(0);
    AddResponse(NewPattern(mode), rt::kJustText, "Pardon?");
    for (int i = 0; i < patterns; ++i) {
      PatternClass* p = NewPattern(mode);
      AddFragment(p, rel::kCustom, keys[static_cast<std::size_t>(i)], 10, 0);
      AddResponse(p, rt::kJustText, "Reply " + std::to_string(i));
    }
  };
  BrainClass plain, indexed;
  reference::UsePlainScoring(plain);
  fill(plain);
  fill(indexed);
  int pardons = 0;
  for (int t = GetParam(); t < inputs; t += kKeywordShards) {
    const std::string& input = all_inputs[static_cast<std::size_t>(t)];
    const std::string expected = plain.Respond(input);
    ASSERT_EQ(indexed.Respond(input), expected)
        << "input " << t << ": " << input;
    pardons += expected == "Pardon?";
  }
  EXPECT_EQ(pardons, 0);  // Every input names a key.
}

INSTANTIATE_TEST_SUITE_P(Shards, HundredThousandKeywordsTest,
                         ::testing::Range(0, kKeywordShards));

}  // namespace
}  // namespace corvane
