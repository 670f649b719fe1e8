// The web boundary: code-page conversion both ways, the macro sign of
// visitor text, cookies, session ids and the JSON API's bodies.
#include "web/visitor_text.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "web/json_api.h"
#include "web/session_pool.h"

namespace corvane {
namespace {

TEST(Utf8ToCodePageTest, CharactersAndMalformedSequences) {
  struct Case {
    const char* utf8;
    const char* code_page;
  };
  const Case cases[] = {
      {"caf\xC3\xA9", "caf\xE9"},
      {"\xE2\x82\xAC 5", "\x80 5"},  // euro sign lives at 0x80
      {"\xCB\x86", "\x88"},          // modifier circumflex
      {"\xC5\x81\xC3\xB3"
       "d\xC5\xBA",
       "?\xF3"
       "d?"},                       // Ł and ź are missing
      {"\xF0\x9F\x98\x80!", "?!"},  // an emoji is one "?"
      {"\xC2\x81", "\x81"},         // undefined byte round-trips
      {"\xC3", "?"},                // truncated at the end
      {"\xE2\x82"
       "A",
       "??A"},                       // truncated in the middle
      {"\xC0\xAF", "??"},            // overlong "/"
      {"\xED\xA0\x80", "???"},       // a surrogate
      {"\xF4\x90\x80\x80", "????"},  // beyond U+10FFFF
      {"\x80x\xBF", "?x?"},          // stray continuation bytes
      {"\xFF\xFE", "??"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Utf8ToCodePage(c.utf8), c.code_page) << c.utf8;
}

TEST(CodePageToUtf8Test, EveryByteRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string utf8 = CodePageToUtf8(all);
  EXPECT_EQ(Utf8ToCodePage(utf8), all);
  EXPECT_EQ(CodePageToUtf8("caf\xE9 \x80 \x88 \x9F"),
            "caf\xC3\xA9 \xE2\x82\xAC \xCB\x86 \xC5\xB8");
}

TEST(CodePageToUtf8Test, AnOtherByteAnywhereInALongAsciiRunIsConverted) {
  // The ASCII run is skipped eight bytes at a time: a byte at any place in
  // or after a block, and a text ending within a block, must still count.
  for (std::size_t length = 0; length <= 20; ++length) {
    const std::string ascii(length, 'a');
    EXPECT_EQ(CodePageToUtf8(ascii), ascii);
    for (std::size_t at = 0; at < length; ++at) {
      std::string text = ascii;
      text[at] = '\xE9';
      const std::string expected = ascii.substr(0, at) + "\xC3\xA9" +
                                   ascii.substr(at + 1);
      EXPECT_EQ(CodePageToUtf8(text), expected) << length << " " << at;
    }
  }
}

TEST(VisitorTextTest, TheMacroSignNeverReachesTheEngine) {
  EXPECT_EQ(NeutralizeMacroSign("^Fact{x} ^^ a^b"),
            "\x88"
            "Fact{x} \x88\x88 a\x88"
            "b");
  // From a form of the default mode the bytes are taken as they are; from
  // UTF-8 they are converted first, and a "^" still becomes the look-alike.
  EXPECT_EQ(VisitorText("^Input{1} caf\xE9", false), "\x88Input{1} caf\xE9");
  EXPECT_EQ(VisitorText("^Input{1} caf\xC3\xA9", true), "\x88Input{1} caf\xE9");
  // The look-alike typed in UTF-8 is the same byte, not a sign.
  EXPECT_EQ(VisitorText("\xCB\x86"
                        "Fact{x}",
                        true),
            "\x88"
            "Fact{x}");
}

TEST(SessionIdTest, FormAndCookies) {
  EXPECT_TRUE(IsSessionId("0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(IsSessionId("0123456789ABCDEF0123456789abcdef"));  // upper
  EXPECT_FALSE(IsSessionId("0123456789abcdef0123456789abcde"));   // short
  EXPECT_FALSE(IsSessionId("0123456789abcdef0123456789abcdef0"));
  EXPECT_FALSE(IsSessionId("../../../../etc/passwd/0123456789ab"));
  EXPECT_FALSE(IsSessionId(""));
  // Each place refuses a byte next to the digit ranges, and a zero byte.
  for (std::size_t at = 0; at < 32; ++at) {
    for (char bad : {'g', '/', ':', '`', 'G', '\0', '\xE0'}) {
      std::string id(32, 'a');
      id[at] = bad;
      EXPECT_FALSE(IsSessionId(id)) << at << " " << int(bad);
    }
  }

  std::set<std::string> ids;
  for (int i = 0; i < 100; ++i) {
    const std::string id = NewSessionId();
    EXPECT_TRUE(IsSessionId(id)) << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 100u);

  struct Case {
    const char* header;
    const char* value;  // Null: none.
  };
  const Case cases[] = {
      {"corvane_session=abc", "abc"},
      {"a=1; corvane_session=abc; b=2", "abc"},
      {"a=1;corvane_session = \"abc\" ", "abc"},
      {"corvane_session=one; corvane_session=two", "one"},  // first wins
      {"xcorvane_session=abc", nullptr},
      {"corvane_session", nullptr},
      {"", nullptr},
      {"corvane_session=", ""},
  };
  for (const Case& c : cases) {
    const auto v = CookieValue(c.header, kSessionCookie);
    if (c.value == nullptr) {
      EXPECT_FALSE(v.has_value()) << c.header;
    } else {
      ASSERT_TRUE(v.has_value()) << c.header;
      EXPECT_EQ(*v, c.value) << c.header;
    }
  }
  EXPECT_EQ(SessionCookie("abc"),
            "corvane_session=abc; Path=/; HttpOnly; SameSite=Lax");
}

TEST(JsonApiTest, RequestBodies) {
  struct Case {
    std::string body;
    bool ok;
    const char* input;
    const char* session;  // Null: none.
  };
  const Case cases[] = {
      {R"({"input": "hello"})", true, "hello", nullptr},
      {R"({"input": "caf\u00e9 \ud83d\ude00", "x": [1]})", true,
       "caf\xC3\xA9 \xF0\x9F\x98\x80", nullptr},
      {R"({"session": "abc", "input": ""})", true, "", "abc"},
      {R"({"session": null, "input": "x"})", true, "x", nullptr},
      {R"({"greeting": true})", true, "", nullptr},
      {R"({"greeting": true, "input": "x", "session": "s"})", true, "x", "s"},
      {R"({"greeting": false})", false, nullptr, nullptr},
      {R"({"greeting": "yes"})", false, nullptr, nullptr},
      {R"({"input": 5})", false, nullptr, nullptr},
      {R"({"inputs": "x"})", false, nullptr, nullptr},
      {R"({"input": "x", "session": 7})", false, nullptr, nullptr},
      {R"(["input", "x"])", false, nullptr, nullptr},
      {R"("x")", false, nullptr, nullptr},
      {R"({"input": "x")", false, nullptr, nullptr},
      {"{\"input\": \"\xE9\"}", false, nullptr, nullptr},  // not UTF-8
      {"T1=hello", false, nullptr, nullptr},
      {"", false, nullptr, nullptr},
      {std::string(100000, '[') + std::string(100000, ']'), false, nullptr,
       nullptr},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto r = ParseApiRequest(c.body, &error);
    ASSERT_EQ(r.has_value(), c.ok) << c.body.substr(0, 40);
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(r->input, c.input);
    EXPECT_EQ(r->greeting,
              c.body.find("\"greeting\": true") != std::string::npos);
    EXPECT_EQ(r->session.has_value(), c.session != nullptr);
    if (c.session != nullptr) {
      EXPECT_EQ(*r->session, c.session);
    }
  }
  EXPECT_TRUE(IsApiRequest("POST", "/api/reply"));
  EXPECT_FALSE(IsApiRequest("GET", "/api/reply"));
  EXPECT_FALSE(IsApiRequest("POST", "/api/reply/"));
  EXPECT_FALSE(IsApiRequest("POST", "/API/reply"));
}

// The request as the whole document read by the JSON library gives it:
// the reference for the request reader's faster ways.
std::optional<ApiRequest> ReferenceApiRequest(std::string_view body) {
  const nlohmann::json doc =
      nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  ApiRequest request;
  const auto greeting = doc.find("greeting");
  request.greeting =
      greeting != doc.end() && greeting->is_boolean() && greeting->get<bool>();
  const auto input = doc.find("input");
  const bool has_input = input != doc.end() && input->is_string();
  if (!request.greeting && !has_input) return std::nullopt;
  if (has_input) request.input = input->get<std::string>();
  const auto session = doc.find("session");
  if (session != doc.end() && !session->is_null()) {
    if (!session->is_string()) return std::nullopt;
    request.session = session->get<std::string>();
  }
  return request;
}

void ExpectSameRequest(const std::string& body) {
  std::string error;
  const std::optional<ApiRequest> got = ParseApiRequest(body, &error);
  const std::optional<ApiRequest> want = ReferenceApiRequest(body);
  ASSERT_EQ(got.has_value(), want.has_value()) << body;
  if (!got) {
    EXPECT_FALSE(error.empty()) << body;
    return;
  }
  EXPECT_EQ(got->input, want->input) << body;
  EXPECT_EQ(got->greeting, want->greeting) << body;
  EXPECT_EQ(got->session, want->session) << body;
}

TEST(JsonApiTest, RequestsAreTheWholeDocumentsOnes) {
  // Bodies near the plain shape, where a shortcut could go wrong.
  const char* const cases[] = {
      R"({"input":"hello"})",
      " \t\r\n{ \"input\" : \"a b\" }\n ",
      R"({"input":"a","input":"b"})",  // the last one counts
      R"({"input":"a","input":5})",    // ... even when wrong
      R"({"session":"s","input":"x","session":"t"})",
      R"({"input":"x","session":null})",
      R"({"input":"x","greeting":"true"})",  // a text is not true
      R"({"input":"x","greeting":true})",
      R"({"input":"x",})",  // trailing comma
      R"({,"input":"x"})",
      R"({"input":"x"}})",
      R"({"input":"x"} x)",
      R"({"input" "x"})",
      R"({"input":"x\"y"})",  // escapes
      R"({"input":"x\\"})",
      R"({"input":"x\u0041"})",
      "{\"input\":\"x\ty\"}",  // a raw tab is not JSON
      "{\"input\":\"\x7F\"}",  // DEL is
      "{\"input\":\"caf\xC3\xA9\"}",
      "{\"input\":\"caf\xE9\"}",
      "{\"in\xC3\xA9\":\"x\",\"input\":\"y\"}",
      R"({"input":""})",
      R"({"":"","input":"x"})",
      R"({})",
      R"({"input":"x"})"
      "\f",                             // form feed is no blank
      "\xEF\xBB\xBF{\"input\":\"x\"}",  // a byte order mark
  };
  for (const char* body : cases) ExpectSameRequest(body);

  // Random bodies made of the pieces of requests.
  const std::vector<std::string> pieces = {
      "{",          "}",        "[",         "]",           ",",
      ":",          " ",        "\"input\"", "\"session\"", "\"greeting\"",
      "\"x\"",      "true",     "false",     "null",        "5",
      "\"a\\\"b\"", "\"\xE9\"", "\"\t\"",    "\"hi\"",      "\n"};
  std::mt19937 rng(24);
  for (int round = 0; round < 20000; ++round) {
    std::string body;
    if (round % 2 == 0) body = "{\"input\":\"hello\"";
    const int n = static_cast<int>(rng() % 10);
    for (int i = 0; i < n; ++i) body += pieces[rng() % pieces.size()];
    if (round % 4 == 0) body += "}";
    ExpectSameRequest(body);
    if (HasFailure()) break;
  }
}

TEST(JsonApiTest, AnswerBodies) {
  EXPECT_EQ(ApiReplyBody("Say \"hi\"\n<b>caf\xC3\xA9</b>", "ab"),
            "{\"reply\":\"Say \\\"hi\\\"\\n<b>caf\xC3\xA9</b>\",\"session\":"
            "\"ab\"}");
  EXPECT_EQ(ApiErrorBody("bad \xE9"), "{\"error\":\"bad \xEF\xBF\xBD\"}");
}

}  // namespace
}  // namespace corvane
