// Keyword knowledge bases shared by the benchmarks.
#ifndef CORVANE_BENCH_KEYWORD_BRAIN_H_
#define CORVANE_BENCH_KEYWORD_BRAIN_H_

#include <memory>
#include <string>

#include "engine/a1U2.h"

namespace corvane {

// Gives `pattern` a response that says `text`.
inline void AddTextReply(PatternClass* pattern, std::string text) {
  auto r = std::make_unique<ResponseClass>();
  r->RESPONSETYPE = rt::kJustText;
  r->OUTTEXT = std::move(text);
  pattern->AddResponse(std::move(r));
}

// Adds `patterns` patterns to `mode`, each of one CUSTOM fragment "kw<i>"
// (bonus 10) that answers "Reply <i>".
inline void AddKeywordPatterns(KnowledgeClass* mode, int patterns) {
  for (int i = 0; i < patterns; ++i) {
    PatternClass* p = mode->AddPattern(std::make_unique<PatternClass>());
    auto f = std::make_unique<WordFragmentClass>();
    f->RELATION = rel::kCustom;
    f->BONUS = 10;
    f->WORDFRAG = "kw" + std::to_string(i);
    p->AddFragment(std::move(f));
    AddTextReply(p, "Reply " + std::to_string(i));
  }
}

}  // namespace corvane

#endif  // CORVANE_BENCH_KEYWORD_BRAIN_H_
