#include "web/web_app.h"

#include "base/error.h"

namespace corvane {
namespace {

constexpr const char* kModuleErrorKind = "EWebModuleError";

}  // namespace

WebApplication::~WebApplication() {
  DestroyModules();
}

void WebApplication::RegisterModuleClass(ModuleFactory factory) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (factory_)
    throw Error(kModuleErrorKind, "Only one data module per application");
  factory_ = std::move(factory);
}

uint32_t WebApplication::HandleRequest(EXTENSION_CONTROL_BLOCK& ecb) noexcept {
  WebResponse response;
  try {
    WebRequest request(ecb);
    const ModuleList::iterator module = ActivateWebModule(request);
    bool handled = false;
    try {
      handled = (*module)->DispatchRequest(request, response);
      if (handled && !response.Sent) response.SendResponse(ecb);
    } catch (...) {
      DeactivateWebModule(module);
      throw;
    }
    DeactivateWebModule(module);
    return handled ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
  } catch (const Error& e) {
    if (!response.Sent) SendErrorPage(ecb, e.kind_name(), e.what());
  } catch (const std::bad_alloc&) {
    if (!response.Sent) SendErrorPage(ecb, "EOutOfMemory", "Out of memory");
  } catch (const std::exception& e) {
    if (!response.Sent) SendErrorPage(ecb, "Exception", e.what());
  } catch (...) {
    if (!response.Sent) SendErrorPage(ecb, "Exception", "Unknown error");
  }
  return HSE_STATUS_ERROR;
}

WebApplication::ModuleList::iterator WebApplication::ActivateWebModule(
    WebRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (MaxConnections > 0 && active_.size() >= MaxConnections) {
    throw Error(kModuleErrorKind,
                "Maximum number of concurrent connections exceeded.  "
                "Please try again later");
  }
  if (!cache_.empty()) {
    active_.splice(active_.end(), cache_, cache_.begin());
  } else {
    if (!factory_) throw Error(kModuleErrorKind, "No data modules registered");
    // Created under the lock, so brains are loaded one at a time.
    std::unique_ptr<TWebModule1> module = factory_(request);
    active_.push_back(std::move(module));
  }
  return std::prev(active_.end());
}

void WebApplication::DeactivateWebModule(ModuleList::iterator module) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  cache_.splice(cache_.end(), active_, module);
}

void WebApplication::DestroyModules() noexcept {
  ModuleList doomed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    doomed.splice(doomed.end(), cache_);
    doomed.splice(doomed.end(), active_);
  }
  // Saving takes long; it runs outside the lock, front to back.
  while (!doomed.empty()) doomed.pop_front();
}

std::size_t WebApplication::active_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_.size();
}

std::size_t WebApplication::cached_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cache_.size();
}

WebApplication::ModuleFactory TWebModule1Factory() {
  return [](WebRequest& request) {
    const std::optional<std::string> root =
        request.ServerVariable("APPL_PHYSICAL_PATH");
    if (!root || root->empty())
      throw Error(kModuleErrorKind,
                  "The server does not give APPL_PHYSICAL_PATH");
    return std::make_unique<TWebModule1>(*root);
  };
}

}  // namespace corvane
