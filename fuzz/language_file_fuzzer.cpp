// A language file from arbitrary bytes: read it, converse a little, write
// it back, and read the written file into a fresh brain. None of it may
// crash or read outside a buffer; errors that abandon a turn are allowed.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "base/error.h"
#include "engine/a1U2.h"
#include "langfile/CorvLangU.h"
#include "platform/files.h"
#include "platform/operator_messages.h"

namespace {

std::string TempPath(const char* what) {
  return "/tmp/corvane-fuzz-" + std::to_string(::getpid()) + "-" + what;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  static const bool quiet = [] {
    SetOperatorMessageHandler([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  const std::string path = TempPath("in.clf");
  const std::string saved = TempPath("out.clf");
  WriteFileBytes(path, std::string_view(reinterpret_cast<const char*>(data), size));
  {
    BrainClass brain;
    brain.Seed(1);
    brain.SetFileRoot("/nonexistent-corvane-root");
    AttachLanguageReader(brain);
    LoadLanguageFile(brain, path);
    for (const char* input : {"hello", "", "^Fact{x} ^Member{x} ^Remain{}",
                              "\xC5\x81\xC3\xB3" "d\xC5\xBA \xE2\x84\xAA\xCF\x82 \xE9\xFF"}) {
      try {
        brain.Start();
        (void)brain.Respond(input);
      } catch (const Error&) {
      }
    }
    try {
      brain.Stop();
      SaveLanguageFile(brain, saved);
    } catch (const Error&) {
    }
  }
  {
    BrainClass reread;
    LoadLanguageFile(reread, saved);
  }
  ::unlink(path.c_str());
  ::unlink(saved.c_str());
  return 0;
}
