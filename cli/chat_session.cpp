#include "cli/chat_session.h"

#include <exception>

#include "base/error.h"
#include "cli/cli_support.h"
#include "platform/file_version.h"
#include "platform/files.h"
#include "text/utf8.h"

namespace corvane {
namespace {

// Runs `step`, reporting what it throws; true when it did not throw.
template <typename Fn>
bool Guarded(Fn&& step) {
  try {
    step();
    return true;
  } catch (const Error& e) {
    ReportError(e.kind_name(), e.what());
  } catch (const std::exception& e) {
    ReportError("Exception", e.what());
  }
  return false;
}

}  // namespace

bool ChatSession::Load(TurnTrace* start_trace) {
  brain_ = std::make_unique<BrainClass>();
  if (seed_) brain_->Seed(*seed_);
  brain_->SetFileRoot(DirectoryOf(path_));
  brain_->ProtectFile(path_);
  AttachLanguageReader(*brain_);
  const bool loaded =
      Guarded([&] { LoadLanguageFile(*brain_, path_, problems_, &loaded_); });
  if (!loaded) return false;
  // What the start patterns say stays pending and leads the first reply,
  // also when a start pattern fails half-way.
  Traced(start_trace, TurnTrace::Phase::kDoBefore, [&] { brain_->Start(); });
  return true;
}

template <typename Fn>
void ChatSession::Traced(TurnTrace* trace, TurnTrace::Phase phase, Fn&& step) {
  if (trace != nullptr) {
    trace->phase = phase;
    brain_->SetTrace(trace);
  }
  Guarded(step);
  if (trace != nullptr) {
    brain_->SetTrace(nullptr);
    trace->phase = TurnTrace::Phase::kNone;
  }
}

std::string ChatSession::Respond(const std::string& input, TurnTrace* trace) {
  std::string reply;
  brain_->SetTrace(trace);
  // A failed turn replies with an empty line; what it said stays pending
  // and leads the next reply.
  // A UTF-8 knowledge base takes only UTF-8: a line that is none (typed
  // in another encoding) has its bad bytes made U+FFFD first.
  const bool utf8 = brain_->text_encoding() == TextEncoding::kUtf8;
  const bool answered = Guarded([&] {
    reply = brain_->Respond(utf8 ? utf8::Sanitize(input) : input);
  });
  brain_->SetTrace(nullptr);
  if (trace != nullptr && !answered) {
    trace->abandoned = true;
    trace->reply.clear();
  }
  return reply;
}

void ChatSession::Stop(TurnTrace* stop_trace) {
  Traced(stop_trace, TurnTrace::Phase::kDoAfter, [&] { brain_->Stop(); });
}

bool ChatSession::Save() {
  const std::string& target = save_target();
  FileVersion& base = save_to_.empty() ? loaded_ : save_base_;
  SaveOutcome outcome;
  if (!Guarded([&] { outcome = SaveLanguageFileOver(*brain_, target, base); }))
    return false;
  switch (outcome.result) {
    case SaveOutcome::Result::kSaved:
      // Later saves of this session replace what this one wrote.
      base = outcome.version;
      return true;
    case SaveOutcome::Result::kConflict:
      // The operator message has said where the knowledge base went.
      return false;
    case SaveOutcome::Result::kNotWritten:
      break;
  }
  ReportError("not saved", (target + " could not be written").c_str());
  return false;
}

void ChatSession::SetSaveTarget(const std::string& path) {
  save_to_ = path;
  save_base_ = CurrentFileVersion(path);
}

void ChatSession::SetSeed(uint64_t seed) {
  seed_ = seed;
  if (brain_) brain_->Seed(seed);
}

}  // namespace corvane
