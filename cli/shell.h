// The interactive shell of `corvane chat`, used when standard input is a
// terminal: a banner, line editing and a history kept in
// ~/.corvane_history (libedit), and commands that begin with "/".
#ifndef CORVANE_CLI_SHELL_H_
#define CORVANE_CLI_SHELL_H_

#include <cstdint>
#include <optional>
#include <string>

#include "cli/chat_session.h"
#include "cli/trace_format.h"

namespace corvane {

// The options of `corvane chat`.
struct ChatOptions {
  std::optional<uint64_t> seed;
  bool save = false;    // Save at the end (also set by --save-to).
  std::string save_to;  // --save-to: the file saves go to.
  TraceFormat trace = TraceFormat::kNone;
  std::string path;
};

// Converses with `session` (already loaded) until /quit or the end of
// input, then stops the brain and saves when options.save. Returns the
// exit status of `corvane chat`.
int RunShell(ChatSession& session, const ChatOptions& options);

// What a shell command prints, for the commands that only read the brain:
// "/facts" (every fact, its value and where it was set) and "/state" (mode,
// state, procedure and step). Each line ends in a line end.
std::string FactsText(const BrainClass& brain);
std::string StateText(const BrainClass& brain);

}  // namespace corvane

#endif  // CORVANE_CLI_SHELL_H_
