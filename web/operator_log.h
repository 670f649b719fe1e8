// The extension's operator log: problems of the language-file reader and
// writer, and the saving of each brain, as one line each on standard error
// (the host's log), led by a time stamp and the language file concerned.
// Thread-safe.
#ifndef CORVANE_WEB_OPERATOR_LOG_H_
#define CORVANE_WEB_OPERATOR_LOG_H_

#include <ctime>
#include <string>
#include <string_view>

namespace corvane {

// "2026-03-07 15:07:09 corvane-isapi <file>: <text>" with control bytes of
// `text` shown as blanks, so one message stays one line.
std::string FormatOperatorLine(std::time_t when, std::string_view file,
                               std::string_view text);

// Writes one line for `text` about `file` to standard error in one write.
void LogOperatorLine(std::string_view file, std::string_view text);

// Routes ShowOperatorMessage to LogOperatorLine, naming the file of the
// innermost OperatorFileScope of the calling thread.
void InstallOperatorLog();

// While it lives, operator messages of this thread concern `file`.
class OperatorFileScope {
 public:
  explicit OperatorFileScope(const std::string& file);
  ~OperatorFileScope();
  OperatorFileScope(const OperatorFileScope&) = delete;
  OperatorFileScope& operator=(const OperatorFileScope&) = delete;

 private:
  const std::string* previous_;
};

}  // namespace corvane

#endif  // CORVANE_WEB_OPERATOR_LOG_H_
