// The response type "Ask Orvalis" asks the process-wide word index; the
// brain supplies its file mapping and its own generator, so the data
// directory cannot leave the brain's root and the draw belongs to this
// conversation.
#include "engine/brain.h"
#include "text/word_index.h"

namespace corvane {

std::string BrainClass::AskWordIndex(const std::string& phrase,
                                     const std::string& directory) {
  return corvane::AskWordIndex(phrase, directory, paths(), random());
}

}  // namespace corvane
