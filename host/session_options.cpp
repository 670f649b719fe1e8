#include "host/session_options.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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
    "                         them when their visitors return (without "
    "--store)\n"
    "  --store URL            keep every turn of every conversation in a "
    "store:\n"
    "                         sqlite:PATH or redis://HOST:PORT[/DB]\n"
    "  --store-prefix PREFIX  the start of the store's Redis keys (default\n"
    "                         corvane:)\n"
    "  --store-lease SECONDS  how long a host that stops in a turn holds its\n"
    "                         conversation (0.01 to 60; default 3)\n"
    "  --retain DAYS          days a conversation is kept after its last turn\n"
    "                         (default 30; 0: for ever)\n"
    "  --cookie-secure        send the session cookie only over HTTPS\n";

void AddSessionOptions(CommandLine& args, SessionOptions* options) {
  args.Flag("--sessions", [options] { options->enabled = true; });
  args.Flag("--cookie-secure", [options] { options->cookie_secure = true; });
  const std::pair<const char*, std::string*> values[] = {
      {"--max-sessions", &options->max_sessions},
      {"--session-idle", &options->idle_minutes},
      {"--session-dir", &options->dir},
      {"--store", &options->store},
      {"--store-prefix", &options->store_prefix},
      {"--retain", &options->retain_days},
      {"--store-lease", &options->lease_seconds},
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

std::string LeaseMillis(const SessionOptions& options) {
  const std::string& text = options.lease_seconds;
  // Digits, with at most three after a point: whole milliseconds.
  int64_t ms = 0;
  int decimals = -1;
  for (char c : text) {
    if (c == '.' && decimals < 0) {
      decimals = 0;
      continue;
    }
    if (c < '0' || c > '9' || decimals == 3 || ms > 60'000'000) return "";
    ms = ms * 10 + (c - '0');
    if (decimals >= 0) ++decimals;
  }
  if (text.empty() || text == "." || text.back() == '.') return "";
  for (int d = decimals < 0 ? 0 : decimals; d < 3; ++d) ms *= 10;
  if (ms < 10 || ms > 60'000) return "";
  return std::to_string(ms);
}

bool CheckSessionOptions(const SessionOptions& options, std::string* error) {
  if (!options.enabled &&
      (!options.max_sessions.empty() || !options.idle_minutes.empty() ||
       !options.dir.empty())) {
    *error = "--max-sessions, --session-idle and --session-dir need --sessions";
    return false;
  }
  if (!options.enabled && (!options.store.empty() || options.cookie_secure)) {
    *error = "--store and --cookie-secure need --sessions";
    return false;
  }
  if (options.store.empty() &&
      (!options.store_prefix.empty() || !options.retain_days.empty())) {
    *error = "--store-prefix and --retain need --store";
    return false;
  }
  if (options.store.empty() && !options.lease_seconds.empty()) {
    *error = "--store-lease needs --store";
    return false;
  }
  if (!options.lease_seconds.empty() && LeaseMillis(options).empty()) {
    *error = "bad value for --store-lease: give 0.01 to 60 seconds";
    return false;
  }
  if (!options.store.empty() && !options.dir.empty()) {
    *error = "--session-dir and --store cannot be used together";
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
    if (::lstat(options.dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      *error = "the session directory " + options.dir + " is a symbolic link";
      return false;
    }
    if (::realpath(options.dir.c_str(), real) == nullptr ||
        ::stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = "the session directory " + options.dir + " is not a directory";
      return false;
    }
    // Saved sessions are written under names that others could plant links
    // at, were the directory theirs to write.
    if ((st.st_uid != ::geteuid() && st.st_uid != 0) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      *error =
          "the session directory " + options.dir + " may be written by others";
      return false;
    }
    dir = real;
  }
  std::string store = options.store;
  if (store.rfind("sqlite:", 0) == 0 && store.size() > 7 && store[7] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr)
      store = "sqlite:" + std::string(cwd) + "/" + store.substr(7);
  }
  const std::pair<const char*, std::string> settings[] = {
      {"sessions", "1"},
      {"max-sessions", options.max_sessions},
      {"session-idle", options.idle_minutes},
      {"session-dir", dir},
      {"store", store},
      {"store-prefix", options.store_prefix},
      {"retain-days", options.retain_days},
      {"store-lease-ms", LeaseMillis(options)},
      {"cookie-secure", options.cookie_secure ? "1" : ""},
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
