// The host's logs: the main log (standard error, or --log-file, which
// standard error then is, so the extension's operator lines go there too)
// and the access log (one line per answered request, into the main log or
// --access-log). Access lines are collected and written together at least
// every 100 ms (or when 32 KiB have gathered), so that serving a request
// costs no system call for its line; every other line is written at once,
// with what was collected before it. Reopen (on SIGHUP) opens the files
// anew, for log rotation.
//
// An access line: time (UTC, milliseconds), client address, method, target,
// status, body bytes, milliseconds taken and the conversation ("-" for
// none):
//   2026-03-07T15:07:09.123Z 127.0.0.1 POST / 200 7415 0.412 5f0c...e1
// or, with the JSON format, one object per line with the members time,
// client, method, path, status, bytes, ms and session.
//
// Thread-safe.
#ifndef CORVANE_HOST_ACCESS_LOG_H_
#define CORVANE_HOST_ACCESS_LOG_H_

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "host/http_host.h"

namespace corvane {

class AccessLog {
 public:
  enum class Format { kText, kJson };

  // Logs to standard error until Open.
  AccessLog() = default;
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // `main_file`: where standard error goes from UseMainFile on (empty:
  // where it is); `access_file`: the access log (empty: the main log).
  // Opens both for appending. False with the reason in *error.
  bool Open(const std::string& main_file, const std::string& access_file,
            Format format, std::string* error);
  // Sends standard error to the main file from now on (once the start has
  // been reported where the operator started the program).
  void UseMainFile();

  // Opens the files anew (after they were moved away); a file that cannot
  // be opened keeps the old descriptor. Writes what was collected first.
  void Reopen();

  // One line of the main log, written now.
  void Line(const std::string& text);
  // One access line, written with the next flush.
  void Access(const AccessRecord& record);
  // Writes what was collected.
  void Flush();

  // The access line of `record` at `when_ms` (milliseconds since the epoch),
  // without line end.
  static std::string FormatLine(const AccessRecord& record, int64_t when_ms,
                                Format format);

 private:
  static constexpr std::size_t kFlushBytes = 32u << 10;
  void FlushLocked();
  // Opens `path` for appending; -1 with *error set.
  static int OpenAppend(const std::string& path, std::string* error);

  std::mutex mutex_;
  std::string main_file_;    // mutex_.
  std::string access_file_;  // mutex_.
  int access_fd_ = 2;        // mutex_; 2: the main log.
  int main_fd_ = -1;         // mutex_; the main file until UseMainFile.
  Format format_ = Format::kText;
  std::string pending_;  // Access lines not yet written; mutex_.
};

}  // namespace corvane

#endif  // CORVANE_HOST_ACCESS_LOG_H_
