// The module pool under concurrent requests: the limit of 32 modules in use,
// the first-in, first-out cache and the order of saving at unload. Built
// and run under ThreadSanitizer as well (see docs/web.md).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/web/web_test_helpers.h"
#include "web/web_app.h"

namespace corvane {
namespace {

const std::string kKb = ClfLines({
    "For-Mode",
    "  Fragment Initialize,0,0, {}, {}, {}",
    "  Response {Welcome.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {echo}, {}, {}",
    "  Response {Echo: ^Input{0}},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {prev}, {}, {}",
    "  Response {Previous: ^Input{1}},Just Text,{},{}",
    "For-Mode",
    "  Fragment Do-After,0,0, {}, {}, {}",
    "  Response {},Assignment,{said},{^Input{0}}",
});
// The Do-After response says an empty text, which still adds a separator.
const char kTail[] = "  ";

// Holds requests inside ReadClient until released: a slow client keeps its
// module in use for as long as the test wants.
class Gate {
 public:
  // Called from ReadClient; blocks the first call of each request.
  void Enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  // Waits until `n` requests are held, or 30 s pass.
  bool WaitFor(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30),
                             [&] { return waiting_ >= n; });
  }
  int waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  bool open_ = false;
};

FakeRequest Post(const TempDir& dir, const std::string& body) {
  FakeRequest r;
  r.method = "POST";
  r.body = body;
  r.delivered = 0;
  r.piece = 1 << 16;
  r.variables["APPL_PHYSICAL_PATH"] = dir.path();
  return r;
}

TEST(WebPoolTest, ThirtyThirdConcurrentRequestIsRefused) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  dir.Write("web_corvane_example.htm", "<#CorvResp>");
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());

  constexpr int kRequests = 40;
  Gate gate;
  std::vector<FakeRequest> requests;
  for (int i = 0; i < kRequests; ++i) {
    requests.push_back(Post(dir, "T1=echo+" + std::to_string(i)));
  }
  std::vector<uint32_t> results(kRequests, 0);
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kRequests; ++i) {
    threads.emplace_back([&, i] {
      bool held = false;
      requests[i].on_read = [&] {
        if (!held) {
          held = true;
          gate.Enter();
        }
      };
      results[i] = requests[i].Run(&app);
      if (results[i] == HSE_STATUS_ERROR) ++refused;
    });
  }
  ASSERT_TRUE(gate.WaitFor(32));
  // The other eight cannot get a module while 32 are held.
  for (int tries = 0; refused.load() < kRequests - 32 && tries < 3000; ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(refused.load(), kRequests - 32);
  EXPECT_EQ(gate.waiting(), 32);
  EXPECT_EQ(app.active_count(), 32u);
  gate.Open();
  for (std::thread& t : threads) t.join();

  int served = 0;
  for (int i = 0; i < kRequests; ++i) {
    if (results[i] == HSE_STATUS_SUCCESS) {
      ++served;
      EXPECT_EQ(requests[i].written,
                "Welcome.  Echo: echo " + std::to_string(i) + kTail);
    } else {
      EXPECT_EQ(requests[i].status,
                "500 Maximum number of concurrent connections exceeded.  "
                "Please try again later");
      EXPECT_EQ(requests[i].status_code, 500u);
      EXPECT_NE(requests[i].written.find(
                    "Message: Maximum number of concurrent connections "
                    "exceeded.  Please try again later<br>"),
                std::string::npos);
    }
  }
  EXPECT_EQ(served, 32);
  EXPECT_EQ(app.active_count(), 0u);
  EXPECT_EQ(app.cached_count(), 32u);
}

TEST(WebPoolTest, CacheIsFirstInFirstOutAndTheLastSavedWins) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  dir.Write("web_corvane_example.htm", "<#CorvResp>");
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());

  // A holds the first module while B makes a second one.
  Gate gate;
  FakeRequest a = Post(dir, "T1=echo+alpha");
  bool held = false;
  a.on_read = [&] {
    if (!held) {
      held = true;
      gate.Enter();
    }
  };
  std::thread slow([&] { a.Run(&app); });
  ASSERT_TRUE(gate.WaitFor(1));
  FakeRequest b = Post(dir, "T1=echo+beta");
  b.Run(&app);
  gate.Open();
  slow.join();
  EXPECT_EQ(a.written, std::string("Welcome.  Echo: echo alpha") + kTail);
  EXPECT_EQ(b.written, std::string("Welcome.  Echo: echo beta") + kTail);

  // B's module finished first, so it has waited longest and serves next.
  FakeRequest c = Post(dir, "T1=prev+c");
  c.Run(&app);
  EXPECT_EQ(c.written, std::string("Previous: echo beta") + kTail);
  FakeRequest d = Post(dir, "T1=prev+d");
  d.Run(&app);
  EXPECT_EQ(d.written, std::string("Previous: echo alpha") + kTail);

  // Both modules save; the one that served last is saved last.
  app.DestroyModules();
  const std::string saved = dir.Read("CorvWebDemo.clf");
  EXPECT_NE(saved.find("Fact {said} = {prev d}"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("prev c"), std::string::npos);
}

// Saving at a stop while a turn runs: the idle module is saved, the busy
// one is left alone and the answer says not everything was saved; once the
// turn is over, saving again covers it.
TEST(WebPoolTest, SaveIdleModulesLeavesTheModuleInATurnAndSaysSo) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  dir.Write("web_corvane_example.htm", "<#CorvResp>");
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  EXPECT_TRUE(app.SaveIdleModules());  // Nothing to save is all saved.

  Gate gate;
  FakeRequest a = Post(dir, "T1=echo+alpha");
  bool held = false;
  a.on_read = [&] {
    if (!held) {
      held = true;
      gate.Enter();
    }
  };
  std::thread slow([&] { a.Run(&app); });
  ASSERT_TRUE(gate.WaitFor(1));
  FakeRequest b = Post(dir, "T1=echo+beta");
  b.Run(&app);
  EXPECT_FALSE(app.SaveIdleModules());
  EXPECT_EQ(app.cached_count(), 0u);
  EXPECT_EQ(app.active_count(), 1u);
  std::string saved = dir.Read("CorvWebDemo.clf");
  EXPECT_NE(saved.find("Fact {said} = {echo beta}"), std::string::npos)
      << saved;

  gate.Open();
  slow.join();
  EXPECT_TRUE(app.SaveIdleModules());
  saved = dir.Read("CorvWebDemo.clf");
  EXPECT_NE(saved.find("Fact {said} = {echo alpha}"), std::string::npos)
      << saved;
  EXPECT_EQ(app.cached_count() + app.active_count(), 0u);
}

// A language file in a directory that cannot be written is reported as not
// saved, never as saved.
TEST(WebPoolTest, SaveIdleModulesReportsAFileThatCannotBeWritten) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  dir.Write("web_corvane_example.htm", "<#CorvResp>");
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  FakeRequest a = Post(dir, "T1=echo+alpha");
  ASSERT_EQ(a.Run(&app), HSE_STATUS_SUCCESS);
  // A directory where the file should be: neither root nor anyone else can
  // replace it by a file.
  ASSERT_EQ(std::remove(dir.File("CorvWebDemo.clf").c_str()), 0);
  ASSERT_EQ(::mkdir(dir.File("CorvWebDemo.clf").c_str(), 0755), 0);
  EXPECT_FALSE(app.SaveIdleModules());
  EXPECT_EQ(app.cached_count(), 0u);
}

}  // namespace
}  // namespace corvane
