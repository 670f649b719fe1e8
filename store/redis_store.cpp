#include "store/redis_store.h"

#include <hiredis/hiredis.h>

#include <charconv>
#include <limits>

#include "store/store_support.h"
#include "store/turn_record_codec.h"

namespace corvane {
namespace {

// Idle connections kept for reuse; more are opened under load.
constexpr std::size_t kMaxIdleConnections = 16;
// Index entries checked in one round trip by Expire().
constexpr std::size_t kExpireBatch = 500;
// The longest key prefix; keys stay short and printable.
constexpr std::size_t kMaxPrefix = 64;

// The scripts write only after every check that can fail has passed, or
// undo what they wrote before a failing step, so a script never stops
// halfway: Redis does not undo the writes of a script that fails. A key of
// another program under the prefix makes the first command on it fail
// (WRONGTYPE) before anything is written; the commit scripts catch such
// failures (the transcript's at the first write), so that they can delete
// their staging key, and answer -1.
//
// A conversation's snapshot is a string key of its own (the hash's `sk`
// is "1"); conversations stored before keep it in the hash's `snapshot`
// field until their next commit with a snapshot moves it. A commit never
// hands its snapshot to Lua (which would hash every byte of it): the host
// writes it to a staging key in the same round trip, and the script
// renames the staging key onto the snapshot key once its checks passed,
// or deletes it. The hash's `exp` is the expiry last set on all of the
// conversation's keys, so a commit sets it again only when it changes;
// a new conversation has none, since its transcript comes with the first
// turn.

// KEYS: conversation, transcript, lease, index, snapshot.
// ARGV: holder, lease ms, knowledge version, snapshot, time, expire-at, id.
// 1: made (or made by this very call before); 0: the id is taken.
constexpr char kCreateScript[] = R"lua(
if redis.call('EXISTS', KEYS[1]) == 1 then
  if redis.call('GET', KEYS[3]) == '1:' .. ARGV[1] then return 1 end
  return 0
end
local e = redis.pcall('ZADD', KEYS[4], 0, ARGV[7])
if type(e) == 'table' and e.err then return -1 end
redis.call('DEL', KEYS[2])
redis.call('HSET', KEYS[1], 'kv', ARGV[3], 'turns', '0', 'created', ARGV[5],
           'updated', ARGV[5], 'sk', '1', 'fence', '1', 'last', '')
redis.call('SET', KEYS[5], ARGV[4])
if ARGV[6] ~= '0' then
  redis.call('PEXPIREAT', KEYS[1], ARGV[6])
  redis.call('PEXPIREAT', KEYS[5], ARGV[6])
end
redis.call('SET', KEYS[3], '1:' .. ARGV[1], 'PX', ARGV[2])
return 1
)lua";

// KEYS: conversation, lease, snapshot. ARGV: holder, lease ms, cached turns.
// {0}: unknown; {2, ms left}: busy; {1, fence, knowledge, turns}: held,
// followed by created, updated and snapshot unless the turns are cached.
constexpr char kAcquireScript[] = R"lua(
local m = redis.call('HMGET', KEYS[1], 'kv', 'turns', 'sk')
if not m[2] then return {0} end
local c
if m[2] ~= ARGV[3] then
  c = redis.call('HMGET', KEYS[1], 'created', 'updated', 'snapshot')
  if m[3] == '1' then
    c[3] = redis.call('GET', KEYS[3])
    if not c[3] then return {0} end
  end
end
local cur = redis.call('GET', KEYS[2])
local fence
if cur then
  local f, holder = string.match(cur, '^(%d+):(.*)$')
  if holder ~= ARGV[1] then return {2, redis.call('PTTL', KEYS[2])} end
  fence = f
else
  fence = tostring(redis.call('HINCRBY', KEYS[1], 'fence', 1))
  redis.call('SET', KEYS[2], fence .. ':' .. ARGV[1], 'PX', ARGV[2])
end
if not c then return {1, fence, m[1], m[2]} end
return {1, fence, m[1], m[2], c[1], c[2], c[3]}
)lua";

// The parts both commit scripts share, as string literals so that each
// script stays one literal for the server. m is the hash's turns, last,
// fence, exp and sk. DROP deletes the staging key on a path that does not
// use it.
#define CORVANE_REDIS_DROP \
  "local function drop()\n" \
  "  if ARGV[4] == '1' then redis.call('DEL', KEYS[5]) end\n" \
  "end\n"
// Writes the turn: its record first (a transcript of another program fails
// it before anything else is written), then the snapshot (a staging key
// that is gone undoes the record), the hash, and the expiry when it moved.
#define CORVANE_REDIS_WRITE_TURN(FOREIGN, NO_STAGE) \
  "local e = redis.pcall('RPUSH', KEYS[2], ARGV[5])\n" \
  "if type(e) == 'table' and e.err then\n" \
  "  drop()\n" \
  "  return " FOREIGN "\n" \
  "end\n" \
  "if ARGV[4] == '1' then\n" \
  "  e = redis.pcall('RENAME', KEYS[5], KEYS[4])\n" \
  "  if type(e) == 'table' and e.err then\n" \
  "    redis.call('RPOP', KEYS[2])\n" \
  "    return " NO_STAGE "\n" \
  "  end\n" \
  "  if ARGV[8] == '1' then\n" \
  "    if ARGV[7] == '0' then redis.call('PERSIST', KEYS[4])\n" \
  "    else redis.call('PEXPIREAT', KEYS[4], ARGV[7]) end\n" \
  "  end\n" \
  "  if m[5] ~= '1' then redis.call('HDEL', KEYS[1], 'snapshot') end\n" \
  "  redis.call('HSET', KEYS[1], 'turns', ARGV[9], 'updated', ARGV[6],\n" \
  "             'last', tag, 'exp', ARGV[7], 'sk', '1')\n" \
  "else\n" \
  "  redis.call('HSET', KEYS[1], 'turns', ARGV[9], 'updated', ARGV[6],\n" \
  "             'last', tag, 'exp', ARGV[7])\n" \
  "end\n" \
  "if ARGV[7] ~= '0' and m[4] ~= ARGV[7] then\n" \
  "  redis.call('PEXPIREAT', KEYS[1], ARGV[7])\n" \
  "  redis.call('PEXPIREAT', KEYS[2], ARGV[7])\n" \
  "  if ARGV[4] ~= '1' then redis.call('PEXPIREAT', KEYS[4], ARGV[7]) end\n" \
  "end\n"

// KEYS: conversation, transcript, lease, snapshot, staging.
// ARGV: fence, holder, base turn, has snapshot, record, time, expire-at,
//       whether the staged snapshot's expiry needs setting, the new turn
//       number, release.
// 1: committed (or committed by this very call before); 0: unknown;
// 2: lease not held; 3: another turn number; -1: foreign keys; -2: the
// staged snapshot is missing.
constexpr char kCommitScript[] = CORVANE_REDIS_DROP R"lua(
local lease = ARGV[1] .. ':' .. ARGV[2]
local tag = lease .. ':' .. ARGV[3]
local m = redis.pcall('HMGET', KEYS[1], 'turns', 'last', 'fence', 'exp', 'sk')
if m.err then drop() return -1 end
if not m[1] then drop() return 0 end
local cur = redis.pcall('GET', KEYS[3])
if type(cur) == 'table' then drop() return -1 end
local held = cur == lease
if m[2] == tag then
  drop()
  if held and ARGV[10] == '1' then redis.call('DEL', KEYS[3]) end
  return 1
end
if not held then drop() return 2 end
if m[1] ~= ARGV[3] then drop() return 3 end
)lua" CORVANE_REDIS_WRITE_TURN("-1", "-2") R"lua(
if ARGV[10] == '1' then redis.call('DEL', KEYS[3]) end
return 1
)lua";

// KEYS: lease. ARGV: fence:holder.
constexpr char kReleaseScript[] = R"lua(
if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) end
return 1
)lua";

// KEYS: conversation, transcript. ARGV: first index, last index.
// Nil for an unknown conversation.
constexpr char kTranscriptScript[] = R"lua(
if redis.call('EXISTS', KEYS[1]) == 0 then return false end
return redis.call('LRANGE', KEYS[2], ARGV[1], ARGV[2])
)lua";

// KEYS: conversation, transcript, lease, snapshot, staging.
// ARGV: fence, holder, base turn, has snapshot, record, time, expire-at,
//       whether the staged snapshot's expiry needs setting, the new turn
//       number, keep, lease ms, new holder.
// {1, fence}: committed (or committed by this very call before), with the
// fence of the lease kept (or the old one); {0}: unknown; {2}: a lease was
// taken since, or another holder's runs; {3}: another turn number; {-1}:
// foreign keys; {-2}: the staged snapshot is missing.
constexpr char kCommitIfUntouchedScript[] = CORVANE_REDIS_DROP R"lua(
local tag = ARGV[1] .. ':' .. ARGV[2] .. ':' .. ARGV[3]
local m = redis.pcall('HMGET', KEYS[1], 'turns', 'last', 'fence', 'exp', 'sk')
if m.err then drop() return {-1} end
if not m[1] then drop() return {0} end
if m[2] == tag then drop() return {1, tonumber(m[3])} end
if m[3] ~= ARGV[1] then drop() return {2} end
local cur = redis.pcall('GET', KEYS[3])
if type(cur) == 'table' then drop() return {-1} end
if cur and cur ~= ARGV[1] .. ':' .. ARGV[2] then drop() return {2} end
if m[1] ~= ARGV[3] then drop() return {3} end
)lua" CORVANE_REDIS_WRITE_TURN("{-1}", "{-2}") R"lua(
local fence = tonumber(ARGV[1])
if ARGV[10] == '1' then
  fence = redis.call('HINCRBY', KEYS[1], 'fence', 1)
  redis.call('SET', KEYS[3], fence .. ':' .. ARGV[12], 'PX', ARGV[11])
elseif cur then
  redis.call('DEL', KEYS[3])
end
return {1, fence}
)lua";
#undef CORVANE_REDIS_WRITE_TURN
#undef CORVANE_REDIS_DROP

// By RedisStore::Script.
constexpr const char* kScripts[] = {
    kCreateScript,  kAcquireScript,    kCommitScript,
    kReleaseScript, kTranscriptScript, kCommitIfUntouchedScript};

std::string_view Str(const redisReply* r) {
  if (r == nullptr || r->str == nullptr) return {};
  return std::string_view(r->str, r->len);
}

bool IsNil(const redisReply* r) {
  return r->type == REDIS_REPLY_NIL;
}

const redisReply* Element(const redisReply* r, std::size_t i,
                          const std::string& where) {
  if (r->type != REDIS_REPLY_ARRAY || i >= r->elements)
    throw StoreDataError("store " + where + ": unexpected reply");
  return r->element[i];
}

int64_t Integer(const redisReply* r, const std::string& where) {
  if (r->type != REDIS_REPLY_INTEGER)
    throw StoreDataError("store " + where + ": unexpected reply");
  return r->integer;
}

// A decimal number stored as text.
template <typename T>
T Number(const redisReply* r, const std::string& where, const char* what) {
  const std::string_view s = Str(r);
  T value{};
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (r->type != REDIS_REPLY_STRING || s.empty() || ec != std::errc() ||
      end != s.data() + s.size())
    throw StoreDataError("store " + where + ": the " + what +
                         " of a conversation is not a number");
  return value;
}

// A conversation from the elements `first` .. `first + 4` of an array
// reply: knowledge version, turns, created, updated and snapshot.
StoredConversation StoredFrom(const redisReply* r, std::size_t first,
                              std::string_view id, const std::string& where) {
  StoredConversation s;
  s.info.id = std::string(id);
  s.info.knowledge_version = std::string(Str(Element(r, first, where)));
  s.info.turns = Number<uint64_t>(Element(r, first + 1, where), where, "turns");
  s.info.created =
      Number<int64_t>(Element(r, first + 2, where), where, "creation time");
  s.info.updated =
      Number<int64_t>(Element(r, first + 3, where), where, "update time");
  s.snapshot = std::string(Str(Element(r, first + 4, where)));
  return s;
}

// A commit whose staged snapshot was gone when its script ran; nothing of
// the turn was kept.
std::string StagingLost(const std::string& where, const std::string& id) {
  return "store " + where + ": the snapshot of conversation " + id +
         " was lost on its way; the turn was not kept";
}

void CheckPrefix(const std::string& prefix) {
  bool ok = !prefix.empty() && prefix.size() <= kMaxPrefix;
  for (char c : prefix) ok = ok && c > ' ' && c < 127;
  if (!ok)
    throw StoreConfigError("store key prefix '" + prefix +
                           "': give 1 to 64 printable characters, no blanks");
}

}  // namespace

RedisStore::RedisStore(std::string url, const StoreUrl& parsed,
                       const StoreOptions& options)
    : url_(std::move(url)),
      parsed_(parsed),
      options_(options),
      retain_ms_(RetentionMillis(options)) {
  CheckTimeout(options_);
  CheckPrefix(options_.key_prefix);
  std::unique_ptr<RedisConnection> c = Connect();
  for (const char* text : kScripts) {
    RedisReply reply = c->Run({"SCRIPT", "LOAD", text});
    if (reply->type != REDIS_REPLY_STRING)
      ThrowRedisError(reply.get(), url_, "loading a script");
    shas_.emplace_back(Str(reply.get()));
  }
  GiveBack(std::move(c));
}

RedisStore::~RedisStore() {
  // The thread sends what is queued, calls each `done`, and ends.
  {
    std::lock_guard<std::mutex> lock(later_mu_);
    later_closing_ = true;
    if (later_waiting_) later_wake_.notify_one();
  }
  if (later_thread_.joinable()) later_thread_.join();
}

std::string RedisStore::ConversationKey(std::string_view id) const {
  return options_.key_prefix + "c:" + std::string(id);
}
std::string RedisStore::TranscriptKey(std::string_view id) const {
  return options_.key_prefix + "t:" + std::string(id);
}
std::string RedisStore::LeaseKey(std::string_view id) const {
  return options_.key_prefix + "l:" + std::string(id);
}
std::string RedisStore::SnapshotKey(std::string_view id) const {
  return options_.key_prefix + "s:" + std::string(id);
}
std::string RedisStore::IndexKey() const {
  return options_.key_prefix + "ids";
}

std::unique_ptr<RedisConnection> RedisStore::Connect() {
  return std::make_unique<RedisConnection>(parsed_, options_.timeout, url_);
}

void RedisStore::GiveBack(std::unique_ptr<RedisConnection> connection) {
  if (connection->broken()) return;
  std::lock_guard<std::mutex> lock(mu_);
  if (idle_.size() < kMaxIdleConnections)
    idle_.push_back(std::move(connection));
}

template <typename Work>
auto RedisStore::WithConnection(Work&& work) {
  for (int attempt = 0;; ++attempt) {
    std::unique_ptr<RedisConnection> c;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!idle_.empty()) {
        c = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    if (!c) c = Connect();
    try {
      auto result = work(*c);
      GiveBack(std::move(c));
      return result;
    } catch (const RedisConnectionBroken&) {
      // The server closed it, so it closed the other idle ones too.
      std::vector<std::unique_ptr<RedisConnection>> stale;
      {
        std::lock_guard<std::mutex> lock(mu_);
        stale.swap(idle_);
      }
      if (attempt > 0) throw;
    } catch (...) {
      GiveBack(std::move(c));
      throw;
    }
  }
}

RedisCommand RedisStore::ScriptCommand(
    Script script, const std::vector<std::string>& keys,
    const std::vector<std::string_view>& args,
    const std::string& key_count) const {
  RedisCommand command{"EVALSHA", shas_[static_cast<std::size_t>(script)],
                       key_count};
  command.reserve(3 + keys.size() + args.size());
  for (const std::string& k : keys) command.push_back(k);
  for (std::string_view a : args) command.push_back(a);
  return command;
}

void RedisStore::LoadScript(RedisConnection& c, Script script) {
  // The digest stays the same.
  RedisReply loaded =
      c.Run({"SCRIPT", "LOAD", kScripts[static_cast<std::size_t>(script)]});
  if (loaded->type != REDIS_REPLY_STRING)
    ThrowRedisError(loaded.get(), url_, "loading a script");
}

RedisReply RedisStore::RunScript(RedisConnection& c, Script script,
                                 const std::vector<std::string>& keys,
                                 const std::vector<std::string_view>& args,
                                 const RedisCommand& before,
                                 RedisReply* before_reply) {
  const std::string key_count = std::to_string(keys.size());
  const RedisCommand command = ScriptCommand(script, keys, args, key_count);
  RedisReply reply;
  if (before.empty()) {
    reply = c.Run(command);
  } else {
    std::vector<RedisReply> replies = c.RunAll({before, command});
    *before_reply = std::move(replies[0]);
    reply = std::move(replies[1]);
  }
  if (RedisErrorText(reply.get()).rfind("NOSCRIPT", 0) != 0) return reply;
  // The server restarted or its scripts were flushed: load it again and
  // run it once more.
  LoadScript(c, script);
  return c.Run(command);
}

std::string RedisStore::ExpireAt(StoreTime time) const {
  if (retain_ms_ == 0) return "0";
  // Never 0 (which means "keep"), whatever the time.
  StoreTime at = time + retain_ms_;
  if (at <= 0) return "1";
  constexpr StoreTime kMinute = 60 * 1000;
  if (at % kMinute != 0 && at < std::numeric_limits<StoreTime>::max() - kMinute)
    at += kMinute - at % kMinute;
  return std::to_string(at);
}

Lease RedisStore::Create(const NewConversation& conversation) {
  const StoreTime time = CreationTime(conversation);
  const std::chrono::milliseconds lease_time =
      ClampLeaseTime(conversation.lease_time);
  Lease lease = FirstLease(conversation);
  const std::string ms = std::to_string(lease_time.count());
  const std::string time_text = std::to_string(time);
  const std::string expire_at = ExpireAt(time);
  for (;;) {
    lease.conversation_id = NewConversationId();
    const std::string& id = lease.conversation_id;
    const int64_t made = WithConnection([&](RedisConnection& c) {
      RedisReply r = RunScript(
          c, Script::kCreate,
          {ConversationKey(id), TranscriptKey(id), LeaseKey(id), IndexKey(),
           SnapshotKey(id)},
          {lease.holder, ms, conversation.knowledge_version,
           conversation.snapshot, time_text, expire_at, id});
      if (r->type != REDIS_REPLY_INTEGER)
        ThrowRedisError(r.get(), url_, "creating a conversation");
      return r->integer;
    });
    if (made < 0)
      throw StoreDataError("store " + url_ + ": key " + IndexKey() +
                           " belongs to another program");
    // A taken id (one in 2^128) draws again.
    if (made == 0) continue;
    lease.expires = std::chrono::steady_clock::now() + lease_time;
    return lease;
  }
}

std::optional<StoredConversation> RedisStore::Load(std::string_view id) {
  if (!IsConversationId(id)) return std::nullopt;
  return WithConnection(
      [&](RedisConnection& c) -> std::optional<StoredConversation> {
        // The hash and the snapshot key as of one moment.
        const std::string key = ConversationKey(id);
        const std::string snapshot_key = SnapshotKey(id);
        std::vector<RedisReply> replies =
            c.RunAll({{"MULTI"},
                      {"HMGET", key, "kv", "turns", "created", "updated",
                       "snapshot", "sk"},
                      {"GET", snapshot_key},
                      {"EXEC"}});
        const redisReply* r = replies[3].get();
        if (r->type != REDIS_REPLY_ARRAY || r->elements != 2)
          ThrowRedisError(IsNil(r) ? replies[1].get() : r, url_,
                          "loading a conversation");
        const redisReply* fields = r->element[0];
        if (fields->type != REDIS_REPLY_ARRAY)
          ThrowRedisError(fields, url_, "loading a conversation");
        if (IsNil(Element(fields, 0, url_))) return std::nullopt;
        StoredConversation s = StoredFrom(fields, 0, id, url_);
        if (Str(Element(fields, 5, url_)) == "1") {
          const redisReply* snapshot = r->element[1];
          // The snapshot key expired a moment before the hash.
          if (IsNil(snapshot)) return std::nullopt;
          if (snapshot->type != REDIS_REPLY_STRING)
            ThrowRedisError(snapshot, url_, "loading a conversation");
          s.snapshot = std::string(Str(snapshot));
        }
        return s;
      });
}

LeaseResult RedisStore::TryAcquire(std::string_view id,
                                   std::chrono::milliseconds lease_time,
                                   uint64_t cached_turn) {
  if (!IsConversationId(id)) return LeaseResult();
  lease_time = ClampLeaseTime(lease_time);
  const std::string holder = RandomHex(8);
  const std::string ms = std::to_string(lease_time.count());
  const std::string cached =
      cached_turn == kNothingCached ? "" : std::to_string(cached_turn);
  return WithConnection([&](RedisConnection& c) {
    LeaseResult result;
    RedisReply r =
        RunScript(c, Script::kAcquire,
                  {ConversationKey(id), LeaseKey(id), SnapshotKey(id)},
                  {holder, ms, cached});
    if (r->type != REDIS_REPLY_ARRAY)
      ThrowRedisError(r.get(), url_, "taking a lease");
    const int64_t status = Integer(Element(r.get(), 0, url_), url_);
    if (status == 2) {
      const int64_t left = Integer(Element(r.get(), 1, url_), url_);
      result.status = LeaseStatus::kBusy;
      result.retry_after = std::chrono::milliseconds(
          left > 0 ? left : ClampLeaseTime(kMaxLeaseTime).count());
    } else if (status == 1) {
      Lease& lease = result.lease;
      lease.conversation_id = std::string(id);
      lease.fence = Number<uint64_t>(Element(r.get(), 1, url_), url_, "fence");
      lease.knowledge_version = std::string(Str(Element(r.get(), 2, url_)));
      lease.turn = Number<uint64_t>(Element(r.get(), 3, url_), url_, "turns");
      lease.holder = holder;
      lease.expires = std::chrono::steady_clock::now() + lease_time;
      result.status = LeaseStatus::kAcquired;
      if (r->elements == 7)
        result.conversation = StoredFrom(r.get(), 2, id, url_);
    }
    return result;
  });
}

RedisStore::CommitArgs RedisStore::PrepareCommit(
    const Lease& lease, const TurnCommit& commit) const {
  CheckCommitLimits(commit);
  const std::string& id = lease.conversation_id;
  if (!IsConversationId(id))
    throw LeaseLostError("no conversation " + id + " to commit to");
  TurnEntry entry{lease.turn + 1, commit.record};
  if (entry.record.time == 0) entry.record.time = StoreNow();
  CommitArgs a;
  a.record = EncodeTurnRecord(entry);
  a.fence = std::to_string(lease.fence);
  a.base = std::to_string(lease.turn);
  a.next = std::to_string(lease.turn + 1);
  a.time = std::to_string(entry.record.time);
  a.expire_at = ExpireAt(entry.record.time);
  a.has_snapshot = commit.snapshot.has_value();
  // The staging key is the commit's own (its tag), so that commits of
  // other holders never meet it, and one sent twice writes the same key.
  a.keys = {ConversationKey(id), TranscriptKey(id), LeaseKey(id),
            SnapshotKey(id),
            options_.key_prefix + "n:" + id + ":" + a.fence + ":" +
                lease.holder + ":" + a.base};
  if (a.has_snapshot) {
    a.snapshot = *commit.snapshot;
    // A staging key that its commit never reached (the host died between
    // the two commands) goes by itself within a minute at most, or at the
    // conversation's expiry when that comes later.
    constexpr StoreTime kStagingLife = 60 * 1000;
    const StoreTime soonest = StoreNow() + kStagingLife;
    if (a.expire_at == "0") {
      a.staging_expiry = std::to_string(kStagingLife);
      a.fix_expiry = true;
    } else {
      const StoreTime at = std::stoll(a.expire_at);
      a.fix_expiry = at < soonest;
      a.staging_expiry = a.fix_expiry ? std::to_string(soonest) : a.expire_at;
    }
  }
  return a;
}

std::vector<std::string_view> RedisStore::CommitArgs::Leading(
    const Lease& lease) const {
  return {fence,     lease.holder, base,
          has_snapshot ? "1" : "0", record, time,
          expire_at, fix_expiry ? "1" : "0", next};
}

void RedisStore::PrepareCall(CommitCall& call, const Lease& lease,
                             const TurnCommit& commit, AfterCommit after,
                             bool if_untouched,
                             std::chrono::milliseconds lease_time) const {
  call.a = PrepareCommit(lease, commit);
  call.key_count = std::to_string(call.a.keys.size());
  call.args = call.a.Leading(lease);
  if (!if_untouched) {
    call.script = Script::kCommit;
    call.holder.clear();
    call.args.push_back(after == AfterCommit::kReleaseLease ? "1" : "0");
    return;
  }
  call.script = Script::kCommitIfUntouched;
  call.lease_time = ClampLeaseTime(lease_time);
  const bool keep = after == AfterCommit::kKeepLease;
  call.holder = keep ? RandomHex(8) : std::string();
  call.ms = std::to_string(call.lease_time.count());
  call.args.insert(call.args.end(), {keep ? "1" : "0", call.ms, call.holder});
}

RedisCommand RedisStore::StageCommand(const CommitArgs& a) {
  if (!a.has_snapshot) return {};
  return {"SET", a.keys[4], a.snapshot, a.expire_at == "0" ? "PX" : "PXAT",
          a.staging_expiry};
}

void RedisStore::CheckStaged(const redisReply* staged) const {
  // A refused staging write (out of memory, a read-only replica) says why
  // the script then found no snapshot.
  if (staged != nullptr &&
      (staged->type != REDIS_REPLY_STATUS || Str(staged) != "OK"))
    ThrowRedisError(staged, url_, "committing a turn");
}

RedisReply RedisStore::RunCommit(RedisConnection& c, const CommitCall& call) {
  RedisReply staged;
  RedisReply r = RunScript(c, call.script, call.a.keys, call.args,
                           StageCommand(call.a), &staged);
  CheckStaged(staged.get());
  return r;
}

bool RedisStore::FinishCommit(const CommitCall& call, const redisReply* r,
                              Lease& lease) const {
  const std::string& id = lease.conversation_id;
  const bool untouched = call.script == Script::kCommitIfUntouched;
  int64_t status = 0;
  if (untouched) {
    if (r->type != REDIS_REPLY_ARRAY)
      ThrowRedisError(r, url_, "committing a turn");
    status = Integer(Element(r, 0, url_), url_);
  } else {
    if (r->type != REDIS_REPLY_INTEGER)
      ThrowRedisError(r, url_, "committing a turn");
    status = r->integer;
  }
  switch (status) {
    case 1:
      lease.turn += 1;
      if (untouched && !call.holder.empty()) {
        lease.fence =
            static_cast<uint64_t>(Integer(Element(r, 1, url_), url_));
        lease.holder = call.holder;
        lease.expires = std::chrono::steady_clock::now() + call.lease_time;
      }
      return true;
    case 0:
      throw LeaseLostError("conversation " + id + " no longer exists");
    case 2:
      if (untouched) return false;
      throw LeaseLostError("the lease of conversation " + id +
                           " expired or was taken over");
    case 3:
      if (untouched) return false;
      throw LeaseLostError("conversation " + id + " is not at turn " +
                           call.a.base);
    case -2:
      throw StoreUnavailableError(StagingLost(url_, id));
    default:
      throw StoreDataError("store " + url_ + ": keys of conversation " + id +
                           " belong to another program");
  }
}

void RedisStore::Commit(Lease& lease, const TurnCommit& commit,
                        AfterCommit after) {
  CommitCall call;
  PrepareCall(call, lease, commit, after, false, {});
  const RedisReply r = WithConnection(
      [&](RedisConnection& c) { return RunCommit(c, call); });
  FinishCommit(call, r.get(), lease);
}

bool RedisStore::CommitIfUntouched(Lease& lease, const TurnCommit& commit,
                                   AfterCommit after,
                                   std::chrono::milliseconds lease_time) {
  CommitCall call;
  PrepareCall(call, lease, commit, after, true, lease_time);
  const RedisReply r = WithConnection(
      [&](RedisConnection& c) { return RunCommit(c, call); });
  return FinishCommit(call, r.get(), lease);
}

// A CommitLater's commit, from its queueing until its `done` returned.
struct RedisStore::LaterJob {
  Lease* lease = nullptr;
  LaterCommit commit;
  CommitDone done;
  CommitCall call;
  CommitOutcome outcome;
  bool sent = false;  // Prepared, and so in the batch's pipeline.
  std::size_t reply = 0;  // Where its script's reply is among the batch's.
};

namespace {

// Commits sent in one write at most; more wait for the next.
constexpr std::size_t kMaxLaterBatch = 512;
constexpr std::size_t kMaxSpareJobs = 4096;

}  // namespace

void RedisStore::CommitLater(Lease& lease, LaterCommit commit,
                             CommitDone done) {
  if (commit.commit.record.time == 0)
    commit.commit.record.time = StoreNow();
  std::unique_lock<std::mutex> lock(later_mu_);
  if (!later_closing_ && !later_thread_.joinable()) {
    try {
      later_thread_ = std::thread([this] { LaterLoop(); });
    } catch (const std::exception& e) {
      lock.unlock();
      done(FailedOutcome(std::make_exception_ptr(StoreUnavailableError(
          "store " + url_ + ": no thread for commits: " + e.what()))));
      return;
    }
  }
  if (later_closing_) {
    lock.unlock();
    done(ClosingOutcome(url_));
    return;
  }
  std::unique_ptr<LaterJob> job;
  if (later_spare_.empty()) {
    job = std::make_unique<LaterJob>();
  } else {
    job = std::move(later_spare_.back());
    later_spare_.pop_back();
  }
  job->lease = &lease;
  job->commit = std::move(commit);
  job->done = std::move(done);
  later_pending_.push_back(job.release());
  if (later_waiting_) later_wake_.notify_one();
}

void RedisStore::LaterLoop() {
  std::vector<LaterJob*> batch;
  std::unique_lock<std::mutex> lock(later_mu_);
  for (;;) {
    if (later_pending_.empty()) {
      if (later_closing_) return;
      later_waiting_ = true;
      later_wake_.wait(lock);
      later_waiting_ = false;
      continue;
    }
    if (later_pending_.size() <= kMaxLaterBatch) {
      batch.swap(later_pending_);
    } else {
      batch.assign(later_pending_.begin(),
                   later_pending_.begin() + kMaxLaterBatch);
      later_pending_.erase(later_pending_.begin(),
                           later_pending_.begin() + kMaxLaterBatch);
    }
    lock.unlock();
    RunLaterBatch(batch);
    // Outside every lock of the store: `done` may call the store again.
    for (LaterJob* j : batch) {
      j->done(j->outcome);
      j->done = nullptr;
      j->commit = LaterCommit();
      j->outcome = CommitOutcome();
      j->lease = nullptr;
    }
    lock.lock();
    for (LaterJob* j : batch) {
      std::unique_ptr<LaterJob> owned(j);
      if (later_spare_.size() < kMaxSpareJobs)
        later_spare_.push_back(std::move(owned));
    }
    batch.clear();
  }
}

void RedisStore::RunLaterBatch(std::vector<LaterJob*>& batch) {
  // Each commit's checks, then its staging write and its script, all in
  // one pipeline.
  std::vector<RedisCommand> commands;
  commands.reserve(2 * batch.size());
  for (LaterJob* j : batch) {
    j->sent = false;
    try {
      PrepareCall(j->call, *j->lease, j->commit.commit, j->commit.after,
                  j->commit.if_untouched, j->commit.lease_time);
    } catch (...) {
      j->outcome = FailedOutcome(std::current_exception());
      continue;
    }
    j->sent = true;
    RedisCommand stage = StageCommand(j->call.a);
    if (!stage.empty()) commands.push_back(std::move(stage));
    j->reply = commands.size();
    commands.push_back(ScriptCommand(j->call.script, j->call.a.keys,
                                     j->call.args, j->call.key_count));
  }
  if (commands.empty()) return;
  std::vector<RedisReply> replies;
  try {
    for (int attempt = 0;; ++attempt) {
      try {
        if (!later_connection_ || later_connection_->broken())
          later_connection_ = Connect();
        replies = later_connection_->RunAll(commands);
        break;
      } catch (const RedisConnectionBroken&) {
        // The server closed a connection that had served (a restart, an
        // idle timeout): every commit may be sent once more, on a new one.
        later_connection_.reset();
        if (attempt > 0) throw;
      }
    }
    // Scripts the server lost (a restart, a flush): loaded again, and
    // their commits' scripts sent once more (the staged snapshots wait).
    std::vector<RedisCommand> again;
    std::vector<std::size_t> where;
    for (LaterJob* j : batch) {
      if (!j->sent ||
          RedisErrorText(replies[j->reply].get()).rfind("NOSCRIPT", 0) != 0)
        continue;
      if (again.empty()) {
        for (Script script : {Script::kCommit, Script::kCommitIfUntouched})
          LoadScript(*later_connection_, script);
      }
      where.push_back(j->reply);
      again.push_back(commands[j->reply]);
    }
    if (!again.empty()) {
      std::vector<RedisReply> retried = later_connection_->RunAll(again);
      for (std::size_t i = 0; i < where.size(); ++i)
        replies[where[i]] = std::move(retried[i]);
    }
  } catch (...) {
    // The connection failed: no answer is known, so every commit that
    // was sent fails (one that the server applied shows in the
    // conversation's turn number on the next lease).
    later_connection_.reset();
    const std::exception_ptr error = std::current_exception();
    for (LaterJob* j : batch)
      if (j->sent) j->outcome = FailedOutcome(error);
    return;
  }
  for (LaterJob* j : batch) {
    if (!j->sent) continue;
    try {
      if (j->call.a.has_snapshot) CheckStaged(replies[j->reply - 1].get());
      if (!FinishCommit(j->call, replies[j->reply].get(), *j->lease))
        j->outcome.status = CommitStatus::kStale;
    } catch (...) {
      j->outcome = FailedOutcome(std::current_exception());
    }
  }
}

void RedisStore::Release(const Lease& lease) {
  if (!IsConversationId(lease.conversation_id)) return;
  const std::string value = std::to_string(lease.fence) + ":" + lease.holder;
  WithConnection([&](RedisConnection& c) {
    RedisReply r = RunScript(c, Script::kRelease,
                             {LeaseKey(lease.conversation_id)}, {value});
    if (r->type != REDIS_REPLY_INTEGER)
      ThrowRedisError(r.get(), url_, "releasing a lease");
    return true;
  });
}

std::optional<std::vector<TurnEntry>> RedisStore::Transcript(
    std::string_view id, uint64_t first, std::size_t limit) {
  if (!IsConversationId(id)) return std::nullopt;
  if (first == 0) first = 1;
  // LRANGE counts from 0 and includes its end.
  constexpr uint64_t kMaxIndex = std::numeric_limits<int64_t>::max();
  const uint64_t start = first - 1;
  const uint64_t stop =
      limit == 0
          ? start
          : (limit - 1 > kMaxIndex - start ? kMaxIndex : start + limit - 1);
  const std::string start_text = std::to_string(start);
  const std::string stop_text = std::to_string(stop);
  return WithConnection(
      [&](RedisConnection& c) -> std::optional<std::vector<TurnEntry>> {
        RedisReply r = RunScript(c, Script::kTranscript,
                                 {ConversationKey(id), TranscriptKey(id)},
                                 {start_text, stop_text});
        if (IsNil(r.get())) return std::nullopt;
        if (r->type != REDIS_REPLY_ARRAY)
          ThrowRedisError(r.get(), url_, "reading a transcript");
        std::vector<TurnEntry> entries;
        if (limit == 0) return entries;
        entries.reserve(r->elements);
        for (std::size_t i = 0; i < r->elements; ++i)
          entries.push_back(DecodeTurnRecord(Str(r->element[i])));
        return entries;
      });
}

ConversationPage RedisStore::List(std::string_view cursor, std::size_t limit) {
  if (limit == 0) return ConversationPage();
  const std::string from = cursor.empty() ? "-" : "(" + std::string(cursor);
  const std::string count = std::to_string(limit);
  return WithConnection([&](RedisConnection& c) {
    RedisReply ids =
        c.Run({"ZRANGEBYLEX", IndexKey(), from, "+", "LIMIT", "0", count});
    if (ids->type != REDIS_REPLY_ARRAY)
      ThrowRedisError(ids.get(), url_, "listing conversations");
    std::vector<std::string> keys;
    std::vector<RedisCommand> commands;
    keys.reserve(ids->elements);
    for (std::size_t i = 0; i < ids->elements; ++i)
      keys.push_back(ConversationKey(Str(ids->element[i])));
    for (const std::string& key : keys)
      commands.push_back({"HMGET", key, "kv", "turns", "created", "updated"});
    const std::vector<RedisReply> metas = c.RunAll(commands);
    ConversationPage result;
    for (std::size_t i = 0; i < metas.size(); ++i) {
      const redisReply* m = metas[i].get();
      if (m->type != REDIS_REPLY_ARRAY)
        ThrowRedisError(m, url_, "listing conversations");
      // Expired: Expire() drops it from the index.
      if (IsNil(Element(m, 0, url_))) continue;
      ConversationInfo& info = result.conversations.emplace_back();
      info.id = std::string(Str(ids->element[i]));
      info.knowledge_version = std::string(Str(Element(m, 0, url_)));
      info.turns = Number<uint64_t>(Element(m, 1, url_), url_, "turns");
      info.created =
          Number<int64_t>(Element(m, 2, url_), url_, "creation time");
      info.updated = Number<int64_t>(Element(m, 3, url_), url_, "update time");
    }
    if (ids->elements == limit)
      result.next = std::string(Str(ids->element[ids->elements - 1]));
    return result;
  });
}

std::size_t RedisStore::Expire() {
  std::size_t removed = 0;
  std::string cursor;
  const std::string index = IndexKey();
  for (;;) {
    const std::string from = cursor.empty() ? "-" : "(" + cursor;
    const std::string count = std::to_string(kExpireBatch);
    // Each batch is its own round trips: the server keeps serving turns
    // between them.
    const std::pair<std::size_t, std::string> batch =
        WithConnection([&](RedisConnection& c) {
          RedisReply ids =
              c.Run({"ZRANGEBYLEX", index, from, "+", "LIMIT", "0", count});
          if (ids->type != REDIS_REPLY_ARRAY)
            ThrowRedisError(ids.get(), url_, "expiring conversations");
          std::vector<std::string> keys;
          std::vector<RedisCommand> commands;
          for (std::size_t i = 0; i < ids->elements; ++i)
            keys.push_back(ConversationKey(Str(ids->element[i])));
          for (const std::string& key : keys)
            commands.push_back({"EXISTS", key});
          const std::vector<RedisReply> exists = c.RunAll(commands);
          RedisCommand zrem{"ZREM", index};
          for (std::size_t i = 0; i < exists.size(); ++i)
            if (Integer(exists[i].get(), url_) == 0)
              zrem.push_back(Str(ids->element[i]));
          if (zrem.size() > 2) {
            RedisReply r = c.Run(zrem);
            if (r->type != REDIS_REPLY_INTEGER)
              ThrowRedisError(r.get(), url_, "expiring conversations");
          }
          std::string next =
              ids->elements == kExpireBatch
                  ? std::string(Str(ids->element[ids->elements - 1]))
                  : std::string();
          return std::make_pair(zrem.size() - 2, next);
        });
    removed += batch.first;
    if (batch.second.empty()) return removed;
    cursor = batch.second;
  }
}

StoreHealth RedisStore::Health() {
  return TimedHealth([&] {
    // A short-lived write, so that a server that answers but takes no
    // writes (a read-only replica, out of memory, a failed save) is not
    // reported healthy.
    WithConnection([&](RedisConnection& c) {
      RedisReply r = c.Run({"SET", options_.key_prefix + "health",
                            std::to_string(StoreNow()), "PX", "60000"});
      if (r->type != REDIS_REPLY_STATUS || Str(r.get()) != "OK")
        ThrowRedisError(r.get(), url_, "checking health");
      return true;
    });
    return std::string();
  });
}

}  // namespace corvane
