// The web application: the pool of web modules that answers the requests of
// one loaded extension. At most MaxConnections modules serve requests at
// once; between requests they wait in a first-in, first-out cache, so a
// request takes the module that has waited longest.
//
// In session mode (Configure "sessions" before the first request) a session
// pool (web/session_pool.h) takes the place of the shared pool: every
// visitor has a brain of their own and the language file is never written.
// In both modes "POST /api/reply" is the JSON API (web/json_api.h).
//
// Thread-safe: HandleRequest runs on many threads at once. One mutex guards
// the active list and the cache, including the creation (and so the
// loading) of a module; a module serves one request at a time and its brain
// needs no lock. The application owns every module.
#ifndef CORVANE_WEB_WEB_APP_H_
#define CORVANE_WEB_WEB_APP_H_

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "web/isapi.h"
#include "web/session_pool.h"
#include "web/web_module.h"
#include "web/web_request.h"

namespace corvane {

// Modules in use at once.
inline constexpr std::size_t kMaxActiveModules = 32;

class WebApplication {
 public:
  // Creates a module for a request that found the cache empty.
  using ModuleFactory =
      std::function<std::unique_ptr<TWebModule1>(WebRequest&)>;

  WebApplication() = default;
  // Destroys every module (DestroyModules).
  ~WebApplication();
  WebApplication(const WebApplication&) = delete;
  WebApplication& operator=(const WebApplication&) = delete;

  // Registers the module class. Throws Error "Only one data module per
  // application" when one is registered already.
  void RegisterModuleClass(ModuleFactory factory);

  // One request: takes a module, dispatches, sends the response, returns
  // the module to the cache. Errors are answered with the error page.
  // Returns HSE_STATUS_SUCCESS when the request was handled, else
  // HSE_STATUS_ERROR.
  uint32_t HandleRequest(EXTENSION_CONTROL_BLOCK& ecb) noexcept;

  // Destroys every module, cached ones in cache order (so the module that
  // served last is saved last), then any still active. Requires that no
  // request is in progress.
  void DestroyModules() noexcept;

  // Saves and destroys every module that is not serving a request, in
  // cache order (so the module that served last is saved last); a module
  // serving a request keeps running and is not saved. True when every
  // module was saved and none was serving a request. In session mode it
  // also ends the sessions (SessionPool::Shutdown), saving those not in a
  // turn to the session directory, and is false when one was not saved.
  // Safe while requests run; later requests create new modules.
  bool SaveIdleModules() noexcept;

  std::size_t active_count() const;
  std::size_t cached_count() const;

  // One setting from the host, before the first request: "sessions" ("1"
  // or "0"), "max-sessions" (a count of at least 1), "session-idle"
  // (minutes, a decimal number above 0), "session-dir" (an absolute path
  // of a directory). False, changing nothing, for an unknown name, a bad
  // value, or once a request has been served.
  bool Configure(std::string_view name, std::string_view value);

  // The session pool in session mode, once the first request started it;
  // null otherwise.
  SessionPool* sessions();

  std::size_t MaxConnections = kMaxActiveModules;  // 0: no limit.
  std::string Title;  // Reported as the extension's description.
  // The session pool's clock in milliseconds, for tests; empty: the
  // monotonic clock. Read when the first request starts the application.
  std::function<int64_t()> SessionClock;

 private:
  using ModuleList = std::list<std::unique_ptr<TWebModule1>>;

  // Takes the first cached module, or creates one, and appends it to the
  // active list. Throws the limit and registration errors and whatever
  // module creation throws.
  ModuleList::iterator ActivateWebModule(WebRequest& request);
  // Moves the module from the active list to the end of the cache.
  void DeactivateWebModule(ModuleList::iterator module) noexcept;
  // Marks the application started and makes the session pool in session
  // mode; returns it, or null in the default mode.
  SessionPool* Start();
  // A page request in session mode.
  uint32_t HandleSessionPage(WebRequest& request, WebResponse& response,
                             SessionPool& sessions);
  // A request of the JSON API, in either mode; answers its own errors.
  uint32_t HandleApiRequest(WebRequest& request, WebResponse& response,
                            SessionPool* sessions);

  mutable std::mutex mutex_;
  ModuleFactory factory_;  // Guarded by mutex_.
  ModuleList active_;      // Guarded by mutex_.
  ModuleList cache_;       // Guarded by mutex_; front waited longest.
  bool started_ = false;   // A request has come; guarded by mutex_.
  bool session_mode_ = false;        // Guarded by mutex_.
  SessionSettings session_settings_;  // Guarded by mutex_.
  std::unique_ptr<SessionPool> sessions_;  // Made by Start; then constant.
};

// The factory of TWebModule1: the web root is the server variable
// APPL_PHYSICAL_PATH of the request that creates the module. Throws Error
// when the server does not give it.
WebApplication::ModuleFactory TWebModule1Factory();

}  // namespace corvane

#endif  // CORVANE_WEB_WEB_APP_H_
