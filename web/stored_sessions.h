// Session mode on a conversation store (store/conversation_store.h): every
// visitor has a conversation of their own, and every turn of it is
// committed to the store, its snapshot and its turn record in one step,
// before the reply leaves. Memory only caches conversations: one that
// falls out of the cache (beyond max_sessions, or idle) is read back from
// the store when its visitor returns, on this host or any other that
// shares the store.
//
// Ids are the store's: a visitor without a conversation, or with an id the
// store does not know, gets a new conversation under a new id, so that no
// one can choose the id of another visitor's conversation.
//
// One turn at a time per conversation: requests of one conversation on
// this host wait for each other (at most max_waiting of them; more are
// refused with UnavailableError, 503), and the store's lease keeps hosts
// from running one conversation at once. A request that can wait without
// its thread (ModuleRequest::resume) parks instead (TurnPending) and is
// resumed when the turn is free; the others block on the turn. A request
// may also have its last commit finish later (Holder::CommitLater): the
// store commits it on its own thread, with others ready at once, and the
// turn stays taken until the request drops its lease. A lease that
// another holder keeps (a host that died in a turn) is waited for at most
// lease_time. A host that committed a conversation's last turn itself
// runs the next one on the state in memory and commits it without taking
// the lease first
// (CommitIfUntouched, one round trip a turn); when another holder took
// the lease meanwhile, nothing of that turn is kept: the lease is taken,
// the stored state read and the turn run again (StaleTurnError), and the
// conversation takes the lease before each turn until this host's leases
// follow each other again.
//
// A store that cannot be reached or written refuses the request with
// UnavailableError (503); the turn's effects are dropped with the cached
// conversation, and its next request starts from what the store holds.
//
// Thread-safe: one mutex guards the cache and the counters; a cached
// conversation's turn lock guards its module. The store is thread-safe.
#ifndef CORVANE_WEB_STORED_SESSIONS_H_
#define CORVANE_WEB_STORED_SESSIONS_H_

#include <chrono>
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

class ConversationStore;
class SharedKnowledge;

struct StoredSessionSettings {
  std::size_t max_sessions = 1000;   // Conversations cached in memory.
  int64_t idle_ms = 30 * 60 * 1000;  // Idle time that drops one from memory.
  std::size_t max_turns = 32;        // Requests served at once.
  // Requests of one conversation that may wait for its turn on this host;
  // more are refused.
  std::size_t max_waiting = 4;
  std::chrono::milliseconds lease_time{3000};
  int64_t reload_check_ms = 1000;  // Least time between looks at the file.
  ModuleFiles files;
  MetricHistogram* store_latency = nullptr;  // Loads and commits; may be null.
};

class StoredSessionPool : public ModuleSource {
 public:
  // Serves from `store`, which it owns.
  StoredSessionPool(std::unique_ptr<ConversationStore> store,
                    StoredSessionSettings settings);
  ~StoredSessionPool() override;
  StoredSessionPool(const StoredSessionPool&) = delete;
  StoredSessionPool& operator=(const StoredSessionPool&) = delete;

  // The conversation of `request.session` (cached, or read from the
  // store), or a new one created in the store. Throws BusyError when
  // max_turns requests are in progress, UnavailableError when the store
  // cannot be reached or the conversation is busy too long, Error when the
  // web root is empty.
  ModuleLease Take(const ModuleRequest& request) override;
  // Every conversation is in the store already: dropping them from memory
  // loses nothing.
  bool SaveIdle() noexcept override;
  void DestroyAll() noexcept override;
  bool Healthy(std::string* why) const override;
  std::size_t in_use() const override;
  bool NamesVisitorsEarly() const override { return false; }

  // Runs the store's retention when an hour has passed since the last run
  // (Take calls it). Never throws.
  void ExpireIfDue() noexcept;

  std::size_t live_count() const;
  ConversationStore& store() { return *store_; }

 private:
  class TurnGate;
  class Cached;
  class Held;
  using LruList = std::list<std::shared_ptr<Cached>>;

  // The knowledge new conversations start on, read again when the file
  // changed (and kept only when it reads without problems, once there is
  // a good one).
  std::shared_ptr<const SharedKnowledge> CurrentKnowledge(
      const std::string& web_root);
  // The knowledge of `version`: a version still held by a cached
  // conversation, or the current one; null when neither is it.
  std::shared_ptr<const SharedKnowledge> KnowledgeOf(
      const std::string& version, const std::string& web_root);
  // The setup of a module on `knowledge` for `web_root`, sharing one
  // descriptor of the root with every other module.
  ModuleSetup SetupFor(const std::string& web_root,
                       std::shared_ptr<const SharedKnowledge> knowledge);
  // Takes the store's lease of the held conversation, waiting for another
  // holder's at most about a lease time, and reads the stored state into
  // its module unless it has that turn already. kUnknown: the store does
  // not know the conversation; kCannotContinue: its state cannot be
  // restored here (*problem says why). Throws UnavailableError when the
  // store fails or the lease does not come.
  enum class Acquired { kReady, kUnknown, kCannotContinue };
  Acquired Acquire(Held& held, const std::string& web_root,
                   std::string* problem);
  // A new conversation for the request, created in the store.
  ModuleLease Create(const ModuleRequest& request);
  // Drops from the cache what is idle or beyond max_sessions and not in a
  // turn. Requires mutex_.
  void TrimLocked(int64_t now, LruList& dropped);
  void GiveBack() noexcept;
  void Observe(std::chrono::steady_clock::time_point started) const;

  const std::unique_ptr<ConversationStore> store_;
  const StoredSessionSettings settings_;

  mutable std::mutex mutex_;
  LruList lru_;  // Cached conversations, most recently used first; mutex_.
  std::unordered_map<std::string, LruList::iterator> cached_;  // mutex_.
  std::size_t turns_ = 0;    // Requests holding a lease; mutex_.
  int64_t last_expire_ = 0;  // mutex_.
  // The knowledge: the current version, and every version by name while a
  // conversation holds it; mutex_.
  std::shared_ptr<const SharedKnowledge> knowledge_;
  std::string knowledge_version_;
  std::string knowledge_root_;
  std::map<std::string, std::weak_ptr<const SharedKnowledge>> versions_;
  std::string file_stamp_;
  int64_t last_check_ = 0;
  bool checked_once_ = false;
  std::optional<PathMapper> paths_;  // Of paths_root_; mutex_.
  std::string paths_root_;
};

// The name a knowledge version has in the store: its fingerprint in hex.
std::string KnowledgeVersionName(const SharedKnowledge& knowledge);

}  // namespace corvane

#endif  // CORVANE_WEB_STORED_SESSIONS_H_
