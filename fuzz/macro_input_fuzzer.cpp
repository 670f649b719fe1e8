// An input line from arbitrary bytes, expanded and answered, against the
// same knowledge scored the reference way.
#include <cstdint>
#include <memory>
#include <string>

#include "base/error.h"
#include "engine/a1U2.h"
#include "engine/limits.h"

namespace {

using namespace corvane;

void AddFragment(PatternClass* p, uint8_t relation, const char* text) {
  auto f = std::make_unique<WordFragmentClass>();
  f->RELATION = relation;
  f->WORDFRAG = text;
  f->BONUS = 10;
  f->PENALTY = 3;
  p->AddFragment(std::move(f));
}

void AddResponse(PatternClass* p, const char* text) {
  auto r = std::make_unique<ResponseClass>();
  r->RESPONSETYPE = rt::kJustText;
  r->OUTTEXT = text;
  p->AddResponse(std::move(r));
}

// A brain whose facts, collections and patterns invite every macro row.
// The patterns share fragment texts, so some remainders agree and some
// differ, and one named fragment makes ^LastFrag{} change while scoring.
void Fill(BrainClass& brain, bool plain) {
  brain.PlainScoring = plain;
  brain.Seed(3);
  brain.SetFileRoot("/nonexistent-corvane-root");
  brain.SetFact("x", "^Fact{x}^Member{c}");
  brain.SetFact("n", "$7");
  brain.AddMember("c", "red");
  brain.AddMember("c", "^Fact{x}");
  brain.AddMember("d", "red apple");
  PatternClass* p = brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  AddFragment(p, rel::kCustom, "^Input{0}");
  AddResponse(p, "^Remain{} ^MemberZ{c|d} ^Add{^Fact{n}|^Input{}}");
  PatternClass* q = brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  AddFragment(q, rel::kOr, "red");
  AddFragment(q, rel::kCustomSub, "ain");
  AddResponse(q, "q ^Remain{}");
  PatternClass* r = brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  AddFragment(r, rel::kOr, "red");
  AddFragment(r, rel::kExtract, "is ^Extr{n}");
  r->Fragments.At(0)->ObjectName = "RedFrag";
  AddResponse(r, "r ^Remain{} ^Fact{n}");
  PatternClass* s = brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  AddFragment(s, rel::kAnd, "apple");
  AddFragment(s, rel::kDataMatch, "");
  s->Fragments.At(1)->THENAME = "n";
  s->Fragments.At(1)->THEVALUE = "$7";
  AddResponse(s, "s ^Remain{}");
}

std::string Outcome(BrainClass& brain, const std::string& input) {
  try {
    return brain.Respond(input) + "|" + brain.LastFrag + "|" + brain.GetFact("n");
  } catch (const Error& e) {
    return std::string("error: ") + e.what();
  }
}

}  // namespace

// An input line from arbitrary bytes, expanded and answered. Expansion
// must end and stay within its bounds, and the engine must answer exactly
// as the reference scorer does.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  BrainClass brain, reference;
  Fill(brain, false);
  Fill(reference, true);
  try {
    const std::string out =
        brain.ExpandMacros(input, input, brain.Modes.At(0)->Patterns.At(0), nullptr);
    if (out.size() > kMaxExpandedText + input.size()) __builtin_trap();
  } catch (const Error&) {
  }
  // The expansion above drew from the brain's random numbers: draw the
  // same from the reference's.
  try {
    (void)reference.ExpandMacros(input, input,
                                 reference.Modes.At(0)->Patterns.At(0), nullptr);
  } catch (const Error&) {
  }
  // The reference re-expands a long input for every fragment: compare
  // short inputs only, so that each run stays quick.
  const bool compare = input.size() <= 4096;
  for (int turn = 0; turn < 2; ++turn) {
    const std::string got = Outcome(brain, input);
    if (compare && got != Outcome(reference, input)) __builtin_trap();
  }
  return 0;
}
