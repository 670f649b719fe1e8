// Session mode in-process: every visitor their own brain, the cookie, the
// limits, saving and resuming, hot reload, the JSON API, and visitor text
// that is never code, in both modes. The pool's serialisation runs under
// ThreadSanitizer as well (its name holds "pool").
#include "web/session_pool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "engine/conversation.h"
#include "tests/web/web_test_helpers.h"
#include "web/web_app.h"
#include "web/web_request.h"

namespace corvane {
namespace {

// Greets at Start; learns a name; "who" reads it back, "echo" echoes,
// "before" and "last" recall the previous input and reply, "bookings" lists
// a collection that holds another guest's booking, and "hello" greets with
// the name.
const std::string kKb = ClfLines({
    "For-Mode",
    "  Fragment Initialize,0,0, {}, {}, {}",
    "  Response {Welcome.},Just Text,{},{}",
    "For-Mode",
    "  Fragment EXTRACT,80,0, {my name is ^Extr{UserName}}, {}, {}",
    "  Response {Hello ^Fact{UserName}.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {who}, {}, {}",
    "  Response {You are ^Fact{UserName}.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {hello}, {}, {}",
    "  Response {Hi ^Fact{UserName}.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {echo}, {}, {}",
    "  Response {Echo: ^Input{0}},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {before}, {}, {}",
    "  Response {Before: ^Input{1}},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {last}, {}, {}",
    "  Response {Last: ^LastOut{1}},Just Text,{},{}",
    "Start-Collection {Bookings}",
    "Zed: Friday",
    "End-Collection",
});

const char kCaretUtf8[] = "\xCB\x86";  // What a visitor's "^" shows as.

class SessionModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("CorvWebDemo.clf", kKb);
    dir_.Write("web_corvane_example.htm", "<p>[<#CorvResp>]</p>");
    Make(app_);
  }

  // Registers the module class, session mode with `settings` (name,
  // value pairs) and the test's clock.
  void Make(WebApplication& app,
            std::initializer_list<std::pair<const char*, std::string>>
                settings = {}) {
    app.RegisterModuleClass(TWebModule1Factory());
    ASSERT_TRUE(app.Configure("sessions", "1"));
    for (const auto& [name, value] : settings)
      ASSERT_TRUE(app.Configure(name, value)) << name;
    app.SessionClock = [this] { return clock_.load(); };
  }

  FakeRequest Post(const std::string& body, const std::string& cookie = "") {
    FakeRequest r;
    r.method = "POST";
    r.path = "/";
    r.body = body;
    r.variables["APPL_PHYSICAL_PATH"] = dir_.path() + "/";
    if (!cookie.empty())
      r.variables["HTTP_COOKIE"] = "corvane_session=" + cookie;
    return r;
  }

  FakeRequest Api(const std::string& json, const std::string& cookie = "") {
    FakeRequest r = Post(json, cookie);
    r.path = "/api/reply";
    r.content_type = "application/json";
    return r;
  }

  // Posts T1 and returns the page; *cookie becomes the session given, when
  // one is given.
  std::string Say(WebApplication& app, const std::string& t1,
                  std::string* cookie) {
    FakeRequest r = Post("T1=" + t1, *cookie);
    EXPECT_EQ(r.Run(&app), HSE_STATUS_SUCCESS) << r.status;
    EXPECT_EQ(r.status, "200 OK");
    const std::string key = "Set-Cookie: corvane_session=";
    const std::size_t at = r.headers.find(key);
    if (at != std::string::npos)
      *cookie = r.headers.substr(at + key.size(), 32);
    return r.written;
  }

  TempDir dir_;
  std::atomic<int64_t> clock_{1000000};
  WebApplication app_;
};

TEST_F(SessionModeTest, EachVisitorHasAConversationAndACookie) {
  FakeRequest first = Post("T1=my+name+is+Anna");
  EXPECT_EQ(first.Run(&app_), HSE_STATUS_SUCCESS);
  const std::string prefix = "Set-Cookie: corvane_session=";
  ASSERT_EQ(first.headers.rfind(prefix, 0), 0u) << first.headers;
  const std::string anna = first.headers.substr(prefix.size(), 32);
  EXPECT_TRUE(IsSessionId(anna));
  EXPECT_EQ(first.headers, prefix + anna +
                               "; Path=/; HttpOnly; SameSite=Lax\r\n"
                               "Content-Type: text/html; charset=utf-8\r\n"
                               "Content-Length: 30\r\nContent:\r\n\r\n");
  EXPECT_EQ(first.written, "<p>[Welcome.  Hello Anna.]</p>");

  // A second visitor is greeted alone and knows no name.
  std::string bob;
  EXPECT_EQ(Say(app_, "who", &bob), "<p>[Welcome.  You are #.]</p>");
  ASSERT_NE(bob, anna);
  std::string again = anna;
  EXPECT_EQ(Say(app_, "who", &again), "<p>[You are Anna.]</p>");
  EXPECT_EQ(again, anna);  // No new cookie for a known session.
  EXPECT_EQ(Say(app_, "before", &bob), "<p>[Before: who]</p>");
  EXPECT_EQ(app_.sessions()->live_count(), 2u);

  // Malformed cookies start new sessions under new ids.
  for (std::string cookie :
       {std::string("../CorvWebDemo"), anna + "0", std::string("ABC")}) {
    const std::string sent = cookie;
    EXPECT_EQ(Say(app_, "who", &cookie), "<p>[Welcome.  You are #.]</p>");
    EXPECT_NE(cookie, sent);
    EXPECT_TRUE(IsSessionId(cookie));
  }
  // A well-formed id this host does not know starts a new session under
  // that id (another host behind the balancer may have issued it).
  std::string unknown = "0123456789abcdef0123456789abcdef";
  FakeRequest r = Post("T1=who", unknown);
  r.Run(&app_);
  EXPECT_EQ(r.written, "<p>[Welcome.  You are #.]</p>");
  EXPECT_EQ(r.headers.rfind("Set-Cookie: corvane_session=" + unknown + ";", 0),
            0u);
  EXPECT_EQ(Say(app_, "before", &unknown), "<p>[Before: who]</p>");
}

TEST_F(SessionModeTest, PagesWithoutFormContentNeedNoSession) {
  FakeRequest get = Post("");
  get.method = "GET";
  EXPECT_EQ(get.Run(&app_), HSE_STATUS_SUCCESS);
  EXPECT_EQ(get.written, "<p>[]</p>");
  // The visitor gets an id at once, but no brain until the first line.
  const std::string prefix = "Set-Cookie: corvane_session=";
  ASSERT_EQ(get.headers.rfind(prefix, 0), 0u) << get.headers;
  std::string id = get.headers.substr(prefix.size(), 32);
  EXPECT_EQ(get.headers.substr(prefix.size() + 32),
            "; Path=/; HttpOnly; SameSite=Lax\r\n"
            "Content-Type: text/html; charset=utf-8\r\nContent-Length: 9\r\n"
            "Content:\r\n\r\n");
  EXPECT_EQ(app_.sessions()->live_count(), 0u);
  FakeRequest again = Post("", id);
  again.method = "GET";
  again.Run(&app_);
  EXPECT_EQ(again.headers.find("Set-Cookie"), std::string::npos);
  EXPECT_EQ(app_.sessions()->live_count(), 0u);
  std::string same = id;
  EXPECT_EQ(Say(app_, "who", &same), "<p>[Welcome.  You are #.]</p>");
  EXPECT_EQ(same, id);
  EXPECT_EQ(app_.sessions()->live_count(), 1u);

  // The template is code-page text and goes out in UTF-8; so does the
  // reply, and UTF-8 from the form arrives in the code page.
  dir_.Write("web_corvane_example.htm", "caf\xE9 [<#CorvResp>]");
  std::string cookie;
  EXPECT_EQ(Say(app_, "echo+caf%C3%A9+%C5%81+%F0%9F%98%80", &cookie),
            "caf\xC3\xA9 [Welcome.  Echo: echo caf\xC3\xA9 ? ?]");
}

TEST_F(SessionModeTest, TheAuthorsFileIsNeverWritten) {
  std::string cookie;
  Say(app_, "my+name+is+Anna", &cookie);
  app_.DestroyModules();
  EXPECT_EQ(dir_.Read("CorvWebDemo.clf"), kKb);
  // Later requests start new sessions.
  std::string after = cookie;
  EXPECT_EQ(Say(app_, "who", &after), "<p>[Welcome.  You are #.]</p>");
  EXPECT_EQ(after, cookie);  // a fresh session under the same id
  app_.DestroyModules();
  EXPECT_EQ(dir_.Read("CorvWebDemo.clf"), kKb);
}

TEST_F(SessionModeTest, LeastRecentlyUsedSessionEndsBeyondTheLimit) {
  WebApplication app;
  Make(app, {{"max-sessions", "2"}});
  std::string a, b, c;
  Say(app, "my+name+is+A", &a);
  Say(app, "my+name+is+B", &b);
  Say(app, "who", &a);  // b is now the least recently used
  Say(app, "my+name+is+C", &c);
  EXPECT_EQ(app.sessions()->live_count(), 2u);
  EXPECT_EQ(Say(app, "who", &a), "<p>[You are A.]</p>");
  std::string old_b = b;
  EXPECT_EQ(Say(app, "who", &b), "<p>[Welcome.  You are #.]</p>");
  EXPECT_EQ(b, old_b);  // afresh, under the same id
  // b's return ended c, the least recently used then.
  EXPECT_EQ(Say(app, "who", &c).find("You are C"), std::string::npos);
}

TEST_F(SessionModeTest, IdleSessionsEnd) {
  WebApplication app;
  Make(app, {{"session-idle", "1"}});  // one minute
  std::string a, b;
  Say(app, "my+name+is+A", &a);
  clock_ += 59999;
  Say(app, "my+name+is+B", &b);
  EXPECT_EQ(Say(app, "who", &a), "<p>[You are A.]</p>");  // just in time
  clock_ += 60000;
  const std::string old_a = a;
  EXPECT_EQ(Say(app, "who", &a), "<p>[Welcome.  You are #.]</p>");
  EXPECT_EQ(a, old_a);                          // afresh, under the same id
  EXPECT_EQ(app.sessions()->live_count(), 1u);  // b ended as well
}

TEST_F(SessionModeTest, SessionsAreSavedAndResumedFromTheSessionDirectory) {
  TempDir saved;
  std::string a, b;
  {
    WebApplication app;
    Make(app, {{"session-dir", saved.path()}});
    Say(app, "my+name+is+Anna", &a);
    Say(app, "my+name+is+Bob", &b);
    app.DestroyModules();
  }
  EXPECT_EQ(dir_.Read("CorvWebDemo.clf"), kKb);
  ASSERT_TRUE(std::filesystem::exists(saved / (a + ".clf")));
  ASSERT_TRUE(std::filesystem::exists(saved / (b + ".clf")));
  EXPECT_NE(saved.Read(a + ".clf").find("Fact {USERNAME} = {Anna}"),
            std::string::npos)
      << saved.Read(a + ".clf");

  // A file older than the idle time is removed when the pool starts.
  const std::string old_file = (saved / (b + ".clf")).string();
  struct utimbuf old_times {};
  old_times.actime = old_times.modtime = time(nullptr) - 31 * 60;
  ASSERT_EQ(utime(old_file.c_str(), &old_times), 0);
  saved.Write("not-a-session.clf", "x");

  WebApplication app;
  Make(app, {{"session-dir", saved.path()}});
  // Anna comes back: her brain is resumed (and started again).
  std::string back = a;
  EXPECT_EQ(Say(app, "who", &back), "<p>[Welcome.  You are Anna.]</p>");
  EXPECT_EQ(back, a);
  std::string late = b;
  EXPECT_EQ(Say(app, "who", &late), "<p>[Welcome.  You are #.]</p>");
  EXPECT_EQ(late, b);  // afresh, under the same id
  EXPECT_FALSE(std::filesystem::exists(old_file));
  EXPECT_TRUE(std::filesystem::exists(saved / "not-a-session.clf"));

  // Anna's session expires: her file goes with it.
  clock_ += 31 * 60 * 1000;
  std::string other;
  Say(app, "hello", &other);
  EXPECT_FALSE(std::filesystem::exists(saved / (a + ".clf")));
  app.DestroyModules();
  EXPECT_TRUE(std::filesystem::exists(saved / (other + ".clf")));
  EXPECT_EQ(dir_.Read("CorvWebDemo.clf"), kKb);
}

TEST_F(SessionModeTest, SavedSessionsThatNobodyResumesExpire) {
  TempDir saved;
  std::string a;
  {
    WebApplication app;
    Make(app, {{"session-dir", saved.path()}});
    Say(app, "my+name+is+A", &a);
    app.DestroyModules();
  }
  ASSERT_TRUE(std::filesystem::exists(saved / (a + ".clf")));
  WebApplication app;
  Make(app, {{"session-dir", saved.path()}});
  std::string other;
  Say(app, "hello", &other);
  clock_ += 30 * 60 * 1000 - 5000;  // the file's time may be a second old
  Say(app, "hello", &other);
  EXPECT_TRUE(std::filesystem::exists(saved / (a + ".clf")));
  clock_ += 6000;
  Say(app, "hello", &other);
  EXPECT_FALSE(std::filesystem::exists(saved / (a + ".clf")));
  app.DestroyModules();
}

TEST_F(SessionModeTest, ShutdownEndsIdleSessionsUnsavedAndDatesFilesByLastUse) {
  TempDir saved;
  WebApplication app;
  Make(app, {{"session-dir", saved.path()}});  // idle time 30 minutes
  std::string a, b;
  Say(app, "my+name+is+A", &a);
  clock_ += 20 * 60 * 1000;
  Say(app, "my+name+is+B", &b);
  clock_ += 15 * 60 * 1000;  // a idle for 35 minutes, b for 15
  // What the host's TerminateExtension calls: true, everything was saved.
  EXPECT_TRUE(app.SaveIdleModules());
  EXPECT_FALSE(std::filesystem::exists(saved / (a + ".clf")));
  ASSERT_TRUE(std::filesystem::exists(saved / (b + ".clf")));
  struct stat st {};
  ASSERT_EQ(stat((saved / (b + ".clf")).c_str(), &st), 0);
  const int64_t age = static_cast<int64_t>(time(nullptr)) - st.st_mtime;
  EXPECT_GE(age, 15 * 60 - 5);
  EXPECT_LE(age, 15 * 60 + 5);
}

TEST_F(SessionModeTest, ChangedLanguageFileReachesNewSessionsOnly) {
  std::string a;
  EXPECT_EQ(Say(app_, "who", &a), "<p>[Welcome.  You are #.]</p>");
  std::string changed = kKb;
  changed.replace(changed.find("{Welcome.}"), 10, "{Good day.}");
  changed += ClfLines({"Step {Nonsense line},{}"});
  dir_.Write("CorvWebDemo.clf", changed);
  clock_ += 1000;

  testing::internal::CaptureStderr();
  std::string b;
  EXPECT_EQ(Say(app_, "who", &b), "<p>[Good day.  You are #.]</p>");
  std::string c;
  EXPECT_EQ(Say(app_, "who", &c), "<p>[Good day.  You are #.]</p>");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("The language file changed"), std::string::npos) << log;
  // The problem is reported once, not once per new session.
  const std::size_t first = log.find("Nonsense line");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("Nonsense line", first + 1), std::string::npos) << log;

  // The running session keeps the knowledge it started with.
  EXPECT_EQ(Say(app_, "echo+x", &a), "<p>[Echo: echo x]</p>");
  app_.DestroyModules();
  EXPECT_EQ(dir_.Read("CorvWebDemo.clf"), changed);
}

TEST_F(SessionModeTest, JsonApiKeysSessionsByCookieOrMember) {
  FakeRequest first = Api(R"({"input": "my name is Zo\u00eb"})");
  EXPECT_EQ(first.Run(&app_), HSE_STATUS_SUCCESS);
  EXPECT_EQ(first.status, "200 OK");
  const std::string prefix = "Set-Cookie: corvane_session=";
  ASSERT_EQ(first.headers.rfind(prefix, 0), 0u);
  const std::string id = first.headers.substr(prefix.size(), 32);
  EXPECT_NE(
      first.headers.find("Content-Type: application/json; charset=utf-8\r\n"),
      std::string::npos);
  EXPECT_EQ(first.written,
            "{\"reply\":\"Welcome.  Hello Zo\xC3\xAB.\","
            "\"session\":\"" +
                id + "\"}");

  FakeRequest by_member = Api(R"({"input": "who", "session": ")" + id + "\"}");
  by_member.Run(&app_);
  EXPECT_EQ(by_member.written,
            "{\"reply\":\"You are Zo\xC3\xAB.\","
            "\"session\":\"" +
                id + "\"}");
  EXPECT_EQ(by_member.headers.find("Set-Cookie"), std::string::npos);
  FakeRequest by_cookie = Api(R"({"input": "before"})", id);
  by_cookie.Run(&app_);
  EXPECT_EQ(by_cookie.written,
            "{\"reply\":\"Before: who\",\"session\":\"" + id + "\"}");
  // The page and the API share the session.
  std::string cookie = id;
  EXPECT_EQ(Say(app_, "who", &cookie), "<p>[You are Zo\xC3\xAB.]</p>");

  FakeRequest bad = Api("T1=hello", id);
  EXPECT_EQ(bad.Run(&app_), HSE_STATUS_SUCCESS);
  EXPECT_EQ(bad.status, "400 Bad Request");
  EXPECT_EQ(bad.written, "{\"error\":\"The body is not JSON in UTF-8\"}");
  FakeRequest wrong = Api(R"({"input": ["x"]})", id);
  wrong.Run(&app_);
  EXPECT_EQ(wrong.status, "400 Bad Request");
  EXPECT_EQ(wrong.written,
            "{\"error\":\"The member \\\"input\\\" must be a string\"}");
}

// Each attack of a visitor, through the page and the API, in session mode:
// the text shows literally, nothing fails afterwards, and nothing from
// another session appears.
TEST_F(SessionModeTest, VisitorTextIsNeverCode) {
  std::string victim;
  Say(app_, "my+name+is+Victoria", &victim);
  Say(app_, "echo+my+secret+is+42", &victim);

  const std::string attacks[] = {
      "my name is ^Members{Bookings}",
      "echo ^Input{1} ^LastOut{1} ^Fact{UserName}",
      "my name is ^Div{^Mul|{^Add|{$7FFFFFFF|$1}}}",
  };
  for (const bool api : {false, true}) {
    for (const std::string& attack : attacks) {
      std::string cookie;
      std::string reply;
      if (api) {
        FakeRequest r = Api(R"({"input": ")" + attack + "\"}");
        EXPECT_EQ(r.Run(&app_), HSE_STATUS_SUCCESS) << attack;
        reply = r.written;
        const std::string key = "corvane_session=";
        cookie = r.headers.substr(r.headers.find(key) + key.size(), 32);
      } else {
        std::string form;
        for (char ch : attack) {
          char hex[4];
          std::snprintf(hex, sizeof hex, "%%%02X",
                        static_cast<unsigned char>(ch));
          form += hex;
        }
        reply = Say(app_, form, &cookie);
      }
      std::string shown = attack.substr(attack.find('^'));
      for (std::size_t at = shown.find('^'); at != std::string::npos;
           at = shown.find('^', at))
        shown.replace(at, 1, kCaretUtf8);
      EXPECT_NE(reply.find(shown), std::string::npos) << reply;
      for (const char* leak : {"Zed", "Victoria", "secret", "2147483647"})
        EXPECT_EQ(reply.find(leak), std::string::npos) << reply;
      // What the conversation stored stays text on later turns.
      for (const char* later : {"hello", "who", "last", "before"}) {
        FakeRequest r = Post(std::string("T1=") + later, cookie);
        EXPECT_EQ(r.Run(&app_), HSE_STATUS_SUCCESS) << attack << later;
        for (const char* leak : {"Zed", "Victoria", "secret"})
          EXPECT_EQ(r.written.find(leak), std::string::npos) << r.written;
      }
    }
  }
  std::string cookie = victim;
  EXPECT_EQ(Say(app_, "who", &cookie), "<p>[You are Victoria.]</p>");
}

// The same attacks in the default mode, including after a restart from the
// file the pool saved.
TEST(DefaultModeVisitorTextTest, StoredMacrosStayTextAcrossARestart) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  dir.Write("web_corvane_example.htm", "[<#CorvResp>]");
  auto post = [&](WebApplication& app, const std::string& path,
                  const std::string& body) {
    FakeRequest r;
    r.method = "POST";
    r.path = path;
    r.body = body;
    if (path == "/api/reply") r.content_type = "application/json";
    r.variables["APPL_PHYSICAL_PATH"] = dir.path() + "/";
    EXPECT_EQ(r.Run(&app), HSE_STATUS_SUCCESS) << body << r.status;
    return r;
  };
  {
    WebApplication app;
    app.RegisterModuleClass(TWebModule1Factory());
    EXPECT_EQ(post(app, "/", "T1=my+name+is+%5EMembers%7BBookings%7D").written,
              "[Welcome.  Hello \x88Members{Bookings}.]");
    EXPECT_EQ(post(app, "/", "T1=echo+^Input{1}+^LastOut{1}").written,
              "[Echo: echo \x88Input{1} \x88LastOut{1}]");
    FakeRequest api =
        post(app, "/api/reply",
             R"({"input": "my name is ^Div{^Mul|{^Add|{$7FFFFFFF|$1}}}"})");
    EXPECT_EQ(api.written,
              "{\"reply\":\"Hello \xCB\x86"
              "Div{\xCB\x86Mul|{\xCB\x86"
              "Add|{$7FFFFFFF|$1}}}.\",\"session\":\"\"}");
    EXPECT_NE(api.headers.find("Content-Type: application/json; charset=utf-8"),
              std::string::npos);
    EXPECT_EQ(post(app, "/", "T1=hello").written,
              "[Hi \x88"
              "Div{\x88Mul|{\x88"
              "Add|{$7FFFFFFF|$1}}}.]");
    app.DestroyModules();
  }
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  EXPECT_EQ(post(app, "/", "T1=hello").written,
            "[Welcome.  Hi \x88"
            "Div{\x88Mul|{\x88"
            "Add|{$7FFFFFFF|$1}}}.]");
  FakeRequest bad;
  bad.method = "POST";
  bad.path = "/api/reply";
  bad.content_type = "application/json; charset=utf-8";
  bad.body = "{";
  bad.variables["APPL_PHYSICAL_PATH"] = dir.path() + "/";
  bad.Run(&app);
  EXPECT_EQ(bad.status, "400 Bad Request");
  app.DestroyModules();
}

// What a request of the web root `dir` asks of the pool for session `id`.
ModuleRequest At(const TempDir& dir, const std::string& id = "") {
  return ModuleRequest{dir.path() + "/", id};
}

TEST(SessionPoolTest, ASessionServesOneRequestAtATimeAndSessionsRunTogether) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  SessionSettings settings;
  settings.max_turns = 3;
  SessionPool pool(settings);

  auto a = std::make_unique<ModuleLease>(pool.Take(At(dir)));
  const std::string id = a->id();
  // Another session is served while the first is held.
  ModuleLease b = pool.Take(At(dir));
  EXPECT_NE(b.id(), id);
  EXPECT_EQ(b.module().Converse("who"), "Welcome.  You are #.");

  std::atomic<bool> got{false};
  std::string reply;
  std::thread second([&] {
    ModuleLease again = pool.Take(At(dir, id));
    got = true;
    reply = again.module().Converse("before");
  });
  // The second request of the session waits for the first.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(got.load());
  EXPECT_EQ(pool.turns_in_progress(), 3u);
  try {
    pool.Take(At(dir));
    FAIL() << "a fourth turn was let in";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(),
                 "Maximum number of concurrent connections exceeded.  "
                 "Please try again later");
  }
  EXPECT_EQ(a->module().Converse("echo one"), "Welcome.  Echo: echo one");
  a.reset();
  second.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(reply, "Before: echo one");
  EXPECT_EQ(pool.turns_in_progress(), 1u);
}

// A request that can wait without its thread parks while its session is
// in another request's turn, and every parked one is resumed once when
// the turn is free; it then finds the turn's effects.
TEST(SessionPoolTest, ParkedRequestsAreResumedWhenTheTurnIsFree) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  SessionPool pool(SessionSettings{});
  std::atomic<int> resumed{0};
  ModuleRequest parking = At(dir);
  parking.resume = [&resumed] { ++resumed; };
  std::string id;
  {
    ModuleLease a = pool.Take(parking);
    id = a.id();
    parking.session = id;
    for (int i = 0; i < 3; ++i) EXPECT_THROW(pool.Take(parking), TurnPending);
    EXPECT_EQ(pool.turns_in_progress(), 1u);
    EXPECT_EQ(a.module().Converse("echo one"), "Welcome.  Echo: echo one");
    EXPECT_EQ(resumed.load(), 0);
  }
  EXPECT_EQ(resumed.load(), 3);
  ModuleLease again = pool.Take(parking);
  EXPECT_EQ(again.id(), id);
  EXPECT_EQ(again.module().Converse("before"), "Before: echo one");
}

TEST(SessionPoolTest, NewSessionsShareOneReadingOfTheLanguageFile) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  SessionSettings settings;
  settings.reload_check_ms = 1000;
  int64_t clock = 0;
  SessionPool pool(settings, [&] { return clock; });

  ModuleLease a = pool.Take(At(dir));
  ASSERT_NE(a.module().conversation(), nullptr);
  const auto knowledge = a.module().conversation()->knowledge();
  EXPECT_EQ(a.module().Converse("my name is Ann"), "Welcome.  Hello Ann.");
  a.GiveBack();
  // The file is gone, but within the check interval a new session starts
  // on the knowledge already read: nothing is loaded again.
  std::filesystem::remove(dir.path() + "/CorvWebDemo.clf");
  ModuleLease b = pool.Take(At(dir));
  ASSERT_NE(b.module().conversation(), nullptr);
  EXPECT_EQ(b.module().conversation()->knowledge(), knowledge);
  EXPECT_FALSE(b.module().conversation()->promoted());
  // Each conversation keeps its own facts.
  EXPECT_EQ(b.module().Converse("who"), "Welcome.  You are #.");
  b.GiveBack();
  // Once the change is noticed, new sessions read the file as it is now.
  clock += 1000;
  testing::internal::CaptureStderr();
  ModuleLease c = pool.Take(At(dir));
  testing::internal::GetCapturedStderr();
  ASSERT_NE(c.module().conversation(), nullptr);
  EXPECT_NE(c.module().conversation()->knowledge(), knowledge);
  EXPECT_EQ(c.module().Converse("who").find("Welcome"), std::string::npos);
  ModuleLease again = pool.Take(At(dir, a.id()));
  EXPECT_EQ(again.module().Converse("who"), "You are Ann.");
}

TEST(SessionPoolTest, ShutdownSavesSessionsNotInATurnAndSaysWhenOneWasNot) {
  TempDir dir, saved;
  dir.Write("CorvWebDemo.clf", kKb);
  SessionSettings settings;
  settings.dir = saved.path();
  SessionPool pool(settings);
  std::string idle_id;
  {
    ModuleLease a = pool.Take(At(dir));
    a.module().Converse("my name is A");
    idle_id = a.id();
  }
  ModuleLease busy = pool.Take(At(dir));
  EXPECT_FALSE(pool.Shutdown());
  EXPECT_TRUE(std::filesystem::exists(saved / (idle_id + ".clf")));
  EXPECT_FALSE(std::filesystem::exists(saved / (busy.id() + ".clf")));
  EXPECT_EQ(pool.live_count(), 0u);
  EXPECT_EQ(busy.module().Converse("who"), "Welcome.  You are #.");
}

TEST(SessionPoolTest, ManyThreadsOverFewSessionsKeepEachConversationInOrder) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kKb);
  SessionPool pool(SessionSettings{});
  std::vector<std::string> ids;
  for (int s = 0; s < 4; ++s) {
    ModuleLease lease = pool.Take(At(dir));
    lease.module().Converse("echo 0");
    ids.push_back(lease.id());
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const std::string& id = ids[static_cast<std::size_t>(t % 4)];
      for (int i = 0; i < 25; ++i) {
        ModuleLease lease = pool.Take(At(dir, id));
        if (lease.id() != id) ++failures;
        // Within the turn lock, the previous input is this session's.
        const std::string before = lease.module().Converse("before");
        if (before != "Before: echo x" && before != "Before: echo 0")
          ++failures;
        lease.module().Converse("echo x");
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(pool.live_count(), 4u);
  EXPECT_EQ(pool.turns_in_progress(), 0u);
}

TEST_F(SessionModeTest, AGreetingRequestTakesWhatTheStartPatternsSaid) {
  // A new visitor's page asks for the greeting first: the start
  // patterns' text, without a turn, and a session cookie with it.
  FakeRequest greet = Api(R"({"greeting": true})");
  EXPECT_EQ(greet.Run(&app_), HSE_STATUS_SUCCESS);
  const std::string key = "Set-Cookie: corvane_session=";
  const std::size_t at = greet.headers.find(key);
  ASSERT_NE(at, std::string::npos) << greet.headers;
  const std::string id = greet.headers.substr(at + key.size(), 32);
  EXPECT_EQ(greet.written,
            "{\"reply\":\"Welcome.\",\"session\":\"" + id + "\"}");
  // The first reply no longer repeats it, and a second greeting request
  // has nothing left to say.
  FakeRequest who = Api(R"({"input": "who"})", id);
  who.Run(&app_);
  EXPECT_EQ(who.written,
            "{\"reply\":\"You are #.\",\"session\":\"" + id + "\"}");
  FakeRequest again = Api(R"({"greeting": true})", id);
  again.Run(&app_);
  EXPECT_EQ(again.written,
            "{\"reply\":\"\",\"session\":\"" + id + "\"}");
}

}  // namespace
}  // namespace corvane
