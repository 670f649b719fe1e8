// The web application: the pool of web modules that answers the requests of
// one loaded extension. At most MaxConnections modules serve requests at
// once; between requests they wait in a first-in, first-out cache, so a
// request takes the module that has waited longest.
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

  std::size_t active_count() const;
  std::size_t cached_count() const;

  std::size_t MaxConnections = kMaxActiveModules;  // 0: no limit.
  std::string Title;  // Reported as the extension's description.

 private:
  using ModuleList = std::list<std::unique_ptr<TWebModule1>>;

  // Takes the first cached module, or creates one, and appends it to the
  // active list. Throws the limit and registration errors and whatever
  // module creation throws.
  ModuleList::iterator ActivateWebModule(WebRequest& request);
  // Moves the module from the active list to the end of the cache.
  void DeactivateWebModule(ModuleList::iterator module) noexcept;

  mutable std::mutex mutex_;
  ModuleFactory factory_;  // Guarded by mutex_.
  ModuleList active_;      // Guarded by mutex_.
  ModuleList cache_;       // Guarded by mutex_; front waited longest.
};

// The factory of TWebModule1: the web root is the server variable
// APPL_PHYSICAL_PATH of the request that creates the module. Throws Error
// when the server does not give it.
WebApplication::ModuleFactory TWebModule1Factory();

}  // namespace corvane

#endif  // CORVANE_WEB_WEB_APP_H_
