// The session pool: in session mode every visitor has a conversation of
// their own. A session is named by 128 random bits (32 lower-case
// hexadecimal digits) that the visitor keeps in the cookie
// "corvane_session"; it owns one web module with a conversation of its
// own on the knowledge of the language file as it was when the session
// started, started so that its "Initialize" patterns greet that visitor
// alone. The knowledge is read once per version of the file and shared,
// frozen, by every session that starts on that version; a session's own
// changes stay in its conversation, which takes a private copy only when
// it changes the knowledge itself (learning, edits, deletions).
//
// The pool takes a module for a request and gives it back, like the shared
// pool (web/module_source.h): Take hands out a lease, which holds the
// session's turn lock, so two requests of one session are served one after
// the other (a request that can wait without its thread, with
// ModuleRequest::resume, parks instead: TurnPending, resumed when the turn
// is free); different sessions run in parallel, at most `max_turns`
// requests at a time. Sessions end after `idle_ms` without a request (noticed by
// the next request or at shutdown), or when more than `max_sessions` are
// live (the least recently used first); ending stops the brain. The author's
// language file is never written. With a session directory, Shutdown saves
// every live session's brain there as
// "<id>.clf" (atomically, through the writer); a visitor who comes back
// with that id resumes it, and the files of sessions that end or expire
// are removed.
//
// Thread-safe: one mutex guards the session table and the counters; a
// session's turn lock guards its module. Loading a brain runs under the
// session's turn lock only, so new sessions load in parallel. The pool
// owns every session; a session that ends while a request still holds it
// is stopped when that request gives it back.
#ifndef CORVANE_WEB_SESSION_POOL_H_
#define CORVANE_WEB_SESSION_POOL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/metrics.h"
#include "web/module_source.h"
#include "web/web_module.h"

namespace corvane {

class SharedKnowledge;

// The name of the session cookie.
inline constexpr const char* kSessionCookie = "corvane_session";

// The settings of session mode.
struct SessionSettings {
  std::size_t max_sessions = 1000;   // Live sessions at most; >= 1.
  int64_t idle_ms = 30 * 60 * 1000;  // Idle time that ends a session.
  std::size_t max_turns = 32;        // Requests served at once.
  std::string dir;                 // Where sessions are saved; empty: nowhere.
  int64_t reload_check_ms = 1000;  // Least time between checks of the
                                   // language file for a change.
  ModuleFiles files;               // Where the language file is.
  // Fed with the time of each load of a saved session and each save; may
  // be null.
  MetricHistogram* store_latency = nullptr;
};

// Whether `id` has the form of a session id: 32 lower-case hexadecimal
// digits.
bool IsSessionId(std::string_view id);

// A new session id from the operating system's random generator. Throws
// Error when the generator fails.
std::string NewSessionId();

// The value of the cookie `name` in a Cookie header value ("a=1; b=2"), the
// first one of that name; nothing when there is none.
std::optional<std::string> CookieValue(std::string_view header,
                                       std::string_view name);

// The Set-Cookie value that gives a visitor the session `id`.
std::string SessionCookie(const std::string& id);

class SessionPool : public ModuleSource {
 public:
  class Session;

  // `now_ms` is a monotonic clock in milliseconds; `wall_s` the time of day
  // in seconds (for the ages of saved files). Reads the session directory:
  // saved sessions older than the idle time are removed, the others can be
  // resumed.
  explicit SessionPool(SessionSettings settings,
                       std::function<int64_t()> now_ms = nullptr,
                       std::function<int64_t()> wall_s = nullptr);
  // Ends every session still live without saving (Shutdown saves).
  ~SessionPool() override;
  SessionPool(const SessionPool&) = delete;
  SessionPool& operator=(const SessionPool&) = delete;

  // The session for a request: the live session `request.session` when
  // there is one, the saved session of that id resumed, otherwise a new
  // one: named by that id when it is well-formed (so the host a balancer
  // sends the cookie to takes the visitor on), else by a new id. Only the
  // 32 hexadecimal digits of a well-formed id reach a file name. Ends the
  // sessions that have been idle too long or exceed max_sessions. Waits
  // while another request of the session is served. Throws BusyError when
  // max_turns requests are in progress, and whatever loading the brain
  // throws (the session then stays, without a brain, and the next request
  // tries again); Error when the web root is empty.
  ModuleLease Take(const ModuleRequest& request) override;

  // Marks the live session `id` as used now; false when there is none.
  bool Touch(std::string_view id) override;

  // Shutdown.
  bool SaveIdle() noexcept override { return Shutdown(); }
  void DestroyAll() noexcept override { Shutdown(); }
  std::size_t in_use() const override { return turns_in_progress(); }

  // Ends every session: with a session directory each brain is stopped and
  // saved there (the file's time set to the session's last use), else only
  // stopped; sessions past their idle time end unsaved. A session still in
  // a turn is not waited for: it leaves the table unsaved and ends when
  // its request gives it back. Returns true when every session that should
  // be saved was. Later requests start new sessions.
  bool Shutdown() noexcept;

  std::size_t live_count() const;
  // Saved sessions in the session directory not resumed yet.
  std::size_t stored_count() const;
  std::size_t turns_in_progress() const;
  const SessionSettings& settings() const { return settings_; }

 private:
  using LruList = std::list<std::shared_ptr<Session>>;

  // Removes the sessions idle too long, live and saved, from the table and
  // appends the live ones to `ended`. Requires mutex_.
  void ExpireLocked(int64_t now, LruList& ended);
  // Whether the new session should report the reader's problems: the
  // first one, and the first after the language file changed (looked at
  // no more often than reload_check_ms). Requires mutex_.
  bool NoticeLanguageFileLocked(const std::string& path, int64_t now);
  class Held;
  void GiveBack() noexcept;
  std::string SavedPath(const std::string& id) const;

  const SessionSettings settings_;
  std::function<int64_t()> now_ms_;
  std::function<int64_t()> wall_s_;

  mutable std::mutex mutex_;
  LruList lru_;  // Live sessions, most recently used first; mutex_.
  // Found by the cookie's text itself, without a copy of it.
  struct IdHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view id) const noexcept {
      return std::hash<std::string_view>()(id);
    }
  };
  std::unordered_map<std::string, LruList::iterator, IdHash, std::equal_to<>>
      live_;  // mutex_.
  // Saved sessions not resumed yet: id -> last use on the now_ms clock.
  std::map<std::string, int64_t> saved_;  // mutex_.
  std::size_t turns_ = 0;                 // Requests holding a lease; mutex_.
  int64_t last_saved_sweep_ = 0;          // When saved_ was last swept; mutex_.
  bool swept_saved_ = false;              // mutex_.
  // What the language file looked like when last looked at; mutex_.
  std::string file_stamp_;
  int64_t last_check_ = 0;
  bool checked_once_ = false;
  // The knowledge new sessions start on: the language file as last read,
  // frozen, and the web root it was read for; mutex_.
  std::shared_ptr<const SharedKnowledge> knowledge_;
  std::string knowledge_root_;
  // One mapper of the web root for every session's module, so that the
  // sessions share one descriptor of the root; mutex_.
  std::optional<PathMapper> paths_;
  std::string paths_root_;
};

}  // namespace corvane

#endif  // CORVANE_WEB_SESSION_POOL_H_
