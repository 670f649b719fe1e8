// The options of corvane-httpd, argument by argument: which spellings it
// takes, the exact message and exit status of every refusal, and which one
// wins when there are several. Every accepted row names a web root that
// does not exist, so the program ends at that check, after reading all its
// options, instead of serving.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/cli/cli_sandbox.h"

namespace corvane {
namespace {

using cli_test::RunResult;
using cli_test::Sandbox;

// "%U" in `err` stands for the usage text (tests/host/data/httpd_usage.txt),
// which --help prints on standard output.
struct Case {
  const char* args;
  int status;
  const char* err;
};

constexpr char kNoRoot[] =
    "corvane-httpd: the web root nodir is not a directory\n";

TEST(HttpdOptionsTest, EveryOutcome) {
  const std::string usage = ReadFileBytes(std::string(CORVANE_SOURCE_DIR) +
                                          "/tests/host/data/httpd_usage.txt")
                                .value_or("<missing>");
  const Case cases[] = {
      {"--root nodir", 2, kNoRoot},
      {"--listen 127.0.0.1 --port 0 --root nodir --language-file a.clf "
       "--template t.htm --extension x.so --max-connections 1 "
       "--max-conns-per-address 0 --max-body 0 --threads 256 "
       "--drain-seconds 86400 --body-timeout 3600 --admin --admin-port 65535 "
       "--access-log a.log --log-file m.log --log-format json",
       2, kNoRoot},
      {"--sessions --max-sessions 5 --session-idle 1 --session-dir d "
       "--root nodir",
       2, kNoRoot},
      {"--root x --root nodir", 2, kNoRoot},         // the last one counts
      {"--listen --help --root nodir", 2, kNoRoot},  // a value, not --help
      {"--port", 2, "corvane-httpd: --port needs a value\n%U"},
      {"--root nodir --log-format", 2,
       "corvane-httpd: --log-format needs a value\n%U"},
      {"--port=8080", 2, "corvane-httpd: unknown option --port=8080\n%U"},
      {"--admin=1", 2, "corvane-httpd: unknown option --admin=1\n%U"},
      {"--sessions=1", 2, "corvane-httpd: unknown option --sessions=1\n%U"},
      {"--bogus --help", 2, "corvane-httpd: unknown option --bogus\n%U"},
      {"--bogus --port 99999", 2, "corvane-httpd: unknown option --bogus\n%U"},
      {"serve --port 99999", 2, "corvane-httpd: unknown option serve\n%U"},
      {"-p 80", 2, "corvane-httpd: unknown option -p\n%U"},
      {"-hv", 2, "corvane-httpd: unknown option -hv\n%U"},
      {"serve", 2, "corvane-httpd: unknown option serve\n%U"},
      {"-", 2, "corvane-httpd: unknown option -\n%U"},
      {"-- --help", 2, "corvane-httpd: unknown option --\n%U"},
      {"--Port 80", 2, "corvane-httpd: unknown option --Port\n%U"},
      {"--port 99999", 2, "corvane-httpd: bad port 99999\n"},
      {"--port -1", 2, "corvane-httpd: bad port -1\n"},
      {"--port 80x", 2, "corvane-httpd: bad port 80x\n"},
      {"--port ''", 2, "corvane-httpd: bad port \n"},
      {"--admin-port 65536", 2, "corvane-httpd: bad port 65536\n"},
      {"--port 99999 --bogus", 2, "corvane-httpd: bad port 99999\n"},
      {"--port 99999 --help", 2, "corvane-httpd: bad port 99999\n"},
      {"--threads 0", 2, "corvane-httpd: bad thread count 0\n"},
      {"--threads 257", 2, "corvane-httpd: bad thread count 257\n"},
      {"--threads -1", 2, "corvane-httpd: bad thread count -1\n"},
      {"--max-connections 0", 2, "corvane-httpd: bad connection count 0\n"},
      {"--max-conns-per-address 1048577", 2,
       "corvane-httpd: bad connection count 1048577\n"},
      {"--max-body 4294967295", 2, "corvane-httpd: bad body size 4294967295\n"},
      {"--drain-seconds 86401", 2, "corvane-httpd: bad drain time 86401\n"},
      {"--body-timeout 0", 2, "corvane-httpd: bad body timeout 0\n"},
      {"--log-format xml", 2, "corvane-httpd: bad log format xml\n"},
      {"--log-format JSON", 2, "corvane-httpd: bad log format JSON\n"},
      {"--max-sessions", 2, "corvane-httpd: --max-sessions needs a value\n"},
      {"--sessions --session-dir", 2,
       "corvane-httpd: --session-dir needs a value\n"},
      {"--max-sessions ''", 2, "corvane-httpd: bad value for --max-sessions\n"},
      {"--session-idle '' --bogus", 2,
       "corvane-httpd: bad value for --session-idle\n"},
      {"--max-sessions 5", 2,
       "corvane-httpd: --max-sessions, --session-idle and --session-dir need "
       "--sessions\n"},
      {"--sessions --store-lease 2", 2,
       "corvane-httpd: --store-lease needs --store\n"},
      {"--sessions --store sqlite:s.db --store-lease 0.009", 2,
       "corvane-httpd: bad value for --store-lease: give 0.01 to 60 "
       "seconds\n"},
      {"--sessions --store sqlite:s.db --store-lease 60.001", 2,
       "corvane-httpd: bad value for --store-lease: give 0.01 to 60 "
       "seconds\n"},
      {"--sessions --store sqlite:s.db --store-lease 1.", 2,
       "corvane-httpd: bad value for --store-lease: give 0.01 to 60 "
       "seconds\n"},
      {"--sessions --store sqlite:s.db --store-lease 1e3", 2,
       "corvane-httpd: bad value for --store-lease: give 0.01 to 60 "
       "seconds\n"},
      {"--session-dir d --bogus", 2,
       "corvane-httpd: unknown option --bogus\n%U"},
      {"--session-dir d --port 99999", 2, "corvane-httpd: bad port 99999\n"},
      {"--extension /nonexistent.so --root .", 1,
       "corvane-httpd: cannot load /nonexistent.so: /nonexistent.so: cannot "
       "open shared object file: No such file or directory\n"},
  };
  Sandbox box;
  const std::string httpd = std::string(CORVANE_BINARY_DIR) + "/corvane-httpd";
  for (const Case& c : cases) {
    const RunResult run = box.Run(httpd, c.args);
    std::string err = c.err;
    if (const std::size_t at = err.find("%U"); at != std::string::npos)
      err.replace(at, 2, usage);
    EXPECT_EQ(run.status, c.status) << c.args;
    EXPECT_EQ(run.out, "") << c.args;
    EXPECT_EQ(run.err, err) << c.args;
  }
  for (const char* help :
       {"--help", "-h", "--port 80 --help", "--help --bogus"}) {
    const RunResult run = box.Run(httpd, help);
    EXPECT_EQ(run.status, 0) << help;
    EXPECT_EQ(run.out, usage) << help;
    EXPECT_EQ(run.err, "") << help;
  }
  const RunResult version = box.Run(httpd, "--version --bogus");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "corvane-httpd 8.0\n");
  EXPECT_EQ(version.err, "");
}

}  // namespace
}  // namespace corvane
