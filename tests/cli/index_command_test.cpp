// End to end: the corvane binary builds a word index from a corpus and
// answers from it, with the exit statuses deployers' scripts rely on.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/random.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;
  std::string out;  // stdout and stderr together
};

RunResult RunCorvane(const std::string& args) {
  const std::string command =
      std::string(CORVANE_BINARY_DIR) + "/corvane " + args + " 2>&1";
  RunResult run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    run.out.append(buffer, n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

TEST(IndexCommandTest, BuildsAsksAndReportsProblems) {
  const fs::path dir = fs::temp_directory_path() /
                       ("corvane-index-cli-" + std::to_string(ClockSeed()));
  fs::create_directories(dir);
  const std::string d = dir.string();
  {
    std::ofstream bad(dir / "bad.txt");
    bad << "Owls turn their heads.\n" << std::string(300, 'o') << "\n";
    std::ofstream good(dir / "good.txt");
    good << "Owls turn their heads.\r\nHoney keeps for years.\n";
  }
  RunResult run = RunCorvane("index build '" + d + "/bad.txt' '" + d + "/out'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("line 2: text of 300 bytes is longer than 255"),
            std::string::npos)
      << run.out;
  EXPECT_FALSE(fs::exists(dir / "out" / "Words.str"));

  run = RunCorvane("index build '" + d + "/good.txt' '" + d + "/out'");
  EXPECT_EQ(run.status, 0) << run.out;
  run = RunCorvane("index ask '" + d + "/out' HONEY please");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Honey keeps for years.\n");
  run = RunCorvane("index ask '" + d + "/out' zebra");
  EXPECT_EQ(run.status, 1);
  run = RunCorvane("index ask '" + d + "/missing' owls");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("cannot open"), std::string::npos) << run.out;
  EXPECT_EQ(RunCorvane("index build only-one").status, 2);
  EXPECT_EQ(RunCorvane("index").status, 2);
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace corvane
