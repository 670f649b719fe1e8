// Placeholder until the macro expansion lands: texts pass unchanged.
#include "engine/brain.h"

namespace corvane {

std::string BrainClass::ExpandMacros(const std::string& text,
                                     const std::string& /*input*/,
                                     PatternClass* /*pattern*/,
                                     StepPatternClass* /*step_pattern*/) {
  return text;
}

bool BrainClass::TestCondition(const std::string& /*condition*/) const {
  return false;
}

bool BrainClass::CollectionHasWord(const std::string& /*name*/,
                                   const std::string& /*text*/) const {
  return false;
}

bool BrainClass::CollectionHasSubstring(const std::string& /*name*/,
                                        const std::string& /*text*/) const {
  return false;
}

}  // namespace corvane
