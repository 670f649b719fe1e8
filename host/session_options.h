// The host's session options (--sessions, --max-sessions, --session-idle,
// --session-dir) and their handing to the extension through its optional
// configuration entry point (web/isapi.h). Kept apart from the rest of the
// host, which only forwards the arguments and calls ApplySessionOptions
// once the extension is loaded.
#ifndef CORVANE_HOST_SESSION_OPTIONS_H_
#define CORVANE_HOST_SESSION_OPTIONS_H_

#include <string>

namespace corvane {

struct SessionOptions {
  bool enabled = false;      // --sessions
  std::string max_sessions;  // --max-sessions N; empty: the extension's default
  std::string idle_minutes;  // --session-idle MINUTES; empty: default
  std::string dir;           // --session-dir DIR; empty: sessions are not saved
};

// The lines of the usage text for these options.
extern const char kSessionUsage[];

// Takes the option at argv[*i] when it is one of these, advancing *i past
// its value. Returns 1 when taken, 0 when it is not a session option, -1 on
// a missing or bad value (with the reason in *error).
int TakeSessionOption(int argc, char** argv, int* i, SessionOptions* options,
                      std::string* error);

// Checks the options as a whole (the others need --sessions). False with
// the reason in *error.
bool CheckSessionOptions(const SessionOptions& options, std::string* error);

// Hands the options to the extension loaded as `library` (a dlopen
// handle): makes the session directory when missing (mode 0700) and passes
// its absolute path. Nothing to do without --sessions. False with the
// reason in *error when the extension has no configuration entry point or
// refuses a setting, or the directory cannot be made.
bool ApplySessionOptions(void* library, const SessionOptions& options,
                         std::string* error);

}  // namespace corvane

#endif  // CORVANE_HOST_SESSION_OPTIONS_H_
