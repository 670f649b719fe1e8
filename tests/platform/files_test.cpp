#include "platform/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/launch.h"
#include "platform/locale.h"

namespace corvane {
namespace {

TEST(PathMapperTest, MapsWindowsPathsUnderTheRootAndRefusesEscapes) {
  const auto root = std::filesystem::temp_directory_path() /
                    ("corvane-paths-" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "sub");
  const std::string r = root.string();
  PathMapper mapper(r);
  struct Case {
    const char* path;
    const char* mapped;  // nullptr: refused
  };
  const Case cases[] = {
      {"C:\\Inetpub\\wwwroot\\CorvWebDemo.clf", "/CorvWebDemo.clf"},
      {"c:\\INETPUB\\WWWROOT\\sub\\x.txt", "/sub/x.txt"},
      {"list.txt", "/list.txt"},
      {"sub\\..\\list.txt", "/list.txt"},
      {"./sub/./a", "/sub/a"},
      {"..\\x", nullptr},
      {"sub/../../x", nullptr},
      {"/etc/passwd", nullptr},
      {"\\etc\\passwd", nullptr},
      {"D:\\data\\x", nullptr},
      {"C:\\Windows\\win.ini", nullptr},
      {"C:x", nullptr},
      {"", nullptr},
      {"..", nullptr},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> got = mapper.Map(c.path);
    if (c.mapped == nullptr) {
      EXPECT_FALSE(got.has_value()) << c.path << " -> " << got.value_or("");
    } else {
      ASSERT_TRUE(got.has_value()) << c.path;
      EXPECT_EQ(*got, r + c.mapped) << c.path;
    }
  }
  // Symbolic links may not lead outside the root, nor dangle.
  std::filesystem::create_directory_symlink("/etc", root / "out");
  std::filesystem::create_symlink("/etc/hostname", root / "host");
  std::filesystem::create_symlink(root / "sub", root / "in");
  EXPECT_FALSE(mapper.Map("out/passwd").has_value());
  EXPECT_FALSE(mapper.Map("host").has_value());
  EXPECT_TRUE(mapper.Map("in/new.txt").has_value());
  std::filesystem::create_symlink(root / "missing", root / "dangling");
  EXPECT_FALSE(mapper.Map("dangling").has_value());
  std::filesystem::remove_all(root);
}

TEST(SplitCommandLineTest, WindowsRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("prog a  b"), (V{"prog", "a", "b"}));
  EXPECT_EQ(SplitCommandLine("\"my prog\" \"a b\"c"), (V{"my prog", "a bc"}));
  EXPECT_EQ(SplitCommandLine("a\\\\\"b c\""), (V{"a\\b c"}));
  EXPECT_EQ(SplitCommandLine("a\\\"b"), (V{"a\"b"}));
  EXPECT_EQ(SplitCommandLine("a\\b"), (V{"a\\b"}));
  EXPECT_EQ(SplitCommandLine("echo ;rm -rf / `x`"), (V{"echo", ";rm", "-rf", "/", "`x`"}));
  EXPECT_EQ(SplitCommandLine("   "), V{});
}

TEST(LaunchProgramTest, StartsDirectlyWithoutAShellAndIgnoresFailures) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("corvane-launch-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(LaunchProgram("touch \"made here\" ;echo", dir.string()));
  // touch makes its files one after the other, so wait for the last one too.
  for (int i = 0; i < 500 && !(std::filesystem::exists(dir / "made here") &&
                               std::filesystem::exists(dir / ";echo"));
       ++i)
    usleep(10000);
  EXPECT_TRUE(std::filesystem::exists(dir / "made here"));
  EXPECT_TRUE(std::filesystem::exists(dir / ";echo"));  // no shell: a file name
  EXPECT_FALSE(LaunchProgram("no-such-program-corvane", dir.string()));
  EXPECT_FALSE(LaunchProgram("", dir.string()));
  std::filesystem::remove_all(dir);
}

TEST(LocaleTest, FixedFormatsAndRealReading) {
  EXPECT_EQ(ParseShortDate("10/02/2002"), ParseShortDate("10/2/2002"));
  EXPECT_FALSE(ParseShortDate("2002-10-02").has_value());
  EXPECT_EQ(FormatShortDate(*ParseShortDate("10/02/2002")), "10/02/2002");
  EXPECT_EQ(FormatLongTime(0.5), "12:00:00 PM");
  EXPECT_EQ(FormatLongTime(0.0), "12:00:00 AM");
  EXPECT_FALSE(ParseHostReal("1,5").has_value());
  EXPECT_FALSE(ParseHostReal(" 1").has_value());
  EXPECT_FALSE(ParseHostReal("e5").has_value());
  EXPECT_FALSE(ParseHostReal("$1F").has_value());
  EXPECT_TRUE(ParseHostReal(".5").has_value());
  EXPECT_TRUE(ParseHostReal("12").has_value());
}

}  // namespace
}  // namespace corvane
