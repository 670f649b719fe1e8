// The worked example of the author's guide, as a language file with CR LF
// line ends, shared by the reader's and the writer's tests.
#ifndef CORVANE_TESTS_LANGFILE_WORKED_EXAMPLE_H_
#define CORVANE_TESTS_LANGFILE_WORKED_EXAMPLE_H_

#include <string>

#include "platform/files.h"

namespace corvane {

inline std::string WorkedExample() {
  return ReadFileBytes(CORVANE_SOURCE_DIR "/tests/data/worked_example.clf")
      .value_or("");
}

}  // namespace corvane

#endif  // CORVANE_TESTS_LANGFILE_WORKED_EXAMPLE_H_
