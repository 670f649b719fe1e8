// The request path on hostile input: form decoding, the page producer and
// the host's request handling must stay linear in the input's size.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "host/http_session.h"
#include "host/memory_session.h"
#include "web/form_fields.h"
#include "web/page_producer.h"
#include "web/web_app.h"

namespace corvane {
namespace {

// Bodies made to hurt: escapes that almost decode, empty pieces, many
// fields, one huge field.
void BM_FormDecodeHostile(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::string bodies[] = {Repeat("%%4", n), Repeat("&", n),
                                Repeat("a=&", n), "T1=" + Repeat("%41+", n)};
  for (auto _ : state) {
    for (const std::string& body : bodies) {
      const std::vector<std::string> entries = DecodeFormEntries(body);
      benchmark::DoNotOptimize(FormFieldValue(entries, "T1"));
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4 *
                          static_cast<int64_t>(n));
}
BENCHMARK(BM_FormDecodeHostile)->Range(1 << 10, 1 << 20);

// Templates made to hurt: tags that never close, many tags, long
// parameter texts, bare "<".
void BM_PageProducerHostile(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::string templates[] = {Repeat("<#", n), Repeat("<#x>", n),
                                   "<#x " + Repeat("a=\"b c\" ", n) + ">",
                                   Repeat("<", n)};
  const TagHandler handler = [](std::string_view,
                                const std::vector<TagParam>&) {
    return std::string("r");
  };
  for (auto _ : state) {
    for (const std::string& t : templates)
      benchmark::DoNotOptimize(ProduceContent(t, handler));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4 *
                          static_cast<int64_t>(n));
}
BENCHMARK(BM_PageProducerHostile)->Range(1 << 10, 1 << 20);

// An extension that reads the whole body through ReadClient in small
// pieces and answers with a header block.
uint32_t ReadingExtension(EXTENSION_CONTROL_BLOCK* ecb) {
  char buf[4096];
  uint64_t got = ecb->cbAvailable;
  while (got < ecb->cbTotalBytes) {
    uint32_t n = sizeof buf;
    if (!ecb->ReadClient(ecb->ConnID, buf, &n) || n == 0) break;
    got += n;
  }
  alignas(uint32_t) char headers[] =
      "Content-Type: text/html\r\nContent:\r\n\r\n";
  char status[] = "200 OK";
  uint32_t size = sizeof status - 1;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status,
                             &size, reinterpret_cast<uint32_t*>(headers));
  char body[] = "ok";
  uint32_t bytes = 2;
  ecb->WriteClient(ecb->ConnID, body, &bytes, 0);
  return HSE_STATUS_SUCCESS;
}

// One POST with a body of the given size, delivered in 1 KiB pieces, and
// one request whose header is a long run of fields.
void BM_HostRequestHostile(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  const std::string body = Repeat("%%&", n);
  const std::string post =
      "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::to_string(n) +
      "\r\n\r\n" + body;
  const std::string chunked =
      "POST /x HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n" +
      Repeat("1\r\na\r\n", n) + "0\r\n\r\n";
  HostConfig config;
  config.root = "/nonexistent";
  config.max_body = 8u << 20;
  config.extension = &ReadingExtension;
  // The connection state machine that corvane-httpd runs, on a stream in
  // memory.
  MemoryHost host(config);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ServeInMemory(host, post, 1024));
    benchmark::DoNotOptimize(ServeInMemory(host, chunked, 1024));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(post.size() + chunked.size()));
}
BENCHMARK(BM_HostRequestHostile)->Range(1 << 10, 1 << 20);

// Server callbacks for BM_ExtensionRequest: the body comes in lpbData; the
// answer is counted and dropped.
IsapiBool BenchVariable(HCONN conn, char* name, void* buffer, uint32_t* size) {
  const std::string& root = *static_cast<std::string*>(conn);
  if (std::strcmp(name, "APPL_PHYSICAL_PATH") != 0 || *size <= root.size())
    return kIsapiFalse;
  std::memcpy(buffer, root.c_str(), root.size() + 1);
  return kIsapiTrue;
}
IsapiBool BenchWrite(HCONN, void*, uint32_t*, uint32_t) {
  return kIsapiTrue;
}
IsapiBool BenchRead(HCONN, void*, uint32_t* size) {
  *size = 0;
  return kIsapiTrue;
}
IsapiBool BenchSupport(HCONN, uint32_t, void*, uint32_t*, uint32_t*) {
  return kIsapiTrue;
}

// A new empty directory for a benchmark's web root; empty when none could
// be made.
std::string TempRoot() {
  std::string root =
      (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX")
          .string();
  return mkdtemp(root.data()) != nullptr ? root : std::string();
}

// A whole request through the extension, brain included: a form body whose
// T1 is a long run of short words, or of escapes.
void BM_ExtensionRequest(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  std::string root = TempRoot();
  if (root.empty()) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  std::ofstream(root + "/CorvWebDemo.clf", std::ios::binary)
      << "For-Mode\r\n  Fragment CUSTOM,10,30000, {hello there}, {}, {}\r\n"
         "  Response {Hi.},Just Text,{},{}\r\n"
         "For-Mode\r\n  Fragment CUSTOM-Sub,10,30000, {zz}, {}, {}\r\n"
         "  Response {Zed.},Just Text,{},{}\r\n";
  std::ofstream(root + "/web_corvane_example.htm", std::ios::binary)
      << "<html><body><#CorvResp></body></html>";
  const std::string bodies[] = {"T1=" + Repeat("hello+", n),
                                "T1=" + Repeat("%41%", n)};
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  for (auto _ : state) {
    for (const std::string& body : bodies) {
      std::string data = body;
      char method[] = "POST", empty[] = "", path[] = "/";
      EXTENSION_CONTROL_BLOCK ecb{};
      ecb.cbSize = sizeof ecb;
      ecb.ConnID = &root;
      ecb.lpszMethod = method;
      ecb.lpszQueryString = empty;
      ecb.lpszPathInfo = path;
      ecb.lpszPathTranslated = empty;
      ecb.lpszContentType = empty;
      ecb.cbTotalBytes = static_cast<uint32_t>(data.size());
      ecb.cbAvailable = static_cast<uint32_t>(data.size());
      ecb.lpbData = reinterpret_cast<uint8_t*>(data.data());
      ecb.GetServerVariable = &BenchVariable;
      ecb.WriteClient = &BenchWrite;
      ecb.ReadClient = &BenchRead;
      ecb.ServerSupportFunction = &BenchSupport;
      if (app.HandleRequest(ecb) != HSE_STATUS_SUCCESS) {
        state.SkipWithError("the request failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 *
                          static_cast<int64_t>(n));
  app.DestroyModules();
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_ExtensionRequest)->Range(1 << 10, 1 << 20);

// The extension of BM_KeepAliveRequests.
WebApplication* keep_alive_app = nullptr;
uint32_t KeepAliveExtension(EXTENSION_CONTROL_BLOCK* ecb) {
  return keep_alive_app->HandleRequest(*ecb);
}

// A client's stream in memory for the connection state machine: reads give
// the input in pieces of at most `piece` bytes, then its end; what the host
// writes is counted and dropped, so the client costs next to nothing.
class ScriptedStream {
 public:
  using executor_type = boost::asio::io_context::executor_type;

  ScriptedStream(boost::asio::io_context& io, std::string_view input,
                 std::size_t piece)
      : io_(&io), input_(input), piece_(piece) {}
  executor_type get_executor() { return io_->get_executor(); }

  template <class Buffers, class Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    std::size_t n =
        std::min({piece_, input_.size(), boost::asio::buffer_size(buffers)});
    boost::asio::buffer_copy(buffers, boost::asio::buffer(input_.data(), n));
    input_.remove_prefix(n);
    const boost::system::error_code ec =
        n == 0 ? boost::asio::error::eof : boost::system::error_code();
    boost::asio::post(*io_, [h = std::forward<Handler>(handler), ec,
                             n]() mutable { h(ec, n); });
  }
  template <class Buffers, class Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    const std::size_t n = boost::asio::buffer_size(buffers);
    written_ += n;
    boost::asio::post(*io_, [h = std::forward<Handler>(handler), n]() mutable {
      h(boost::system::error_code(), n);
    });
  }
  template <class Buffers>
  std::size_t write_some(const Buffers& buffers,
                         boost::system::error_code& ec) {
    ec = {};
    written_ += boost::asio::buffer_size(buffers);
    return boost::asio::buffer_size(buffers);
  }
  void close() { input_ = {}; }
  std::size_t written() const { return written_; }

 private:
  boost::asio::io_context* io_;
  std::string_view input_;
  std::size_t piece_;
  std::size_t written_ = 0;
};

// Counts the answers with status 200.
class CountingHost : public SessionHost {
 public:
  explicit CountingHost(HostConfig config) : config_(std::move(config)) {}
  const HostConfig& config() const override { return config_; }
  bool stopping() const override { return false; }
  void LogAccess(const AccessRecord& record) override {
    if (record.status == 200) ++ok_;
  }
  Answer AdminAnswer(const Request& request) override {
    return HostAnswer(request, 404, "text/plain", "");
  }
  std::size_t ok() const { return ok_; }

 private:
  HostConfig config_;
  std::size_t ok_ = 0;
};

// A copy of the demo site whose files are old enough to be read once and
// kept; empty when no directory could be made.
std::string DemoRoot() {
  const std::string root = TempRoot();
  if (root.empty()) return root;
  for (const char* name : {"CorvWebDemo.clf", "web_corvane_example.htm"}) {
    std::filesystem::copy_file(
        std::string(CORVANE_SOURCE_DIR "/demo/wwwroot/") + name,
        root + "/" + name);
    // A file older than two seconds is read once and kept.
    std::filesystem::last_write_time(
        root + "/" + name,
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  }
  return root;
}

// The request of the load test: a GET of the page (0), the form "T1=hello"
// (1) or {"input":"hello"} to the JSON API (2); with `cookie`, the header
// "Cookie: corvane_session=<cookie>".
std::string LoadTestRequest(int kind, const std::string& cookie = "") {
  const std::string cookie_line =
      cookie.empty() ? "" : "Cookie: corvane_session=" + cookie + "\r\n";
  if (kind == 0)
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n" + cookie_line +
           "\r\n";
  const bool json = kind == 2;
  const std::string body = json ? "{\"input\":\"hello\"}" : "T1=hello";
  return std::string("POST ") + (json ? "/api/reply" : "/") +
         " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nContent-Type: " +
         (json ? "application/json" : "application/x-www-form-urlencoded") +
         "\r\n" + cookie_line + "\r\n" + body;
}

// Serves each of `inputs` in turn, one per iteration, as the bytes of one
// keep-alive connection read one request at a time (`piece` bytes), through
// the host's connection state machine and `app`; every answer must be 200.
void ServeConnections(benchmark::State& state, WebApplication& app,
                      const std::string& root,
                      const std::vector<std::string>& inputs,
                      std::size_t piece, std::size_t per_connection) {
  keep_alive_app = &app;
  HostConfig config;
  config.root = root;
  config.extension = &KeepAliveExtension;
  CountingHost host(config);
  boost::asio::io_context io(1);
  std::size_t next = 0;
  for (auto _ : state) {
    auto session = std::make_shared<HttpSession<ScriptedStream>>(
        ScriptedStream(io, inputs[next], piece), host, PeerInfo{});
    next = (next + 1) % inputs.size();
    session->Start();
    io.restart();
    io.run();
  }
  if (host.ok() != static_cast<std::size_t>(state.iterations()) * per_connection)
    state.SkipWithError("not every request was answered with 200");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(per_connection));
  app.DestroyModules();
  keep_alive_app = nullptr;
  std::filesystem::remove_all(root);
}

// What one request of the demo costs outside the kernel: 64 requests on one
// keep-alive connection, each read on its own, through the host's connection
// state machine, the extension from the shared pool and the demo's brain
// (its turn included) on a copy of the demo site: a GET of the page (0), the
// form "T1=hello" (1) and {"input":"hello"} to the JSON API (2), as the load
// test sends them.
void BM_KeepAliveRequests(benchmark::State& state) {
  const std::string root = DemoRoot();
  if (root.empty()) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string request = LoadTestRequest(static_cast<int>(state.range(0)));
  constexpr std::size_t kPerConnection = 64;
  std::string input;
  for (std::size_t i = 0; i < kPerConnection; ++i) input += request;
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  ServeConnections(state, app, root, {input}, request.size(), kPerConnection);
}
BENCHMARK(BM_KeepAliveRequests)->DenseRange(0, 2);

// The same in session mode, as the load test with sessions sends them: the
// form (1) or the JSON API (2), each request with one of 256 session
// cookies in turn, so 256 conversations take turns.
void BM_KeepAliveSessionRequests(benchmark::State& state) {
  const std::string root = DemoRoot();
  if (root.empty()) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const int kind = static_cast<int>(state.range(0));
  constexpr std::size_t kPerConnection = 64;
  constexpr int kSessions = 256;
  std::vector<std::string> inputs(kSessions / kPerConnection);
  std::size_t piece = 0;
  for (int i = 0; i < kSessions; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "%032x", 4096 + i + 1);
    const std::string request = LoadTestRequest(kind, id);
    piece = request.size();
    inputs[static_cast<std::size_t>(i) / kPerConnection] += request;
  }
  WebApplication app;
  app.RegisterModuleClass(TWebModule1Factory());
  if (!app.Configure("sessions", "1")) {
    state.SkipWithError("session mode refused");
    return;
  }
  ServeConnections(state, app, root, inputs, piece, kPerConnection);
}
BENCHMARK(BM_KeepAliveSessionRequests)->DenseRange(1, 2);

}  // namespace
}  // namespace corvane
