// A fake server for driving the extension in-process: it builds a control
// block for one request, delivers the body in pieces through ReadClient and
// records what the extension sends back.
#ifndef CORVANE_TESTS_WEB_WEB_TEST_HELPERS_H_
#define CORVANE_TESTS_WEB_WEB_TEST_HELPERS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "tests/temp_dir.h"
#include "web/isapi.h"

namespace corvane {

class WebApplication;

struct FakeRequest {
  std::string method = "GET";
  std::string path = "/";
  std::string query;
  std::string content_type;
  std::string body;  // The whole body.
  std::size_t delivered =
      SIZE_MAX;                   // Bytes in lpbData; the rest by ReadClient.
  std::size_t piece = 3;          // Most bytes one ReadClient call gives.
  bool read_fails = false;        // ReadClient answers false.
  std::function<void()> on_read;  // Called at the start of every ReadClient.
  std::map<std::string, std::string> variables;  // Server variables.

  // What the extension sent.
  std::string status;
  std::string headers;
  std::string written;
  int header_calls = 0;
  uint32_t status_code = 0;  // dwHttpStatusCode after the call.
  std::string log_data;      // lpszLogData after the call.

  // Runs the request through `app`, or through the exported entry point
  // when `app` is null. Returns the entry point's result.
  uint32_t Run(WebApplication* app);
};

// Joins lines with CR LF, as language files end their lines.
std::string ClfLines(std::initializer_list<const char*> lines);

}  // namespace corvane

#endif  // CORVANE_TESTS_WEB_WEB_TEST_HELPERS_H_
