// corvane-httpd with the real extension and with a hostile one, on a free
// loopback port with a temporary web root.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <set>
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

// A request whose body is announced in full but sent only in part.
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

// Reads what arrives within `timeout_ms` without waiting for the end.
std::string ReadSome(Client& c, int timeout_ms) {
  std::string out;
  char buf[4096];
  while (c.Readable(timeout_ms)) {
    const ssize_t n = ::recv(c.fd(), buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    timeout_ms = 50;
  }
  return out;
}

// Forty clients that announce a large body and send it a byte at a time
// hold no module: the body is read before the extension is called. A probe
// is served at once; a body that misses its deadline gets 408.
TEST(HttpdTest, SlowBodiesHoldNoModuleAndMissTheirDeadlineWith408) {
  Root root;
  HttpdProcess httpd(root.path(), "",
                     {"--max-body", "1048576", "--body-timeout", "2"});
  constexpr int kAttackers = 40;
  std::vector<std::unique_ptr<Client>> attackers;
  for (int i = 0; i < kAttackers; ++i) {
    attackers.push_back(std::make_unique<Client>(httpd.port()));
    ASSERT_TRUE(attackers.back()->Send(
        "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n\r\nT"));
  }
  // Asking for "100 Continue" and sending nothing holds nothing either.
  Client expect(httpd.port());
  ASSERT_TRUE(
      expect.Send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n"
                  "Expect: 100-continue\r\n\r\n"));
  EXPECT_EQ(ReadSome(expect, 5000), "HTTP/1.1 100 Continue\r\n\r\n");

  const auto before = std::chrono::steady_clock::now();
  const std::string probe = Fetch(httpd.port(), "POST", "/", "T1=echo+probe");
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  EXPECT_EQ(StatusLine(probe), "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(probe), "<p>Welcome.  Echo: echo probe  </p>");

  for (int i = 0; i < kAttackers; ++i) {
    const std::string response = attackers[i]->ReadAll();
    EXPECT_EQ(StatusLine(response), "HTTP/1.1 408 Request Timeout") << i;
    EXPECT_NE(response.find("Connection: close\r\n"), std::string::npos);
  }
  EXPECT_EQ(StatusLine(expect.ReadAll()), "HTTP/1.1 408 Request Timeout");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  EXPECT_EQ(Count(httpd.Log(), " 408 "), kAttackers + 1) << httpd.Log();
}

// Forty requests whose bodies come late are all served once their bodies
// arrive, none refused: no module waits for a client.
TEST(HttpdTest, FortyConcurrentSlowRequestsAreAllServed) {
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
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int early = 0;
  for (int i = 0; i < kClients; ++i)
    if (clients[i]->Readable(0)) ++early;
  EXPECT_EQ(early, 0);
  for (int i = 0; i < kClients; ++i)
    ASSERT_TRUE(clients[i]->Send(bodies[i].substr(3)));
  for (int i = 0; i < kClients; ++i) {
    const std::string response = clients[i]->ReadAll();
    EXPECT_EQ(StatusLine(response), "HTTP/1.1 200 OK");
    // A new module greets first; a reused one does not.
    const std::string body = Body(response);
    const std::string echo = "Echo: echo " + std::to_string(i) + "  </p>";
    EXPECT_TRUE(body == "<p>Welcome.  " + echo || body == "<p>" + echo) << body;
  }
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  const std::string log = httpd.Log();
  EXPECT_GE(Count(log, "Saved the knowledge base"), 1) << log;
  EXPECT_EQ(Count(log, "Saving failed"), 0) << log;
  EXPECT_NE(log.find("stopped; every brain was saved"), std::string::npos);
}

TEST(HttpdTest, SigtermSavesTheModuleAndExitsZero) {
  Root root;
  HttpdProcess httpd(root.path(), "");
  Client a(httpd.port());
  const std::string body_a = "T1=echo+alpha", body_b = "T1=echo+beta";
  ASSERT_TRUE(a.Send(PartialPost(body_a, 2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(a.Send(body_a.substr(2)));
  EXPECT_EQ(Body(a.ReadAll()), "<p>Welcome.  Echo: echo alpha  </p>");
  EXPECT_EQ(Body(Fetch(httpd.port(), "POST", "/", body_b)),
            "<p>Echo: echo beta  </p>");

  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  const std::string log = httpd.Log();
  EXPECT_EQ(Count(log, "Saved the knowledge base"), 1) << log;
  EXPECT_NE(log.find("POST / 200"), std::string::npos) << log;
  const std::string saved = root.Read("CorvWebDemo.clf");
  EXPECT_NE(saved.find("Fact {said} = {echo beta}"), std::string::npos)
      << saved;
}

// A language file that cannot be replaced (here a directory stands in its
// place, which binds even root) is reported as not saved, and the exit
// status says so.
TEST(HttpdTest, FailedSaveIsLoggedAndTheExitStatusIsOne) {
  Root root;
  HttpdProcess httpd(root.path(), "");
  EXPECT_EQ(Body(Fetch(httpd.port(), "POST", "/", "T1=echo+x")),
            "<p>Welcome.  Echo: echo x  </p>");
  std::filesystem::remove(root.path() + "/CorvWebDemo.clf");
  std::filesystem::create_directory(root.path() + "/CorvWebDemo.clf");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 1);
  const std::string log = httpd.Log();
  EXPECT_EQ(Count(log, "Saved the knowledge base"), 0) << log;
  EXPECT_EQ(Count(log, "Saving failed"), 1) << log;
  EXPECT_NE(log.find("stopped; not every brain was saved"), std::string::npos)
      << log;
}

// A turn that outlasts the drain time: the host stops without waiting for
// it, the extension saves what is idle and says not everything was saved,
// and the exit status is 1. A turn within the drain time is answered.
TEST(HttpdTest, SigtermDuringALongTurn) {
  Root root;
  {
    HttpdProcess httpd(root.path(), kFakeExtension, {"--drain-seconds", "10"});
    Client c(httpd.port());
    ASSERT_TRUE(c.Send("GET /slow?1000 HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::seconds(5));
    const std::string response = c.ReadAll();
    EXPECT_EQ(Body(response), "slow done");
    EXPECT_NE(response.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(httpd.Log().find("0 call(s) in progress"), std::string::npos);
  }
  {
    HttpdProcess httpd(root.path(), kFakeExtension, {"--drain-seconds", "1"});
    Client c(httpd.port());
    ASSERT_TRUE(c.Send("GET /slow?8000 HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::seconds(6));
    const std::string log = httpd.Log();
    EXPECT_NE(log.find("1 request(s) still running"), std::string::npos) << log;
    EXPECT_NE(log.find("1 call(s) in progress"), std::string::npos) << log;
    EXPECT_NE(log.find("not every brain was saved"), std::string::npos) << log;
  }
  {
    // A second signal ends the wait at once.
    HttpdProcess httpd(root.path(), kFakeExtension, {"--drain-seconds", "60"});
    Client c(httpd.port());
    ASSERT_TRUE(c.Send("GET /slow?20000 HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = std::chrono::steady_clock::now();
    ::kill(httpd.pid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(httpd.Stop(SIGINT, 5000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::seconds(3));
    EXPECT_NE(httpd.Log().find("again, stopping at once"), std::string::npos);
  }
}

// Turns that take long hold their workers, not the host: other requests
// are answered meanwhile, after at most the pool's short stall time.
TEST(HttpdTest, SlowTurnsDoNotStallOtherRequests) {
  Root root;
  HttpdProcess httpd(root.path(), kFakeExtension);
  std::vector<std::unique_ptr<Client>> slow;
  for (int i = 0; i < 4; ++i) {
    slow.push_back(std::make_unique<Client>(httpd.port()));
    ASSERT_TRUE(slow.back()->Send(
        "GET /slow?3000 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 3; ++i) {
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Body(Fetch(httpd.port(), "GET", "/raw")), "raw body");
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::milliseconds(1000));
  }
  for (auto& c : slow) EXPECT_EQ(Body(c->ReadAll()), "slow done");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
}

// A request that the extension finishes later holds no thread: with one
// loop thread (and 32 more for calls that take long), 40 waiting requests
// leave the host free for others. Each is answered by its completion,
// called on a host thread after a write from the extension's own thread,
// and its connection goes on with the request sent behind it. A
// completion asked for by a call that answered at once is never run.
TEST(HttpdTest, PendingRequestsWaitWithoutAThread) {
  Root root;
  HttpdProcess httpd(root.path(), kFakeExtension, {"--threads", "1"});
  constexpr int kParked = 40;
  std::vector<std::unique_ptr<Client>> parked;
  for (int i = 0; i < kParked; ++i) {
    parked.push_back(std::make_unique<Client>(httpd.port()));
    ASSERT_TRUE(parked.back()->Send(
        "GET /park HTTP/1.1\r\nHost: x\r\n\r\n"
        "GET /raw HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  }
  std::string waiting;
  for (int i = 0; i < 500 && waiting != std::to_string(kParked); ++i) {
    waiting = Body(Fetch(httpd.port(), "GET", "/parked"));
    if (waiting != std::to_string(kParked))
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(waiting, std::to_string(kParked));
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Body(Fetch(httpd.port(), "GET", "/early")), "early");
  EXPECT_FALSE(parked.front()->Readable(50));
  EXPECT_EQ(Body(Fetch(httpd.port(), "GET", "/release")),
            "released " + std::to_string(kParked));
  std::set<std::string> answers;
  for (auto& c : parked) {
    const std::string all = c->ReadAll();
    const std::size_t second = all.find("HTTP/1.1", 1);
    ASSERT_NE(second, std::string::npos) << all;
    const std::string first = all.substr(0, second);
    EXPECT_EQ(StatusLine(first), "HTTP/1.1 200 OK");
    answers.insert(Body(first));
    EXPECT_EQ(Body(all.substr(second)), "raw body");
  }
  // Every parked request got its own answer, none an /early one.
  EXPECT_EQ(answers.size(), static_cast<std::size_t>(kParked));
  for (const std::string& a : answers)
    EXPECT_EQ(a.rfind("parked ", 0), 0u) << a;
  EXPECT_EQ(answers.count("parked 1 bytes=0 error=0"), 1u);
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
}

// The body of a chunked answer, decoded; "(bad)" when the framing is wrong.
// `rest` gets what follows the last chunk.
std::string Dechunk(const std::string& body, std::string* rest) {
  std::string out;
  std::size_t at = 0;
  for (;;) {
    const std::size_t eol = body.find("\r\n", at);
    if (eol == std::string::npos) return "(bad)";
    const std::size_t size =
        std::strtoul(body.substr(at, eol - at).c_str(), nullptr, 16);
    at = eol + 2;
    if (size == 0) {
      if (body.compare(at, 2, "\r\n") != 0) return "(bad)";
      *rest = body.substr(at + 2);
      return out;
    }
    if (at + size + 2 > body.size() || body.compare(at + size, 2, "\r\n") != 0)
      return "(bad)";
    out += body.substr(at, size);
    at += size + 2;
  }
}

std::string Pattern(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>('a' + i % 26);
  return out;
}

// A small answer leaves in one write with its length; one past the
// streaming size (1 MiB) leaves while the extension writes it: chunked for
// HTTP/1.1, with the connection still usable after it, and up to the end of
// the connection for HTTP/1.0.
TEST(HttpdTest, LargeAnswersAreStreamed) {
  Root root;
  HttpdProcess httpd(root.path(), kFakeExtension);
  const std::string small = Fetch(httpd.port(), "GET", "/big?1000");
  EXPECT_NE(small.find("\r\nContent-Length: 1000\r\n"), std::string::npos);
  EXPECT_EQ(Body(small), Pattern(1000));

  Client c(httpd.port());
  ASSERT_TRUE(
      c.Send("GET /big?3000000 HTTP/1.1\r\nHost: x\r\n\r\n"
             "GET /raw HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const std::string both = c.ReadAll();
  const std::string head = both.substr(0, both.find("\r\n\r\n") + 4);
  EXPECT_EQ(StatusLine(both), "HTTP/1.1 200 OK");
  EXPECT_NE(head.find("\r\nTransfer-Encoding: chunked\r\n"), std::string::npos)
      << head;
  EXPECT_NE(head.find("\r\nContent-Type: text/plain\r\n"), std::string::npos);
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
  std::string rest;
  const std::string body = Dechunk(Body(both), &rest);
  EXPECT_EQ(body.size(), 3000000u);
  EXPECT_TRUE(body == Pattern(3000000));
  EXPECT_EQ(StatusLine(rest), "HTTP/1.1 200 OK") << rest.substr(0, 200);
  EXPECT_EQ(Body(rest), "raw body");

  Client old(httpd.port());
  ASSERT_TRUE(old.Send("GET /big?2000000 HTTP/1.0\r\n\r\n"));
  const std::string response = old.ReadAll();
  EXPECT_EQ(StatusLine(response), "HTTP/1.0 200 OK");
  EXPECT_EQ(
      response.substr(0, response.find("\r\n\r\n")).find("Content-Length"),
      std::string::npos);
  EXPECT_TRUE(Body(response) == Pattern(2000000));

  // HEAD sends no body, so nothing is streamed: the length is exact.
  const std::string head_only = Fetch(httpd.port(), "HEAD", "/big?3000000");
  EXPECT_NE(head_only.find("\r\nContent-Length: 3000000\r\n"),
            std::string::npos);
  EXPECT_EQ(Body(head_only), "");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
}

// Many connections whose requests come in the same rounds of the loop, so
// that their answers wait for one another and leave together: each client
// gets exactly its own answers, whole and in order, a large one (more than
// the socket takes at once) among them, and its connection ends after the
// last.
TEST(HttpdTest, AnswersOfManyConnectionsLeaveWholeAndInOrder) {
  Root root;
  HttpdProcess httpd(root.path(), kFakeExtension, {"--threads", "1"});
  constexpr int kClients = 24;
  constexpr int kRequests = 12;
  constexpr std::size_t kBig = 600000;
  std::vector<std::unique_ptr<Client>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::make_unique<Client>(httpd.port()));
    std::string requests;
    for (int i = 0; i < kRequests; ++i) {
      requests += i == kRequests / 2 && c % 4 == 0
                      ? "GET /big?" + std::to_string(kBig)
                      : "GET /echo?" + std::to_string(c) + "-" +
                            std::to_string(i);
      requests += " HTTP/1.1\r\nHost: x\r\n";
      if (i == kRequests - 1) requests += "Connection: close\r\n";
      requests += "\r\n";
    }
    ASSERT_TRUE(clients.back()->Send(requests));
  }
  for (int c = 0; c < kClients; ++c) {
    std::string rest = clients[c]->ReadAll();
    for (int i = 0; i < kRequests; ++i) {
      SCOPED_TRACE("client " + std::to_string(c) + ", answer " +
                   std::to_string(i));
      ASSERT_EQ(StatusLine(rest), "HTTP/1.1 200 OK") << rest.substr(0, 200);
      const std::size_t head_end = rest.find("\r\n\r\n");
      ASSERT_NE(head_end, std::string::npos);
      const std::string head = rest.substr(0, head_end);
      const std::size_t at = head.find("\r\nContent-Length: ");
      ASSERT_NE(at, std::string::npos) << head;
      const std::size_t length =
          std::stoul(head.substr(at + std::strlen("\r\nContent-Length: ")));
      ASSERT_GE(rest.size(), head_end + 4 + length);
      const std::string body = rest.substr(head_end + 4, length);
      if (i == kRequests / 2 && c % 4 == 0) {
        EXPECT_TRUE(body == Pattern(kBig));
      } else {
        EXPECT_NE(body.find(" query=" + std::to_string(c) + "-" +
                            std::to_string(i) + " "),
                  std::string::npos)
            << body;
      }
      EXPECT_EQ(head.find("Connection: close") != std::string::npos,
                i == kRequests - 1)
          << head;
      rest.erase(0, head_end + 4 + length);
    }
    EXPECT_EQ(rest, "");
  }
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
}

// Framing the host cannot be sure of is refused and the connection closed,
// so what follows can never be read as a second request.
TEST(HttpdTest, AmbiguousFramingGets400AndTheConnectionCloses) {
  Root root;
  HttpdProcess httpd(root.path(), kFakeExtension);
  const std::string smuggled = "GET /raw HTTP/1.1\r\nHost: x\r\n\r\n";
  struct Case {
    const char* fields;
    const char* status;
  };
  const Case cases[] = {
      {"Transfer-Encoding: xchunked\r\n", "HTTP/1.1 400 Bad Request"},
      {"Transfer-Encoding: chunked, identity\r\n", "HTTP/1.1 400 Bad Request"},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"Transfer-Encoding: chunked, chunked\r\n", "HTTP/1.1 400 Bad Request"},
      {"Transfer-Encoding: gzip, chunked\r\n", "HTTP/1.1 501 Not Implemented"},
      {"Content-Length: 5\r\nContent-Length: 6\r\n",
       "HTTP/1.1 400 Bad Request"},
  };
  for (const Case& c : cases) {
    Client client(httpd.port());
    ASSERT_TRUE(client.Send(std::string("POST /echo HTTP/1.1\r\nHost: x\r\n") +
                            c.fields + "\r\n0\r\n\r\n" + smuggled));
    const std::string response = client.ReadAll();
    EXPECT_EQ(StatusLine(response), c.status) << c.fields;
    EXPECT_EQ(Count(response, "HTTP/1.1 "), 1) << c.fields << response;
    EXPECT_EQ(response.find("raw body"), std::string::npos) << c.fields;
  }
  {
    Client client(httpd.port());
    ASSERT_TRUE(
        client.Send("POST /echo HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n"
                    "0\r\n\r\n" +
                    smuggled));
    EXPECT_EQ(StatusLine(client.ReadAll()), "HTTP/1.1 400 Bad Request");
  }
  // A chunked body that is framed right is decoded and the next request
  // on the connection is served.
  Client good(httpd.port());
  ASSERT_TRUE(good.Send(
      "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n3;ext=1\r\nabc\r\n0\r\n\r\n"
      "GET /raw HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const std::string both = good.ReadAll();
  EXPECT_NE(both.find("bytes=8 total=8 method=POST"), std::string::npos)
      << both;
  EXPECT_NE(both.find("raw body"), std::string::npos) << both;
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
}

// A 304 or 204 answer with a body leaves without it; the next answer on the
// connection is intact.
TEST(HttpdTest, BodilessStatusesDropTheExtensionsBody) {
  Root root;
  HttpdProcess httpd(root.path(), kFakeExtension);
  Client c(httpd.port());
  ASSERT_TRUE(
      c.Send("GET /304 HTTP/1.1\r\nHost: x\r\n\r\n"
             "GET /204 HTTP/1.1\r\nHost: x\r\n\r\n"
             "GET /raw HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  const std::string all = c.ReadAll();
  const std::size_t second = all.find("HTTP/1.1 204 No Content\r\n");
  const std::size_t third = all.find("HTTP/1.1 200 OK\r\n");
  ASSERT_EQ(all.rfind("HTTP/1.1 304 Not Modified\r\n", 0), 0u) << all;
  ASSERT_NE(second, std::string::npos) << all;
  ASSERT_NE(third, std::string::npos) << all;
  // Each bodiless answer ends right after its empty line.
  EXPECT_EQ(all.find("\r\n\r\n") + 4, second) << all;
  EXPECT_EQ(all.find("\r\n\r\n", second) + 4, third) << all;
  EXPECT_EQ(all.find("stale"), std::string::npos);
  EXPECT_EQ(all.substr(0, second).find("Content-Length"), std::string::npos);
  EXPECT_NE(all.find("ETag: \"v1\"\r\n"), std::string::npos);
  EXPECT_EQ(Body(all.substr(third)), "raw body");
  EXPECT_EQ(httpd.Stop(SIGTERM, 20000), 0);
  EXPECT_NE(httpd.Log().find("dropped 5 body bytes of a 304 answer"),
            std::string::npos);
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
  HttpdProcess httpd(root.path(), kFakeExtension,
                     {"--max-connections", "3", "--max-body", "1048576"});
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

  // Cookies reach the extension as one list; its Set-Cookie reaches the
  // client.
  const std::string cookie = Fetch(httpd.port(), "GET", "/cookie", "",
                                   "Cookie: a=1\r\nCookie: b=2\r\n");
  EXPECT_NE(cookie.find("\r\nSet-Cookie: session=abc; HttpOnly\r\n"),
            std::string::npos)
      << cookie;
  EXPECT_EQ(Body(cookie), "cookie=a=1; b=2");

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
