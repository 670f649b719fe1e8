#include "store/redis_connection.h"

#include <hiredis/hiredis.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "store/store_error.h"

namespace corvane {
namespace {

timeval ToTimeval(std::chrono::milliseconds d) {
  timeval tv;
  tv.tv_sec = static_cast<time_t>(d.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((d.count() % 1000) * 1000);
  return tv;
}

// Writing to a socket that the server closed raises SIGPIPE, which would
// end the whole host. The signal is blocked in this thread while hiredis
// writes, and one that was raised meanwhile is taken before unblocking.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlock() {
    if (!was_pending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
};

}  // namespace

void RedisContextFree::operator()(redisContext* context) const {
  redisFree(context);
}

void RedisReplyFree::operator()(redisReply* reply) const {
  freeReplyObject(reply);
}

RedisConnection::RedisConnection(const StoreUrl& url,
                                 std::chrono::milliseconds timeout,
                                 const std::string& where)
    : where_(where) {
  struct sigaction pipe_action {};
  pipe_ignored_ = sigaction(SIGPIPE, nullptr, &pipe_action) == 0 &&
                  pipe_action.sa_handler == SIG_IGN;
  context_.reset(
      redisConnectWithTimeout(url.host.c_str(), url.port, ToTimeval(timeout)));
  if (context_ == nullptr)
    throw StoreUnavailableError("store " + where_ + ": cannot connect");
  if (context_->err != 0) Fail("cannot connect");
  if (redisSetTimeout(context_.get(), ToTimeval(timeout)) != REDIS_OK)
    Fail("cannot set the timeout");
  redisEnableKeepAlive(context_.get());
  if (url.database != 0) {
    const std::string db = std::to_string(url.database);
    RedisReply reply = Run({"SELECT", db});
    if (!RedisErrorText(reply.get()).empty())
      throw StoreConfigError("store " + where_ + ": database " + db + ": " +
                             RedisErrorText(reply.get()));
  }
}

void RedisConnection::Fail(const char* doing) {
  const int error = errno;
  broken_ = true;
  const int err = context_->err;
  const bool timed_out =
      err == REDIS_ERR_IO && (error == EAGAIN || error == EWOULDBLOCK);
  const std::string message =
      "store " + where_ + ": " + doing + ": " +
      (timed_out                     ? std::string("no answer in time")
       : context_->errstr[0] != '\0' ? std::string(context_->errstr)
                                     : std::string("connection failed"));
  const bool closed =
      err == REDIS_ERR_EOF ||
      (err == REDIS_ERR_IO && (error == ECONNRESET || error == EPIPE));
  if (served_ && closed) throw RedisConnectionBroken(message);
  throw StoreUnavailableError(message);
}

RedisReply RedisConnection::Run(const RedisCommand& command) {
  std::vector<RedisCommand> one{command};
  return std::move(RunAll(one).front());
}

std::vector<RedisReply> RedisConnection::RunAll(
    const std::vector<RedisCommand>& commands) {
  if (broken_) Fail("the connection failed before");
  // Blocking and unblocking costs four system calls a command; a process
  // that ignores SIGPIPE needs none of them.
  std::optional<SigpipeBlock> block;
  if (!pipe_ignored_) block.emplace();
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  for (const RedisCommand& command : commands) {
    argv.clear();
    lengths.clear();
    for (std::string_view arg : command) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    if (redisAppendCommandArgv(context_.get(), static_cast<int>(argv.size()),
                               argv.data(), lengths.data()) != REDIS_OK)
      Fail("sending a command");
  }
  std::vector<RedisReply> replies;
  replies.reserve(commands.size());
  for (std::size_t i = 0; i < commands.size(); ++i) {
    void* reply = nullptr;
    if (redisGetReply(context_.get(), &reply) != REDIS_OK || reply == nullptr)
      Fail("reading a reply");
    replies.emplace_back(static_cast<redisReply*>(reply));
  }
  served_ = true;
  return replies;
}

std::string RedisErrorText(const redisReply* reply) {
  if (reply == nullptr || reply->type != REDIS_REPLY_ERROR) return "";
  return std::string(reply->str, reply->len);
}

void ThrowRedisError(const redisReply* reply, const std::string& where,
                     const char* doing) {
  const std::string text = RedisErrorText(reply);
  const std::string message = "store " + where + ": " + doing + ": " +
                              (text.empty() ? "unexpected reply" : text);
  if (text.rfind("WRONGTYPE", 0) == 0 || text.empty())
    throw StoreDataError(message);
  throw StoreUnavailableError(message);
}

}  // namespace corvane
