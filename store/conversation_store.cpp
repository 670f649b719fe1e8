#include "store/conversation_store.h"

#include <sys/random.h>

#include <cerrno>
#include <charconv>

#include "store/redis_store.h"
#include "store/sqlite_store.h"
#include "store/store_support.h"

namespace corvane {
namespace {

constexpr char kUrlForms[] = "use sqlite:PATH or redis://HOST:PORT[/DB]";

// A decimal number from `min` to `max`, nothing else.
std::optional<int> ParseBoundedInt(std::string_view text, int min, int max) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

[[noreturn]] void Refuse(std::string_view url, const std::string& problem) {
  throw StoreConfigError("store URL '" + std::string(url) + "': " + problem);
}

StoreUrl ParseRedisUrl(std::string_view url, std::string_view rest) {
  StoreUrl parsed;
  parsed.kind = StoreUrl::Kind::kRedis;
  if (rest.find('@') != std::string_view::npos)
    Refuse(url, "credentials in the URL are not supported");
  if (rest.find_first_of("?#") != std::string_view::npos)
    Refuse(url, "a Redis URL takes no query; " + std::string(kUrlForms));
  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) {
    const std::string_view db = rest.substr(slash + 1);
    const std::optional<int> number = ParseBoundedInt(db, 0, 65535);
    if (!number) Refuse(url, "the database must be a number from 0 to 65535");
    parsed.database = *number;
  }
  std::string_view port_text;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) Refuse(url, "unclosed '[' in host");
    parsed.host = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() != ':')
      Refuse(url, "expected ':PORT' after the host");
    if (!after.empty()) port_text = after.substr(1);
    if (after.size() == 1) Refuse(url, "the port is empty");
  } else {
    const std::size_t colon = authority.rfind(':');
    parsed.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      port_text = authority.substr(colon + 1);
      if (port_text.empty()) Refuse(url, "the port is empty");
    }
  }
  if (parsed.host.empty()) Refuse(url, "the host is empty");
  for (char c : parsed.host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':';
    if (!ok) Refuse(url, "the host holds a character hosts do not have");
  }
  parsed.port = 6379;
  if (!port_text.empty()) {
    const std::optional<int> port = ParseBoundedInt(port_text, 1, 65535);
    if (!port) Refuse(url, "the port must be a number from 1 to 65535");
    parsed.port = *port;
  }
  return parsed;
}

}  // namespace

StoreTime StoreNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

StoreUrl ParseStoreUrl(std::string_view url) {
  if (url.find('\0') != std::string_view::npos)
    Refuse("", "the URL holds a NUL byte");
  constexpr std::string_view kSqlite = "sqlite:";
  constexpr std::string_view kRedis = "redis://";
  if (url.substr(0, kRedis.size()) == kRedis)
    return ParseRedisUrl(url, url.substr(kRedis.size()));
  if (url.substr(0, kSqlite.size()) == kSqlite) {
    StoreUrl parsed;
    parsed.path = std::string(url.substr(kSqlite.size()));
    if (parsed.path.empty()) Refuse(url, "the path is empty");
    if (parsed.path.substr(0, 2) == "//")
      Refuse(url, "write sqlite:PATH, as in sqlite:/var/lib/corvane/c.db");
    if (parsed.path.back() == '/') Refuse(url, "the path names a directory");
    return parsed;
  }
  Refuse(url, "unknown kind of store; " + std::string(kUrlForms));
}

std::unique_ptr<ConversationStore> OpenStore(std::string_view url,
                                             const StoreOptions& options) {
  const StoreUrl parsed = ParseStoreUrl(url);
  if (parsed.kind == StoreUrl::Kind::kRedis)
    return std::make_unique<RedisStore>(std::string(url), parsed, options);
  return std::make_unique<SqliteStore>(std::string(url), parsed.path, options);
}

bool IsConversationId(std::string_view id) {
  if (id.size() != kConversationIdDigits) return false;
  for (char c : id)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string NewConversationId() {
  return RandomHex(kConversationIdDigits / 2);
}

std::string RandomHex(std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::getrandom(bytes.data() + got, count - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw StoreUnavailableError("no random numbers for a conversation id");
    }
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * count);
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 15]);
  }
  return hex;
}

std::chrono::milliseconds ClampLeaseTime(std::chrono::milliseconds lease_time) {
  if (lease_time < kMinLeaseTime) return kMinLeaseTime;
  if (lease_time > kMaxLeaseTime) return kMaxLeaseTime;
  return lease_time;
}

StoreTime CreationTime(const NewConversation& conversation) {
  CheckSnapshotLimit(conversation.snapshot);
  return conversation.time != 0 ? conversation.time : StoreNow();
}

Lease FirstLease(const NewConversation& conversation) {
  Lease lease;
  lease.fence = 1;
  lease.holder = RandomHex(8);
  lease.knowledge_version = conversation.knowledge_version;
  return lease;
}

StoreHealth TimedHealth(const std::function<std::string()>& check) {
  StoreHealth health;
  const auto start = std::chrono::steady_clock::now();
  try {
    health.problem = check();
  } catch (const std::exception& e) {
    health.problem = e.what();
  }
  health.latency = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  health.ok = health.problem.empty();
  return health;
}

void CheckSnapshotLimit(const std::string& snapshot) {
  if (snapshot.size() > kMaxSnapshotBytes)
    throw LimitError("conversation snapshot of " +
                     std::to_string(snapshot.size()) + " bytes is over " +
                     std::to_string(kMaxSnapshotBytes));
}

void CheckCommitLimits(const TurnCommit& commit) {
  if (commit.snapshot) CheckSnapshotLimit(*commit.snapshot);
  const TurnRecord& r = commit.record;
  for (const std::string* text : {&r.input, &r.reply, &r.knowledge_version})
    if (text->size() > kMaxRecordTextBytes)
      throw LimitError("turn record text of " + std::to_string(text->size()) +
                       " bytes is over " + std::to_string(kMaxRecordTextBytes));
}

int64_t RetentionMillis(const StoreOptions& options) {
  if (options.retain_days < 0 || options.retain_days > 36500)
    throw StoreConfigError("retention of " +
                           std::to_string(options.retain_days) +
                           " days: give 0 (keep) to 36500 days");
  return int64_t{options.retain_days} * 24 * 3600 * 1000;
}

void CheckTimeout(const StoreOptions& options) {
  if (options.timeout < std::chrono::milliseconds(1) ||
      options.timeout > std::chrono::minutes(10))
    throw StoreConfigError("store timeout of " +
                           std::to_string(options.timeout.count()) +
                           " ms: give 1 ms to 10 minutes");
}

CommitOutcome FailedOutcome(std::exception_ptr error) {
  CommitOutcome outcome;
  outcome.status = CommitStatus::kFailed;
  outcome.error = std::move(error);
  return outcome;
}

CommitOutcome ClosingOutcome(const std::string& url) {
  return FailedOutcome(std::make_exception_ptr(
      StoreUnavailableError("store " + url + ": the store is closing")));
}

void ConversationStore::CommitLater(Lease& lease, LaterCommit commit,
                                    CommitDone done) {
  CommitOutcome outcome;
  try {
    if (commit.if_untouched) {
      if (!CommitIfUntouched(lease, commit.commit, commit.after,
                             commit.lease_time))
        outcome.status = CommitStatus::kStale;
    } else {
      Commit(lease, commit.commit, commit.after);
    }
  } catch (...) {
    outcome.status = CommitStatus::kFailed;
    outcome.error = std::current_exception();
  }
  done(outcome);
}

}  // namespace corvane
