// An input line from arbitrary bytes, expanded and answered by a brain whose
// facts, collections and patterns invite every macro row, "^Remain{}"
// included. Expansion must end and stay within its bounds.
#include <cstdint>
#include <memory>
#include <string>

#include "base/error.h"
#include "engine/a1U2.h"
#include "engine/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  const std::string input(reinterpret_cast<const char*>(data), size);
  BrainClass brain;
  brain.Seed(3);
  brain.SetFileRoot("/nonexistent-corvane-root");
  brain.SetFact("x", "^Fact{x}^Member{c}");
  brain.SetFact("n", "$7");
  brain.AddMember("c", "red");
  brain.AddMember("c", "^Fact{x}");
  brain.AddMember("d", "red apple");
  PatternClass* p = brain.Modes.At(0)->AddPattern(std::make_unique<PatternClass>());
  auto f = std::make_unique<WordFragmentClass>();
  f->RELATION = rel::kCustom;
  f->WORDFRAG = "^Input{0}";
  p->AddFragment(std::move(f));
  auto r = std::make_unique<ResponseClass>();
  r->RESPONSETYPE = rt::kJustText;
  r->OUTTEXT = "^Remain{} ^MemberZ{c|d} ^Add{^Fact{n}|^Input{}}";
  p->AddResponse(std::move(r));
  try {
    const std::string out = brain.ExpandMacros(input, input, p, nullptr);
    if (out.size() > kMaxExpandedText + input.size()) __builtin_trap();
    (void)brain.Respond(input);
  } catch (const Error&) {
  }
  return 0;
}
