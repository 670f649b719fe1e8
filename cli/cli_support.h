// Pieces the subcommands of the corvane command share: option values,
// the test that a knowledge-base file can be read, bounded reading of input
// lines, and the one-line form of a reply.
#ifndef CORVANE_CLI_CLI_SUPPORT_H_
#define CORVANE_CLI_CLI_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "cli/options.h"
#include "cli/trace_format.h"
#include "engine/item.h"

namespace corvane {

// The longest input line a conversation takes, without its line end.
inline constexpr std::size_t kMaxInputLine = std::size_t{1} << 20;

// A decimal number from 0 to 2^64-1, nothing else.
std::optional<uint64_t> ParseSeed(std::string_view text);

// The command line of `corvane NAME`: problems as "corvane NAME: PROBLEM",
// a blank line and `usage` on standard error; -h and --help print `usage`;
// "--" ends the options; unknown options are "unknown option '...'".
CommandStyle SubcommandStyle(const char* name, const char* usage);

// The same for a command that reads one FILE.clf: a second word is "more
// than one FILE.clf given".
CommandStyle OneFileStyle(const char* name, const char* usage);

// The value of --seed; throws UsageProblem when it is not a number.
uint64_t SeedValue(const std::string& value);

// The value of `option` (--trace, --coverage): "text" or "json"; throws
// UsageProblem otherwise.
TraceFormat TraceFormatValue(const char* option, const std::string& value);

// Empty when `path` names a regular file that can be opened for reading;
// otherwise what is wrong, as "cannot read PATH: REASON".
std::string UnreadableFileProblem(const std::string& path);

// Reads lines from a stream, each without its line end (LF, or CR LF).
// A line longer than `limit` bytes is skipped up to its line end without
// being kept, so memory stays bounded by the limit whatever the input.
// Not thread-safe; does not own the stream.
class LineInput {
 public:
  enum class Result { kLine, kTooLong, kEnd };

  explicit LineInput(std::FILE* stream, std::size_t limit = kMaxInputLine)
      : stream_(stream), limit_(limit) {}

  // kLine with the line in `line`; kTooLong when the line exceeded the
  // limit (`line` is then empty); kEnd at the end of input. The last line
  // may lack a line end.
  Result Next(std::string& line);

 private:
  std::FILE* stream_;
  std::size_t limit_;
};

// `reply` with every CR and LF byte replaced by a blank, so that a reply
// always takes exactly one output line.
std::string OneLine(std::string reply);

// Where an item came from, for authors: "kb.clf:12", or "created by
// conversation" for items without a file.
std::string SourceText(const SourceLocation& source);

// A new file holding `data`, in the directory TMPDIR names (/tmp without
// it), its name beginning with `stem`: its path, or empty when it could not
// be made or written. The caller removes it.
std::string TemporaryFileWith(const std::string& stem, std::string_view data);

// Reports an error that abandoned an operation of the brain on standard
// error as "corvane: KIND: MESSAGE".
void ReportError(const char* kind, const char* message);

}  // namespace corvane

#endif  // CORVANE_CLI_CLI_SUPPORT_H_
