#include "web/session_pool.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "base/error.h"
#include "platform/file_version.h"
#include "platform/files.h"
#include "web/operator_log.h"

namespace corvane {
namespace {

constexpr const char* kModuleErrorKind = "EWebModuleError";
constexpr std::size_t kSessionIdDigits = 32;  // 128 bits.
constexpr const char* kSavedExtension = ".clf";

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t WallSeconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

void RemoveFile(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

}  // namespace

bool IsSessionId(std::string_view id) {
  if (id.size() != kSessionIdDigits) return false;
  // Every request with a cookie asks: one look-up a digit.
  static constexpr auto kHexDigit = [] {
    std::array<bool, 256> digit{};
    for (char c = '0'; c <= '9'; ++c) digit[static_cast<unsigned char>(c)] = true;
    for (char c = 'a'; c <= 'f'; ++c) digit[static_cast<unsigned char>(c)] = true;
    return digit;
  }();
  bool all = true;
  for (char c : id) all &= kHexDigit[static_cast<unsigned char>(c)];
  return all;
}

std::string NewSessionId() {
  unsigned char bytes[kSessionIdDigits / 2];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(kModuleErrorKind, "No random numbers for a session");
    }
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  id.reserve(kSessionIdDigits);
  for (unsigned char b : bytes) {
    id.push_back(kHex[b >> 4]);
    id.push_back(kHex[b & 15]);
  }
  return id;
}

std::optional<std::string> CookieValue(std::string_view header,
                                       std::string_view name) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
      s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
      s.remove_suffix(1);
    return s;
  };
  while (!header.empty()) {
    const std::size_t semi = header.find(';');
    const std::string_view pair = header.substr(0, semi);
    header = semi == std::string_view::npos ? std::string_view()
                                            : header.substr(semi + 1);
    const std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    if (trim(pair.substr(0, eq)) != name) continue;
    std::string_view value = trim(pair.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    return std::string(value);
  }
  return std::nullopt;
}

std::string SessionCookie(const std::string& id) {
  return std::string(kSessionCookie) + "=" + id +
         "; Path=/; HttpOnly; SameSite=Lax";
}

// One visitor's conversation. The pool's mutex guards last_used and the
// table links; `turn` guards the module.
class SessionPool::Session {
 public:
  Session(std::string session_id, std::string file)
      : id(std::move(session_id)), saved_file(std::move(file)) {}
  // Ends the conversation: stops the brain and removes its saved file,
  // unless Shutdown saved it.
  ~Session() {
    if (module) module->EndSession(std::string());
    module.reset();
    if (!keep_file && !saved_file.empty()) RemoveFile(saved_file);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string id;
  const std::string
      saved_file;   // Its file in the session directory; empty: none.
  std::mutex turn;  // Held by the request being served.
  std::unique_ptr<TWebModule1> module;  // Guarded by turn; null until loaded.
  bool resume = false;  // Load saved_file instead of the language file; turn.
  std::atomic<bool> keep_file{false};  // Shutdown kept its file.
  int64_t last_used = 0;               // On the pool's clock; pool mutex.
  std::size_t users = 0;  // Requests in its turn or waiting for it; pool mutex.
  // Requests that wait for the turn without a thread, resumed when nobody
  // holds or waits for it; pool mutex.
  std::vector<std::function<void()>> parked;
};

// A request's hold on its session: the turn lock, and the request's place
// under max_turns. A session that ended while the request held it ends
// when the hold is dropped.
class SessionPool::Held : public ModuleLease::Holder {
 public:
  Held(SessionPool* pool, std::shared_ptr<Session> session)
      : pool_(pool), session_(std::move(session)), turn_(session_->turn) {}
  ~Held() override {
    turn_.unlock();
    // Every request parked for the turn tries again; one gets it, and the
    // others park again behind it.
    std::vector<std::function<void()>> resume;
    {
      std::lock_guard<std::mutex> lock(pool_->mutex_);
      if (--session_->users == 0) resume.swap(session_->parked);
    }
    session_.reset();
    pool_->GiveBack();
    for (auto& f : resume) f();
  }
  TWebModule1& module() override { return *session_->module; }
  Session& session() { return *session_; }

 private:
  SessionPool* pool_;
  std::shared_ptr<Session> session_;
  std::unique_lock<std::mutex> turn_;
};

SessionPool::SessionPool(SessionSettings settings,
                         std::function<int64_t()> now_ms,
                         std::function<int64_t()> wall_s)
    : settings_(std::move(settings)),
      now_ms_(now_ms ? std::move(now_ms) : SteadyMs),
      wall_s_(wall_s ? std::move(wall_s) : WallSeconds) {
  if (settings_.dir.empty()) return;
  const int64_t now = now_ms_();
  const int64_t wall = wall_s_();
  std::error_code ec;
  for (std::filesystem::directory_iterator it(settings_.dir, ec), end;
       !ec && it != end; it.increment(ec)) {
    const std::filesystem::path& path = it->path();
    if (path.extension() != kSavedExtension) continue;
    const std::string id = path.stem().string();
    if (!IsSessionId(id)) continue;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const int64_t age_ms =
        std::max<int64_t>(0, wall - static_cast<int64_t>(st.st_mtime)) * 1000;
    if (age_ms >= settings_.idle_ms) {
      RemoveFile(path.string());
    } else {
      saved_[id] = now - age_ms;
    }
  }
}

SessionPool::~SessionPool() {
  LruList all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.splice(all.end(), lru_);
    live_.clear();
  }
}

std::string SessionPool::SavedPath(const std::string& id) const {
  if (settings_.dir.empty()) return std::string();
  return settings_.dir + "/" + id + kSavedExtension;
}

void SessionPool::ExpireLocked(int64_t now, LruList& ended) {
  while (!lru_.empty() && now - lru_.back()->last_used >= settings_.idle_ms) {
    live_.erase(lru_.back()->id);
    ended.splice(ended.end(), lru_, std::prev(lru_.end()));
  }
  // The saved sessions are looked through at most once a second, so a
  // directory of many does not slow every request.
  if (swept_saved_ && now - last_saved_sweep_ < 1000) return;
  swept_saved_ = true;
  last_saved_sweep_ = now;
  for (auto it = saved_.begin(); it != saved_.end();) {
    if (now - it->second >= settings_.idle_ms) {
      // Its Session object removes the file, outside the lock.
      ended.push_back(
          std::make_shared<Session>(it->first, SavedPath(it->first)));
      it = saved_.erase(it);
    } else {
      ++it;
    }
  }
}

bool SessionPool::NoticeLanguageFileLocked(const std::string& path,
                                           int64_t now) {
  if (checked_once_ && now - last_check_ < settings_.reload_check_ms)
    return false;
  last_check_ = now;
  const std::string stamp = FileStatusStamp(path);
  const bool first = !checked_once_;
  checked_once_ = true;
  if (!first && stamp == file_stamp_) return false;
  file_stamp_ = stamp;
  if (!first)
    LogOperatorLine(path,
                    "The language file changed; new sessions read it, "
                    "running sessions keep what they have");
  return true;
}

ModuleLease SessionPool::Take(const ModuleRequest& request) {
  if (request.web_root.empty())
    throw Error(kModuleErrorKind,
                "The server does not give APPL_PHYSICAL_PATH");
  const std::string_view wanted = request.session;

  LruList ended;  // Ends after the lock is left: stopping takes long.
  std::shared_ptr<Session> session;
  bool is_new = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (settings_.max_turns > 0 && turns_ >= settings_.max_turns)
      throw BusyError();
    const int64_t now = now_ms_();
    ExpireLocked(now, ended);
    if (IsSessionId(wanted)) {
      const auto live = live_.find(wanted);
      if (live != live_.end()) {
        lru_.splice(lru_.begin(), lru_, live->second);
        session = *live->second;
      } else if (const auto saved = saved_.find(std::string(wanted));
                 saved != saved_.end()) {
        // The path comes from the directory listing, not from the request.
        session =
            std::make_shared<Session>(saved->first, SavedPath(saved->first));
        session->resume = true;
        saved_.erase(saved);
        lru_.push_front(session);
        live_[session->id] = lru_.begin();
      }
    }
    if (!session) {
      // A well-formed id that this host does not know names the new
      // session, so that behind a balancer that hashes the cookie the host
      // the cookie leads to takes the visitor on; any other cookie gets a
      // new id. Either way the session starts afresh.
      std::string id(IsSessionId(wanted) ? wanted : std::string_view());
      while (id.empty() || live_.count(id) > 0 || saved_.count(id) > 0)
        id = NewSessionId();
      session = std::make_shared<Session>(id, SavedPath(id));
      is_new = true;
      lru_.push_front(session);
      live_[session->id] = lru_.begin();
    }
    // In another request's turn: a request that can wait without its
    // thread parks; the others wait for the turn lock.
    if (session->users > 0 && request.resume) {
      session->parked.push_back(request.resume);
      throw TurnPending();
    }
    ++session->users;
    session->last_used = now;
    const std::size_t limit = std::max<std::size_t>(1, settings_.max_sessions);
    while (lru_.size() > limit) {
      live_.erase(lru_.back()->id);
      ended.splice(ended.end(), lru_, std::prev(lru_.end()));
    }
    ++turns_;
  }
  ended.clear();

  std::string id = session->id;
  auto held = std::make_unique<Held>(this, std::move(session));
  Session& s = held->session();
  if (!s.module) {
    ModuleSetup setup;
    setup.session = true;
    setup.files = settings_.files;
    const auto started = std::chrono::steady_clock::now();
    if (s.resume) {
      setup.knowledge_file = s.saved_file;
    } else {
      const std::string file =
          !settings_.files.language_file.empty()
              ? settings_.files.language_file
              : PathMapper(request.web_root).Map(kLanguageFile).value_or("");
      bool load = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        setup.report_problems = NoticeLanguageFileLocked(file, now_ms_());
        load = setup.report_problems || knowledge_ == nullptr ||
               knowledge_root_ != request.web_root;
        if (!load) setup.knowledge = knowledge_;
      }
      if (load) {
        // Read once per version of the file (and per web root); every
        // session that starts on it shares it. Loading runs outside the
        // pool's lock, so other sessions go on meanwhile.
        setup.knowledge = LoadSharedKnowledge(request.web_root, setup);
        std::lock_guard<std::mutex> lock(mutex_);
        knowledge_ = setup.knowledge;
        knowledge_root_ = request.web_root;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!paths_ || paths_root_ != request.web_root) {
        paths_.emplace(request.web_root);
        paths_root_ = request.web_root;
      }
      setup.paths = paths_;
    }
    s.module = std::make_unique<TWebModule1>(request.web_root, setup);
    if (s.resume && settings_.store_latency != nullptr)
      settings_.store_latency->ObserveNs(
          std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::steady_clock::now() - started)
              .count());
  }
  return ModuleLease(std::move(held), std::move(id), is_new);
}

bool SessionPool::Touch(std::string_view id) {
  if (!IsSessionId(id)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto live = live_.find(id);
  if (live == live_.end()) return false;
  lru_.splice(lru_.begin(), lru_, live->second);
  (*live->second)->last_used = now_ms_();
  return true;
}

void SessionPool::GiveBack() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  --turns_;
}

bool SessionPool::Shutdown() noexcept {
  LruList ended;  // Past their idle time: end without being saved.
  std::vector<std::pair<std::shared_ptr<Session>, int64_t>> live;
  int64_t now = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now = now_ms_();
    ExpireLocked(now, ended);
    for (const std::shared_ptr<Session>& s : lru_)
      live.emplace_back(s, s->last_used);
    lru_.clear();
    live_.clear();
  }
  bool all = true;
  for (const auto& [s, last_used] : live) {
    std::unique_lock<std::mutex> turn(s->turn, std::try_to_lock);
    if (!turn.owns_lock()) {
      // A file it was resumed from stays; what it learnt since is lost.
      s->keep_file = true;
      all = all && settings_.dir.empty();
      continue;
    }
    const std::string path = SavedPath(s->id);
    s->keep_file = !path.empty();
    if (!s->module || path.empty()) continue;
    const auto started = std::chrono::steady_clock::now();
    if (!s->module->EndSession(path)) all = false;
    if (settings_.store_latency != nullptr)
      settings_.store_latency->ObserveNs(
          std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::steady_clock::now() - started)
              .count());
    // The file's time is the session's last use, so that the idle time
    // counts from there when a pool starts on the directory again.
    const int64_t idle_s = std::max<int64_t>(0, now - last_used) / 1000;
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(wall_s_() - idle_s);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  return all;
}

std::size_t SessionPool::live_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lru_.size();
}

std::size_t SessionPool::stored_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return saved_.size();
}

std::size_t SessionPool::turns_in_progress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return turns_;
}

}  // namespace corvane
