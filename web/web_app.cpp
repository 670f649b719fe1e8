#include "web/web_app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/ascii.h"
#include "base/error.h"
#include "engine/knowledge.h"
#include "engine/proc.h"
#include "langfile/CorvLangU.h"
#include "store/conversation_store.h"
#include "web/form_fields.h"
#include "web/json_api.h"
#include "web/module_pool.h"
#include "web/page_producer.h"
#include "web/visitor_text.h"

namespace corvane {
namespace {

constexpr const char* kModuleErrorKind = "EWebModuleError";

// The session id the visitor's cookie names; empty when none.
std::string CookieSession(const WebRequest& request) {
  // Most Cookie headers fit the buffer: only a longer one is copied.
  char buffer[kServerVariableBufferSize];
  if (const std::optional<std::string_view> header =
          request.ServerVariable("HTTP_COOKIE", buffer))
    return CookieValue(*header, kSessionCookie).value_or(std::string());
  const std::optional<std::string> long_header =
      request.ServerVariable("HTTP_COOKIE");
  if (!long_header) return std::string();
  return CookieValue(*long_header, kSessionCookie).value_or(std::string());
}

// Names the conversation in the server's log line of the request.
void LogSession(EXTENSION_CONTROL_BLOCK& ecb, const std::string& id) {
  const std::size_t n = std::min(id.size(), sizeof ecb.lpszLogData - 1);
  std::memcpy(ecb.lpszLogData, id.data(), n);
  ecb.lpszLogData[n] = '\0';
}

void SendJson(EXTENSION_CONTROL_BLOCK& ecb, WebResponse& response, int status,
              std::string body) {
  response.StatusCode = status;
  response.ContentType = kJsonContentType;
  response.Content = std::move(body);
  response.SendResponse(ecb);
}

// Why a file of the fixed names cannot be served; empty when it can.
std::string FileProblem(const std::string& path, std::size_t max_bytes) {
  if (path.empty()) return "the path leaves the web root";
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  std::string problem;
  if (::fstat(fd, &st) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = "not a regular file";
  } else if (max_bytes > 0 &&
             static_cast<unsigned long long>(st.st_size) > max_bytes) {
    problem = "larger than " + std::to_string(max_bytes >> 20) + " MiB";
  } else {
    char byte;
    if (::read(fd, &byte, 1) < 0) problem = std::strerror(errno);
  }
  ::close(fd);
  return problem;
}

}  // namespace

bool IsJsonContentType(std::string_view content_type) {
  std::string_view type = content_type.substr(0, content_type.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
    type.remove_suffix(1);
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t'))
    type.remove_prefix(1);
  if (EqualNoCase(type, "application/json")) return true;
  const std::size_t slash = type.find('/');
  return slash != std::string_view::npos && type.size() > slash + 5 &&
         EqualNoCase(type.substr(type.size() - 5), "+json");
}

WebApplication::WebApplication()
    : turns_(metrics_.Counter("corvane_turns_total",
                              "Turns of the brains (one per reply).")),
      turn_errors_(metrics_.Counter(
          "corvane_turn_errors_total",
          "Turns that failed with an error (answered with 500).")),
      turn_seconds_(metrics_.Histogram("corvane_turn_seconds",
                                       "Time of one turn of a brain.",
                                       LatencyBuckets())),
      store_seconds_(metrics_.Histogram(
          "corvane_store_seconds",
          "Time to load a stored conversation or to store one.",
          LatencyBuckets())),
      busy_(metrics_.Counter(
          "corvane_busy_total",
          "Requests refused because every module allowed was in use.")),
      unavailable_(metrics_.Counter(
          "corvane_unavailable_total",
          "Requests answered 503 by the extension (conversation store "
          "unreachable, or every module in use for the JSON API).")) {
  metrics_.GaugeFunction(
      "corvane_modules_in_use", "Web modules serving a request now.",
      [this] { return static_cast<int64_t>(active_count()); });
  metrics_.GaugeFunction(
      "corvane_sessions_live", "Conversations held in memory (session mode).",
      [this] {
        if (StoredSessionPool* stored = stored_sessions())
          return static_cast<int64_t>(stored->live_count());
        SessionPool* pool = sessions();
        return pool ? static_cast<int64_t>(pool->live_count()) : 0;
      });
  metrics_.GaugeFunction(
      "corvane_sessions_stored",
      "Stored conversations not in memory (session mode).", [this] {
        SessionPool* pool = sessions();
        return pool ? static_cast<int64_t>(pool->stored_count()) : 0;
      });
}

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
  const auto absolute_path = [&](std::string* slot) {
    if (text.empty() || text.front() != '/') return false;
    *slot = text;
    while (slot->size() > 1 && slot->back() == '/') slot->pop_back();
    return true;
  };
  if (name == "sessions") {
    if (text != "0" && text != "1") return false;
    session_mode_ = text == "1";
    return true;
  }
  if (name == "max-sessions") {
    std::size_t n = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), n);
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
  if (name == "session-dir") return absolute_path(&session_settings_.dir);
  if (name == "store") {
    try {
      ParseStoreUrl(text);
    } catch (const StoreConfigError&) {
      return false;
    }
    store_url_ = text;
    return true;
  }
  if (name == "store-prefix") {
    if (text.empty()) return false;
    store_prefix_ = text;
    return true;
  }
  const auto number = [&](int64_t low, int64_t high, int64_t* out) {
    int64_t n = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < low ||
        n > high)
      return false;
    *out = n;
    return true;
  };
  if (name == "retain-days") {
    int64_t days = 0;
    if (!number(0, 36500, &days)) return false;
    retain_days_ = static_cast<int>(days);
    return true;
  }
  if (name == "store-lease-ms") {
    int64_t ms = 0;
    if (!number(10, 60000, &ms)) return false;
    lease_time_ = std::chrono::milliseconds(ms);
    return true;
  }
  if (name == "cookie-secure") {
    if (text != "0" && text != "1") return false;
    cookie_secure_ = text == "1";
    return true;
  }
  if (name == "language-file") return absolute_path(&files_.language_file);
  if (name == "template") return absolute_path(&files_.template_file);
  if (name == "root") return absolute_path(&root_);
  return false;
}

bool WebApplication::Check(std::string* why) {
  ModuleFiles files;
  std::string root;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    files = files_;
    root = root_;
  }
  const std::string language =
      !files.language_file.empty()
          ? files.language_file
          : (root.empty() ? std::string()
                          : PathMapper(root).Map(kLanguageFile).value_or(""));
  const std::string templ = root.empty() && files.template_file.empty()
                                ? std::string()
                                : TemplateHostPath(root, files);
  if (const std::string p = FileProblem(language, 0); !p.empty()) {
    *why = "the language file " +
           (language.empty() ? kLanguageFile : language) + ": " + p;
    return false;
  }
  if (const std::string p = FileProblem(templ, kMaxTemplateBytes); !p.empty()) {
    *why = "the page template " +
           (templ.empty() ? std::string(kPageTemplateFile) : templ) + ": " + p;
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (session_mode_ && !store_url_.empty() && !started_ && !opened_store_) {
    // A store that cannot be opened (a refused path, a server that does
    // not answer) stops the start, before anything is served.
    try {
      opened_store_ = OpenStoreLocked();
    } catch (const std::exception& e) {
      *why = "the conversation store " + store_url_ + ": " + e.what();
      return false;
    }
  }
  return true;
}

std::unique_ptr<ConversationStore> WebApplication::OpenStoreLocked() {
  StoreOptions options;
  options.retain_days = retain_days_;
  if (!store_prefix_.empty()) options.key_prefix = store_prefix_;
  return OpenStore(store_url_, options);
}

std::string WebApplication::CookieFor(const std::string& id) const {
  if (stored_ == nullptr) {
    std::string cookie = SessionCookie(id);
    if (cookie_secure_) cookie += "; Secure";
    return cookie;
  }
  // The cookie lasts as long as the store keeps the conversation; browsers
  // hold a cookie at most 400 days.
  constexpr int64_t kMaxCookieDays = 400;
  const int64_t days = retain_days_ == 0
                           ? kMaxCookieDays
                           : std::min<int64_t>(retain_days_, kMaxCookieDays);
  std::string cookie = std::string(kSessionCookie) + "=" + id +
                       "; Path=/; Max-Age=" + std::to_string(days * 86400) +
                       "; HttpOnly; SameSite=Lax";
  if (cookie_secure_) cookie += "; Secure";
  return cookie;
}

bool WebApplication::Healthy(std::string* why) {
  ModuleSource& source = Start();
  return source.Healthy(why);
}

std::string WebApplication::MetricsText() {
  return metrics_.Text();
}

ModuleSource& WebApplication::Start() {
  // Once made, the source stays: requests after the first take no lock.
  if (ModuleSource* made = made_.load(std::memory_order_acquire)) return *made;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_) {
    started_ = true;
    if (session_mode_ && !store_url_.empty()) {
      StoredSessionSettings settings;
      settings.max_sessions = session_settings_.max_sessions;
      settings.idle_ms = session_settings_.idle_ms;
      settings.max_turns = MaxConnections;
      settings.lease_time = lease_time_;
      settings.files = files_;
      settings.store_latency = &store_seconds_;
      std::unique_ptr<ConversationStore> store = std::move(opened_store_);
      if (!store) store = OpenStoreLocked();
      auto pool =
          std::make_unique<StoredSessionPool>(std::move(store), settings);
      stored_ = pool.get();
      source_ = std::move(pool);
    } else if (session_mode_) {
      SessionSettings settings = session_settings_;
      settings.max_turns = MaxConnections;
      settings.files = files_;
      settings.store_latency = &store_seconds_;
      auto pool = std::make_unique<SessionPool>(settings, SessionClock);
      sessions_ = pool.get();
      source_ = std::move(pool);
    } else {
      auto pool = std::make_unique<ModulePool>(
          [this](const ModuleRequest& request) {
            ModuleFactory factory;
            ModuleFiles files;
            {
              std::lock_guard<std::mutex> inner(mutex_);
              factory = factory_;
              files = files_;
            }
            if (!factory)
              throw Error(kModuleErrorKind, "No data modules registered");
            return factory(request, files);
          },
          MaxConnections);
      pool_ = pool.get();
      source_ = std::move(pool);
    }
    made_.store(source_.get(), std::memory_order_release);
  }
  return *source_;
}

SessionPool* WebApplication::sessions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_;
}

StoredSessionPool* WebApplication::stored_sessions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stored_;
}

std::shared_ptr<WebApplication::RootFiles> WebApplication::FilesOf(
    std::string_view root) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (root_files_ && root_files_->pool_request.web_root == root)
    return root_files_;
  auto files = std::make_shared<RootFiles>();
  files->pool_request.web_root = std::string(root);
  files->language_file =
      LanguageFileHostPath(files->pool_request.web_root, files_);
  if (!root.empty() || !files_.template_file.empty()) {
    const std::string host =
        TemplateHostPath(files->pool_request.web_root, files_);
    const std::size_t slash = host.find_last_of('/');
    // A path the mapper refuses has no directory, so it cannot be opened,
    // as any missing file.
    std::string dir =
        slash == std::string::npos ? std::string() : host.substr(0, slash);
    std::string name = slash == std::string::npos
                           ? std::string("web_corvane_example.htm")
                           : host.substr(slash + 1);
    files->template_file =
        std::make_unique<TemplateFile>(std::move(dir), std::move(name));
  }
  root_files_ = files;
  return files;
}

std::shared_ptr<WebApplication::RootFiles> WebApplication::RequestFiles(
    const WebRequest& request) {
  // The web root the server gives; empty when it gives none.
  char buffer[kServerVariableBufferSize];
  return FilesOf(request.ServerVariable("APPL_PHYSICAL_PATH", buffer)
                     .value_or(std::string_view()));
}

TextEncoding WebApplication::EncodingOf(RootFiles& files, ModuleLease& lease) {
  if (lease.holds()) {
    const TextEncoding encoding = lease.module().text_encoding();
    files.encoding.store(static_cast<int>(encoding), std::memory_order_relaxed);
    return encoding;
  }
  const int known = files.encoding.load(std::memory_order_relaxed);
  if (known != kUnknownEncoding) return static_cast<TextEncoding>(known);
  const TextEncoding declared = files.language_file.empty()
                                    ? TextEncoding::kCodePage
                                    : DeclaredTextEncoding(files.language_file);
  files.encoding.store(static_cast<int>(declared), std::memory_order_relaxed);
  return declared;
}

ModuleLease WebApplication::TakeModule(ModuleSource& source,
                                       const RootFiles& files,
                                       const std::string& session,
                                       EXTENSION_CONTROL_BLOCK& ecb) {
  if (session.empty()) return source.Take(files.pool_request);
  ModuleRequest request{files.pool_request.web_root, session, {}};
  if ((stored_ != nullptr || sessions_ != nullptr) &&
      ecb.ServerSupportFunction != nullptr &&
      ecb.ServerSupportFunction(
          ecb.ConnID, HSE_REQ_IO_COMPLETION,
          reinterpret_cast<void*>(&WebApplication::ResumeRequest), nullptr,
          reinterpret_cast<uint32_t*>(this)) == kIsapiTrue) {
    // An empty write that completes on a server thread: the request's way
    // back once the turn is free.
    EXTENSION_CONTROL_BLOCK* const block = &ecb;
    request.resume = [block] {
      uint32_t none = 0;
      block->WriteClient(block->ConnID, nullptr, &none, HSE_IO_ASYNC);
    };
  }
  return source.Take(request);
}

struct WebApplication::LaterCommit {
  LaterCommit(WebApplication* application, EXTENSION_CONTROL_BLOCK* block)
      : app(application), ecb(block) {}

  // The commit's end, on the store's thread (or the handler's): wakes the
  // request on the server's thread unless the handler has not handed it
  // over yet, which then finishes it itself.
  void Kept(std::exception_ptr outcome) {
    EXTENSION_CONTROL_BLOCK* const block = ecb;
    error = std::move(outcome);
    if (handed_over.exchange(true, std::memory_order_acq_rel)) {
      uint32_t none = 0;
      block->WriteClient(block->ConnID, nullptr, &none, HSE_IO_ASYNC);
    }
  }

  WebApplication* const app;
  EXTENSION_CONTROL_BLOCK* const ecb;
  bool started = false;  // The commit was handed to the source.
  ModuleLease lease;     // Held until the commit is done.
  // Sends the answer (null error) or the error's; on the server's thread.
  std::function<uint32_t(std::exception_ptr)> finish;
  std::exception_ptr error;  // What the commit came to.
  // Set by the first of Kept and the handler; the second finishes.
  std::atomic<bool> handed_over{false};
};

std::unique_ptr<WebApplication::LaterCommit> WebApplication::MayCommitLater(
    EXTENSION_CONTROL_BLOCK& ecb) {
  if (stored_ == nullptr || ecb.ServerSupportFunction == nullptr)
    return nullptr;
  auto later = std::make_unique<LaterCommit>(this, &ecb);
  if (ecb.ServerSupportFunction(
          ecb.ConnID, HSE_REQ_IO_COMPLETION,
          reinterpret_cast<void*>(&WebApplication::CommitFinished), nullptr,
          reinterpret_cast<uint32_t*>(later.get())) != kIsapiTrue)
    return nullptr;
  return later;
}

uint32_t WebApplication::FinishOrWait(std::unique_ptr<LaterCommit> later) {
  if (later->handed_over.exchange(true, std::memory_order_acq_rel))
    return Finish(*later);
  // CommitFinished owns it now.
  later.release();
  return HSE_STATUS_PENDING;
}

uint32_t WebApplication::Finish(LaterCommit& later) noexcept {
  // The conversation's turn is free before the answer leaves, as when the
  // commit holds the thread.
  later.lease.GiveBack();
  if (later.error) {
    try {
      std::rethrow_exception(later.error);
    } catch (const StaleTurnError&) {
      // Nothing of the turn was kept: the request runs again from the
      // stored state.
      return HandleRequest(*later.ecb);
    } catch (...) {
    }
  }
  try {
    return later.finish(later.error);
  } catch (...) {
    return PageFailure(*later.ecb, WebResponse(), std::current_exception());
  }
}

void WebApplication::CommitFinished(EXTENSION_CONTROL_BLOCK* ecb, void* later,
                                    uint32_t, uint32_t) {
  std::unique_ptr<LaterCommit> owned(static_cast<LaterCommit*>(later));
  uint32_t result = owned->app->Finish(*owned);
  owned.reset();
  // Run again and parked behind another request of the conversation, or
  // committing later again.
  if (result == HSE_STATUS_PENDING) return;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &result,
                             nullptr, nullptr);
}

void WebApplication::ResumeRequest(EXTENSION_CONTROL_BLOCK* ecb, void* app,
                                   uint32_t, uint32_t) {
  uint32_t result = static_cast<WebApplication*>(app)->HandleRequest(*ecb);
  // Parked again behind another request of the conversation.
  if (result == HSE_STATUS_PENDING) return;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &result,
                             nullptr, nullptr);
}

std::shared_ptr<const PageTemplate> WebApplication::Template(RootFiles& files) {
  if (!files.template_file)
    throw Error(kModuleErrorKind,
                "The server does not give APPL_PHYSICAL_PATH");
  return files.template_file->Get();
}

std::string WebApplication::Turn(TWebModule1& module,
                                 const std::string& input) {
  const auto started = std::chrono::steady_clock::now();
  turns_.Add();
  try {
    std::string reply = module.Converse(input);
    turn_seconds_.ObserveNs(
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - started)
            .count());
    return reply;
  } catch (...) {
    turn_errors_.Add();
    throw;
  }
}

namespace {

// Whether `reply` holds a fallback: the mode's message when no pattern
// answered, or the step's when it has no step patterns.
bool SaysFallback(std::string_view reply) {
  return reply.find(kModeFallbackMessage) != std::string_view::npos ||
         reply.find(kNoStepPatternsMessage) != std::string_view::npos;
}

}  // namespace

std::string WebApplication::KeptTurn(ModuleLease& lease, std::string_view input,
                                     const std::string& brain_input, bool last,
                                     LaterCommit* later) {
  if (stored_ == nullptr) return Turn(lease.module(), brain_input);
  // A turn that ran on a state another host had moved past is run once
  // more, on the state the source then holds.
  for (int attempt = 0;; ++attempt) {
    try {
      std::string reply;
      try {
        reply = Turn(lease.module(), brain_input);
      } catch (const std::exception& e) {
        // The failed turn is kept as the failure left it, as in memory; a
        // store that cannot keep it answers 503 instead.
        const Error* error = dynamic_cast<const Error*>(&e);
        const std::string text =
            std::string(error != nullptr ? error->kind_name() : "Exception") +
            ": " + e.what();
        lease.Commit(TurnDone{input, text, true, false}, true);
        throw;
      }
      const std::string utf8 =
          ReplyInUtf8(reply, lease.module().text_encoding());
      const TurnDone done{input, utf8, false, SaysFallback(reply)};
      if (last && later != nullptr &&
          lease.CommitLater(done, last, [later](std::exception_ptr error) {
            later->Kept(std::move(error));
          })) {
        later->started = true;
        return reply;
      }
      lease.Commit(done, last);
      return reply;
    } catch (const StaleTurnError&) {
      if (attempt > 0) throw;
    }
  }
}

uint32_t WebApplication::HandlePage(WebRequest& request, WebResponse& response,
                                    ModuleSource& source) {
  EXTENSION_CONTROL_BLOCK& ecb = request.ecb();
  const bool sessions = sessions_ != nullptr || stored_ != nullptr;
  const std::shared_ptr<RootFiles> files = RequestFiles(request);
  const std::string cookie = sessions ? CookieSession(request) : std::string();
  ModuleLease lease;
  // A page without form content needs no brain in session mode. A visitor
  // without a session id gets one now, and the brain with the first line
  // they send: behind a balancer that hashes the cookie, that line then
  // reaches the host that keeps the conversation. The shared pool takes a
  // module for every request, and reads the body only then.
  if (!sessions || !request.ContentFields().empty() || source.Touch(cookie)) {
    lease = TakeModule(source, *files, cookie, ecb);
    if (lease.is_new()) response.Cookies.push_back(CookieFor(lease.id()));
    LogSession(ecb, lease.id());
    if (!lease.module().Dispatches(request.Method(), request.PathInfo()))
      return HSE_STATUS_ERROR;
  } else {
    std::string id = cookie;
    if (!IsSessionId(id) && source.NamesVisitorsEarly()) {
      id = NewSessionId();
      response.Cookies.push_back(CookieFor(id));
    }
    LogSession(ecb, id);
  }
  const std::shared_ptr<const PageTemplate> page = Template(*files);
  // A UTF-8 knowledge base has a UTF-8 template and replies: its page needs
  // no conversion in either mode.
  const TextEncoding encoding = EncodingOf(*files, lease);
  const bool convert = sessions && encoding == TextEncoding::kCodePage;
  std::vector<std::string> replies;
  std::unique_ptr<LaterCommit> later;
  // Only a request with form content consults the brain, once for every
  // response tag of the template, in the order of the tags.
  if (lease.holds() && page->response_tags() > 0 &&
      !request.ContentFields().empty()) {
    // Visitor text is never code: its macro signs are made harmless before
    // the brain sees it (web/visitor_text.h).
    const std::string sent =
        FormFieldValue(request.ContentFields(), kInputField);
    const std::string input = VisitorTextIn(sent, sessions, encoding);
    replies.reserve(page->response_tags());
    later = MayCommitLater(ecb);
    for (std::size_t i = 0; i < page->response_tags(); ++i) {
      // The reply is text: the brain echoes user input, which must never
      // become markup in the page. Session pages go out in UTF-8, which
      // their form then posts back.
      std::string reply = EscapeHtml(KeptTurn(
          lease, sent, input, i + 1 == page->response_tags(), later.get()));
      if (convert)
        reply = CodePageToUtf8(reply);
      else if (encoding == TextEncoding::kUtf8)
        utf8::SanitizeInPlace(reply);
      replies.push_back(std::move(reply));
    }
  }
  // The page goes to the server piece by piece, never copied whole.
  if (sessions || encoding == TextEncoding::kUtf8)
    response.ContentType = "text/html; charset=utf-8";
  auto send = [page, convert](EXTENSION_CONTROL_BLOCK& block,
                              WebResponse& answer,
                              const std::vector<std::string>& texts) {
    answer.SendHeader(block, page->Size(texts, convert));
    page->ForEachPiece(texts, convert, [&block](std::string_view piece) {
      WebResponse::WriteContent(block, piece);
    });
    return static_cast<uint32_t>(HSE_STATUS_SUCCESS);
  };
  if (later != nullptr && later->started) {
    later->lease = std::move(lease);
    later->finish = [this, send, block = &ecb, answer = std::move(response),
                     texts = std::move(replies)](
                        std::exception_ptr error) mutable -> uint32_t {
      if (error) return PageFailure(*block, answer, error);
      return send(*block, answer, texts);
    };
    return FinishOrWait(std::move(later));
  }
  lease.GiveBack();
  return send(ecb, response, replies);
}

uint32_t WebApplication::HandleApi(WebRequest& request, WebResponse& response,
                                   ModuleSource& source) {
  EXTENSION_CONTROL_BLOCK& ecb = request.ecb();
  const bool sessions = sessions_ != nullptr || stored_ != nullptr;
  try {
    if (!IsJsonContentType(request.ContentType())) {
      SendJson(ecb, response, 415,
               ApiErrorBody("The body must be JSON (Content-Type: "
                            "application/json)"));
      return HSE_STATUS_SUCCESS;
    }
    std::string error;
    const std::optional<ApiRequest> api =
        ParseApiRequest(request.ContentView(), &error);
    if (!api) {
      SendJson(ecb, response, 400, ApiErrorBody(error));
      return HSE_STATUS_SUCCESS;
    }
    std::string wanted;
    if (sessions)
      wanted = api->session ? *api->session : CookieSession(request);
    const std::shared_ptr<RootFiles> files = RequestFiles(request);
    ModuleLease lease = TakeModule(source, *files, wanted, ecb);
    const TextEncoding encoding = EncodingOf(*files, lease);
    const std::string input = VisitorTextIn(api->input, /*utf8=*/true, encoding);
    if (lease.is_new()) response.Cookies.push_back(CookieFor(lease.id()));
    LogSession(ecb, lease.id());
    std::string reply;
    std::unique_ptr<LaterCommit> later;
    if (api->greeting) {
      reply = lease.module().Greeting();
      // Taking the greeting changes the conversation: it is kept as a
      // turn without input (taken again once when it went stale).
      if (stored_ != nullptr) {
        try {
          lease.Commit(TurnDone{"", ReplyInUtf8(reply, encoding), false, false},
                       true);
        } catch (const StaleTurnError&) {
          reply = lease.module().Greeting();
          lease.Commit(TurnDone{"", ReplyInUtf8(reply, encoding), false, false},
                       true);
        }
      }
    } else {
      later = MayCommitLater(ecb);
      reply = KeptTurn(lease, api->input, input, true, later.get());
    }
    std::string body = ApiReplyBody(ReplyInUtf8(reply, encoding), lease.id());
    if (later != nullptr && later->started) {
      later->lease = std::move(lease);
      later->finish = [this, block = &ecb, answer = std::move(response),
                       body = std::move(body)](
                          std::exception_ptr failure) mutable -> uint32_t {
        if (failure) return ApiFailure(*block, answer, failure);
        SendJson(*block, answer, 200, std::move(body));
        return HSE_STATUS_SUCCESS;
      };
      return FinishOrWait(std::move(later));
    }
    lease.GiveBack();
    SendJson(ecb, response, 200, std::move(body));
    return HSE_STATUS_SUCCESS;
  } catch (const std::exception&) {
    return ApiFailure(ecb, response, std::current_exception());
  }
}

uint32_t WebApplication::ApiFailure(EXTENSION_CONTROL_BLOCK& ecb,
                                    WebResponse& response,
                                    std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const BusyError& e) {
    busy_.Add();
    unavailable_.Add();
    if (!response.Sent) SendJson(ecb, response, 503, ApiErrorBody(e.what()));
  } catch (const UnavailableError& e) {
    unavailable_.Add();
    if (!response.Sent) SendJson(ecb, response, 503, ApiErrorBody(e.what()));
  } catch (const Error& e) {
    if (!response.Sent)
      SendJson(ecb, response, 500,
               ApiErrorBody(std::string(e.kind_name()) + ": " + e.what()));
  } catch (const std::exception& e) {
    if (!response.Sent) SendJson(ecb, response, 500, ApiErrorBody(e.what()));
  } catch (...) {
    return PageFailure(ecb, response, std::current_exception());
  }
  return HSE_STATUS_ERROR;
}

uint32_t WebApplication::HandleRequest(EXTENSION_CONTROL_BLOCK& ecb) noexcept {
  WebResponse response;
  try {
    WebRequest request(ecb);
    ModuleSource& source = Start();
    if (IsApiRequest(request.Method(), request.PathInfo()))
      return HandleApi(request, response, source);
    return HandlePage(request, response, source);
  } catch (const TurnPending&) {
    return HSE_STATUS_PENDING;
  } catch (...) {
    return PageFailure(ecb, response, std::current_exception());
  }
}

uint32_t WebApplication::PageFailure(EXTENSION_CONTROL_BLOCK& ecb,
                                     const WebResponse& response,
                                     std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const BusyError& e) {
    busy_.Add();
    if (!response.Sent) SendErrorPage(ecb, e.kind_name(), e.what());
  } catch (const UnavailableError& e) {
    unavailable_.Add();
    if (!response.Sent) SendErrorPage(ecb, e.kind_name(), e.what(), 503);
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

void WebApplication::DestroyModules() noexcept {
  ModuleSource* source = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    source = source_.get();
  }
  if (source != nullptr) source->DestroyAll();
}

bool WebApplication::SaveIdleModules() noexcept {
  ModuleSource* source = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    source = source_.get();
  }
  return source == nullptr || source->SaveIdle();
}

std::size_t WebApplication::active_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return source_ ? source_->in_use() : 0;
}

std::size_t WebApplication::cached_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pool_ != nullptr ? pool_->cached() : 0;
}

WebApplication::ModuleFactory TWebModule1Factory() {
  return [](const ModuleRequest& request, const ModuleFiles& files) {
    if (request.web_root.empty())
      throw Error(kModuleErrorKind,
                  "The server does not give APPL_PHYSICAL_PATH");
    ModuleSetup setup;
    setup.files = files;
    return std::make_unique<TWebModule1>(request.web_root, setup);
  };
}

}  // namespace corvane
