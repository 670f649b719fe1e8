#include "engine/effects.h"

#include "base/error.h"
#include "platform/files.h"
#include "platform/launch.h"

namespace corvane {
namespace {

class Real final : public EffectSink {
 public:
  void Launch(std::string_view command_line, const PathMapper& paths) override {
    LaunchProgram(command_line, paths.root());
  }
  void AppendLog(std::string_view file, std::string_view line,
                 const PathMapper& paths) override {
    paths.AppendConfined(file, line);
  }
  void ReplaceFile(std::string_view file, std::string_view data,
                   const PathMapper& paths) override {
    // Replaced as a whole, so a failed or interrupted save leaves the old
    // file; failures are not reported.
    try {
      paths.ReplaceConfined(file, data);
    } catch (const IoError&) {
    }
  }
};

class Discarded final : public EffectSink {
 public:
  void Launch(std::string_view, const PathMapper&) override {}
  void AppendLog(std::string_view, std::string_view,
                 const PathMapper&) override {}
  void ReplaceFile(std::string_view, std::string_view,
                   const PathMapper&) override {}
};

}  // namespace

EffectSink& RealEffects() {
  static Real real;
  return real;
}

EffectSink& DiscardedEffects() {
  static Discarded discarded;
  return discarded;
}

}  // namespace corvane
