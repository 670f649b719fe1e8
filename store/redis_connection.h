// One connection to a Redis server through hiredis, with the store's
// errors: a broken or timed-out connection throws StoreUnavailableError
// (RedisConnectionBroken when the server closed it), an error reply is
// returned to the caller, which knows what it means. Not thread-safe: one
// thread at a time.
#ifndef CORVANE_STORE_REDIS_CONNECTION_H_
#define CORVANE_STORE_REDIS_CONNECTION_H_

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/conversation_store.h"

struct redisContext;
struct redisReply;

namespace corvane {

// The server closed a connection that had served before: it restarted, or
// dropped idle clients. A command that met this may be sent again on a new
// connection; every command of the store is written so that this is safe.
class RedisConnectionBroken : public StoreUnavailableError {
 public:
  explicit RedisConnectionBroken(const std::string& message)
      : StoreUnavailableError(message) {}
};

struct RedisContextFree {
  void operator()(redisContext* context) const;
};

struct RedisReplyFree {
  void operator()(redisReply* reply) const;
};
using RedisReply = std::unique_ptr<redisReply, RedisReplyFree>;

using RedisCommand = std::vector<std::string_view>;

class RedisConnection {
 public:
  // Connects within `timeout` and selects `url.database`. Throws
  // StoreUnavailableError when the server cannot be reached,
  // StoreConfigError when it refuses the database.
  RedisConnection(const StoreUrl& url, std::chrono::milliseconds timeout,
                  const std::string& where);
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;

  // Sends `command` and waits for its reply (which may be an error reply).
  RedisReply Run(const RedisCommand& command);
  // Sends every command at once, then reads their replies in order.
  std::vector<RedisReply> RunAll(const std::vector<RedisCommand>& commands);

  // True once an operation has failed on the connection; it must not be
  // used again.
  bool broken() const { return broken_; }
  // True once a command has been answered on the connection.
  bool served() const { return served_; }

 private:
  [[noreturn]] void Fail(const char* doing);

  std::unique_ptr<redisContext, RedisContextFree> context_;
  const std::string& where_;  // The store's URL, for messages.
  bool broken_ = false;
  bool served_ = false;
  // SIGPIPE was ignored by the process when the connection was made (as
  // the host does), so writes need not block it.
  bool pipe_ignored_ = false;
};

// The text of an error reply, or empty when `reply` is no error.
std::string RedisErrorText(const redisReply* reply);

// Throws the store error that an unexpected error reply means: WRONGTYPE
// is StoreDataError (keys of another program under the prefix), the rest
// StoreUnavailableError (loading, read-only replica, out of memory, ...).
[[noreturn]] void ThrowRedisError(const redisReply* reply,
                                  const std::string& where, const char* doing);

}  // namespace corvane

#endif  // CORVANE_STORE_REDIS_CONNECTION_H_
