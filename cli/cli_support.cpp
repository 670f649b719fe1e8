#include "cli/cli_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace corvane {

std::optional<uint64_t> ParseSeed(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

CommandStyle SubcommandStyle(const char* name, const char* usage) {
  CommandStyle style;
  style.prefix = std::string("corvane ") + name + ": ";
  style.usage = usage;
  style.usage_gap = "\n";
  style.help = usage;
  return style;
}

CommandStyle OneFileStyle(const char* name, const char* usage) {
  CommandStyle style = SubcommandStyle(name, usage);
  style.max_words = 1;
  style.too_many_words = "more than one FILE.clf given";
  return style;
}

uint64_t SeedValue(const std::string& value) {
  const std::optional<uint64_t> seed = ParseSeed(value);
  if (!seed) throw UsageProblem("--seed needs a number, not '" + value + "'");
  return *seed;
}

TraceFormat TraceFormatValue(const char* option, const std::string& value) {
  if (value == "text") return TraceFormat::kText;
  if (value == "json") return TraceFormat::kJson;
  throw UsageProblem(std::string(option) + " takes text or json, not '" +
                     value + "'");
}

std::string UnreadableFileProblem(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0)
    return "cannot read " + path + ": " + std::strerror(errno);
  if (S_ISDIR(info.st_mode))
    return "cannot read " + path + ": " + std::strerror(EISDIR);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr)
    return "cannot read " + path + ": " + std::strerror(errno);
  std::fclose(file);
  return {};
}

LineInput::Result LineInput::Next(std::string& line) {
  line.clear();
  bool any = false;
  bool too_long = false;
  for (;;) {
    const int c = getc_unlocked(stream_);
    if (c == EOF) {
      if (!any) return Result::kEnd;
      break;
    }
    any = true;
    if (c == '\n') break;
    if (too_long) continue;
    if (line.size() > limit_) {
      // One byte past the limit (a CR that ends the line may still come):
      // the line is too long unless that byte is the CR of its CR LF.
      too_long = true;
      line.clear();
      line.shrink_to_fit();
      continue;
    }
    line.push_back(static_cast<char>(c));
  }
  if (!too_long && !line.empty() && line.back() == '\r') line.pop_back();
  if (!too_long && line.size() > limit_) too_long = true;
  if (too_long) {
    line.clear();
    return Result::kTooLong;
  }
  return Result::kLine;
}

std::string OneLine(std::string reply) {
  for (char& c : reply)
    if (c == '\r' || c == '\n') c = ' ';
  return reply;
}

std::string SourceText(const SourceLocation& source) {
  if (!source.from_file()) return "created by conversation";
  return *source.file + ":" + std::to_string(source.line);
}

std::string TemporaryFileWith(const std::string& stem, std::string_view data) {
  std::error_code error;
  std::string path =
      (std::filesystem::temp_directory_path(error) / (stem + "XXXXXX"))
          .string();
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return {};
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  const bool closed = ::close(fd) == 0;
  if (!data.empty() || !closed) {
    ::unlink(path.c_str());
    return {};
  }
  return path;
}

void ReportError(const char* kind, const char* message) {
  std::fprintf(stderr, "corvane: %s: %s\n", kind, message);
  std::fflush(stderr);
}

}  // namespace corvane
