// An input line from arbitrary bytes, expanded and answered, and compared
// with the same knowledge scored the reference way.
#include <cstdint>
#include <memory>
#include <string>

#include "base/error.h"
#include "engine/a1U2.h"
#include "engine/limits.h"
#include "tests/reference/plain_scorer.h"
#include "text/text_util.h"

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

// The facts and collections both brains start from; `x` and the second
// member of c differ.
void FillFacts(BrainClass& brain, const char* x, const char* c) {
  brain.Seed(3);
  brain.SetFileRoot("/nonexistent-corvane-root");
  brain.SetFact("x", x);
  brain.SetFact("n", "$7");
  brain.AddMember("c", "red");
  brain.AddMember("c", c);
  brain.AddMember("d", "red apple");
}

// Facts, collections and one pattern that invite every macro row, a fact
// that holds itself included, so expansions run into their bounds.
void FillBounds(BrainClass& brain) {
  FillFacts(brain, "^Fact{x}^Member{c}", "^Fact{x}");
  PatternClass* p = brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  AddFragment(p, rel::kCustom, "^Input{0}");
  AddResponse(p, "^Remain{} ^MemberZ{c|d} ^Add{^Fact{n}|^Input{}}");
}

// Patterns for comparing with the reference scorer. They share fragment
// texts, so some remainders agree and some differ, and one named fragment
// makes ^LastFrag{} change while scoring. No fact holds itself here, so
// expansions stay small and each comparison quick.
void FillCompared(BrainClass& brain, bool plain) {
  if (plain) reference::UsePlainScoring(brain);
  FillFacts(brain, "^Remain{} ^Member{c}", "^Fact{n}");
  PatternClass* q = brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  AddFragment(q, rel::kOr, "red");
  AddFragment(q, rel::kCustomSub, "ain");
  AddFragment(q, rel::kDataMatch, "");
  q->Fragments.At(2)->THENAME = "n";
  q->Fragments.At(2)->THEVALUE = "$7";
  AddResponse(q, "q ^Remain{} ^MemberZ{c|d} ^Add{^Fact{n}|1}");
  PatternClass* r = brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  AddFragment(r, rel::kOr, "red");
  AddFragment(r, rel::kExtract, "is ^Extr{n}");
  r->Fragments.At(0)->ObjectName = "RedFrag";
  AddResponse(r, "r ^Remain{} ^Fact{n}");
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
// must end and stay within its bounds, and the engine must answer short
// inputs exactly as the reference scorer does.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  {
    BrainClass brain;
    FillBounds(brain);
    try {
      const std::string out = brain.ExpandMacros(
          input, input, brain.Modes.At(0)->Patterns.At(0), nullptr);
      if (out.size() > kMaxExpandedText + input.size()) __builtin_trap();
      (void)brain.Respond(input);
    } catch (const Error&) {
    }
  }
  // The reference expands a long input again for every fragment, and an
  // input that recalls inputs or outputs (^Input{0}) brings itself back
  // up to the expansion's cap: to stay quick, the comparison takes short
  // inputs that recall nothing, for one turn.
  if (input.size() > 256) return 0;
  const std::string upper = UpperAscii(input);
  if (upper.find("INPUT") != std::string::npos ||
      upper.find("LASTOUT") != std::string::npos)
    return 0;
  BrainClass brain, reference;
  FillCompared(brain, false);
  FillCompared(reference, true);
  if (Outcome(brain, input) != Outcome(reference, input)) __builtin_trap();
  return 0;
}
