// corvane-httpd --sessions --store end to end, on SQLite and on a Redis
// server the test starts: a conversation continues exactly after the host
// is killed, also under load against an uninterrupted run of the same
// inputs; ids the store does not know are never taken on; a long Cookie
// header is read whole; parallel requests of one conversation run one at
// a time without holding up other visitors; a store that is down answers
// 503 and the conversation continues once it is back; cookie-less churn
// leaves a visitor's conversation and the open descriptors alone; unsafe
// store paths stop the start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/conversation_store.h"
#include "tests/host/host_test_helpers.h"
#include "tests/store/redis_server.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

// Deterministic and stateful: a fact counted up, a name remembered, the
// input history, the greeting once.
const char kKb[] =
    "For-Mode\r\n"
    "  Fragment Initialize,0,0, {}, {}, {}\r\n"
    "  Response {},Assignment,{n},{0}\r\n"
    "For-Mode\r\n"
    "  Fragment Initialize,0,0, {}, {}, {}\r\n"
    "  Response {Welcome.},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment EXTRACT,80,0, {my name is ^Extr{UserName}}, {}, {}\r\n"
    "  Response {Hello ^Fact{UserName}.},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment CUSTOM,10,30000, {who}, {}, {}\r\n"
    "  Response {You are ^Fact{UserName}.},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment CUSTOM,10,30000, {count}, {}, {}\r\n"
    "  Response {n=^Add{^Fact{n}|1}},Assignment,{n},{^Add{^Fact{n}|1}}\r\n"
    "For-Mode\r\n"
    "  Fragment CUSTOM,10,30000, {before}, {}, {}\r\n"
    "  Response {Before: ^Input{1}},Just Text,{},{}\r\n";

struct Reply {
  int status = 0;  // 0: no answer.
  std::string reply;
  std::string error;
  std::string cookie;  // The id a Set-Cookie gave; empty when none.
  std::string raw;
};

// The string member `name` of a flat JSON object without escapes.
std::string Member(const std::string& body, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  std::size_t at = body.find(key);
  if (at == std::string::npos) {
    const std::string spaced = "\"" + name + "\": \"";
    at = body.find(spaced);
    if (at == std::string::npos) return std::string();
    at += spaced.size();
  } else {
    at += key.size();
  }
  return body.substr(at, body.find('"', at) - at);
}

Reply Parse(const std::string& raw) {
  Reply r;
  r.raw = raw;
  const std::string status = StatusLine(raw);
  if (status.size() >= 12) r.status = std::atoi(status.c_str() + 9);
  const std::string body = Body(raw);
  r.reply = Member(body, "reply");
  r.error = Member(body, "error");
  const std::string key = "Set-Cookie: corvane_session=";
  const std::size_t at = raw.find(key);
  if (at != std::string::npos && at < raw.find("\r\n\r\n"))
    r.cookie = raw.substr(at + key.size(), 32);
  return r;
}

std::string CookieHeader(const std::string& id) {
  return id.empty() ? std::string() : "Cookie: corvane_session=" + id + "\r\n";
}

// A host that is not there answers nothing (status 0).
Reply Api(int port, const std::string& input, const std::string& id,
          const std::string& extra = "") {
  try {
    return Parse(
        Fetch(port, "POST", "/api/reply", "{\"input\": \"" + input + "\"}",
              "Content-Type: application/json\r\n" + CookieHeader(id) + extra));
  } catch (const std::exception&) {
    return Reply();
  }
}

Reply Page(int port, const std::string& t1, const std::string& id) {
  return Parse(Fetch(port, "POST", "/", "T1=" + t1, CookieHeader(id)));
}

// The store kinds the suite runs on.
enum class Kind { kSqlite, kRedis };

class StoreE2eTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    root_.Write("CorvWebDemo.clf", kKb);
    root_.Write("web_corvane_example.htm", "<p><#CorvResp></p>");
    if (GetParam() == Kind::kRedis) {
      redis_ = std::make_unique<RedisServer>("everysec");
      // A missing redis-server fails: the suite never passes without it.
      ASSERT_TRUE(redis_->ok()) << redis_->problem();
      url_ = redis_->url();
    } else {
      url_ = "sqlite:" + data_.path() + "/db/conversations.db";
    }
  }

  std::vector<std::string> Args(std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--sessions", "--store", url_, "--threads",
                                     "2"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  std::unique_ptr<HttpdProcess> Start(std::vector<std::string> more = {}) {
    return std::make_unique<HttpdProcess>(root_.path(), "", Args(more));
  }

  // The store as the host writes it, read beside it: opened once, and
  // used by every thread of the test (it is thread-safe).
  ConversationStore& Store() {
    if (!store_) {
      StoreOptions options;
      options.create = false;
      store_ = OpenStore(url_, options);
    }
    return *store_;
  }

  TempDir root_;
  TempDir data_;
  std::unique_ptr<RedisServer> redis_;
  std::string url_;
  std::unique_ptr<ConversationStore> store_;
};

TEST_P(StoreE2eTest, ConversationContinuesExactlyAfterTheHostIsKilled) {
  std::string anna;
  {
    auto httpd = Start();
    const Reply first = Page(httpd->port(), "my+name+is+Anna", "");
    ASSERT_EQ(first.status, 200) << first.raw;
    anna = first.cookie;
    ASSERT_EQ(anna.size(), 32u);
    EXPECT_NE(first.raw.find("; Path=/; Max-Age=2592000; HttpOnly; "
                             "SameSite=Lax\r\n"),
              std::string::npos)
        << first.raw;
    EXPECT_EQ(Body(first.raw), "<p>Welcome.  Hello Anna.</p>");
    EXPECT_EQ(Api(httpd->port(), "count", anna).reply, "n=1");
    EXPECT_EQ(Api(httpd->port(), "count", anna).reply, "n=2");
    // Killed: nothing is saved at a stop, everything was committed.
    httpd->Stop(SIGKILL, 20000);
  }
  auto httpd = Start();
  const Reply back = Api(httpd->port(), "count", anna);
  EXPECT_EQ(back.reply, "n=3");  // No second welcome, the count goes on.
  EXPECT_EQ(back.cookie, "");    // The cookie stays.
  EXPECT_EQ(Api(httpd->port(), "before", anna).reply, "Before: count");
  EXPECT_EQ(Api(httpd->port(), "who", anna).reply, "You are Anna.");

  // Every turn is in the store, in order, with what was sent.
  const auto transcript = Store().Transcript(anna, 1, 100);
  ASSERT_TRUE(transcript);
  std::vector<std::string> inputs, replies;
  for (const TurnEntry& e : *transcript) {
    inputs.push_back(e.record.input);
    replies.push_back(e.record.reply);
  }
  EXPECT_EQ(inputs,
            (std::vector<std::string>{"my name is Anna", "count", "count",
                                      "count", "before", "who"}));
  EXPECT_EQ(replies.front(), "Welcome.  Hello Anna.");
  EXPECT_EQ(replies.back(), "You are Anna.");
  if (GetParam() == Kind::kSqlite) {
    struct stat st {};
    ASSERT_EQ(::stat((data_.path() + "/db/conversations.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST_P(StoreE2eTest, IdsTheStoreDoesNotKnowAreNeverTakenOn) {
  auto httpd = Start();
  const std::string planted = "0123456789abcdef0123456789abcdef";
  const Reply page = Page(httpd->port(), "my+name+is+Victoria", planted);
  ASSERT_EQ(page.status, 200);
  EXPECT_NE(page.cookie, planted);
  ASSERT_EQ(page.cookie.size(), 32u);
  EXPECT_EQ(Body(page.raw), "<p>Welcome.  Hello Victoria.</p>");
  // The planter, with the id they chose, meets a conversation of their
  // own, and the API's session member never names the victim's.
  const Reply api = Api(httpd->port(), "who", planted);
  EXPECT_EQ(api.reply, "Welcome.  You are #.");
  EXPECT_NE(Member(Body(api.raw), "session"), page.cookie);
  EXPECT_NE(Member(Body(api.raw), "session"), planted);
  const Reply by_member =
      Parse(Fetch(httpd->port(), "POST", "/api/reply",
                  "{\"input\": \"who\", \"session\": \"" + planted + "\"}",
                  "Content-Type: application/json\r\n"));
  EXPECT_EQ(by_member.reply, "Welcome.  You are #.");
  EXPECT_FALSE(Store().Load(planted));
  // A page without form content gives no id: the store makes ids with
  // conversations only.
  const Reply get = Parse(Fetch(httpd->port(), "GET", "/"));
  EXPECT_EQ(get.status, 200);
  EXPECT_EQ(get.cookie, "");
}

TEST_P(StoreE2eTest, LongCookieHeaderIsReadWhole) {
  auto httpd = Start({"--cookie-secure", "--retain", "2"});
  const Reply first = Api(httpd->port(), "my name is Zoe", "");
  ASSERT_EQ(first.cookie.size(), 32u);
  EXPECT_NE(first.raw.find("; Path=/; Max-Age=172800; HttpOnly; "
                           "SameSite=Lax; Secure\r\n"),
            std::string::npos)
      << first.raw;
  // 20 KB of other cookies before ours.
  std::string header = "Cookie: ";
  for (int i = 0; i < 400; ++i)
    header += "tracker" + std::to_string(i) + "=" + std::string(40, 'x') + "; ";
  header += "corvane_session=" + first.cookie + "\r\n";
  ASSERT_GT(header.size(), 16000u);
  const Reply r =
      Parse(Fetch(httpd->port(), "POST", "/api/reply", "{\"input\": \"who\"}",
                  "Content-Type: application/json\r\n" + header));
  EXPECT_EQ(r.reply, "You are Zoe.") << r.raw.substr(0, 300);
  EXPECT_EQ(r.cookie, "");
}

// --store-lease is the host's lease time, and so bounds how long it waits
// for another holder's lease: 0.3 s waits about 0.8 s at most, so a lease
// 1.5 s long is not waited for (the 3 s default would wait for it).
TEST_P(StoreE2eTest, StoreLeaseBoundsTheWaitForAnotherHolder) {
  auto httpd = Start({"--store-lease", "0.3"});
  const Reply first = Api(httpd->port(), "my name is Zoe", "");
  ASSERT_EQ(first.cookie.size(), 32u);
  const LeaseResult held =
      Store().TryAcquire(first.cookie, std::chrono::milliseconds(1500));
  ASSERT_EQ(held.status, LeaseStatus::kAcquired);
  const Reply busy = Api(httpd->port(), "who", first.cookie);
  EXPECT_EQ(busy.status, 503);
  EXPECT_NE(busy.error.find("is being answered"), std::string::npos)
      << busy.raw;
  Store().Release(held.lease);
  EXPECT_EQ(Api(httpd->port(), "who", first.cookie).reply, "You are Zoe.");
}

TEST_P(StoreE2eTest, ParallelRequestsOfOneConversationTakeTurns) {
  auto httpd = Start({"--threads", "2"});
  const std::string id = Api(httpd->port(), "count", "").cookie;
  ASSERT_EQ(id.size(), 32u);
  const std::string other = Api(httpd->port(), "count", "").cookie;
  std::atomic<int> ok{0};
  std::vector<std::string> replies(40);
  std::vector<std::thread> threads;
  for (int i = 0; i < 40; ++i)
    threads.emplace_back([&, i] {
      const Reply r = Api(httpd->port(), "count", id);
      if (r.status == 200) {
        ++ok;
        replies[i] = r.reply;
      } else {
        EXPECT_EQ(r.status, 503) << r.raw;
      }
    });
  // Another visitor is served meanwhile, not after the crowd.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Api(httpd->port(), "count", other).reply, "n=2");
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(2));
  for (std::thread& t : threads) t.join();
  EXPECT_GE(ok.load(), 1);
  // One turn at a time: every answered turn has its own count, and the
  // next one follows the last.
  std::vector<std::string> seen;
  for (const std::string& r : replies)
    if (!r.empty()) seen.push_back(r);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(Api(httpd->port(), "count", id).reply,
            "n=" + std::to_string(ok.load() + 2));
}

TEST_P(StoreE2eTest, ChurnLeavesAVisitorAndTheDescriptorsAlone) {
  // 2,000 conversations, 1,000 in memory at most: the visitor's falls out
  // of memory and comes back from the store, and a descriptor held per
  // conversation would show as hundreds more.
  auto httpd = Start({"--max-sessions", "1000"});
  const std::string id = Api(httpd->port(), "my name is Rita", "").cookie;
  ASSERT_EQ(id.size(), 32u);
  const auto descriptors = [&] {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(
             "/proc/" + std::to_string(httpd->pid()) + "/fd")) {
      (void)e;
      ++n;
    }
    return n;
  };
  // The first round warms what the host keeps whatever the number of
  // conversations (its store connections, loop threads); the rest may not
  // add to it.
  std::size_t before = 0;
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 100; ++i)
      ASSERT_EQ(Page(httpd->port(), "hello", "").status, 200);
    EXPECT_EQ(Api(httpd->port(), "who", id).reply, "You are Rita.");
    if (round == 0) before = descriptors();
  }
  // Connections that just closed linger a moment; then the count is back.
  std::size_t after = descriptors();
  for (int i = 0; i < 100 && after > before + 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    after = descriptors();
  }
  EXPECT_LE(after, before + 4);
}

TEST_P(StoreE2eTest, KilledUnderLoadEveryAnsweredTurnIsKept) {
  constexpr int kVisitors = 8;
  constexpr int kTurns = 50;
  const auto input_of = [](int v, int t) -> std::string {
    if (t % 7 == 0)
      return "my name is V" + std::to_string(v) + "x" + std::to_string(t);
    if (t % 5 == 0) return "who";
    if (t % 3 == 0) return "before";
    return "count";
  };
  // Runs every visitor's turns, each answered turn once; with `killer`, the
  // host is killed and started again at random moments. Returns each
  // visitor's replies and sets their conversations' ids.
  const auto run = [&](bool kill, std::vector<std::string>* ids) {
    std::unique_ptr<HttpdProcess> httpd = Start();
    ConversationStore* store = &Store();  // Before the threads share it.
    std::atomic<int> port{httpd->port()};
    std::atomic<int> done_turns{0};
    std::vector<std::vector<std::string>> replies(kVisitors);
    ids->assign(kVisitors, std::string());
    std::vector<std::thread> visitors;
    for (int v = 0; v < kVisitors; ++v)
      visitors.emplace_back([&, v] {
        std::string& id = (*ids)[v];
        for (int t = 0; t < kTurns; ++t) {
          const std::string input = input_of(v, t);
          for (int attempt = 0;; ++attempt) {
            ASSERT_LT(attempt, 2000) << "visitor " << v << " turn " << t;
            const Reply r = Api(port.load(), input, id);
            if (r.status == 200) {
              if (id.empty()) id = r.cookie;
              replies[v].push_back(r.reply);
              break;
            }
            // No answer: the turn may have been committed all the same;
            // then the store has its reply.
            if (!id.empty()) {
              const auto kept = store->Transcript(id, t + 1, 1);
              if (kept && !kept->empty()) {
                replies[v].push_back(kept->front().record.reply);
                break;
              }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
          ++done_turns;
        }
      });
    if (kill) {
      std::mt19937 random(std::random_device{}());
      for (int round = 0; round < 3; ++round) {
        const int at = (round + 1) * kVisitors * kTurns / 4 +
                       static_cast<int>(random() % 40);
        while (done_turns.load() < at) std::this_thread::yield();
        httpd->Stop(SIGKILL, 20000);
        httpd.reset();
        httpd = Start();
        port = httpd->port();
      }
    }
    for (std::thread& t : visitors) t.join();
    return replies;
  };
  std::vector<std::string> reference_ids, ids;
  const auto reference = run(false, &reference_ids);
  const auto killed = run(true, &ids);
  ConversationStore& store = Store();
  for (int v = 0; v < kVisitors; ++v) {
    EXPECT_EQ(killed[v], reference[v]) << "visitor " << v;
    // Every reply the visitor got is the store's, turn by turn.
    const auto transcript = store.Transcript(ids[v], 1, kTurns + 1);
    ASSERT_TRUE(transcript) << ids[v];
    std::vector<std::string> stored;
    for (const TurnEntry& e : *transcript) stored.push_back(e.record.reply);
    EXPECT_EQ(stored, killed[v]) << "visitor " << v;
  }
}

TEST_P(StoreE2eTest, AVersionWithProblemsNeverGoesLive) {
  auto httpd = Start();
  const std::string old = Api(httpd->port(), "count", "").cookie;
  ASSERT_EQ(old.size(), 32u);
  std::string changed = kKb;
  changed.replace(changed.find("{Welcome.}"), 10, "{Good day.}");
  // A stray step is a problem of the reader: that version stays out.
  root_.Write("CorvWebDemo.clf", changed + "Step {Stray},{}\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Api(httpd->port(), "count", "").reply, "Welcome.  n=1");
  root_.Write("CorvWebDemo.clf", changed);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Api(httpd->port(), "count", "").reply, "Good day.  n=1");
  // The running conversation keeps the knowledge it started with.
  EXPECT_EQ(Api(httpd->port(), "count", old).reply, "n=2");
  const std::string log = httpd->Log();
  EXPECT_NE(log.find("The language file has problems; new conversations "
                     "keep the version read before"),
            std::string::npos)
      << log;
  // A host that never had the old version cannot continue it exactly:
  // the visitor starts anew, and the operator is told.
  httpd->Stop(SIGKILL, 20000);
  httpd.reset();  // Its log file goes with it; the next one makes its own.
  httpd = Start();
  const Reply anew = Api(httpd->port(), "count", old);
  EXPECT_EQ(anew.reply, "Good day.  n=1");
  EXPECT_EQ(anew.cookie.size(), 32u);
  EXPECT_NE(anew.cookie, old);
  const std::string later = httpd->Log();
  EXPECT_NE(later.find("Conversation " + old + " cannot continue"),
            std::string::npos)
      << later;
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreE2eTest,
                         ::testing::Values(Kind::kSqlite, Kind::kRedis),
                         [](const ::testing::TestParamInfo<Kind>& p) {
                           return p.param == Kind::kSqlite ? "Sqlite" : "Redis";
                         });

class StoreE2eRedisTest : public StoreE2eTest {};

TEST_P(StoreE2eRedisTest, StoreDownAnswers503ThenTheConversationGoesOn) {
  auto httpd = Start();
  const std::string id = Api(httpd->port(), "my name is Ida", "").cookie;
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(Api(httpd->port(), "count", id).reply, "n=1");
  redis_->Kill();
  const Reply down = Api(httpd->port(), "count", id);
  EXPECT_EQ(down.status, 503) << down.raw;
  EXPECT_NE(down.error.find("The conversations cannot be reached"),
            std::string::npos)
      << down.raw;
  const Reply page = Page(httpd->port(), "count", id);
  EXPECT_EQ(page.status, 503);
  EXPECT_NE(page.raw.find("EServiceUnavailable"), std::string::npos);
  ASSERT_TRUE(redis_->Start()) << redis_->problem();
  // The turns that failed left nothing: the count goes on from 1.
  Reply back;
  for (int i = 0; i < 100 && back.status != 200; ++i) {
    back = Api(httpd->port(), "count", id);
    if (back.status != 200)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(back.reply, "n=2") << back.raw;
  EXPECT_EQ(Api(httpd->port(), "who", id).reply, "You are Ida.");
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreE2eRedisTest,
                         ::testing::Values(Kind::kRedis),
                         [](const ::testing::TestParamInfo<Kind>&) {
                           return "Redis";
                         });

TEST(StoreE2eStartTest, UnsafeStorePathsStopTheStart) {
  TempDir root;
  root.Write("CorvWebDemo.clf", kKb);
  root.Write("web_corvane_example.htm", "<p><#CorvResp></p>");
  TempDir data;
  const std::string open_dir = data.path() + "/open";
  std::filesystem::create_directory(open_dir);
  ::chmod(open_dir.c_str(), 0777);
  const auto run = [&](const std::string& url) {
    return RunHttpd(
        {"--port", "0", "--root", root.path(), "--sessions", "--store", url},
        20000);
  };
  const Finished open = run("sqlite:" + open_dir + "/c.db");
  EXPECT_EQ(open.status, 2) << open.log;
  EXPECT_NE(open.log.find("corvane-httpd: the conversation store sqlite:"),
            std::string::npos)
      << open.log;
  EXPECT_FALSE(std::filesystem::exists(open_dir + "/c.db"));

  const std::string target = data.path() + "/target";
  data.Write("target", "");
  std::filesystem::create_symlink(target, data.path() + "/link.db");
  const Finished link = run("sqlite:" + data.path() + "/link.db");
  EXPECT_EQ(link.status, 2) << link.log;
  EXPECT_EQ(std::filesystem::file_size(target), 0u);

  const Finished bad = run("mysql://x");
  EXPECT_EQ(bad.status, 1) << bad.log;
  EXPECT_NE(bad.log.find("bad store mysql://x"), std::string::npos) << bad.log;
  const Finished alone = RunHttpd({"--store", "sqlite:x.db"}, 20000);
  EXPECT_EQ(alone.status, 2);
  EXPECT_EQ(alone.log,
            "corvane-httpd: --store and --cookie-secure need --sessions\n");
}

}  // namespace
}  // namespace corvane
