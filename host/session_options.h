// The host's session options (--sessions, --max-sessions, --session-idle,
// --session-dir, --store, --store-prefix, --store-lease, --retain,
// --cookie-secure) and their
// handing to the extension through its optional configuration entry point
// (web/isapi.h). Kept apart from the rest of the host, which declares them with
// the rest of its options and calls ApplySessionOptions once the extension is
// loaded.
#ifndef CORVANE_HOST_SESSION_OPTIONS_H_
#define CORVANE_HOST_SESSION_OPTIONS_H_

#include <string>

#include "cli/options.h"

namespace corvane {

struct SessionOptions {
  bool enabled = false;      // --sessions
  std::string max_sessions;  // --max-sessions N; empty: the extension's default
  std::string idle_minutes;  // --session-idle MINUTES; empty: default
  std::string dir;           // --session-dir DIR; empty: sessions are not saved
  std::string store;         // --store URL; empty: conversations in memory
  std::string store_prefix;  // --store-prefix PREFIX; empty: the default
  std::string retain_days;   // --retain DAYS; empty: the default (30)
  std::string lease_seconds;   // --store-lease SECONDS; empty: the default (3)
  bool cookie_secure = false;  // --cookie-secure
};

// The lines of the usage text for these options.
extern const char kSessionUsage[];

// Declares these options on `args`, which fill `*options` as they are read.
// A missing or empty value is a usage problem without the usage text.
void AddSessionOptions(CommandLine& args, SessionOptions* options);

// --store-lease in milliseconds as decimal text; empty when it is not
// given or not 0.01 to 60 seconds.
std::string LeaseMillis(const SessionOptions& options);

// Checks the options as a whole (the others need --sessions). False with
// the reason in *error.
bool CheckSessionOptions(const SessionOptions& options, std::string* error);

// Hands the options to the extension loaded as `library` (a dlopen
// handle): makes the session directory when missing (mode 0700), refuses
// one that is a symbolic link, belongs to another user or that others may
// write, and passes its absolute path; a relative SQLite store path is
// made absolute. Nothing to do without --sessions. False with the
// reason in *error when the extension has no configuration entry point or
// refuses a setting, or the directory cannot be made.
bool ApplySessionOptions(void* library, const SessionOptions& options,
                         std::string* error);

}  // namespace corvane

#endif  // CORVANE_HOST_SESSION_OPTIONS_H_
