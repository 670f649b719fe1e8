// Small helpers for building knowledge in memory in engine tests.
#ifndef CORVANE_TESTS_ENGINE_KB_BUILDER_H_
#define CORVANE_TESTS_ENGINE_KB_BUILDER_H_

#include <exception>
#include <memory>
#include <string>

#include "engine/a1U2.h"

namespace corvane::testing_kb {

inline PatternClass* NewPattern(KnowledgeClass* mode, const std::string& label = "") {
  auto p = std::make_unique<PatternClass>();
  p->ObjectName = label;
  return mode->AddPattern(std::move(p));
}

inline PatternClass* NewPattern(BrainClass& brain, const std::string& label = "") {
  return NewPattern(brain.Modes.At(0), label);
}

inline std::unique_ptr<WordFragmentClass> MakeFragment(
    uint8_t relation, const std::string& text, int32_t bonus = 0,
    int32_t penalty = 0, const std::string& name = "",
    const std::string& value = "") {
  auto f = std::make_unique<WordFragmentClass>();
  f->RELATION = relation;
  f->WORDFRAG = text;
  f->BONUS = bonus;
  f->PENALTY = penalty;
  f->THENAME = name;
  f->THEVALUE = value;
  return f;
}

template <typename Owner>
WordFragmentClass* AddFragment(Owner* owner, uint8_t relation,
                               const std::string& text, int32_t bonus = 0,
                               int32_t penalty = 0, const std::string& name = "",
                               const std::string& value = "") {
  return owner->AddFragment(MakeFragment(relation, text, bonus, penalty, name, value));
}

inline std::unique_ptr<ResponseClass> MakeResponse(uint8_t type, const std::string& out,
                                                   const std::string& name = "",
                                                   const std::string& value = "") {
  auto r = std::make_unique<ResponseClass>();
  r->RESPONSETYPE = type;
  r->OUTTEXT = out;
  r->THENAME = name;
  r->THEVALUE = value;
  return r;
}

template <typename Owner>
ResponseClass* AddResponse(Owner* owner, uint8_t type, const std::string& out,
                           const std::string& name = "", const std::string& value = "") {
  return owner->AddResponse(MakeResponse(type, out, name, value));
}

inline TaskClass* AddTask(ResponseClass* response, uint8_t type, const std::string& out,
                          const std::string& name = "", const std::string& value = "") {
  auto t = std::make_unique<TaskClass>();
  t->RESPONSETYPE = type;
  t->OUTTEXT = out;
  t->THENAME = name;
  t->THEVALUE = value;
  return response->AddTask(std::move(t));
}

// A pattern answering `word` (CUSTOM, bonus 10) with `reply`.
inline PatternClass* AddRule(BrainClass& brain, const std::string& word,
                             const std::string& reply, KnowledgeClass* mode = nullptr) {
  PatternClass* p = NewPattern(mode != nullptr ? mode : brain.Modes.At(0));
  AddFragment(p, rel::kCustom, word, 10, 0);
  AddResponse(p, rt::kJustText, reply);
  return p;
}

// What a turn gave: "reply: " and the reply, or "error: ", the error's
// message, " after " and what was said before it ("|" after each text),
// which leaves the brain's pending output empty. Comparison tests compare
// two brains by it.
inline std::string TurnOutcome(BrainClass& brain, const std::string& input) {
  try {
    return "reply: " + brain.Respond(input);
  } catch (const std::exception& e) {
    std::string said;
    for (const auto& entry : brain.PendingOutput.entries())
      said += entry.name + "|";
    brain.PendingOutput.Clear();
    return std::string("error: ") + e.what() + " after " + said;
  }
}

}  // namespace corvane::testing_kb

#endif  // CORVANE_TESTS_ENGINE_KB_BUILDER_H_
