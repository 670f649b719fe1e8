// corvane-httpd --sessions end to end: separate conversations, idle expiry,
// the limit of live sessions, the author's file untouched by SIGTERM,
// resuming from --session-dir, hot reload of the language file, and the
// attacks of a visitor's text through the page and the API.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/host_test_helpers.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

const char kKb[] =
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
    "  Fragment CUSTOM,10,30000, {before}, {}, {}\r\n"
    "  Response {Before: ^Input{1}},Just Text,{},{}\r\n"
    "Start-Collection {Bookings}\r\n"
    "Zed: Friday\r\n"
    "End-Collection\r\n";

struct Answer {
  std::string status;
  std::string body;
  std::string cookie;  // The session a Set-Cookie gave; empty when none.
  std::string raw;
};

Answer Parse(const std::string& raw) {
  Answer a;
  a.raw = raw;
  a.status = StatusLine(raw);
  a.body = Body(raw);
  const std::string key = "Set-Cookie: corvane_session=";
  const std::size_t at = raw.find(key);
  if (at != std::string::npos && at < raw.find("\r\n\r\n"))
    a.cookie = raw.substr(at + key.size(), 32);
  return a;
}

std::string CookieHeader(const std::string& session) {
  return session.empty() ? std::string()
                         : "Cookie: corvane_session=" + session + "\r\n";
}

// A page post of T1 (URL-encoded by the caller).
Answer Say(int port, const std::string& t1, const std::string& session) {
  return Parse(Fetch(port, "POST", "/", "T1=" + t1, CookieHeader(session)));
}

// The API, keyed by the cookie.
Answer Api(int port, const std::string& json, const std::string& session) {
  return Parse(
      Fetch(port, "POST", "/api/reply", json,
            "Content-Type: application/json\r\n" + CookieHeader(session)));
}

class SessionE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.Write("CorvWebDemo.clf", kKb);
    root_.Write("web_corvane_example.htm", "<p><#CorvResp></p>");
  }
  std::vector<std::string> Args(std::vector<std::string> more) {
    more.insert(more.begin(), "--sessions");
    return more;
  }
  TempDir root_;
  TempDir saved_;
};

TEST_F(SessionE2eTest, ConversationsAreSeparateSavedAndResumed) {
  std::string anna, bob;
  {
    HttpdProcess httpd(root_.path(), "",
                       Args({"--session-dir", saved_.path() + "/sessions"}));
    const Answer a = Say(httpd.port(), "my+name+is+Anna", "");
    EXPECT_EQ(a.status, "HTTP/1.1 200 OK");
    EXPECT_NE(a.raw.find("; Path=/; HttpOnly; SameSite=Lax\r\n"),
              std::string::npos);
    EXPECT_NE(a.raw.find("Content-Type: text/html; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_EQ(a.body, "<p>Welcome.  Hello Anna.</p>");
    anna = a.cookie;
    const Answer b = Say(httpd.port(), "who", "");
    EXPECT_EQ(b.body, "<p>Welcome.  You are #.</p>");
    bob = b.cookie;
    ASSERT_EQ(anna.size(), 32u);
    ASSERT_NE(anna, bob);
    EXPECT_EQ(Say(httpd.port(), "who", anna).body, "<p>You are Anna.</p>");
    EXPECT_EQ(Say(httpd.port(), "before", bob).body, "<p>Before: who</p>");
    EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0) << httpd.Log();
  }
  // The author's file is byte for byte what it was.
  EXPECT_EQ(root_.Read("CorvWebDemo.clf"), kKb);
  EXPECT_TRUE(std::filesystem::exists(saved_ / ("sessions/" + anna + ".clf")));
  EXPECT_TRUE(std::filesystem::exists(saved_ / ("sessions/" + bob + ".clf")));

  HttpdProcess httpd(root_.path(), "",
                     Args({"--session-dir", saved_.path() + "/sessions"}));
  const Answer back = Say(httpd.port(), "who", anna);
  EXPECT_EQ(back.body, "<p>Welcome.  You are Anna.</p>");
  EXPECT_EQ(back.cookie, "");  // Resumed: the cookie stays.
  const Answer api = Api(httpd.port(), R"({"input": "who"})", bob);
  EXPECT_EQ(api.body,
            "{\"reply\":\"Welcome.  You are #.\",\"session\":\"" + bob + "\"}");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  EXPECT_EQ(root_.Read("CorvWebDemo.clf"), kKb);
}

TEST_F(SessionE2eTest, IdleSessionsEndAndTheLeastRecentlyUsedGoesFirst) {
  // An idle time of 0.02 minutes is 1.2 s.
  HttpdProcess httpd(root_.path(), "",
                     Args({"--max-sessions", "2", "--session-idle", "0.02"}));
  const int port = httpd.port();
  const std::string a = Say(port, "my+name+is+A", "").cookie;
  const std::string b = Say(port, "my+name+is+B", "").cookie;
  EXPECT_EQ(Say(port, "who", a).body, "<p>You are A.</p>");
  const std::string c = Say(port, "my+name+is+C", "").cookie;
  // Three sessions, room for two: b, least recently used, has ended.
  const Answer b_again = Say(port, "who", b);
  EXPECT_EQ(b_again.body, "<p>Welcome.  You are #.</p>");
  EXPECT_EQ(b_again.cookie, b);  // afresh, under the same id
  // b's new session ended a, which c had passed.
  EXPECT_EQ(Say(port, "who", c).body, "<p>You are C.</p>");
  EXPECT_EQ(Say(port, "who", a).body, "<p>Welcome.  You are #.</p>");

  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  const Answer c_late = Say(port, "who", c);
  EXPECT_EQ(c_late.body, "<p>Welcome.  You are #.</p>");
  EXPECT_EQ(c_late.cookie, c);
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  EXPECT_EQ(root_.Read("CorvWebDemo.clf"), kKb);
}

TEST_F(SessionE2eTest, ChangedLanguageFileReachesNewSessions) {
  HttpdProcess httpd(root_.path(), "", Args({}));
  const int port = httpd.port();
  const std::string old_session = Say(port, "who", "").cookie;
  std::string changed = kKb;
  changed.replace(changed.find("{Welcome.}"), 10, "{Good day.}");
  root_.Write("CorvWebDemo.clf", changed + "Step {Stray},{}\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(Say(port, "who", "").body, "<p>Good day.  You are #.</p>");
  EXPECT_EQ(Say(port, "before", old_session).body, "<p>Before: who</p>");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  const std::string log = httpd.Log();
  EXPECT_NE(log.find("The language file changed"), std::string::npos) << log;
  EXPECT_NE(log.find("Step {Stray},{}"), std::string::npos) << log;
  EXPECT_EQ(root_.Read("CorvWebDemo.clf"), changed + "Step {Stray},{}\r\n");
}

TEST_F(SessionE2eTest, VisitorTextNeverExpandsThroughPageOrApi) {
  HttpdProcess httpd(root_.path(), "", Args({}));
  const int port = httpd.port();
  const std::string victim = Say(port, "my+name+is+Victoria", "").cookie;

  const Answer page = Say(
      port,
      "my+name+is+%5EDiv%7B%5EMul%7C%7B%5EAdd%7C%7B%247FFFFFFF%7C%241%7D%7D%7D",
      "");
  EXPECT_EQ(page.body,
            "<p>Welcome.  Hello \xCB\x86"
            "Div{\xCB\x86Mul|{\xCB\x86"
            "Add|{$7FFFFFFF|$1}}}.</p>");
  EXPECT_EQ(Say(port, "who", page.cookie).status, "HTTP/1.1 200 OK");

  const Answer api =
      Api(port, R"({"input": "my name is ^Members{Bookings} ^Input{1}"})", "");
  EXPECT_EQ(api.status, "HTTP/1.1 200 OK");
  EXPECT_NE(api.raw.find("Content-Type: application/json; charset=utf-8"),
            std::string::npos);
  EXPECT_NE(api.body.find("Hello \xCB\x86Members{Bookings} \xCB\x86Input{1}."),
            std::string::npos)
      << api.body;
  const Answer later = Api(port, R"({"input": "who"})", api.cookie);
  EXPECT_EQ(later.status, "HTTP/1.1 200 OK");
  EXPECT_EQ(later.body.find("Zed"), std::string::npos);
  EXPECT_EQ(later.body.find("Victoria"), std::string::npos);

  EXPECT_EQ(Parse(Fetch(port, "POST", "/api/reply",
                        "{\"input\":", "Content-Type: application/json\r\n"))
                .status,
            "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(Say(port, "who", victim).body, "<p>You are Victoria.</p>");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
}

TEST(SessionOptionsTest, OtherSessionOptionsNeedSessions) {
  TempDir root;
  const std::string cmd = std::string(CORVANE_BINARY_DIR) +
                          "/corvane-httpd --root " + root.path() +
                          " --max-sessions 5 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 2);
}

}  // namespace
}  // namespace corvane
