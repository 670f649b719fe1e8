// Placeholder until the word index lands.
#include "engine/brain.h"

namespace corvane {

std::string BrainClass::AskWordIndex(const std::string&, const std::string&) {
  return {};
}

}  // namespace corvane
