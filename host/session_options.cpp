#include "host/session_options.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "web/isapi.h"

namespace corvane {

const char kSessionUsage[] =
    "  --sessions             every visitor their own conversation, kept by a\n"
    "                         cookie; the language file is never written\n"
    "  --max-sessions N       live sessions at most; the least recently used\n"
    "                         ends first (default 1000)\n"
    "  --session-idle MIN     minutes without a request that end a session\n"
    "                         (default 30)\n"
    "  --session-dir DIR      save live sessions here at shutdown and resume\n"
    "                         them when their visitors return\n";

void AddSessionOptions(CommandLine& args, SessionOptions* options) {
  args.Flag("--sessions", [options] { options->enabled = true; });
  const std::pair<const char*, std::string*> values[] = {
      {"--max-sessions", &options->max_sessions},
      {"--session-idle", &options->idle_minutes},
      {"--session-dir", &options->dir},
  };
  for (const auto& [name, slot] : values) {
    const std::string option = name;
    args.Value(option, false,
               UsageProblem(option + " needs a value", /*with_usage=*/false),
               [option, slot = slot](const std::string& value) {
                 if (value.empty())
                   throw UsageProblem("bad value for " + option,
                                      /*with_usage=*/false);
                 *slot = value;
               });
  }
}

bool CheckSessionOptions(const SessionOptions& options, std::string* error) {
  if (!options.enabled &&
      (!options.max_sessions.empty() || !options.idle_minutes.empty() ||
       !options.dir.empty())) {
    *error = "--max-sessions, --session-idle and --session-dir need --sessions";
    return false;
  }
  return true;
}

bool ApplySessionOptions(void* library, const SessionOptions& options,
                         std::string* error) {
  if (!options.enabled) return true;
  auto configure = reinterpret_cast<ConfigureExtensionFn>(
      ::dlsym(library, kConfigureExtensionName));
  if (configure == nullptr) {
    *error = "the extension has no sessions";
    return false;
  }
  std::string dir;
  if (!options.dir.empty()) {
    if (::mkdir(options.dir.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot make the session directory " + options.dir + ": " +
               std::strerror(errno);
      return false;
    }
    char real[PATH_MAX];
    struct stat st {};
    if (::realpath(options.dir.c_str(), real) == nullptr ||
        ::stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = "the session directory " + options.dir + " is not a directory";
      return false;
    }
    dir = real;
  }
  const std::pair<const char*, std::string> settings[] = {
      {"sessions", "1"},
      {"max-sessions", options.max_sessions},
      {"session-idle", options.idle_minutes},
      {"session-dir", dir},
  };
  for (const auto& [name, value] : settings) {
    if (value.empty()) continue;
    if (!configure(name, value.c_str())) {
      *error = std::string("bad ") + name + " " + value;
      return false;
    }
  }
  return true;
}

}  // namespace corvane
