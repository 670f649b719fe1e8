// The web application: what answers the requests of one loaded extension.
// Every request takes one road: it is classified (a page, or the JSON API
// at "POST /api/reply"), a web module is taken from the module source (the
// shared pool of web/module_pool.h, or in session mode the session pool of
// web/session_pool.h), the brain's replies are computed, the module is
// given back, and only then is the answer produced (the page template with
// the replies in place, or the JSON reply) and sent. Errors are answered
// with the error page, or for the API with a JSON error.
//
// Thread-safe: HandleRequest runs on many threads at once. The source
// guards its modules; a module serves one request at a time and its brain
// needs no lock. One mutex guards the settings, the source's creation and
// the template file. The application owns the source.
#ifndef CORVANE_WEB_WEB_APP_H_
#define CORVANE_WEB_WEB_APP_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/metrics.h"
#include "web/isapi.h"
#include "web/module_source.h"
#include "web/page_template.h"
#include "web/session_pool.h"
#include "web/stored_sessions.h"
#include "web/web_module.h"
#include "web/web_request.h"

namespace corvane {

class ConversationStore;
class ModulePool;

// Modules in use at once.
inline constexpr std::size_t kMaxActiveModules = 32;

class WebApplication {
 public:
  // Creates a module for a request that found the shared pool's cache
  // empty.
  using ModuleFactory = std::function<std::unique_ptr<TWebModule1>(
      const ModuleRequest&, const ModuleFiles&)>;

  WebApplication();
  // Destroys every module (DestroyModules).
  ~WebApplication();
  WebApplication(const WebApplication&) = delete;
  WebApplication& operator=(const WebApplication&) = delete;

  // Registers the module class. Throws Error "Only one data module per
  // application" when one is registered already.
  void RegisterModuleClass(ModuleFactory factory);

  // One request, as the file comment says. Returns HSE_STATUS_SUCCESS when
  // the request was handled, else HSE_STATUS_ERROR.
  uint32_t HandleRequest(EXTENSION_CONTROL_BLOCK& ecb) noexcept;

  // Destroys every module, cached ones in cache order (so the module that
  // served last is saved last); in session mode ends the sessions
  // (SessionPool::Shutdown). Requires that no request is in progress.
  void DestroyModules() noexcept;

  // Saves and destroys every module that is not serving a request
  // (ModuleSource::SaveIdle). True when every module was saved and none
  // was serving a request. Safe while requests run; later requests create
  // new modules.
  bool SaveIdleModules() noexcept;

  std::size_t active_count() const;
  std::size_t cached_count() const;

  // One setting from the host, before the first request: "sessions" ("1"
  // or "0"), "max-sessions" (a count of at least 1), "session-idle"
  // (minutes, a decimal number above 0), "session-dir" (an absolute path
  // of a directory), "language-file" and "template" (absolute host paths
  // where the files of the fixed names are), "root" (the absolute web
  // root, for Check); with sessions "store" (a store URL: conversations are
  // kept there, web/stored_sessions.h), "store-prefix" (its key prefix),
  // "retain-days" (0 .. 36500), "store-lease-ms" (10 .. 60000) and
  // "cookie-secure" ("1" or "0"). False, changing nothing, for an unknown
  // name, a bad value, or once a request has been served.
  bool Configure(std::string_view name, std::string_view value);

  // Whether the files can be served: the language file and the page
  // template exist beneath the configured root (or where configured), are
  // regular files and can be read, and the template is not too large;
  // and the conversation store, when one is set, opens (it is kept for
  // serving). False with "the language file PATH: REASON" (or "the page
  // template", "the conversation store") in *why. Requires the "root"
  // setting or both files.
  bool Check(std::string* why);

  // Whether requests can be served now (the source can reach what keeps
  // its conversations); false with the reason in *why.
  bool Healthy(std::string* why);

  // The extension's metrics in the Prometheus text format.
  std::string MetricsText();

  // The session pool in session mode, once the first request started it;
  // null otherwise (and with a store).
  SessionPool* sessions();
  // The pool of session mode with a store, once started; null otherwise.
  StoredSessionPool* stored_sessions();

  std::size_t MaxConnections = kMaxActiveModules;  // 0: no limit.
  std::string Title;  // Reported as the extension's description.
  // The session pool's clock in milliseconds, for tests; empty: the
  // monotonic clock. Read when the first request starts the application.
  std::function<int64_t()> SessionClock;

 private:
  // What the requests of one web root share: the shared pool's request for
  // a module of that root, and the template file (none when the server
  // gives no root and no template was named). Made when a request brings
  // another root than the last one; then constant.
  struct RootFiles {
    ModuleRequest pool_request;  // The root, and no session.
    std::unique_ptr<TemplateFile> template_file;
    std::string language_file;  // Host path; empty when refused.
    // The encoding of the knowledge base: kUnknownEncoding until a module
    // of the root or the language file's declaration told it.
    std::atomic<int> encoding{kUnknownEncoding};
  };
  static constexpr int kUnknownEncoding = -1;
  // The encoding of the root's knowledge base: the module's when a lease
  // holds one (and the root remembers it), else what the root knows, else
  // what its language file declares.
  static TextEncoding EncodingOf(RootFiles& files, ModuleLease& lease);

  // Marks the application started and makes the module source; returns it.
  ModuleSource& Start();
  // The files of `root` (with a trailing slash, as the server gives it).
  std::shared_ptr<RootFiles> FilesOf(std::string_view root);
  // The request's web root (APPL_PHYSICAL_PATH) and its files.
  std::shared_ptr<RootFiles> RequestFiles(const WebRequest& request);
  // The module source's answer for the request of `files` naming
  // `session`. With conversations in a store, a request whose conversation
  // is busy waits without its thread when the server can finish requests
  // later: TurnPending is thrown, and the request runs again when the
  // turn is free (ResumeRequest).
  ModuleLease TakeModule(ModuleSource& source, const RootFiles& files,
                         const std::string& session,
                         EXTENSION_CONTROL_BLOCK& ecb);
  // The server's completion function of a request that waited for its
  // conversation: runs it again, and tells the server when it is done.
  static void ResumeRequest(EXTENSION_CONTROL_BLOCK* ecb, void* app,
                            uint32_t bytes, uint32_t error);
  // A request whose last turn is committed without holding its thread: the
  // lease until the commit is done, and what the request sends then.
  struct LaterCommit;
  // A LaterCommit for the request when the source and the server can
  // finish it later (its completion function registered); null otherwise.
  std::unique_ptr<LaterCommit> MayCommitLater(EXTENSION_CONTROL_BLOCK& ecb);
  // After the handler set up `later` (its lease and `finish`): when the
  // commit finished already, sends what the request sends now and returns
  // that; else HSE_STATUS_PENDING, and the commit's end sends it.
  uint32_t FinishOrWait(std::unique_ptr<LaterCommit> later);
  // What the request sends once its commit is done: the answer, the error,
  // or the request run again when the turn went stale.
  uint32_t Finish(LaterCommit& later) noexcept;
  // The server's completion function of a request whose commit is done.
  static void CommitFinished(EXTENSION_CONTROL_BLOCK* ecb, void* later,
                             uint32_t bytes, uint32_t error);
  // The answer of a request that failed with `error`: the error page.
  uint32_t PageFailure(EXTENSION_CONTROL_BLOCK& ecb,
                       const WebResponse& response,
                       std::exception_ptr error) noexcept;
  // The JSON API's answer to `error`.
  uint32_t ApiFailure(EXTENSION_CONTROL_BLOCK& ecb, WebResponse& response,
                      std::exception_ptr error) noexcept;
  // The template of `files`; throws when the server gives no root.
  static std::shared_ptr<const PageTemplate> Template(RootFiles& files);
  uint32_t HandlePage(WebRequest& request, WebResponse& response,
                      ModuleSource& source);
  // Answers its own errors in JSON.
  uint32_t HandleApi(WebRequest& request, WebResponse& response,
                     ModuleSource& source);
  // One turn on `module`, counted and timed.
  std::string Turn(TWebModule1& module, const std::string& input);
  // One turn through `lease`, kept by its source: `input` is the visitor's
  // text as sent (UTF-8), `brain_input` as the brain reads it. Returns the
  // reply in the code page. A failed turn is kept as failed, then its
  // error thrown on.
  // With `later`, the last turn's commit may finish later
  // (later->started).
  std::string KeptTurn(ModuleLease& lease, std::string_view input,
                       const std::string& brain_input, bool last,
                       LaterCommit* later = nullptr);
  // The Set-Cookie value that gives a visitor the conversation `id`.
  std::string CookieFor(const std::string& id) const;
  // Opens the configured store. Requires mutex_.
  std::unique_ptr<ConversationStore> OpenStoreLocked();

  mutable std::mutex mutex_;
  ModuleFactory factory_;             // Guarded by mutex_.
  bool started_ = false;              // A request has come; mutex_.
  bool session_mode_ = false;         // mutex_; constant once started.
  SessionSettings session_settings_;  // mutex_.
  std::string store_url_;             // mutex_; empty: no store.
  std::string store_prefix_;          // mutex_; empty: the default.
  int retain_days_ = 30;              // mutex_.
  std::chrono::milliseconds lease_time_{3000};  // mutex_.
  bool cookie_secure_ = false;  // mutex_; constant once started.
  std::unique_ptr<ConversationStore> opened_store_;  // By Check; mutex_.
  ModuleFiles files_;                         // mutex_; constant once started.
  std::string root_;                          // The "root" setting; mutex_.
  std::unique_ptr<ModuleSource> source_;      // Made by Start; then constant.
  std::atomic<ModuleSource*> made_{nullptr};  // source_, once made.
  ModulePool* pool_ = nullptr;                // source_ in the default mode.
  SessionPool* sessions_ = nullptr;           // source_ in session mode.
  StoredSessionPool* stored_ = nullptr;       // source_ with a store.
  std::shared_ptr<RootFiles> root_files_;     // Of the last root; mutex_.

  MetricsRegistry metrics_;
  MetricCounter& turns_;
  MetricCounter& turn_errors_;
  MetricHistogram& turn_seconds_;
  MetricHistogram& store_seconds_;
  MetricCounter& busy_;
  MetricCounter& unavailable_;
};

// The factory of TWebModule1: the web root is the request's; throws Error
// when the server does not give it.
WebApplication::ModuleFactory TWebModule1Factory();

// Whether `content_type` names JSON: application/json or a type ending in
// "+json", with any parameters, in any letter case.
bool IsJsonContentType(std::string_view content_type);

}  // namespace corvane

#endif  // CORVANE_WEB_WEB_APP_H_
