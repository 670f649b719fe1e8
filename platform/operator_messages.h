// Operator messages: problems that the language-file reader and writer
// report to whoever runs the system. The embedding program sets the handler
// (the command line prints to standard error, the web host logs); without
// one, messages go to standard error. Thread-safe.
#ifndef CORVANE_PLATFORM_OPERATOR_MESSAGES_H_
#define CORVANE_PLATFORM_OPERATOR_MESSAGES_H_

#include <functional>
#include <string>

namespace corvane {

using OperatorMessageHandler = std::function<void(const std::string&)>;

// Installs `handler` process-wide and returns the previous one.
OperatorMessageHandler SetOperatorMessageHandler(OperatorMessageHandler handler);

// Hands `text` to the handler; returns when the handler returns.
void ShowOperatorMessage(const std::string& text);

}  // namespace corvane

#endif  // CORVANE_PLATFORM_OPERATOR_MESSAGES_H_
