// The request path on hostile input: form decoding, the page producer and
// the host's request handling must stay linear in the input's size.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_util.h"
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

// A whole request through the extension, brain included: a form body whose
// T1 is a long run of short words, or of escapes.
void BM_ExtensionRequest(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  std::string root =
      (std::filesystem::temp_directory_path() / "corvane-bench-XXXXXX")
          .string();
  if (mkdtemp(root.data()) == nullptr) {
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

}  // namespace
}  // namespace corvane
