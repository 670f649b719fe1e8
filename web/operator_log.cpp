#include "web/operator_log.h"

#include <unistd.h>

#include "platform/operator_messages.h"

namespace corvane {
namespace {

thread_local const std::string* current_file = nullptr;

}  // namespace

std::string FormatOperatorLine(std::time_t when, std::string_view file,
                               std::string_view text) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line = stamp;
  line += " corvane-isapi ";
  line.append(file.empty() ? std::string_view("-") : file);
  line += ": ";
  for (char c : text) line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  line += '\n';
  return line;
}

void LogOperatorLine(std::string_view file, std::string_view text) {
  const std::string line = FormatOperatorLine(std::time(nullptr), file, text);
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n =
        ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

void InstallOperatorLog() {
  SetOperatorMessageHandler([](const std::string& text) {
    LogOperatorLine(current_file ? *current_file : std::string(), text);
  });
}

OperatorFileScope::OperatorFileScope(const std::string& file)
    : previous_(current_file) {
  current_file = &file;
}

OperatorFileScope::~OperatorFileScope() {
  current_file = previous_;
}

}  // namespace corvane
