// corvane-httpd as an operator runs it: files named by option, a start
// that refuses files it cannot serve, /healthz and /metrics, the access
// log and SIGHUP, the cap per client address, JSON errors, and a stop
// that never waits on a language file that blocks.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/access_log.h"
#include "tests/host/host_test_helpers.h"
#include "tests/temp_dir.h"

namespace corvane {
namespace {

const char kKb[] =
    "For-Mode\r\n"
    "  Fragment Initialize,0,0, {}, {}, {}\r\n"
    "  Response {Welcome.},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment CUSTOM,10,30000, {echo}, {}, {}\r\n"
    "  Response {Echo: ^Input{0}},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment Do-After,0,0, {}, {}, {}\r\n"
    "  Response {},Assignment,{said},{^Input{0}}\r\n";

// A web root with the two files of the fixed names.
void FillRoot(const TempDir& root) {
  root.Write("CorvWebDemo.clf", kKb);
  root.Write("web_corvane_example.htm", "<p><#CorvResp></p>");
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++n;
  return n;
}

// Waits until `path` holds `what` (the log is written every 100 ms).
bool WaitForText(const std::string& path, const std::string& what) {
  for (int i = 0; i < 300; ++i) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    if (s.str().find(what) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(HttpdOperatorTest, BothProgramsTellTheirVersion) {
  const Finished httpd = RunHttpd({"--version"}, 5000);
  EXPECT_EQ(httpd.status, 0);
  const std::string corvane_version =
      std::string("corvane ") + std::to_string(8) + ".0";
  FILE* pipe = ::popen(CORVANE_BINARY_DIR "/corvane --version", "r");
  ASSERT_NE(pipe, nullptr);
  char line[128] = "";
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  EXPECT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(std::string(line), corvane_version + "\n");
}

// A start with a language file or template that cannot be served ends with
// status 2, the path and the reason, and never listens; a FIFO is refused
// at once instead of waited for.
TEST(HttpdOperatorTest, StartRefusesFilesItCannotServe) {
  TempDir root;
  struct Case {
    const char* what;
    std::function<void()> setup;
    std::vector<std::string> args;
    std::string message;
  };
  const std::string clf = root.File("CorvWebDemo.clf");
  const std::string htm = root.File("web_corvane_example.htm");
  const Case cases[] = {
      {"missing language file",
       [&] { root.Write("web_corvane_example.htm", "x"); },
       {},
       "the language file " + clf + ": No such file or directory"},
      {"FIFO language file",
       [&] { ASSERT_EQ(::mkfifo(clf.c_str(), 0600), 0); },
       {},
       "the language file " + clf + ": not a regular file"},
      {"missing template",
       [&] {
         std::filesystem::remove(clf);
         std::filesystem::remove(htm);
         root.Write("CorvWebDemo.clf", kKb);
       },
       {},
       "the page template " + htm + ": No such file or directory"},
      {"named language file missing",
       [&] { FillRoot(root); },
       {"--language-file", root.File("mybot.clf")},
       "the language file " + root.File("mybot.clf") +
           ": No such file or directory"},
  };
  for (const Case& c : cases) {
    c.setup();
    std::vector<std::string> args = {"--port", "0", "--root", root.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto before = std::chrono::steady_clock::now();
    const Finished f = RunHttpd(args, 10000);
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::seconds(5))
        << c.what;
    EXPECT_EQ(f.status, 2) << c.what << ": " << f.log;
    EXPECT_NE(f.log.find("corvane-httpd: " + c.message + "\n"),
              std::string::npos)
        << c.what << ": " << f.log;
    EXPECT_EQ(f.log.find("listening"), std::string::npos) << c.what;
  }
}

// The files of the fixed names may be anywhere: an author serves mybot.clf
// as it is, and the brain is saved back to it.
TEST(HttpdOperatorTest, LanguageFileAndTemplateFromOptions) {
  TempDir root, bot;
  bot.Write("mybot.clf", kKb);
  bot.Write("page.htm", "<div><#CorvResp></div>");
  HttpdProcess httpd(root.path(), "",
                     {"--language-file", bot.File("mybot.clf"), "--template",
                      bot.File("page.htm")});
  EXPECT_EQ(Body(Fetch(httpd.port(), "POST", "/", "T1=echo+mine")),
            "<div>Welcome.  Echo: echo mine  </div>");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  EXPECT_NE(bot.Read("mybot.clf").find("Fact {said} = {echo mine}"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(root / "CorvWebDemo.clf"));
}

// A language file that becomes a FIFO after the start is not waited for:
// the new module starts with no knowledge, GET and POST are answered, and
// the first SIGTERM stops the host within the drain time.
TEST(HttpdOperatorTest, AFifoNeverHoldsRequestsOrTheStop) {
  TempDir root;
  FillRoot(root);
  HttpdProcess httpd(root.path(), "", {"--drain-seconds", "2"});
  const std::string clf = root.File("CorvWebDemo.clf");
  std::filesystem::remove(clf);
  ASSERT_EQ(::mkfifo(clf.c_str(), 0600), 0);
  const auto before = std::chrono::steady_clock::now();
  const std::string post = Fetch(httpd.port(), "POST", "/", "T1=echo+x");
  EXPECT_EQ(StatusLine(post), "HTTP/1.1 200 OK");
  EXPECT_NE(Body(post).find("know anything at all"), std::string::npos)
      << Body(post);
  EXPECT_EQ(StatusLine(Fetch(httpd.port(), "GET", "/")), "HTTP/1.1 200 OK");
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  const auto stop = std::chrono::steady_clock::now();
  EXPECT_NE(httpd.Stop(SIGTERM, 10000), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(4));
}

// /healthz and /metrics are pages like any other path unless the operator
// enables them, on the main port (--admin) or on a port of their own.
TEST(HttpdOperatorTest, HealthAndMetrics) {
  TempDir root;
  FillRoot(root);
  {
    HttpdProcess httpd(root.path(), "");
    EXPECT_EQ(Body(Fetch(httpd.port(), "GET", "/healthz")), "<p></p>");
    EXPECT_EQ(Body(Fetch(httpd.port(), "GET", "/metrics")), "<p></p>");
    EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  }
  {
    HttpdProcess httpd(root.path(), "", {"--admin"});
    const std::string health = Fetch(httpd.port(), "GET", "/healthz");
    EXPECT_EQ(StatusLine(health), "HTTP/1.1 200 OK");
    EXPECT_EQ(Body(health), "ok\n");
    EXPECT_EQ(Body(Fetch(httpd.port(), "POST", "/", "T1=echo+a")),
              "<p>Welcome.  Echo: echo a  </p>");
    EXPECT_EQ(Body(Fetch(httpd.port(), "POST", "/", "T1=echo+b")),
              "<p>Echo: echo b  </p>");
    // Only GET and HEAD are the host's; a form posted there is a page.
    EXPECT_EQ(Body(Fetch(httpd.port(), "POST", "/healthz", "T1=echo+c")),
              "<p>Echo: echo c  </p>");
    const std::string metrics = Fetch(httpd.port(), "GET", "/metrics?x=1");
    EXPECT_NE(metrics.find("Content-Type: text/plain; version=0.0.4"),
              std::string::npos);
    const std::string text = Body(metrics);
    for (const char* line :
         {"corvane_http_requests_total{status=\"200\"} 4\n",
          "corvane_turns_total 3\n", "corvane_turn_errors_total 0\n",
          "corvane_modules_in_use 0\n", "corvane_turn_seconds_count 3\n",
          "corvane_http_request_seconds_count 4\n", "corvane_sessions_live 0\n",
          "# TYPE corvane_http_request_seconds histogram\n"}) {
      EXPECT_NE(text.find(std::string("\n") + line), std::string::npos)
          << line << text;
    }
    EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  }
  {
    HttpdProcess httpd(root.path(), "", {"--admin-port", "0"});
    std::string log = httpd.Log();
    for (int i = 0; i < 100 && log.find("admin on") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      log = httpd.Log();
    }
    const std::size_t at = log.find("admin on http://127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << log;
    const int admin = std::atoi(log.c_str() + at + 26);
    EXPECT_EQ(Body(Fetch(admin, "GET", "/healthz")), "ok\n");
    EXPECT_EQ(StatusLine(Fetch(admin, "GET", "/")), "HTTP/1.1 404 Not Found");
    EXPECT_NE(
        Body(Fetch(admin, "GET", "/metrics")).find("corvane_http_connections"),
        std::string::npos);
    // The main port keeps every path for the extension.
    EXPECT_EQ(Body(Fetch(httpd.port(), "GET", "/healthz")), "<p></p>");
    EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  }
}

// Each request is one access line with time, client, method, path,
// status, bytes, milliseconds and session; SIGHUP opens the files anew,
// so a rotated log goes on in a new file.
TEST(HttpdOperatorTest, AccessLogLinesAndSighup) {
  TempDir root, logs;
  FillRoot(root);
  const std::string access = logs.File("access.log");
  const std::string main_log = logs.File("main.log");
  HttpdProcess httpd(
      root.path(), "",
      {"--sessions", "--access-log", access, "--log-file", main_log});
  const std::string first = Fetch(httpd.port(), "POST", "/a?b", "T1=echo+x");
  const std::size_t cookie = first.find("corvane_session=");
  ASSERT_NE(cookie, std::string::npos);
  const std::string id = first.substr(cookie + 16, 32);
  ASSERT_TRUE(WaitForText(access, " POST /a?b 200 "));
  const std::string line = logs.Read("access.log");
  const std::regex shape(
      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z 127\\.0\\.0\\.1 "
      "POST /a\\?b 200 \\d+ \\d+\\.\\d{3} " +
      id + "\n");
  EXPECT_TRUE(std::regex_match(line, shape)) << line;

  std::filesystem::rename(access, access + ".1");
  std::filesystem::rename(main_log, main_log + ".1");
  ::kill(httpd.pid(), SIGHUP);
  ASSERT_TRUE(WaitForText(main_log, "SIGHUP, log files reopened"));
  Fetch(httpd.port(), "GET", "/after");
  ASSERT_TRUE(WaitForText(access, " GET /after 200 "));
  EXPECT_EQ(logs.Read("access.log.1").find("/after"), std::string::npos);
  EXPECT_EQ(Count(logs.Read("access.log"), "\n"), 1);
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  EXPECT_NE(logs.Read("main.log").find("stopped"), std::string::npos);
}

TEST(HttpdOperatorTest, JsonAccessLines) {
  TempDir root;
  FillRoot(root);
  HttpdProcess httpd(root.path(), "", {"--log-format", "json"});
  Fetch(httpd.port(), "GET", "/q?x=1");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  const std::regex shape(
      "\\{\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\","
      "\"client\":\"127\\.0\\.0\\.1\",\"method\":\"GET\",\"path\":\"/q\\?x=1\","
      "\"status\":200,\"bytes\":7,\"ms\":\\d+\\.\\d{3},\"session\":null\\}\n");
  EXPECT_TRUE(std::regex_search(httpd.Log(), shape)) << httpd.Log();
}

// Access lines keep one line and one field per value whatever the client
// sends: blanks and control bytes become "?" in text, escapes in JSON.
TEST(AccessLogTest, ClientTextStaysInItsField) {
  AccessRecord r;
  r.client = "127.0.0.1";
  r.method = "GET";
  r.target = "/a b\r\n\"\\\xE9";
  r.status = 404;
  r.bytes = 12;
  r.latency_us = 1234567;
  r.session = "";
  // 2026-03-07 15:07:09.045 UTC.
  const int64_t when = 1772896029045;
  EXPECT_EQ(AccessLog::FormatLine(r, when, AccessLog::Format::kText),
            "2026-03-07T15:07:09.045Z 127.0.0.1 GET /a?b??\"\\\xE9 404 12 "
            "1234.567 -");
  r.session = "abc";
  EXPECT_EQ(AccessLog::FormatLine(r, when, AccessLog::Format::kJson),
            "{\"time\":\"2026-03-07T15:07:09.045Z\",\"client\":\"127.0.0.1\","
            "\"method\":\"GET\",\"path\":\"/a b\\u000d\\u000a\\\"\\\\\\u00e9\","
            "\"status\":404,\"bytes\":12,\"ms\":1234.567,\"session\":\"abc\"}");
  // A field keeps at most 300 bytes; DEL and the bytes up to the blank
  // become "?", the byte after the blank stays.
  const std::string long_target = "!" + std::string(297, 'a') + "\x1f\x7f\x20x";
  r.target = long_target;
  r.session = "";
  EXPECT_EQ(AccessLog::FormatLine(r, when, AccessLog::Format::kText),
            "2026-03-07T15:07:09.045Z 127.0.0.1 GET !" + std::string(297, 'a') +
                "?? 404 12 1234.567 -");
}

// Under systemd the host says it is ready once it listens, and that it
// stops.
TEST(HttpdOperatorTest, TellsSystemdWhenReady) {
  TempDir root, run;
  FillRoot(root);
  const std::string socket_path = run.File("notify");
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
  std::string messages;
  {
    HttpdProcess httpd(root.path(), "");
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
    char buf[512];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 1000) > 0) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      messages.append(buf, static_cast<std::size_t>(n)).append("|");
    }
  }
  ::close(fd);
  EXPECT_NE(messages.find("READY=1\nSTATUS=listening on http://127.0.0.1:"),
            std::string::npos)
      << messages;
  EXPECT_NE(messages.find("|STOPPING=1|"), std::string::npos) << messages;
}

// One address cannot hold every connection: beyond the cap per address it
// gets 503 at once, and other clients are served.
TEST(HttpdOperatorTest, OneAddressCannotHoldEveryConnection) {
  TempDir root;
  FillRoot(root);
  HttpdProcess httpd(root.path(), "");  // 256 in all, 64 per address.
  std::vector<std::unique_ptr<Client>> tricklers;
  int refused = 0;
  for (int i = 0; i < 80; ++i) {
    tricklers.push_back(std::make_unique<Client>(httpd.port()));
    tricklers.back()->Send("GET / HTTP/1.1\r\nHost: x\r\n");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (auto& c : tricklers)
    if (c->Readable(0) &&
        StatusLine(c->ReadAll()) == "HTTP/1.1 503 Service Unavailable")
      ++refused;
  EXPECT_EQ(refused, 16);
  const auto before = std::chrono::steady_clock::now();
  Client other(httpd.port(), "127.0.0.2");
  other.Send(
      "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: 7\r\n\r\nT1=echo");
  EXPECT_EQ(Body(other.ReadAll()), "<p>Welcome.  Echo: echo  </p>");
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  tricklers.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(StatusLine(Fetch(httpd.port(), "GET", "/")), "HTTP/1.1 200 OK");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  EXPECT_EQ(Count(httpd.Log(), " 503 60 "), 16);
  EXPECT_EQ(Count(httpd.Log(), "(--max-conns-per-address)"), 16);
}

// The host's own errors answer JSON to a client that sends JSON.
TEST(HttpdOperatorTest, HostErrorsAnswerJsonToJson) {
  TempDir root;
  FillRoot(root);
  HttpdProcess httpd(root.path(), "", {"--body-timeout", "1"});
  Client big(httpd.port());
  big.Send(
      "POST /api/reply HTTP/1.1\r\nHost: x\r\nContent-Length: 2097152\r\n"
      "Content-Type: application/json\r\n\r\n{");
  const std::string too_big = big.ReadAll();
  EXPECT_EQ(StatusLine(too_big), "HTTP/1.1 413 Payload Too Large");
  EXPECT_EQ(Body(too_big), "{\"error\":\"Payload Too Large\"}");
  EXPECT_NE(too_big.find("Content-Type: application/json; charset=utf-8"),
            std::string::npos);
  Client late(httpd.port());
  late.Send(
      "POST /api/reply HTTP/1.1\r\nHost: x\r\nContent-Length: 20\r\n"
      "Content-Type: application/json\r\n\r\n{");
  const std::string timeout = late.ReadAll();
  EXPECT_EQ(StatusLine(timeout), "HTTP/1.1 408 Request Timeout");
  EXPECT_EQ(Body(timeout), "{\"error\":\"Request Timeout\"}");
  // A form still gets the page.
  Client form(httpd.port());
  form.Send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2097152\r\n\r\nT");
  EXPECT_NE(Body(form.ReadAll()).find("<html>"), std::string::npos);
  const std::string api =
      Fetch(httpd.port(), "POST", "/api/reply", "{\"input\":\"echo z\"}");
  EXPECT_EQ(StatusLine(api), "HTTP/1.1 415 Unsupported Media Type");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
}

}  // namespace
}  // namespace corvane
