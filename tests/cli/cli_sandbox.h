// A temporary directory in which the end-to-end tests of the command line
// run build/corvane (or another program) with a given standard input,
// collecting its standard output, standard error and exit status.
#ifndef CORVANE_TESTS_CLI_CLI_SANDBOX_H_
#define CORVANE_TESTS_CLI_CLI_SANDBOX_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"

namespace corvane {
namespace cli_test {

inline const std::string kCorvane =
    std::string(CORVANE_BINARY_DIR) + "/corvane";

inline std::string CrLf(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

inline std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// A temporary directory for one test, removed at the end.
class Sandbox {
 public:
  Sandbox() {
    std::string templ = testing::TempDir() + "corvane_cli_XXXXXX";
    dir_ = mkdtemp(templ.data()) ? templ : std::string();
    EXPECT_FALSE(dir_.empty());
  }
  ~Sandbox() { std::system(("rm -rf " + Quote(dir_)).c_str()); }
  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& content) const {
    EXPECT_TRUE(WriteFileBytes(Path(name), content));
  }
  std::string Read(const std::string& name) const {
    return ReadFileBytes(Path(name)).value_or("<missing>");
  }

  // Runs corvane with `args` (already quoted as needed) in the sandbox.
  RunResult Corvane(const std::string& args,
                    const std::string& input = "") const {
    return Run(kCorvane, args, input);
  }

  // Runs `program` with `args` (already quoted as needed) in the sandbox.
  RunResult Run(const std::string& program, const std::string& args,
                const std::string& input = "") const {
    Write(".stdin", input);
    const std::string command = "cd " + Quote(dir_) + " && " + Quote(program) +
                                " " + args + " < .stdin > .stdout 2> .stderr";
    RunResult run;
    const int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = Read(".stdout");
    run.err = Read(".stderr");
    return run;
  }

 private:
  std::string dir_;
};

}  // namespace cli_test
}  // namespace corvane

#endif  // CORVANE_TESTS_CLI_CLI_SANDBOX_H_
