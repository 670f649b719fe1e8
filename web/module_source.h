// Where a request gets its web module: the one interface of the shared
// pool (web/module_pool.h) and the session pool (web/session_pool.h), and
// of whatever keeps conversations later. A request takes a lease on a
// module, runs its turns through it and gives it back by dropping the
// lease; the source decides which module that is and what giving back
// means (the end of the cache, the session's turn lock released, a turn
// committed to a store).
#ifndef CORVANE_WEB_MODULE_SOURCE_H_
#define CORVANE_WEB_MODULE_SOURCE_H_

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/error.h"

namespace corvane {

class TWebModule1;

// What a request asks of a source.
struct ModuleRequest {
  std::string web_root;  // The server's web root (APPL_PHYSICAL_PATH).
  std::string session;   // The conversation the visitor names; may be
                         // empty or malformed.
  // When set, a request whose conversation is in another request's turn
  // need not hold its thread: Take may throw TurnPending instead of
  // waiting, and calls `resume` (from any thread, once) when the request
  // should take again.
  std::function<void()> resume = nullptr;
};

// Take's answer to a request with `resume` whose conversation is busy: it
// waits without a thread. Not an error (no std::exception), so that the
// handlers' error answers let it pass.
struct TurnPending {};

// The refusal when every module allowed is in use. The page answers it
// with the error page (500), the JSON API with 503.
class BusyError : public Error {
 public:
  BusyError()
      : Error("EWebModuleError",
              "Maximum number of concurrent connections exceeded.  "
              "Please try again later") {}
};

// A source that cannot serve now (its store is unreachable): 503, with
// the message.
class UnavailableError : public Error {
 public:
  explicit UnavailableError(const std::string& message)
      : Error("EServiceUnavailable", message) {}
};

// Holder::Commit's answer when the turn ran on a state of the conversation
// that another host has moved past meanwhile: nothing of it was kept, and
// the module now holds the conversation as stored. Run the turn again on
// module() and commit that. Where it is not caught it is a 503.
class StaleTurnError : public UnavailableError {
 public:
  StaleTurnError()
      : UnavailableError(
            "The conversation went on elsewhere meanwhile; try again") {}
};

// One turn a request ran, as a source that keeps conversations records it.
struct TurnDone {
  std::string_view input;  // The visitor's text as sent (UTF-8).
  std::string_view reply;  // The reply as sent (UTF-8), or the error's text.
  bool failed = false;     // The turn ended in an error.
  bool fallback = false;   // A fallback message answered it.
};

// What a commit that finished later came to: null when the turn is kept,
// else what Holder::Commit would have thrown (StaleTurnError: run the
// request again).
using TurnKept = std::function<void(std::exception_ptr)>;

// A request's hold on one module. Move-only; dropping it (or GiveBack)
// gives the module back to its source, exactly once.
class ModuleLease {
 public:
  // How a source gives its module back: Release, which by default deletes
  // the holder, so that its destructor gives the module back. A source may
  // keep its holders instead.
  class Holder {
   public:
    virtual ~Holder() = default;
    virtual TWebModule1& module() = 0;
    virtual void Release() noexcept { delete this; }
    // Keeps what the turn just run on module() did; `last` when the
    // request runs no more turns. A source without a store keeps nothing.
    // Throws UnavailableError when it cannot be kept; the module's state
    // is then dropped, so nothing of the turn stays. Throws StaleTurnError
    // when the turn must run again.
    virtual void Commit(const TurnDone& turn, bool last) {
      (void)turn;
      (void)last;
    }
    // Commit, without holding the thread when the source can: true when
    // `kept` will be called (once, from any thread, while the holder is
    // alive) with what the commit came to; false when it did not start,
    // and the request calls Commit instead. The module is not touched
    // until `kept` is called.
    virtual bool CommitLater(const TurnDone& turn, bool last, TurnKept kept) {
      (void)turn;
      (void)last;
      (void)kept;
      return false;
    }
  };

  ModuleLease() = default;
  ModuleLease(std::unique_ptr<Holder> holder, std::string id, bool is_new)
      : holder_(holder.release()), id_(std::move(id)), is_new_(is_new) {}
  ModuleLease(ModuleLease&&) noexcept = default;
  ModuleLease& operator=(ModuleLease&&) noexcept = default;

  // Requires a lease that holds a module.
  TWebModule1& module() { return holder_->module(); }
  // The conversation's id; empty for the shared pool.
  const std::string& id() const { return id_; }
  // True when this request started the conversation (the visitor needs
  // its id).
  bool is_new() const { return is_new_; }
  bool holds() const { return holder_ != nullptr; }
  // Keeps the turn just run (Holder::Commit); throws as that does.
  void Commit(const TurnDone& turn, bool last) { holder_->Commit(turn, last); }
  // Holder::CommitLater.
  bool CommitLater(const TurnDone& turn, bool last, TurnKept kept) {
    return holder_->CommitLater(turn, last, std::move(kept));
  }
  // Gives the module back now.
  void GiveBack() noexcept { holder_.reset(); }

 private:
  struct Releaser {
    void operator()(Holder* holder) const noexcept { holder->Release(); }
  };
  std::unique_ptr<Holder, Releaser> holder_;
  std::string id_;
  bool is_new_ = false;
};

class ModuleSource {
 public:
  virtual ~ModuleSource() = default;

  // The module for `request`. Throws BusyError when the modules allowed are
  // all in use, UnavailableError when the source cannot serve, and
  // whatever creating a module throws. Thread-safe.
  virtual ModuleLease Take(const ModuleRequest& request) = 0;

  // Marks the conversation `id` as used when it is live; false when it is
  // not (and always for the shared pool, which has no conversations).
  virtual bool Touch(std::string_view id) {
    (void)id;
    return false;
  }

  // Saves and ends every module not in use (a module in use keeps running
  // and is not saved). True when every module was saved and none was in
  // use. Safe while requests run; later requests get new modules.
  virtual bool SaveIdle() noexcept = 0;

  // Ends every module, saving as SaveIdle does. Requires that no lease is
  // held.
  virtual void DestroyAll() noexcept = 0;

  // Whether the source can serve now; false with the reason in *why.
  virtual bool Healthy(std::string* why) const {
    (void)why;
    return true;
  }

  // Leases held now.
  virtual std::size_t in_use() const = 0;

  // Whether a page without form content gives a visitor without one a
  // conversation id at once. A source whose store issues the ids gives
  // one only with the conversation, at the visitor's first line.
  virtual bool NamesVisitorsEarly() const { return true; }
};

}  // namespace corvane

#endif  // CORVANE_WEB_MODULE_SOURCE_H_
