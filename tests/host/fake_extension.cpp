// A web-server extension for the host's tests. The path chooses what it
// does: /inject answers with header lines that try to split the response,
// /echo reads the whole body and reports its size and some server
// variables, /error fails without answering, /raw writes a body without a
// header block, /304 and /204 answer with a body their status forbids,
// /cookie echoes the cookies and sets one, /slow?MS takes MS milliseconds,
// /big?N writes N bytes of a pattern in 64 KiB pieces. /park answers
// later: it returns pending, and /release (from another connection) has
// every parked request answered "parked N" by its completion function;
// /early asks for a completion from another thread but answers at once.
// TerminateExtension reports whether a slow call still runs, as an
// extension that cannot save a brain in a turn does.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web/isapi.h"

using corvane::EXTENSION_CONTROL_BLOCK;
using corvane::HSE_VERSION_INFO;

namespace {

std::atomic<int> slow_calls{0};

std::string Variable(EXTENSION_CONTROL_BLOCK* ecb, const char* name) {
  char buf[4096];
  uint32_t size = sizeof buf;
  std::string key = name;
  if (!ecb->GetServerVariable(ecb->ConnID, key.data(), buf, &size))
    return "(none)";
  return std::string(buf);
}

bool Send(EXTENSION_CONTROL_BLOCK* ecb, const char* status,
          const std::string& headers, const std::string& body) {
  alignas(uint32_t) static thread_local char block[8192];
  std::snprintf(block, sizeof block, "%s", headers.c_str());
  std::string status_text = status;
  uint32_t size = static_cast<uint32_t>(status_text.size());
  if (!ecb->ServerSupportFunction(
          ecb->ConnID, corvane::HSE_REQ_SEND_RESPONSE_HEADER,
          status_text.data(), &size, reinterpret_cast<uint32_t*>(block))) {
    return false;
  }
  std::string copy = body;
  uint32_t bytes = static_cast<uint32_t>(copy.size());
  return copy.empty() || ecb->WriteClient(ecb->ConnID, copy.data(), &bytes, 1);
}

std::mutex parked_mutex;
std::vector<EXTENSION_CONTROL_BLOCK*> parked;
std::atomic<int> parked_total{0};

// A parked request's completion: its answer, then done.
void AnswerParked(EXTENSION_CONTROL_BLOCK* ecb, void* context, uint32_t bytes,
                  uint32_t error) {
  const long number = reinterpret_cast<long>(context);
  Send(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n",
       "parked " + std::to_string(number) + " bytes=" + std::to_string(bytes) +
           " error=" + std::to_string(error));
  uint32_t status = corvane::HSE_STATUS_SUCCESS;
  ecb->ServerSupportFunction(ecb->ConnID, corvane::HSE_REQ_DONE_WITH_SESSION,
                             &status, nullptr, nullptr);
}

bool RegisterCompletion(EXTENSION_CONTROL_BLOCK* ecb, long number) {
  return ecb->ServerSupportFunction(
             ecb->ConnID, corvane::HSE_REQ_IO_COMPLETION,
             reinterpret_cast<void*>(&AnswerParked), nullptr,
             reinterpret_cast<uint32_t*>(number)) == 1;
}

void WakeAsync(EXTENSION_CONTROL_BLOCK* ecb) {
  uint32_t none = 0;
  ecb->WriteClient(ecb->ConnID, nullptr, &none, corvane::HSE_IO_ASYNC);
}

}  // namespace

extern "C" {

int32_t GetExtensionVersion(HSE_VERSION_INFO* version) noexcept {
  version->dwExtensionVersion = corvane::MakeExtensionVersion(2, 0);
  std::strcpy(version->lpszExtensionDesc, "fake");
  return 1;
}

uint32_t HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) noexcept {
  const std::string path = ecb->lpszPathInfo;
  if (path == "/inject") {
    Send(ecb, "200 OK\r\nX-Evil: 1",
         "X-Good: yes\r\nX-Bad: a\nSet-Cookie: evil=1\r\nContent-Length: 5\r\n"
         "Transfer-Encoding: chunked\r\nConnection: close\r\nBad Name: x\r\n"
         "X-Ctl: a\x01"
         "b\r\nContent:\r\n\r\n",
         "hello world");
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/echo") {
    std::string body(reinterpret_cast<const char*>(ecb->lpbData),
                     ecb->cbAvailable);
    char buf[65536];
    while (body.size() < ecb->cbTotalBytes) {
      uint32_t n = sizeof buf;
      if (!ecb->ReadClient(ecb->ConnID, buf, &n) || n == 0) break;
      body.append(buf, n);
    }
    const std::string text = "bytes=" + std::to_string(body.size()) +
                             " total=" + std::to_string(ecb->cbTotalBytes) +
                             " method=" + Variable(ecb, "REQUEST_METHOD") +
                             " query=" + Variable(ecb, "QUERY_STRING") +
                             " path=" + Variable(ecb, "PATH_INFO") +
                             " x=" + Variable(ecb, "HTTP_X_TEST") +
                             " root=" + Variable(ecb, "APPL_PHYSICAL_PATH") +
                             "\n";
    Send(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", text);
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/304" || path == "/204") {
    Send(ecb, path == "/304" ? "304 Not Modified" : "204 No Content",
         "ETag: \"v1\"\r\nContent-Length: 5\r\n\r\n", "stale");
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/cookie") {
    Send(
        ecb, "200 OK",
        "Set-Cookie: session=abc; HttpOnly\r\nContent-Type: text/plain\r\n\r\n",
        "cookie=" + Variable(ecb, "HTTP_COOKIE"));
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/slow") {
    ++slow_calls;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::atoi(ecb->lpszQueryString)));
    --slow_calls;
    Send(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", "slow done");
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/big") {
    const std::size_t total = std::strtoul(ecb->lpszQueryString, nullptr, 10);
    alignas(uint32_t) static thread_local char block[64] =
        "Content-Type: text/plain\r\n\r\n";
    char status[] = "200 OK";
    uint32_t status_size = sizeof status - 1;
    ecb->ServerSupportFunction(
        ecb->ConnID, corvane::HSE_REQ_SEND_RESPONSE_HEADER, status,
        &status_size, reinterpret_cast<uint32_t*>(block));
    std::string piece(65536, '\0');
    for (std::size_t done = 0; done < total;) {
      const std::size_t n = std::min(piece.size(), total - done);
      for (std::size_t i = 0; i < n; ++i)
        piece[i] = static_cast<char>('a' + (done + i) % 26);
      uint32_t bytes = static_cast<uint32_t>(n);
      if (!ecb->WriteClient(ecb->ConnID, piece.data(), &bytes, 1)) break;
      done += n;
    }
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/park") {
    const long number = ++parked_total;
    if (!RegisterCompletion(ecb, number)) return corvane::HSE_STATUS_ERROR;
    std::lock_guard<std::mutex> lock(parked_mutex);
    parked.push_back(ecb);
    return corvane::HSE_STATUS_PENDING;
  }
  if (path == "/parked") {
    std::size_t n;
    {
      std::lock_guard<std::mutex> lock(parked_mutex);
      n = parked.size();
    }
    Send(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n",
         std::to_string(n));
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/release") {
    std::vector<EXTENSION_CONTROL_BLOCK*> all;
    {
      std::lock_guard<std::mutex> lock(parked_mutex);
      all.swap(parked);
    }
    // From a thread of the extension's own, as a store's reply would.
    std::thread([all] {
      for (EXTENSION_CONTROL_BLOCK* p : all) WakeAsync(p);
    }).join();
    Send(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n",
         "released " + std::to_string(all.size()));
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/early") {
    // A completion asked for by a call that then answers at once: the
    // server must not run it for this call or a later one.
    if (!RegisterCompletion(ecb, -1)) return corvane::HSE_STATUS_ERROR;
    std::thread([ecb] { WakeAsync(ecb); }).join();
    Send(ecb, "200 OK", "Content-Type: text/plain\r\n\r\n", "early");
    return corvane::HSE_STATUS_SUCCESS;
  }
  if (path == "/raw") {
    std::string text = "raw body";
    uint32_t bytes = static_cast<uint32_t>(text.size());
    ecb->WriteClient(ecb->ConnID, text.data(), &bytes, 1);
    return corvane::HSE_STATUS_SUCCESS;
  }
  return corvane::HSE_STATUS_ERROR;
}

int32_t TerminateExtension(uint32_t) noexcept {
  const int busy = slow_calls.load();
  const std::string line = "fake extension: saved the idle state; " +
                           std::to_string(busy) + " call(s) in progress\n";
  [[maybe_unused]] const ssize_t n =
      ::write(STDERR_FILENO, line.data(), line.size());
  return busy == 0 ? 1 : 0;
}

}  // extern "C"
