// Compliance checks of the extension's request path: the template read
// anew for every request stays inside the web root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/web/web_test_helpers.h"
#include "web/web_app.h"

namespace corvane {
namespace {

const std::string kBase = ClfLines({
    "For-Mode",
    "  Fragment CUSTOM,10,30000, {hello}, {}, {}",
    "  Response {Hello there.},Just Text,{},{}",
});

FakeRequest Post(const TempDir& dir, const std::string& body) {
  FakeRequest r;
  r.method = "POST";
  r.body = body;
  r.variables["APPL_PHYSICAL_PATH"] = dir.path() + "/";
  return r;
}

// The template is read anew for every request, so a template that is
// replaced by a link out of the root after the module was created must not
// be served either: the server's files outside the root stay private.
TEST(WebTemplateTest, TemplateReplacedByALinkOutOfTheRootIsNotServed) {
  TempDir dir;
  dir.Write("CorvWebDemo.clf", kBase);
  dir.Write("web_corvane_example.htm", "[<#CorvResp>]");
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  FakeRequest first = Post(dir, "T1=hello");
  ASSERT_EQ(first.Run(&app), HSE_STATUS_SUCCESS);
  EXPECT_EQ(first.written, "[Hello there.]");

  TempDir outside;
  outside.Write("private.htm", "private <#CorvResp>");
  ASSERT_EQ(unlink(dir.File("web_corvane_example.htm").c_str()), 0);
  ASSERT_EQ(symlink(outside.File("private.htm").c_str(),
                    dir.File("web_corvane_example.htm").c_str()),
            0);
  FakeRequest linked = Post(dir, "T1=hello");
  EXPECT_EQ(linked.Run(&app), HSE_STATUS_ERROR);
  EXPECT_EQ(linked.status, "500 Cannot open file \"web_corvane_example.htm\"");
  EXPECT_EQ(linked.written.find("private"), std::string::npos);
  app.DestroyModules();
}

}  // namespace
}  // namespace corvane
