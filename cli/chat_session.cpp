#include "cli/chat_session.h"

#include <exception>

#include "base/error.h"
#include "cli/cli_support.h"
#include "platform/files.h"

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

bool ChatSession::Load() {
  brain_ = std::make_unique<BrainClass>();
  if (seed_) brain_->Seed(*seed_);
  brain_->SetFileRoot(DirectoryOf(path_));
  brain_->ProtectFile(path_);
  AttachLanguageReader(*brain_);
  const bool loaded = Guarded([&] {
    if (problems_)
      LoadLanguageFile(*brain_, path_, problems_);
    else
      LoadLanguageFile(*brain_, path_);
  });
  if (!loaded) return false;
  // What the start patterns say stays pending and leads the first reply,
  // also when a start pattern fails half-way.
  Guarded([&] { brain_->Start(); });
  return true;
}

std::string ChatSession::Respond(const std::string& input, TurnTrace* trace) {
  std::string reply;
  brain_->SetTrace(trace);
  // A failed turn replies with an empty line; what it said stays pending
  // and leads the next reply.
  const bool answered = Guarded([&] { reply = brain_->Respond(input); });
  brain_->SetTrace(nullptr);
  if (trace != nullptr && !answered) {
    trace->abandoned = true;
    trace->reply.clear();
  }
  return reply;
}

void ChatSession::Stop() {
  Guarded([&] { brain_->Stop(); });
}

bool ChatSession::Save() {
  return Guarded([&] { SaveLanguageFile(*brain_, path_); });
}

void ChatSession::SetSeed(uint64_t seed) {
  seed_ = seed;
  if (brain_) brain_->Seed(seed);
}

}  // namespace corvane
