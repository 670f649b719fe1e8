#include "web/web_app.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/error.h"
#include "web/json_api.h"
#include "web/visitor_text.h"

namespace corvane {
namespace {

constexpr const char* kModuleErrorKind = "EWebModuleError";

// The session id the visitor's cookie names; empty when none.
std::string CookieSession(const WebRequest& request) {
  const std::optional<std::string> header =
      request.ServerVariable("HTTP_COOKIE");
  if (!header) return std::string();
  return CookieValue(*header, kSessionCookie).value_or(std::string());
}

// Sends `body` as JSON with `status`; false when the server refuses.
void SendJson(EXTENSION_CONTROL_BLOCK& ecb, WebResponse& response, int status,
              std::string body) {
  response.StatusCode = status;
  response.ContentType = kJsonContentType;
  response.Content = std::move(body);
  response.SendResponse(ecb);
}

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

bool WebApplication::Configure(std::string_view name, std::string_view value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return false;
  const std::string text(value);
  if (name == "sessions") {
    if (text != "0" && text != "1") return false;
    session_mode_ = text == "1";
    return true;
  }
  if (name == "max-sessions") {
    std::size_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n == 0)
      return false;
    session_settings_.max_sessions = n;
    return true;
  }
  if (name == "session-idle") {
    // Minutes; fractions allow short idle times for tests.
    char* end = nullptr;
    const double minutes = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() ||
        !std::isfinite(minutes) || minutes <= 0 || minutes > 1e7)
      return false;
    session_settings_.idle_ms =
        std::max<int64_t>(1, static_cast<int64_t>(minutes * 60000.0));
    return true;
  }
  if (name == "session-dir") {
    if (text.empty() || text.front() != '/') return false;
    session_settings_.dir = text;
    while (session_settings_.dir.size() > 1 && session_settings_.dir.back() == '/')
      session_settings_.dir.pop_back();
    return true;
  }
  return false;
}

SessionPool* WebApplication::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) {
    started_ = true;
    if (session_mode_) {
      SessionSettings settings = session_settings_;
      settings.max_turns = MaxConnections;
      sessions_ = std::make_unique<SessionPool>(settings, SessionClock);
    }
  }
  return sessions_.get();
}

SessionPool* WebApplication::sessions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.get();
}

uint32_t WebApplication::HandleSessionPage(WebRequest& request,
                                           WebResponse& response,
                                           SessionPool& sessions) {
  EXTENSION_CONTROL_BLOCK& ecb = request.ecb();
  const std::string cookie = CookieSession(request);
  // A page without form content needs no brain. A visitor without a
  // session id gets one now, and the brain with the first line they send:
  // behind a balancer that hashes the cookie, that line then reaches the
  // host that keeps the conversation.
  if (request.ContentFields().empty() && !sessions.Touch(cookie)) {
    const std::optional<std::string> root =
        request.ServerVariable("APPL_PHYSICAL_PATH");
    if (!root || root->empty())
      throw Error(kModuleErrorKind,
                  "The server does not give APPL_PHYSICAL_PATH");
    response.Content = PageWithoutBrain(*root);
    if (!IsSessionId(cookie))
      response.Cookies.push_back(SessionCookie(NewSessionId()));
    response.ContentType = "text/html; charset=utf-8";
    response.SendResponse(ecb);
    return HSE_STATUS_SUCCESS;
  }
  SessionPool::Lease lease = sessions.Take(request, cookie);
  if (lease.is_new()) response.Cookies.push_back(SessionCookie(lease.id()));
  const bool handled = lease.module().DispatchRequest(request, response);
  if (handled && !response.Sent) response.SendResponse(ecb);
  return handled ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
}

uint32_t WebApplication::HandleApiRequest(WebRequest& request,
                                          WebResponse& response,
                                          SessionPool* sessions) {
  EXTENSION_CONTROL_BLOCK& ecb = request.ecb();
  try {
    std::string error;
    const std::optional<ApiRequest> api =
        ParseApiRequest(request.Content(), &error);
    if (!api) {
      SendJson(ecb, response, 400, ApiErrorBody(error));
      return HSE_STATUS_SUCCESS;
    }
    const std::string input = VisitorText(api->input, /*utf8=*/true);
    std::string reply, session;
    if (sessions != nullptr) {
      const std::string wanted =
          api->session ? *api->session : CookieSession(request);
      SessionPool::Lease lease = sessions->Take(request, wanted);
      if (lease.is_new()) response.Cookies.push_back(SessionCookie(lease.id()));
      session = lease.id();
      reply = api->greeting ? lease.module().Greeting()
                            : lease.module().Converse(input);
    } else {
      const ModuleList::iterator module = ActivateWebModule(request);
      try {
        reply =
            api->greeting ? (*module)->Greeting() : (*module)->Converse(input);
      } catch (...) {
        DeactivateWebModule(module);
        throw;
      }
      DeactivateWebModule(module);
    }
    SendJson(ecb, response, 200, ApiReplyBody(CodePageToUtf8(reply), session));
    return HSE_STATUS_SUCCESS;
  } catch (const Error& e) {
    if (!response.Sent)
      SendJson(ecb, response, 500,
               ApiErrorBody(std::string(e.kind_name()) + ": " + e.what()));
  } catch (const std::exception& e) {
    if (!response.Sent)
      SendJson(ecb, response, 500, ApiErrorBody(e.what()));
  }
  return HSE_STATUS_ERROR;
}

uint32_t WebApplication::HandleRequest(EXTENSION_CONTROL_BLOCK& ecb) noexcept {
  WebResponse response;
  try {
    WebRequest request(ecb);
    SessionPool* sessions = Start();
    if (IsApiRequest(request.Method(), request.PathInfo()))
      return HandleApiRequest(request, response, sessions);
    if (sessions != nullptr)
      return HandleSessionPage(request, response, *sessions);
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
  if (SessionPool* pool = sessions()) pool->Shutdown();
}

bool WebApplication::SaveIdleModules() noexcept {
  ModuleList doomed;
  bool all = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    doomed.splice(doomed.end(), cache_);
    all = active_.empty();
  }
  for (auto& module : doomed)
    if (!module->StopAndSave()) all = false;
  // In session mode every session not in a turn is saved to the session
  // directory now, so the host learns whether all of them were.
  if (SessionPool* pool = sessions())
    if (!pool->Shutdown()) all = false;
  return all;
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
