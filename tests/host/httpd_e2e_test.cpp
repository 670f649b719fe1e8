// corvane-httpd with the real extension and with a hostile one, on a free
// loopback port with a temporary web root.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/host/host_test_helpers.h"

namespace corvane {
namespace {

const char kFakeExtension[] = CORVANE_BINARY_DIR "/corvane-fake-extension.so";

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

class Root {
 public:
  Root() {
    std::string templ =
        (std::filesystem::temp_directory_path() / "corvane-httpd-XXXXXX")
            .string();
    path_ = ::mkdtemp(templ.data());
    Write("CorvWebDemo.clf", kKb);
    Write("web_corvane_example.htm", "<p><#CorvResp></p>");
  }
  ~Root() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  void Write(const std::string& name, const std::string& data) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << data;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A request whose body is announced in full but sent only in part: its
// module stays in use until the rest comes.
std::string PartialPost(const std::string& body, std::size_t sent) {
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, sent);
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++n;
  return n;
}

TEST(HttpdTest, FortyConcurrentSlowRequestsMeetTheLimitOfThirtyTwo) {
  Root root;
  HttpdProcess httpd(root.path(), "");
  constexpr int kClients = 40;
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::string> bodies;
  for (int i = 0; i < kClients; ++i) {
    bodies.push_back("T1=echo+" + std::to_string(i));
    clients.push_back(std::make_unique<Client>(httpd.port()));
    ASSERT_TRUE(clients.back()->Send(PartialPost(bodies.back(), 3)));
  }
  // Eight answers come while 32 modules wait for their bodies.
  std::vector<bool> answered(kClients, false);
  const std::string page =
      "<html><title>Internal Server Error 500</title>\r\n"
      "<h1>Internal Server Error 500</h1><hr>\r\n"
      "Exception: EWebModuleError<br>\r\n"
      "Message: Maximum number of concurrent connections exceeded.  Please try "
      "again "
      "later<br></html>\r\n";
  int refused = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (refused < kClients - 32 &&
         std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < kClients; ++i) {
      if (answered[i] || !clients[i]->Readable(0)) continue;
      const std::string response = clients[i]->ReadAll();
      answered[i] = true;
      ++refused;
      EXPECT_EQ(StatusLine(response),
                "HTTP/1.1 500 Maximum number of concurrent connections "
                "exceeded.  Please "
                "try again later");
      EXPECT_EQ(Body(response), page);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(refused, kClients - 32);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int early = 0;
  for (int i = 0; i < kClients; ++i)
    if (!answered[i] && clients[i]->Readable(0)) ++early;
  EXPECT_EQ(early, 0);

  int served = 0;
  for (int i = 0; i < kClients; ++i) {
    if (answered[i]) continue;
    ASSERT_TRUE(clients[i]->Send(bodies[i].substr(3)));
  }
  for (int i = 0; i < kClients; ++i) {
    if (answered[i]) continue;
    const std::string response = clients[i]->ReadAll();
    EXPECT_EQ(StatusLine(response), "HTTP/1.1 200 OK");
    EXPECT_EQ(Body(response),
              "<p>Welcome.  Echo: echo " + std::to_string(i) + "  </p>");
    ++served;
  }
  EXPECT_EQ(served, 32);
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  EXPECT_EQ(Count(httpd.Log(), "Saved the knowledge base"), 32);
}

TEST(HttpdTest, SigtermSavesEveryModuleAndTheLastOneWins) {
  Root root;
  HttpdProcess httpd(root.path(), "");
  // Two requests at once make two modules; A finishes first.
  Client a(httpd.port()), b(httpd.port());
  const std::string body_a = "T1=echo+alpha", body_b = "T1=echo+beta";
  ASSERT_TRUE(a.Send(PartialPost(body_a, 2)));
  ASSERT_TRUE(b.Send(PartialPost(body_b, 2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(a.Send(body_a.substr(2)));
  EXPECT_EQ(Body(a.ReadAll()), "<p>Welcome.  Echo: echo alpha  </p>");
  ASSERT_TRUE(b.Send(body_b.substr(2)));
  EXPECT_EQ(Body(b.ReadAll()), "<p>Welcome.  Echo: echo beta  </p>");

  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  const std::string log = httpd.Log();
  EXPECT_EQ(Count(log, "Saved the knowledge base"), 2) << log;
  EXPECT_NE(log.find("POST / 200"), std::string::npos) << log;
  const std::string saved = root.Read("CorvWebDemo.clf");
  EXPECT_NE(saved.find("Fact {said} = {echo beta}"), std::string::npos)
      << saved;
  EXPECT_EQ(saved.find("alpha"), std::string::npos);
}

TEST(HttpdTest, BodyOverTheLimitGets413WithoutReachingTheExtension) {
  Root root;
  HttpdProcess httpd(root.path(), "");
  Client c(httpd.port());
  ASSERT_TRUE(
      c.Send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2097152\r\n"
             "Content-Type: application/x-www-form-urlencoded\r\n\r\nT1=echo"));
  EXPECT_EQ(StatusLine(c.ReadAll()), "HTTP/1.1 413 Payload Too Large");
  // The brain was not asked: the greeting still leads the first reply.
  const std::string response = Fetch(httpd.port(), "POST", "/", "T1=echo+x");
  EXPECT_EQ(Body(response), "<p>Welcome.  Echo: echo x  </p>");
  EXPECT_NE(response.find("Content-Length: 31\r\n"), std::string::npos)
      << response;
  // GET without a body: the tag goes, the brain is not asked.
  EXPECT_EQ(Body(Fetch(httpd.port(), "GET", "/any/path?q=1")), "<p></p>");
  EXPECT_EQ(httpd.Stop(SIGINT, 20000), 0);
}

TEST(HttpdTest, HostGuardsWhatTheExtensionSends) {
  Root root;
  HttpdProcess httpd(root.path(), kFakeExtension, {"--max-connections", "3"});
  const std::string inject = Fetch(httpd.port(), "GET", "/inject");
  EXPECT_EQ(StatusLine(inject), "HTTP/1.1 200 OK");
  const std::string head = inject.substr(0, inject.find("\r\n\r\n") + 2);
  EXPECT_NE(head.find("\r\nX-Good: yes\r\n"), std::string::npos) << head;
  for (const char* bad : {"X-Evil", "X-Bad", "evil=1", "chunked", "Bad Name",
                          "X-Ctl", "Content:", "Content-Length: 5"}) {
    EXPECT_EQ(head.find(bad), std::string::npos) << bad << " in " << head;
  }
  EXPECT_NE(head.find("Content-Length: 11\r\n"), std::string::npos) << head;
  EXPECT_EQ(Body(inject), "hello world");

  // A body beyond what came with the header is read through ReadClient;
  // two requests share one connection.
  const std::string big(300000, 'x');
  Client c(httpd.port());
  ASSERT_TRUE(c.Send(
      "POST /echo?a=b HTTP/1.1\r\nHost: x\r\nX-Test: t\r\nContent-Length: " +
      std::to_string(big.size()) + "\r\n\r\n" + big +
      "GET /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const std::string both = c.ReadAll();
  EXPECT_NE(both.find("bytes=300000 total=300000 method=POST query=a=b "
                      "path=/echo x=t root=" +
                      root.path() + "/\n"),
            std::string::npos)
      << both.substr(0, 400);
  EXPECT_NE(both.find("bytes=0 total=0 method=GET query= path=/echo x=(none)"),
            std::string::npos);

  EXPECT_EQ(StatusLine(Fetch(httpd.port(), "GET", "/error")),
            "HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(Body(Fetch(httpd.port(), "GET", "/raw")), "raw body");
  EXPECT_EQ(StatusLine(Fetch(httpd.port(), "GET", "/%00")),
            "HTTP/1.1 400 Bad Request");
  Client garbage(httpd.port());
  garbage.Send("NOT HTTP\r\n\r\n");
  EXPECT_EQ(StatusLine(garbage.ReadAll()), "HTTP/1.1 400 Bad Request");

  // Above the connection cap, a new connection gets 503 at once.
  Client idle1(httpd.port()), idle2(httpd.port()), idle3(httpd.port());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(StatusLine(Fetch(httpd.port(), "GET", "/raw")),
            "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
}

}  // namespace
}  // namespace corvane
