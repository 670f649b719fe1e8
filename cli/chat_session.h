// One conversation of the command line with a knowledge-base file: the
// brain, loaded from the file and started, and the turns that it answers.
// `corvane chat` (plain and interactive) and `corvane test` use it.
// Not thread-safe.
#ifndef CORVANE_CLI_CHAT_SESSION_H_
#define CORVANE_CLI_CHAT_SESSION_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/brain.h"
#include "engine/trace.h"
#include "langfile/CorvLangU.h"

namespace corvane {

class ChatSession {
 public:
  // `path` is the knowledge-base file; files it names resolve under its
  // directory. Problems of the file go to `problems` when given, otherwise
  // to the operator messages.
  explicit ChatSession(std::string path, LanguageProblemSink problems = nullptr)
      : path_(std::move(path)), problems_(std::move(problems)) {}

  // Makes a fresh brain, seeds it when a seed is set, reads the file and
  // starts the brain. False when reading threw (reported on standard
  // error); a failing start is reported but still gives a usable brain.
  // With `start_trace`, what the start patterns fire is recorded in its
  // do_before list.
  bool Load(TurnTrace* start_trace = nullptr);

  // One turn. Errors that abandon the turn are reported on standard error
  // and give an empty reply. With `trace`, the turn's trace is filled in.
  // The reply is returned as the brain joined it (CR and LF kept).
  std::string Respond(const std::string& input, TurnTrace* trace = nullptr);

  // Fires the stop patterns; reported errors are ignored. With
  // `stop_trace`, what they fire is recorded in its do_after list.
  void Stop(TurnTrace* stop_trace = nullptr);
  // Writes the knowledge base to the save target, but never over a file
  // that changed on disk since it was read (or, for a target of its own,
  // since the session began): such a file is left alone and the knowledge
  // base goes to a conflict file beside it (SaveLanguageFileOver). True
  // once saved; false, reported on standard error, when the file was
  // changed, could not be created or a write failed.
  bool Save();
  // Saves go to `path` from now on instead of the knowledge base's own
  // file (`corvane chat --save-to`). Its version now is what it must
  // still hold when it is saved.
  void SetSaveTarget(const std::string& path);
  // Where saves go.
  const std::string& save_target() const {
    return save_to_.empty() ? path_ : save_to_;
  }

  // The seed for every later Load; also reseeds the current brain.
  void SetSeed(uint64_t seed);

  BrainClass& brain() { return *brain_; }
  const std::string& path() const { return path_; }

 private:
  // Runs `step` as Guarded does, with `trace` (when given) attached in
  // `phase`, as if it were that phase of a turn.
  template <typename Fn>
  void Traced(TurnTrace* trace, TurnTrace::Phase phase, Fn&& step);

  std::string path_;
  LanguageProblemSink problems_;
  std::optional<uint64_t> seed_;
  std::unique_ptr<BrainClass> brain_;
  FileVersion loaded_;     // Of the file as the last Load read it.
  std::string save_to_;    // Empty: saves go to path_.
  FileVersion save_base_;  // What save_to_ must hold when it is saved.
};

}  // namespace corvane

#endif  // CORVANE_CLI_CHAT_SESSION_H_
