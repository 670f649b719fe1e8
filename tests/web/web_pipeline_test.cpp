// The one road of every request: module sources (the shared pool and the
// session pool) behind one interface, replies computed before the page,
// the template kept only while its file is unchanged, files that are not
// regular refused, the start-up check, the JSON API's errors, the log data
// and the metrics.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "tests/web/web_test_helpers.h"
#include "web/json_api.h"
#include "web/module_pool.h"
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
});

// The mode's fallback when the brain knows nothing.
const char kNothing[] =
    "Sorry, I can&#39;t answer you because I don&#39;t know anything at all "
    "yet...";

FakeRequest Post(const TempDir& dir, const std::string& body,
                 const std::string& path = "/") {
  FakeRequest r;
  r.method = "POST";
  r.path = path;
  r.body = body;
  r.variables["APPL_PHYSICAL_PATH"] = dir.path() + "/";
  return r;
}

FakeRequest Api(const TempDir& dir, const std::string& json,
                const std::string& type = "application/json") {
  FakeRequest r = Post(dir, json, "/api/reply");
  r.content_type = type;
  return r;
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("CorvWebDemo.clf", kKb);
    dir_.Write("web_corvane_example.htm", "[<#CorvResp>]");
    app_.RegisterModuleClass(TWebModule1Factory());
  }
  void TearDown() override { app_.DestroyModules(); }

  std::string Page(const std::string& body) {
    FakeRequest r = Post(dir_, body);
    r.Run(&app_);
    return r.written;
  }

  TempDir dir_;
  WebApplication app_;
};

// Every response tag is one turn, in the order of the tags; other tags go.
TEST_F(PipelineTest, EachResponseTagIsOneTurnInOrder) {
  dir_.Write("web_corvane_example.htm", "<#CorvResp>|<#x>|<#corvresp a=1>");
  EXPECT_EQ(Page("T1=echo+a"), "Welcome.  Echo: echo a||Echo: echo a");
  // No response tag: the module is taken (the shared pool takes one for
  // every request) but the brain is not asked, so nothing is pending.
  dir_.Write("web_corvane_example.htm", "none");
  EXPECT_EQ(Page("T1=echo+b"), "none");
  dir_.Write("web_corvane_example.htm", "[<#CorvResp>]");
  EXPECT_EQ(Page("T1=echo+c"), "[Echo: echo c]");
}

// Sets the file's modification time `seconds_ago` seconds back.
void Age(const std::string& path, int seconds_ago) {
  struct timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds_ago;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The template is read again when the file changes, even to one of the
// same size; a link or a FIFO put in its place is never followed.
TEST_F(PipelineTest, TheTemplateFollowsItsFile) {
  const std::string path = dir_.File("web_corvane_example.htm");
  // Old files are kept; a change of the modification time alone shows.
  Age(path, 60);
  EXPECT_EQ(Page("T1=echo+a"), "[Welcome.  Echo: echo a]");
  EXPECT_EQ(Page("T1=echo+a"), "[Echo: echo a]");
  dir_.Write("web_corvane_example.htm", "(<#CorvResp>)");
  Age(path, 30);
  EXPECT_EQ(Page("T1=echo+b"), "(Echo: echo b)");
  // Edited now, in the same size: read anew while the edit is recent.
  dir_.Write("web_corvane_example.htm", "{<#CorvResp>}");
  EXPECT_EQ(Page("T1=echo+c"), "{Echo: echo c}");
  dir_.Write("web_corvane_example.htm", "<<#CorvResp>>");
  EXPECT_EQ(Page("T1=echo+c"), "<Echo: echo c>");
  // A new file under the same name (a new inode), aged like the old one.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  dir_.Write("web_corvane_example.htm", "!<#CorvResp>!");
  Age(path, 30);
  EXPECT_EQ(Page("T1=echo+d"), "!Echo: echo d!");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  FakeRequest fifo = Post(dir_, "T1=echo+e");
  EXPECT_EQ(fifo.Run(&app_), HSE_STATUS_ERROR);
  EXPECT_EQ(fifo.status, "500 Cannot open file \"web_corvane_example.htm\"");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  dir_.Write("web_corvane_example.htm", "<#CorvResp>");
  EXPECT_EQ(Page("T1=echo+f"), "Echo: echo f");
}

// A language file that is a FIFO is not waited for: the module starts with
// no knowledge at once, as for a file that cannot be opened.
TEST_F(PipelineTest, AFifoLanguageFileIsNotWaitedFor) {
  const std::string path = dir_.File("CorvWebDemo.clf");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  auto answer = std::async(std::launch::async, [&] { return Page("T1=echo"); });
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  EXPECT_EQ(answer.get(), std::string("[") + kNothing + "]");
  ASSERT_EQ(::unlink(path.c_str()), 0);
}

// The start-up check names the file and the reason.
TEST(WebCheckTest, NamesTheFileAndTheReason) {
  TempDir dir;
  WebApplication app;
  ASSERT_TRUE(app.Configure("root", dir.path()));
  std::string why;
  EXPECT_FALSE(app.Check(&why));
  EXPECT_EQ(why, "the language file " + dir.File("CorvWebDemo.clf") +
                     ": No such file or directory");
  dir.Write("CorvWebDemo.clf", kKb);
  EXPECT_FALSE(app.Check(&why));
  EXPECT_EQ(why, "the page template " + dir.File("web_corvane_example.htm") +
                     ": No such file or directory");
  ASSERT_EQ(::mkdir(dir.File("web_corvane_example.htm").c_str(), 0700), 0);
  EXPECT_FALSE(app.Check(&why));
  EXPECT_EQ(why, "the page template " + dir.File("web_corvane_example.htm") +
                     ": not a regular file");
  ASSERT_EQ(::rmdir(dir.File("web_corvane_example.htm").c_str()), 0);
  dir.Write("web_corvane_example.htm", "<#CorvResp>");
  EXPECT_TRUE(app.Check(&why)) << why;

  // Files named by the operator are checked where they are.
  TempDir other;
  WebApplication named;
  ASSERT_TRUE(named.Configure("root", dir.path()));
  ASSERT_TRUE(named.Configure("language-file", other.File("mybot.clf")));
  EXPECT_FALSE(named.Check(&why));
  EXPECT_EQ(why, "the language file " + other.File("mybot.clf") +
                     ": No such file or directory");
  EXPECT_FALSE(named.Configure("template", "relative.htm"));
}

// --language-file and --template: the fixed names are found where the
// operator says, and the brain is saved back to that file.
TEST(WebFilesTest, NamedFilesAreServedAndSaved) {
  TempDir root, files;
  files.Write("mybot.clf", kKb);
  files.Write("page.htm", "<b><#CorvResp></b>");
  {
    WebApplication app;
    app.RegisterModuleClass(TWebModule1Factory());
    ASSERT_TRUE(app.Configure("language-file", files.File("mybot.clf")));
    ASSERT_TRUE(app.Configure("template", files.File("page.htm")));
    FakeRequest r = Post(root, "T1=echo+x");
    EXPECT_EQ(r.Run(&app), HSE_STATUS_SUCCESS);
    EXPECT_EQ(r.written, "<b>Welcome.  Echo: echo x</b>");
    app.DestroyModules();
  }
  EXPECT_NE(files.Read("mybot.clf").find("For-Mode"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(root / "CorvWebDemo.clf"));
  // A message names the operator's template without its directory.
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  ASSERT_TRUE(app.Configure("template", files.File("missing.htm")));
  FakeRequest r = Post(root, "T1=echo+x");
  EXPECT_EQ(r.Run(&app), HSE_STATUS_ERROR);
  EXPECT_EQ(r.status, "500 Cannot open file \"missing.htm\"");
  app.DestroyModules();
}

// Errors of the JSON API answer JSON, with the status that says why.
TEST_F(PipelineTest, JsonApiErrorsAnswerJson) {
  struct Case {
    const char* type;
    const char* body;
    const char* status;
  };
  const Case cases[] = {
      {"application/json", R"({"input": "echo a"})", "200 OK"},
      {"Application/JSON; charset=utf-8", R"({"input": "echo a"})", "200 OK"},
      {"application/vnd.corvane+json", R"({"input": "echo a"})", "200 OK"},
      {"application/x-www-form-urlencoded", R"({"input": "echo a"})",
       "415 Unsupported Media Type"},
      {"", R"({"input": "echo a"})", "415 Unsupported Media Type"},
      {"text/json-ish", R"({"input": "echo a"})", "415 Unsupported Media Type"},
      {"application/json", "{", "400 Bad Request"},
  };
  for (const Case& c : cases) {
    FakeRequest r = Api(dir_, c.body, c.type);
    r.Run(&app_);
    EXPECT_EQ(r.status, c.status) << c.type << " " << c.body;
    EXPECT_NE(r.headers.find("Content-Type: application/json; charset=utf-8"),
              std::string::npos)
        << c.type;
    EXPECT_TRUE(nlohmann::json::accept(r.written)) << r.written;
  }
}

// When every module allowed is in use, the page gets the error page (500)
// and the API 503 with JSON; a held module is given back and serves again.
TEST(WebBusyTest, ThePageGets500AndTheApi503) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  dir.Write("web_corvane_example.htm", "<#CorvResp>");
  WebApplication app;
  app.MaxConnections = 1;
  app.RegisterModuleClass(TWebModule1Factory());
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false, release = false;
  FakeRequest slow = Post(dir, "T1=echo+slow");
  slow.delivered = 0;
  slow.on_read = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    inside = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  };
  std::thread holder([&] { slow.Run(&app); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return inside; }));
  }
  FakeRequest page = Post(dir, "T1=echo+x");
  EXPECT_EQ(page.Run(&app), HSE_STATUS_ERROR);
  EXPECT_EQ(page.status,
            "500 Maximum number of concurrent connections exceeded.  Please "
            "try again later");
  FakeRequest api = Api(dir, R"({"input": "echo x"})");
  EXPECT_EQ(api.Run(&app), HSE_STATUS_ERROR);
  EXPECT_EQ(api.status, "503 Service Unavailable");
  EXPECT_EQ(api.written,
            "{\"error\":\"Maximum number of concurrent connections exceeded.  "
            "Please try again later\"}");
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  holder.join();
  EXPECT_EQ(slow.written, "Welcome.  Echo: echo slow");
  const std::string metrics = app.MetricsText();
  EXPECT_NE(metrics.find("\ncorvane_busy_total 2\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("\ncorvane_unavailable_total 1\n"), std::string::npos);
  app.DestroyModules();
}

// A module being created holds up nobody else: a request that finds a
// module in the cache is served meanwhile.
TEST(ModulePoolTest, CreatingAModuleHoldsNoLock) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  std::mutex mutex;
  std::condition_variable changed;
  int made = 0;
  bool creating = false, go_on = false;
  ModulePool pool(
      [&](const ModuleRequest& request) {
        std::unique_lock<std::mutex> lock(mutex);
        if (++made == 2) {
          // The second creation waits until the test lets it go on.
          creating = true;
          changed.notify_all();
          changed.wait(lock, [&] { return go_on; });
        }
        lock.unlock();
        return std::make_unique<TWebModule1>(request.web_root);
      },
      32);
  const ModuleRequest request{dir.path() + "/", ""};
  ModuleLease first = pool.Take(request);
  std::thread second([&] {
    ModuleLease lease = pool.Take(request);
    EXPECT_EQ(lease.module().Converse("echo 2"), "Welcome.  Echo: echo 2");
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return creating; }));
  }
  EXPECT_EQ(first.module().Converse("echo 1"), "Welcome.  Echo: echo 1");
  // The module is given back and taken again while the second one is still
  // being made.
  auto third = std::async(std::launch::async, [&] {
    first.GiveBack();
    ModuleLease lease = pool.Take(request);
    return lease.module().Converse("echo 3");
  });
  const bool served_meanwhile =
      third.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  EXPECT_TRUE(served_meanwhile);
  if (served_meanwhile) {
    EXPECT_EQ(pool.in_use(), 1u);  // The one being made.
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    go_on = true;
  }
  changed.notify_all();
  second.join();
  EXPECT_EQ(third.get(), "Echo: echo 3");
  EXPECT_EQ(pool.in_use(), 0u);
  EXPECT_EQ(pool.cached(), 2u);
  EXPECT_EQ(made, 2);
}

// The conversation reaches the server's log through lpszLogData.
TEST(WebLogDataTest, NamesTheSessionInSessionMode) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  dir.Write("web_corvane_example.htm", "<#CorvResp>");
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  ASSERT_TRUE(app.Configure("sessions", "1"));
  FakeRequest page = Post(dir, "T1=echo+x");
  page.Run(&app);
  ASSERT_EQ(page.log_data.size(), 32u);
  EXPECT_NE(page.headers.find("corvane_session=" + page.log_data),
            std::string::npos);
  FakeRequest api =
      Api(dir, R"({"input": "echo y", "session": ")" + page.log_data + "\"}");
  api.Run(&app);
  EXPECT_EQ(api.log_data, page.log_data);
  EXPECT_EQ(api.written, "{\"reply\":\"Echo: echo y\",\"session\":\"" +
                             page.log_data + "\"}");
  const std::string metrics = app.MetricsText();
  EXPECT_NE(metrics.find("\ncorvane_turns_total 2\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("\ncorvane_sessions_live 1\n"), std::string::npos);
  EXPECT_NE(metrics.find("\ncorvane_turn_seconds_count 2\n"),
            std::string::npos);
  app.DestroyModules();
}

// The reply body written by hand equals the JSON library's on every kind
// of text: quotes, backslashes, controls, and UTF-8 of every length.
TEST(ApiReplyBodyTest, MatchesTheJsonLibrary) {
  std::mt19937 random(24);
  const std::string pieces[] = {"a",
                                "\"",
                                "\\",
                                "\n",
                                "\x01",
                                "\x1f",
                                " ",
                                "\x7f",
                                "\xC3\xA9",
                                "\xE2\x82\xAC",
                                "\xF0\x9F\x98\x80",
                                "/"};
  for (int round = 0; round < 2000; ++round) {
    std::string reply;
    const int n = static_cast<int>(random() % 12);
    for (int i = 0; i < n; ++i) reply += pieces[random() % std::size(pieces)];
    nlohmann::json doc = nlohmann::json::object();
    doc["reply"] = reply;
    doc["session"] = "ab";
    EXPECT_EQ(ApiReplyBody(reply, "ab"), doc.dump()) << reply;
  }
  // Text that is not UTF-8 is replaced as the library replaces it.
  EXPECT_EQ(ApiReplyBody("a\xC3", ""),
            "{\"reply\":\"a\xEF\xBF\xBD\","
            "\"session\":\"\"}");
}

}  // namespace
}  // namespace corvane
