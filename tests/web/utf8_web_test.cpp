// A UTF-8 knowledge base on the web: visitor text in any script passes
// through page and JSON API, in the shared pool and in session mode,
// without the code-page conversion; the template stays UTF-8; a
// conversation kept in the store comes back whole after a restart.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/web/web_test_helpers.h"
#include "web/web_app.h"
#include "web/web_request.h"

namespace corvane {
namespace {

// "Witaj." at the start; "mam na imię X" learns the name X, "kim jestem"
// says it, "echo" echoes the input.
const std::string kUtf8Kb = "\xEF\xBB\xBF" + ClfLines({
    "For-Mode",
    "  Fragment Initialize,0,0, {}, {}, {}",
    "  Response {Witaj.},Just Text,{},{}",
    "For-Mode",
    "  Fragment EXTRACT,80,0, {mam na imi\xC4\x99 ^Extr{Imi\xC4\x99}}, {}, {}",
    "  Response {Cze\xC5\x9B\xC4\x87, ^Fact{Imi\xC4\x99}!},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {kim jestem}, {}, {}",
    "  Response {Jeste\xC5\x9B ^Fact{Imi\xC4\x99}.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {echo}, {}, {}",
    "  Response {Echo: ^Input{0}},Just Text,{},{}",
});
const std::string kUtf8Template = "<p>Zo\xC3\xAB [<#CorvResp>]</p>";

// The visitors' texts: as sent in a form (percent-encoded UTF-8), and as
// they must come back.
struct Sent {
  const char* form;
  const char* shown;
};
const Sent kTexts[] = {
    {"Zo%C3%AB", "Zo\xC3\xAB"},
    {"%C5%81ukasz", "\xC5\x81ukasz"},
    {"%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82",
     "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
    {"%E4%BD%A0%E5%A5%BD", "\xE4\xBD\xA0\xE5\xA5\xBD"},
    {"%F0%9F%98%80", "\xF0\x9F\x98\x80"},
    // Bytes that are no UTF-8 become U+FFFD; a macro sign stays harmless.
    {"a%FFb%C3", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
    {"%5EFact%7BImi%C4%99%7D", "\xCB\x86" "Fact{Imi\xC4\x99}"},
};

class Utf8WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("CorvWebDemo.clf", kUtf8Kb);
    dir_.Write("web_corvane_example.htm", kUtf8Template);
  }

  void Make(WebApplication& app, bool sessions, const std::string& store = "") {
    app.RegisterModuleClass(TWebModule1Factory());
    if (sessions) {
      ASSERT_TRUE(app.Configure("sessions", "1"));
    }
    if (!store.empty()) {
      ASSERT_TRUE(app.Configure("store", store));
    }
  }

  FakeRequest Post(const std::string& body, const std::string& cookie) {
    FakeRequest r;
    r.method = "POST";
    r.body = body;
    r.variables["APPL_PHYSICAL_PATH"] = dir_.path() + "/";
    if (!cookie.empty())
      r.variables["HTTP_COOKIE"] = "corvane_session=" + cookie;
    return r;
  }

  // Runs `r`; keeps the session it names in *cookie.
  void Run(WebApplication& app, FakeRequest& r, std::string* cookie) {
    EXPECT_EQ(r.Run(&app), HSE_STATUS_SUCCESS) << r.status;
    EXPECT_EQ(r.status, "200 OK");
    const std::string key = "Set-Cookie: corvane_session=";
    const std::size_t at = r.headers.find(key);
    if (at != std::string::npos && cookie != nullptr)
      *cookie = r.headers.substr(at + key.size(), 32);
  }

  std::string Page(WebApplication& app, const std::string& t1,
                   std::string* cookie) {
    FakeRequest r = Post("T1=" + t1, *cookie);
    Run(app, r, cookie);
    EXPECT_NE(r.headers.find("Content-Type: text/html; charset=utf-8\r\n"),
              std::string::npos)
        << r.headers;
    return r.written;
  }

  std::string Api(WebApplication& app, const std::string& json,
                  std::string* cookie) {
    FakeRequest r = Post(json, *cookie);
    r.path = "/api/reply";
    r.content_type = "application/json";
    Run(app, r, cookie);
    return r.written;
  }

  TempDir dir_;
  TempDir data_;
};

TEST_F(Utf8WebTest, PageOfTheSharedPoolPassesEveryScriptThrough) {
  WebApplication app;
  Make(app, /*sessions=*/false);
  std::string none;
  EXPECT_EQ(Page(app, "echo", &none), "<p>Zo\xC3\xAB [Witaj.  Echo: echo]</p>");
  for (const Sent& s : kTexts)
    EXPECT_EQ(Page(app, std::string("echo+") + s.form, &none),
              std::string("<p>Zo\xC3\xAB [Echo: echo ") + s.shown + "]</p>")
        << s.form;
  // A GET shows the template as it is, in UTF-8.
  FakeRequest get = Post("", "");
  get.method = "GET";
  Run(app, get, nullptr);
  EXPECT_EQ(get.written, "<p>Zo\xC3\xAB []</p>");
  EXPECT_NE(get.headers.find("charset=utf-8"), std::string::npos);
}

TEST_F(Utf8WebTest, SessionPagesAndTheApiKeepNamesInAnyScript) {
  WebApplication app;
  Make(app, /*sessions=*/true);
  // A page before any conversation exists already knows the template's
  // encoding from the language file.
  FakeRequest get = Post("", "");
  get.method = "GET";
  Run(app, get, nullptr);
  EXPECT_EQ(get.written, "<p>Zo\xC3\xAB []</p>");
  for (const Sent& s : kTexts) {
    std::string cookie;
    EXPECT_EQ(Page(app, std::string("mam+na+IMI%C4%98+") + s.form, &cookie),
              std::string("<p>Zo\xC3\xAB [Witaj.  Cze\xC5\x9B\xC4\x87, ") +
                  s.shown + "!]</p>")
        << s.form;
    EXPECT_EQ(Api(app, R"({"input": "kim jestem"})", &cookie),
              std::string("{\"reply\":\"Jeste\xC5\x9B ") + s.shown +
                  ".\",\"session\":\"" + cookie + "\"}");
  }
  std::string api_visitor;
  const std::string reply =
      Api(app, "{\"input\": \"echo \\u041f\\u0440\\u0438\\u0432\\u0435\\u0442 "
               "\\u4f60\\u597d \\ud83d\\ude00\"}",
          &api_visitor);
  EXPECT_EQ(reply.substr(0, reply.find("\",\"session\"")),
            "{\"reply\":\"Witaj.  Echo: echo "
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
            "\xE4\xBD\xA0\xE5\xA5\xBD \xF0\x9F\x98\x80");
}

TEST_F(Utf8WebTest, ApiOfTheSharedPoolPassesUtf8Through) {
  WebApplication app;
  Make(app, /*sessions=*/false);
  std::string none;
  const std::string reply =
      Api(app, "{\"input\": \"echo Zo\xC3\xAB \xC5\x81ukasz \xF0\x9F\x98\x80\"}",
          &none);
  EXPECT_EQ(reply.substr(0, reply.find("\",\"session\"")),
            "{\"reply\":\"Witaj.  Echo: echo Zo\xC3\xAB \xC5\x81ukasz "
            "\xF0\x9F\x98\x80");
}

TEST_F(Utf8WebTest, StoredConversationComesBackWholeAfterARestart) {
  const std::string store = "sqlite:" + data_.path() + "/c.db";
  std::string cookie;
  {
    WebApplication app;
    Make(app, /*sessions=*/true, store);
    EXPECT_EQ(Page(app, "mam+na+imi%C4%99+%C5%81ukasz+%F0%9F%98%80+%E4%BD%A0",
                   &cookie),
              "<p>Zo\xC3\xAB [Witaj.  Cze\xC5\x9B\xC4\x87, \xC5\x81ukasz "
              "\xF0\x9F\x98\x80 \xE4\xBD\xA0!]</p>");
    app.DestroyModules();
  }
  ASSERT_FALSE(cookie.empty());
  WebApplication restarted;
  Make(restarted, /*sessions=*/true, store);
  EXPECT_EQ(Page(restarted, "kim+jestem", &cookie),
            "<p>Zo\xC3\xAB [Jeste\xC5\x9B \xC5\x81ukasz \xF0\x9F\x98\x80 "
            "\xE4\xBD\xA0.]</p>");
  EXPECT_EQ(Api(restarted, R"({"input": "echo \u00bfqu\u00e9?"})", &cookie),
            "{\"reply\":\"Echo: echo \xC2\xBFqu\xC3\xA9?\",\"session\":\"" +
                cookie + "\"}");
}

}  // namespace
}  // namespace corvane
