// The three word-index files from arbitrary bytes: the first two bytes give
// the sizes of "Words.str" and "WordIndex.idx" (in 31- and 4004-byte units
// plus a remainder), the rest is "OVData.str"; a phrase is asked against
// them. Truncated and corrupt records must never be read past.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/random.h"
#include "platform/files.h"
#include "text/word_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  if (size < 2) return 0;
  const std::string dir = "/tmp/corvane-fuzz-windex-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  const char* bytes = reinterpret_cast<const char*>(data) + 2;
  size_t rest = size - 2;
  const size_t words = std::min(rest, static_cast<size_t>(data[0]) * 7);
  const size_t index = std::min(rest - words, static_cast<size_t>(data[1]) * 97);
  WriteFileBytes(dir + "/Words.str", std::string_view(bytes, words));
  WriteFileBytes(dir + "/WordIndex.idx", std::string_view(bytes + words, index));
  WriteFileBytes(dir + "/OVData.str",
                 std::string_view(bytes + words + index, rest - words - index));
  ResetWordIndexForTesting();
  Random random(7);
  const PathMapper paths(dir);
  const std::string phrase(bytes, std::min<size_t>(rest, 40));
  const std::string answer = AskWordIndex(phrase, "", paths, random);
  if (answer.size() > 255) __builtin_trap();
  (void)AskWordIndex("A B C", "", paths, random);
  ResetWordIndexForTesting();
  // Nothing is left in /tmp, also after the last input of a replay.
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
