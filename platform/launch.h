// Starting a separate program for the response type "Action". The command
// line is split the way the Windows command line splits it (blanks and tabs
// separate, double quotes group, backslashes escape a quote) and the program
// is started directly, never through a shell, so no shell metacharacter is
// interpreted. The call does not wait; a reaper thread collects the child so
// no zombie stays behind. Thread-safe.
#ifndef CORVANE_PLATFORM_LAUNCH_H_
#define CORVANE_PLATFORM_LAUNCH_H_

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The arguments of a Windows-style command line.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Starts the program named by the first argument of `command_line` (looked
// up on PATH when it has no slash) in `working_dir`. Returns false when there
// is nothing to start or the program cannot be started; never throws.
bool LaunchProgram(std::string_view command_line, const std::string& working_dir);

// Replaces the launcher (nullptr restores the real one). For tests: the
// replacement receives the command line and the working directory.
using LaunchHook = bool (*)(std::string_view, const std::string&);
void SetLaunchHookForTesting(LaunchHook hook);

}  // namespace corvane

#endif  // CORVANE_PLATFORM_LAUNCH_H_
