// The extension driven in-process through a fake control block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "tests/web/web_test_helpers.h"
#include "web/CorvISAPIU.h"
#include "web/web_app.h"
#include "web/web_request.h"

namespace corvane {
namespace {

// Greets at Start, answers "hello", echoes "echo ...", and overflows its
// score sum on "break". Non-matching patterns score -30000, so they never
// fire by default.
const std::string kBase = ClfLines({
    "For-Mode",
    "  Fragment Initialize,0,0, {}, {}, {}",
    "  Response {Welcome.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {hello}, {}, {}",
    "  Response {Hello there.},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {echo}, {}, {}",
    "  Response {Echo: ^Input{0}},Just Text,{},{}",
    "For-Mode",
    "  Fragment CUSTOM,2147483647,0, {break}, {}, {}",
    "  Fragment CUSTOM,2147483647,0, {break}, {}, {}",
    "  Response {never},Just Text,{},{}",
});

// The mode's fallback message as it shows in the page: the reply is text,
// so its apostrophes are character references.
const char kFallback[] =
    "Sorry, I can&#39;t answer you because I don&#39;t know anything at all "
    "yet...";

class WebModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write("CorvWebDemo.clf", kBase);
    dir_.Write("web_corvane_example.htm", "<p>[<#CorvResp>]</p>");
    app_.RegisterModuleClass(TWebModule1Factory());
  }

  FakeRequest Post(const std::string& body, const std::string& path = "/") {
    FakeRequest r;
    r.method = "POST";
    r.path = path;
    r.body = body;
    r.variables["APPL_PHYSICAL_PATH"] = dir_.path() + "/";
    return r;
  }

  FakeRequest Get(const std::string& path = "/") {
    FakeRequest r = Post("", path);
    r.method = "GET";
    return r;
  }

  TempDir dir_;
  WebApplication app_;
};

TEST_F(WebModuleTest, GetRemovesTheTagAndLeavesTheBrainAlone) {
  FakeRequest get = Get();
  EXPECT_EQ(get.Run(&app_), HSE_STATUS_SUCCESS);
  EXPECT_EQ(get.status, "200 OK");
  EXPECT_EQ(get.headers,
            "Content-Type: text/html\r\nContent-Length: 9\r\nContent:\r\n\r\n");
  EXPECT_EQ(get.written, "<p>[]</p>");
  EXPECT_EQ(get.header_calls, 1);
  EXPECT_EQ(get.status_code, 200u);

  // The greeting of Start is still pending, so it leads the first reply.
  FakeRequest post = Post("T1=hello");
  EXPECT_EQ(post.Run(&app_), HSE_STATUS_SUCCESS);
  EXPECT_EQ(post.written, "<p>[Welcome.  Hello there.]</p>");
  FakeRequest again = Post("T1=hello");
  again.Run(&app_);
  EXPECT_EQ(again.written, "<p>[Hello there.]</p>");
  EXPECT_EQ(app_.cached_count(), 1u);
}

TEST_F(WebModuleTest, TagSyntaxAndAnyPath) {
  dir_.Write("web_corvane_example.htm",
             "a<b <#Other x=1>c<#corvRESP name=\"x y\" z='>'>d<#x");
  const char* paths[] = {"/", "/PageProducer1", "/pageproducer1",
                         "/some/where?x"};
  bool first = true;
  for (const char* path : paths) {
    FakeRequest r = Post("T1=hello", path);
    EXPECT_EQ(r.Run(&app_), HSE_STATUS_SUCCESS) << path;
    // The tag's parameter text ends at the first ">", quoted or not.
    EXPECT_EQ(r.written, std::string("a<b c") + (first ? "Welcome.  " : "") +
                             "Hello there.'>d<#x")
        << path;
    first = false;
  }
}

TEST_F(WebModuleTest, FormFieldsDecodeAndTheFirstT1Wins) {
  struct Case {
    const char* body;
    const char* reply;
  };
  const Case cases[] = {
      {"T1=hello", "Welcome.  Hello there."},
      {"x=1&t1=echo+one%21&T1=echo+two",
       "Echo: echo one!"},  // name ignores case
      // An empty input meets the start pattern, which scores 0 and fires.
      {"T1", "Welcome."},   // no "=": no name, so T1 is empty
      {"a=b", "Welcome."},  // form without T1: empty input
      {"T1=echo+%3Cb%3E%26", "Echo: echo &lt;b&gt;&amp;"},  // reply is text
      {"T1=echo%2", "Echo: echo%2"},
      {"&&T1=echo+x&", "Echo: echo x"},
  };
  for (const Case& c : cases) {
    FakeRequest r = Post(c.body);
    r.Run(&app_);
    EXPECT_EQ(r.written, std::string("<p>[") + c.reply + "]</p>") << c.body;
  }
  // A body of only separators has no field, so the brain is not asked.
  FakeRequest empty = Post("&&&");
  empty.Run(&app_);
  EXPECT_EQ(empty.written, "<p>[]</p>");
}

TEST_F(WebModuleTest, BodyIsCompletedThroughReadClient) {
  FakeRequest r = Post("T1=hello");
  r.delivered = 2;
  r.piece = 1;
  r.Run(&app_);
  EXPECT_EQ(r.written, "<p>[Welcome.  Hello there.]</p>");

  // A body the server cannot deliver is an error; the module survives.
  FakeRequest broken = Post("T1=echo+lost");
  broken.delivered = 3;
  broken.read_fails = true;
  EXPECT_EQ(broken.Run(&app_), HSE_STATUS_ERROR);
  EXPECT_EQ(broken.status, "500 Error reading the request body");
  FakeRequest next = Post("T1=hello");
  next.Run(&app_);
  EXPECT_EQ(next.written, "<p>[Hello there.]</p>");
  EXPECT_EQ(app_.cached_count(), 1u);
}

TEST_F(WebModuleTest, FailedTurnGivesTheErrorPageAndTheNextTurnSeesItsState) {
  dir_.Write("CorvWebDemo.clf",
             kBase + ClfLines({
                         "For-Mode",
                         "  Fragment Do-Before,0,0, {}, {}, {}",
                         "  Response {Noted.},Just Text,{},{}",
                     }));
  FakeRequest bad = Post("T1=break");
  EXPECT_EQ(bad.Run(&app_), HSE_STATUS_ERROR);
  const std::string body =
      "<html><title>Internal Server Error 500</title>\r\n"
      "<h1>Internal Server Error 500</h1><hr>\r\n"
      "Exception: EIntOverflow<br>\r\n"
      "Message: Integer overflow<br></html>\r\n";
  EXPECT_EQ(bad.status, "500 Integer overflow");
  EXPECT_EQ(bad.headers, "Content-Type: text/html\r\nContent-Length: " +
                             std::to_string(body.size()) +
                             "\r\nContent:\r\n\r\n");
  EXPECT_EQ(bad.written, body);
  EXPECT_EQ(bad.status_code, 500u);
  EXPECT_EQ(bad.header_calls, 1);

  // Same module: what the failed turn said leads the next reply.
  FakeRequest good = Post("T1=hello");
  EXPECT_EQ(good.Run(&app_), HSE_STATUS_SUCCESS);
  EXPECT_EQ(good.written, "<p>[Welcome.  Noted.  Noted.  Hello there.]</p>");
  EXPECT_EQ(app_.cached_count(), 1u);
  EXPECT_EQ(app_.active_count(), 0u);
}

TEST_F(WebModuleTest, SetupFailuresAnswerWithTheErrorPage) {
  FakeRequest no_root = Post("T1=hello");
  no_root.variables.clear();
  EXPECT_EQ(no_root.Run(&app_), HSE_STATUS_ERROR);
  EXPECT_EQ(no_root.status, "500 The server does not give APPL_PHYSICAL_PATH");

  ASSERT_EQ(unlink((dir_.path() + "/web_corvane_example.htm").c_str()), 0);
  FakeRequest no_template = Post("T1=hello");
  EXPECT_EQ(no_template.Run(&app_), HSE_STATUS_ERROR);
  EXPECT_EQ(no_template.status,
            "500 Cannot open file \"web_corvane_example.htm\"");
  EXPECT_NE(no_template.written.find("Exception: EInOutError<br>"),
            std::string::npos);

  WebApplication empty;
  FakeRequest none = Post("T1=hello");
  EXPECT_EQ(none.Run(&empty), HSE_STATUS_ERROR);
  EXPECT_EQ(none.status, "500 No data modules registered");
  empty.RegisterModuleClass(TWebModule1Factory());
  try {
    empty.RegisterModuleClass(TWebModule1Factory());
    FAIL() << "a second module class was accepted";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Only one data module per application");
  }
}

TEST_F(WebModuleTest, UnloadSavesTheBrainAndNeverWritesOutsideTheRoot) {
  dir_.Write("CorvWebDemo.clf",
             kBase + ClfLines({
                         "For-Mode",
                         "  Fragment Do-After,0,0, {}, {}, {}",
                         "  Response {},Assignment,{said},{^Input{0}}",
                     }));
  FakeRequest r = Post("T1=hello+you");
  r.Run(&app_);
  app_.DestroyModules();
  EXPECT_NE(dir_.Read("CorvWebDemo.clf").find("Fact {said} = {hello you}"),
            std::string::npos);
  EXPECT_EQ(app_.cached_count(), 0u);

  // A language file that is a link out of the root is neither read nor
  // written.
  TempDir outside;
  outside.Write("secret.clf", kBase);
  ASSERT_EQ(unlink((dir_.path() + "/CorvWebDemo.clf").c_str()), 0);
  ASSERT_EQ(symlink((outside.path() + "/secret.clf").c_str(),
                    (dir_.path() + "/CorvWebDemo.clf").c_str()),
            0);
  FakeRequest linked = Post("T1=hello");
  linked.Run(&app_);
  EXPECT_EQ(linked.written, std::string("<p>[") + kFallback + "]</p>");
  app_.DestroyModules();
  EXPECT_EQ(outside.Read("secret.clf"), kBase);
}

TEST(EntryPointTest, VersionTerminateAndNullBlock) {
  HSE_VERSION_INFO info{};
  info.lpszExtensionDesc[0] = 'x';
  EXPECT_EQ(GetExtensionVersion(&info), 1);
  EXPECT_EQ(info.dwExtensionVersion, 0x00020000u);
  EXPECT_STREQ(info.lpszExtensionDesc, "");
  EXPECT_EQ(GetExtensionVersion(nullptr), 0);
  EXPECT_EQ(HttpExtensionProc(nullptr), HSE_STATUS_ERROR);
  EXPECT_EQ(TerminateExtension(HSE_TERM_MUST_UNLOAD), 1);

  // The exported entry point serves through the library's application.
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kBase);
  dir.Write("web_corvane_example.htm", "<#CorvResp>");
  FakeRequest r;
  r.method = "POST";
  r.body = "T1=hello";
  r.variables["APPL_PHYSICAL_PATH"] = dir.path();
  EXPECT_EQ(r.Run(nullptr), HSE_STATUS_SUCCESS);
  EXPECT_EQ(r.written, "Welcome.  Hello there.");
  UnloadWebModules();
  EXPECT_EQ(Application().cached_count(), 0u);
}

// The conflict files beside the language file.
std::vector<std::string> ConflictFiles(const TempDir& dir) {
  std::vector<std::string> found;
  for (const std::string& name : dir.Names())
    if (name.rfind("CorvWebDemo.clf.conflict-", 0) == 0) found.push_back(name);
  return found;
}

TEST_F(WebModuleTest, UnloadNeverSavesOverAnEditMadeOnDisk) {
  const std::string learning =
      kBase + ClfLines({"For-Mode", "  Fragment Do-After,0,0, {}, {}, {}",
                        "  Response {},Assignment,{said},{^Input{0}}"});
  dir_.Write("CorvWebDemo.clf", learning);
  FakeRequest r = Post("T1=hello+you");
  r.Run(&app_);
  // The author edits the file while the module holds its brain.
  const std::string edited = learning + ClfLines({"Fact {edited} = {yes}"});
  dir_.Write("CorvWebDemo.clf", edited);
  app_.DestroyModules();
  EXPECT_EQ(dir_.Read("CorvWebDemo.clf"), edited);
  const std::vector<std::string> conflicts = ConflictFiles(dir_);
  ASSERT_EQ(conflicts.size(), 1u);
  EXPECT_NE(dir_.Read(conflicts[0]).find("Fact {said} = {hello you}"),
            std::string::npos);
  EXPECT_EQ(dir_.Read(conflicts[0]).find("edited"), std::string::npos);
}

TEST_F(WebModuleTest, ModulesReadFromOneFileEachSaveInTurn) {
  dir_.Write(
      "CorvWebDemo.clf",
      kBase + ClfLines({"For-Mode", "  Fragment Do-After,0,0, {}, {}, {}",
                        "  Response {},Assignment,{said},{^Input{0}}"}));
  // The second request comes while the first holds its module, so each
  // has a brain of its own, both read from the same file.
  FakeRequest second = Post("T1=second");
  FakeRequest first = Post("T1=first");
  bool nested = false;
  first.delivered = 0;  // The body comes through ReadClient.
  first.on_read = [&] {
    if (nested) return;
    nested = true;
    second.Run(&app_);
  };
  first.Run(&app_);
  ASSERT_EQ(app_.cached_count(), 2u);
  app_.DestroyModules();
  // The saves of this process are no edit on disk: the module saved last
  // decides the content, and no conflict file is made.
  EXPECT_TRUE(ConflictFiles(dir_).empty());
  const std::string saved = dir_.Read("CorvWebDemo.clf");
  EXPECT_TRUE(saved.find("Fact {said} = {first}") != std::string::npos ||
              saved.find("Fact {said} = {second}") != std::string::npos)
      << saved;
}

TEST_F(WebModuleTest, AGreetingRequestAnswersWithoutATurn) {
  FakeRequest greet = Post(R"({"greeting": true})", "/api/reply");
  greet.content_type = "application/json";
  EXPECT_EQ(greet.Run(&app_), HSE_STATUS_SUCCESS);
  EXPECT_EQ(greet.written, "{\"reply\":\"Welcome.\",\"session\":\"\"}");
  // The module's next reply begins with its answer alone.
  FakeRequest hello = Post("T1=hello");
  hello.Run(&app_);
  EXPECT_EQ(hello.written, "<p>[Hello there.]</p>");
}

}  // namespace
}  // namespace corvane
