#include "web/stored_sessions.h"

#include <condition_variable>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.h"
#include "engine/conversation.h"
#include "platform/file_version.h"
#include "platform/files.h"
#include "store/conversation_store.h"
#include "web/operator_log.h"

namespace corvane {
namespace {

constexpr const char* kModuleErrorKind = "EWebModuleError";
constexpr const char* kConversationBusy =
    "Another request of this conversation is being answered; try again";
// How often the store's retention runs while requests come.
constexpr int64_t kExpireEveryMs = 60 * 60 * 1000;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A store's failure as the visitor sees it: 503 with what went wrong.
UnavailableError UnavailableFrom(const StoreError& e) {
  return UnavailableError(std::string("The conversations cannot be reached (") +
                          e.kind_name() + ": " + e.what() + ")");
}

[[noreturn]] void Unavailable(const StoreError& e) {
  throw UnavailableFrom(e);
}

}  // namespace

// A conversation's turn: held by one request at a time, from Take until
// its lease is dropped, which may happen on another thread than the one
// that took it (a commit that finished later), so it is no std::mutex.
class StoredSessionPool::TurnGate {
 public:
  void lock() {
    std::unique_lock<std::mutex> hold(mutex_);
    free_.wait(hold, [this] { return !held_; });
    held_ = true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
};

std::string KnowledgeVersionName(const SharedKnowledge& knowledge) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(knowledge.fingerprint()));
  return hex;
}

// One conversation in memory. The pool's mutex guards `users`,
// `last_used` and the table links; `turn` guards the module and `turns`.
class StoredSessionPool::Cached {
 public:
  explicit Cached(std::string conversation_id)
      : id(std::move(conversation_id)) {}
  // The conversation lives on in the store: no stop patterns fire.
  ~Cached() {
    if (module) module->Drop();
  }
  Cached(const Cached&) = delete;
  Cached& operator=(const Cached&) = delete;

  // Forgets the state in memory; the next turn reads the store.
  void Forget() {
    if (module) module->Drop();
    module.reset();
    turns = kNothingCached;
    resumable = false;
  }

  const std::string id;
  TurnGate turn;                        // Held by the request being served.
  std::unique_ptr<TWebModule1> module;  // turn; null: read the store.
  uint64_t turns = kNothingCached;      // turn; the store's turn of module.
  // turn: the lease of the last turn this host committed, released with
  // it; while `resumable`, `module` is at that turn and the next turn
  // commits on this lease without taking it again (CommitIfUntouched).
  Lease last;
  bool resumable = false;
  // turn: another holder took the lease since this host's last one (a
  // balancer without stickiness): take the lease before each turn until a
  // lease follows this host's own again.
  bool contended = false;
  std::size_t users = 0;  // Requests waiting for it or in a turn; pool mutex.
  int64_t last_used = 0;  // pool mutex.
  // Requests that wait for the turn without a thread, to be resumed when
  // nobody holds or waits for it; pool mutex.
  std::vector<std::function<void()>> parked;
};

// A request's hold: the conversation's turn lock, its place under
// max_turns and the store's lease until the last commit releases it (or,
// resumed, the lease of this host's last turn, on which the first commit
// goes without taking the lease again).
class StoredSessionPool::Held : public ModuleLease::Holder {
 public:
  Held(StoredSessionPool* pool, std::shared_ptr<Cached> cached,
       std::unique_lock<TurnGate> turn, std::string web_root)
      : pool_(pool),
        cached_(std::move(cached)),
        turn_(std::move(turn)),
        web_root_(std::move(web_root)) {}
  ~Held() override {
    if (leased_) {
      try {
        pool_->store_->Release(lease_);
      } catch (const std::exception&) {
        // The lease runs out by itself.
      }
    }
    turn_.unlock();
    // Every request parked for the turn tries again; one gets it, and the
    // others park again behind it, so none is forgotten.
    std::vector<std::function<void()>> resume;
    {
      std::lock_guard<std::mutex> lock(pool_->mutex_);
      if (--cached_->users == 0) resume.swap(cached_->parked);
    }
    cached_.reset();
    pool_->GiveBack();
    for (auto& f : resume) f();
  }

  TWebModule1& module() override { return *cached_->module; }

  void Commit(const TurnDone& turn, bool last) override {
    const auto started = std::chrono::steady_clock::now();
    Cached& c = *cached_;
    bool stale = false;
    try {
      const TurnCommit commit = MakeCommit(turn);
      const AfterCommit after =
          last ? AfterCommit::kReleaseLease : AfterCommit::kKeepLease;
      const bool untouched = resumed_;
      resumed_ = false;
      if (untouched)
        stale = !pool_->store_->CommitIfUntouched(lease_, commit, after,
                                                  pool_->settings_.lease_time);
      else
        pool_->store_->Commit(lease_, commit, after);
      Committed(last, stale, untouched);
    } catch (const StoreError& e) {
      // Nothing of the turn stays: the next request starts from the store.
      c.Forget();
      Unavailable(e);
    } catch (...) {
      c.Forget();
      throw;
    }
    if (stale) {
      // Another host ran the conversation since this one's last turn: the
      // turn ran on an old state and is dropped. The lease is taken and
      // the stored state read, and the turn runs again on it.
      c.Forget();
      c.contended = true;
      std::string problem;
      if (pool_->Acquire(*this, web_root_, &problem) != Acquired::kReady)
        throw UnavailableError("The conversation cannot continue: " + problem);
      throw StaleTurnError();
    }
    pool_->Observe(started);
  }

  bool CommitLater(const TurnDone& turn, bool last, TurnKept kept) override {
    const auto started = std::chrono::steady_clock::now();
    LaterCommit later;
    try {
      later.commit = MakeCommit(turn);
    } catch (...) {
      cached_->Forget();
      throw;
    }
    later.after = last ? AfterCommit::kReleaseLease : AfterCommit::kKeepLease;
    later.if_untouched = resumed_;
    later.lease_time = pool_->settings_.lease_time;
    const bool untouched = resumed_;
    resumed_ = false;
    pool_->store_->CommitLater(
        lease_, std::move(later),
        [this, last, untouched, started,
         kept = std::move(kept)](const CommitOutcome& outcome) {
          Cached& c = *cached_;
          std::exception_ptr error;
          switch (outcome.status) {
            case CommitStatus::kCommitted:
              Committed(last, false, untouched);
              pool_->Observe(started);
              break;
            case CommitStatus::kStale:
              // As in Commit, but the request runs again from Take, which
              // takes the lease and reads the stored state.
              c.Forget();
              c.contended = true;
              error = std::make_exception_ptr(StaleTurnError());
              break;
            case CommitStatus::kFailed:
              c.Forget();
              error = outcome.error;
              try {
                std::rethrow_exception(outcome.error);
              } catch (const StoreError& e) {
                error = std::make_exception_ptr(UnavailableFrom(e));
              } catch (...) {
              }
              break;
          }
          kept(error);
        });
    return true;
  }

  Cached& cached() { return *cached_; }
  // The store's commit of `turn` on module().
  TurnCommit MakeCommit(const TurnDone& turn) const {
    TurnCommit commit;
    commit.snapshot = cached_->module->Snapshot();
    commit.record.input = std::string(turn.input);
    commit.record.reply = std::string(turn.reply);
    commit.record.failed = turn.failed;
    commit.record.fallback = turn.fallback;
    commit.record.knowledge_version = lease_.knowledge_version;
    return commit;
  }
  // After a commit on lease_ (`untouched`: without taking it first) that
  // went through unless `stale`.
  void Committed(bool last, bool stale, bool untouched) {
    if (stale) return;
    Cached& c = *cached_;
    if (untouched)
      leased_ = !last;
    else if (last)
      leased_ = false;
    c.turns = lease_.turn;
    if (last) {
      c.last = lease_;
      c.resumable = true;
    }
  }
  void SetLease(Lease lease) {
    lease_ = std::move(lease);
    leased_ = true;
    resumed_ = false;
  }
  // The first commit goes on `last` without taking the lease again.
  void Resume(const Lease& last) {
    lease_ = last;
    leased_ = false;
    resumed_ = true;
  }

 private:
  StoredSessionPool* pool_;
  std::shared_ptr<Cached> cached_;
  std::unique_lock<TurnGate> turn_;
  const std::string web_root_;
  Lease lease_;
  bool leased_ = false;   // lease_ is held in the store.
  bool resumed_ = false;  // lease_ was released; commit if untouched.
};

StoredSessionPool::StoredSessionPool(std::unique_ptr<ConversationStore> store,
                                     StoredSessionSettings settings)
    : store_(std::move(store)), settings_(std::move(settings)) {
  last_expire_ = SteadyMs();
}

StoredSessionPool::~StoredSessionPool() {
  LruList all;
  std::lock_guard<std::mutex> lock(mutex_);
  all.splice(all.end(), lru_);
  cached_.clear();
}

void StoredSessionPool::Observe(
    std::chrono::steady_clock::time_point started) const {
  if (settings_.store_latency != nullptr)
    settings_.store_latency->ObserveNs(
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - started)
            .count());
}

void StoredSessionPool::ExpireIfDue() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = SteadyMs();
    if (now - last_expire_ < kExpireEveryMs) return;
    last_expire_ = now;
  }
  // A rare cost of the request that notices it is due: the store deletes
  // a bounded batch per transaction.
  try {
    store_->Expire();
  } catch (const std::exception& e) {
    LogOperatorLine(
        store_->url(),
        std::string("Expiring old conversations failed: ") + e.what());
  }
}

void StoredSessionPool::TrimLocked(int64_t now, LruList& dropped) {
  // Only conversations nobody uses leave; those in use are few (at most
  // max_turns, and their waiters), so the walk past them is short.
  auto it = lru_.end();
  while (it != lru_.begin()) {
    --it;
    Cached& c = **it;
    const bool idle = now - c.last_used >= settings_.idle_ms;
    if (!idle &&
        lru_.size() <= std::max<std::size_t>(1, settings_.max_sessions))
      break;
    if (c.users > 0) continue;
    cached_.erase(c.id);
    auto next = std::next(it);
    dropped.splice(dropped.end(), lru_, it);
    it = next;
  }
}

std::shared_ptr<const SharedKnowledge> StoredSessionPool::CurrentKnowledge(
    const std::string& web_root) {
  const std::string file =
      !settings_.files.language_file.empty()
          ? settings_.files.language_file
          : PathMapper(web_root).Map(kLanguageFile).value_or("");
  bool read = false;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = SteadyMs();
    if (!checked_once_ || now - last_check_ >= settings_.reload_check_ms) {
      last_check_ = now;
      const std::string stamp = FileStatusStamp(file);
      changed = checked_once_ && stamp != file_stamp_;
      read = !checked_once_ || changed;
      checked_once_ = true;
      file_stamp_ = stamp;
    }
    if (knowledge_ == nullptr || knowledge_root_ != web_root) read = true;
    if (!read) return knowledge_;
  }
  if (changed)
    LogOperatorLine(file,
                    "The language file changed; new conversations read it, "
                    "running ones keep what they have");
  ModuleSetup setup;
  setup.session = true;
  setup.files = settings_.files;
  std::size_t problems = 0;
  setup.problem_count = &problems;
  std::shared_ptr<const SharedKnowledge> fresh =
      LoadSharedKnowledge(web_root, setup);
  std::lock_guard<std::mutex> lock(mutex_);
  if (problems > 0 && knowledge_ != nullptr && knowledge_root_ == web_root) {
    // A version with problems never replaces a good one.
    if (changed)
      LogOperatorLine(file,
                      "The language file has problems; new conversations "
                      "keep the version read before");
    return knowledge_;
  }
  knowledge_ = fresh;
  knowledge_root_ = web_root;
  knowledge_version_ = KnowledgeVersionName(*fresh);
  versions_[knowledge_version_] = fresh;
  // Versions no conversation holds any longer are forgotten.
  for (auto v = versions_.begin(); v != versions_.end();)
    v = v->second.expired() ? versions_.erase(v) : std::next(v);
  return knowledge_;
}

std::shared_ptr<const SharedKnowledge> StoredSessionPool::KnowledgeOf(
    const std::string& version, const std::string& web_root) {
  std::shared_ptr<const SharedKnowledge> current = CurrentKnowledge(web_root);
  std::lock_guard<std::mutex> lock(mutex_);
  if (version == knowledge_version_) return current;
  const auto it = versions_.find(version);
  if (it == versions_.end()) return nullptr;
  return it->second.lock();
}

ModuleSetup StoredSessionPool::SetupFor(
    const std::string& web_root,
    std::shared_ptr<const SharedKnowledge> knowledge) {
  ModuleSetup setup;
  setup.session = true;
  setup.files = settings_.files;
  setup.knowledge = std::move(knowledge);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!paths_ || paths_root_ != web_root) {
    paths_.emplace(web_root);
    paths_root_ = web_root;
  }
  setup.paths = paths_;
  return setup;
}

void StoredSessionPool::GiveBack() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  --turns_;
}

ModuleLease StoredSessionPool::Create(const ModuleRequest& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (settings_.max_turns > 0 && turns_ >= settings_.max_turns)
      throw BusyError();
    ++turns_;
  }
  // Until the hold exists, the place is given back here.
  struct Place {
    StoredSessionPool* pool;
    bool held = false;
    ~Place() {
      if (!held) pool->GiveBack();
    }
  } place{this};

  const ModuleSetup setup =
      SetupFor(request.web_root, CurrentKnowledge(request.web_root));
  auto module = std::make_unique<TWebModule1>(request.web_root, setup);
  NewConversation fresh;
  fresh.knowledge_version = KnowledgeVersionName(*setup.knowledge);
  fresh.snapshot = module->Snapshot();
  fresh.lease_time = settings_.lease_time;
  const auto started = std::chrono::steady_clock::now();
  Lease lease;
  try {
    lease = store_->Create(fresh);
  } catch (const StoreError& e) {
    module->Drop();
    Unavailable(e);
  }
  Observe(started);

  auto cached = std::make_shared<Cached>(lease.conversation_id);
  cached->module = std::move(module);
  cached->turns = lease.turn;
  std::unique_lock<TurnGate> turn(cached->turn);
  LruList dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = SteadyMs();
    cached->users = 1;
    cached->last_used = now;
    lru_.push_front(cached);
    cached_[cached->id] = lru_.begin();
    TrimLocked(now, dropped);
  }
  dropped.clear();
  const std::string id = cached->id;
  auto held = std::make_unique<Held>(this, std::move(cached), std::move(turn),
                                     request.web_root);
  place.held = true;
  held->SetLease(std::move(lease));
  return ModuleLease(std::move(held), id, true);
}

ModuleLease StoredSessionPool::Take(const ModuleRequest& request) {
  if (request.web_root.empty())
    throw Error(kModuleErrorKind,
                "The server does not give APPL_PHYSICAL_PATH");
  ExpireIfDue();
  if (!IsConversationId(request.session)) return Create(request);
  const std::string id(request.session);

  std::shared_ptr<Cached> cached;
  LruList dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = SteadyMs();
    const auto it = cached_.find(id);
    if (it != cached_.end()) {
      lru_.splice(lru_.begin(), lru_, it->second);
      cached = *it->second;
    } else {
      cached = std::make_shared<Cached>(id);
      lru_.push_front(cached);
      cached_[id] = lru_.begin();
    }
    // One in its turn and a few waiting; more would only hold threads or
    // memory.
    if (cached->users + cached->parked.size() > settings_.max_waiting)
      throw UnavailableError(kConversationBusy);
    if (cached->users > 0 && request.resume) {
      cached->parked.push_back(request.resume);
      throw TurnPending();
    }
    ++cached->users;
    cached->last_used = now;
    TrimLocked(now, dropped);
  }
  dropped.clear();

  std::unique_lock<TurnGate> turn(cached->turn);
  bool refused = false;
  std::vector<std::function<void()>> resume;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (settings_.max_turns > 0 && turns_ >= settings_.max_turns) {
      refused = true;
      // The requests parked behind this one must not wait for it.
      if (--cached->users == 0) resume.swap(cached->parked);
    } else {
      ++turns_;
    }
  }
  if (refused) {
    turn.unlock();
    for (auto& f : resume) f();
    throw BusyError();
  }
  auto held =
      std::make_unique<Held>(this, cached, std::move(turn), request.web_root);
  // This host ran the conversation's last turn and nobody else has run it
  // lately: the turn runs on the state in memory, and its commit checks
  // in the same step that no other holder took the lease meanwhile.
  if (cached->module && cached->resumable && !cached->contended &&
      cached->turns == cached->last.turn) {
    held->Resume(cached->last);
    return ModuleLease(std::move(held), id, false);
  }
  std::string problem;
  switch (Acquire(*held, request.web_root, &problem)) {
    case Acquired::kReady:
      return ModuleLease(std::move(held), id, false);
    case Acquired::kUnknown:
      // Not the store's: the visitor gets a conversation of their own
      // under an id the store makes.
      held.reset();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = cached_.find(id);
        if (it != cached_.end() && *it->second == cached &&
            cached->users == 0) {
          dropped.splice(dropped.end(), lru_, it->second);
          cached_.erase(it);
        }
      }
      dropped.clear();
      return Create(request);
    case Acquired::kCannotContinue:
      // The visitor starts anew; the old conversation stays in the store
      // for its transcript.
      LogOperatorLine(store_->url(),
                      "Conversation " + id + " cannot continue: " + problem);
      held.reset();
      return Create(request);
  }
  return Create(request);
}

StoredSessionPool::Acquired StoredSessionPool::Acquire(
    Held& held, const std::string& web_root, std::string* problem) {
  Cached& cached = held.cached();
  const std::string& id = cached.id;
  // Another holder's lease (another host's turn, or one that died in a
  // turn) is waited for as long as a lease lasts.
  const auto deadline = std::chrono::steady_clock::now() +
                        settings_.lease_time + std::chrono::milliseconds(500);
  for (;;) {
    const auto started = std::chrono::steady_clock::now();
    LeaseResult r;
    try {
      r = store_->TryAcquire(id, settings_.lease_time,
                             cached.module ? cached.turns : kNothingCached);
    } catch (const StoreError& e) {
      cached.Forget();
      Unavailable(e);
    }
    if (r.status == LeaseStatus::kBusy) {
      if (started + r.retry_after > deadline)
        throw UnavailableError(kConversationBusy);
      std::this_thread::sleep_for(r.retry_after);
      continue;
    }
    if (r.status == LeaseStatus::kUnknown) {
      cached.Forget();
      *problem = "it is no longer in the store";
      return Acquired::kUnknown;
    }
    // A lease right after this host's own, on the state this host holds:
    // nobody else ran the conversation meanwhile.
    if (!r.conversation && cached.last.fence != 0 &&
        r.lease.fence == cached.last.fence + 1)
      cached.contended = false;
    held.SetLease(r.lease);
    if (r.conversation) {
      cached.Forget();
      const std::shared_ptr<const SharedKnowledge> knowledge =
          KnowledgeOf(r.lease.knowledge_version, web_root);
      if (knowledge == nullptr) {
        *problem = "its knowledge version " + r.lease.knowledge_version +
                   " is not the language file's any more";
        return Acquired::kCannotContinue;
      }
      const ModuleSetup setup = SetupFor(web_root, knowledge);
      try {
        cached.module = std::make_unique<TWebModule1>(web_root, setup,
                                                      r.conversation->snapshot);
        cached.turns = r.lease.turn;
      } catch (const CorruptDataError& e) {
        *problem = e.what();
        return Acquired::kCannotContinue;
      }
      Observe(started);
    }
    return Acquired::kReady;
  }
}

bool StoredSessionPool::SaveIdle() noexcept {
  LruList all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = lru_.begin(); it != lru_.end();) {
      auto next = std::next(it);
      if ((*it)->users == 0) {
        cached_.erase((*it)->id);
        all.splice(all.end(), lru_, it);
      }
      it = next;
    }
  }
  return true;
}

void StoredSessionPool::DestroyAll() noexcept {
  SaveIdle();
}

bool StoredSessionPool::Healthy(std::string* why) const {
  const StoreHealth health = store_->Health();
  if (!health.ok && why != nullptr)
    *why = "the conversation store " + store_->url() + ": " + health.problem;
  return health.ok;
}

std::size_t StoredSessionPool::in_use() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return turns_;
}

std::size_t StoredSessionPool::live_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lru_.size();
}

}  // namespace corvane
