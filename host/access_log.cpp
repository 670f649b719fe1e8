#include "host/access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace corvane {
namespace {

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
}

// Appends the client's text as one field: blanks and control bytes as "?",
// at most 300 bytes.
void AppendField(std::string& out, std::string_view text) {
  if (text.empty()) {
    out += '-';
    return;
  }
  text = text.substr(0, 300);
  const std::size_t start = out.size();
  out.append(text);
  for (std::size_t i = start; i < out.size(); ++i) {
    const unsigned char u = static_cast<unsigned char>(out[i]);
    if (u <= 0x20 || u == 0x7F) out[i] = '?';
  }
}

// `text` as a JSON string; bytes outside ASCII as \u00XX, so the line is
// always valid UTF-8 whatever the client sent.
std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text.substr(0, 300)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Appends `v` with at least `width` digits.
void AppendDigits(std::string& out, int64_t v, int width) {
  char buf[24];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0 || n < width);
  while (n > 0) out += buf[--n];
}

// Appends "2026-03-07T15:07:09.123Z". The date and time of the second are
// made once per second and thread; the milliseconds every time.
void AppendTime(std::string& out, int64_t when_ms) {
  thread_local int64_t cached_second = -1;
  thread_local std::string cached;
  const int64_t second = when_ms / 1000;
  if (second != cached_second) {
    const std::time_t t = static_cast<std::time_t>(second);
    std::tm tm{};
    gmtime_r(&t, &tm);
    cached.clear();
    AppendDigits(cached, tm.tm_year + 1900, 4);
    cached += '-';
    AppendDigits(cached, tm.tm_mon + 1, 2);
    cached += '-';
    AppendDigits(cached, tm.tm_mday, 2);
    cached += 'T';
    AppendDigits(cached, tm.tm_hour, 2);
    cached += ':';
    AppendDigits(cached, tm.tm_min, 2);
    cached += ':';
    AppendDigits(cached, tm.tm_sec, 2);
    cached += '.';
    cached_second = second;
  }
  out += cached;
  AppendDigits(out, when_ms % 1000, 3);
  out += 'Z';
}

std::string Time(int64_t when_ms) {
  std::string out;
  AppendTime(out, when_ms);
  return out;
}

// Appends microseconds as milliseconds with three decimals: "0.412".
void AppendMillis(std::string& out, int64_t us) {
  if (us < 0) us = 0;
  AppendDigits(out, us / 1000, 1);
  out += '.';
  AppendDigits(out, us % 1000, 3);
}

std::string Millis(int64_t us) {
  std::string out;
  AppendMillis(out, us);
  return out;
}

// Appends the plain line of `r`: time, client, method, path, status,
// bytes, milliseconds and session, separated by blanks.
void AppendTextLine(std::string& out, const AccessRecord& r, int64_t when_ms) {
  AppendTime(out, when_ms);
  out += ' ';
  AppendField(out, r.client);
  out += ' ';
  AppendField(out, r.method);
  out += ' ';
  AppendField(out, r.target);
  out += ' ';
  AppendDigits(out, r.status, 1);
  out += ' ';
  AppendDigits(out, static_cast<int64_t>(r.bytes), 1);
  out += ' ';
  AppendMillis(out, r.latency_us);
  out += ' ';
  AppendField(out, r.session);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string AccessLog::FormatLine(const AccessRecord& r, int64_t when_ms,
                                  Format format) {
  if (format == Format::kJson) {
    const std::string ms = Millis(r.latency_us);
    return "{\"time\":\"" + Time(when_ms) +
           "\",\"client\":" + JsonString(r.client) +
           ",\"method\":" + JsonString(r.method) +
           ",\"path\":" + JsonString(r.target) +
           ",\"status\":" + std::to_string(r.status) +
           ",\"bytes\":" + std::to_string(r.bytes) + ",\"ms\":" + ms +
           ",\"session\":" +
           (r.session.empty() ? std::string("null") : JsonString(r.session)) +
           "}";
  }
  std::string line;
  AppendTextLine(line, r, when_ms);
  return line;
}

int AccessLog::OpenAppend(const std::string& path, std::string* error) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0 && error != nullptr)
    *error = "cannot open the log " + path + ": " + std::strerror(errno);
  return fd;
}

bool AccessLog::Open(const std::string& main_file,
                     const std::string& access_file, Format format,
                     std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  format_ = format;
  if (!main_file.empty()) {
    main_fd_ = OpenAppend(main_file, error);
    if (main_fd_ < 0) return false;
    main_file_ = main_file;
  }
  if (!access_file.empty()) {
    const int fd = OpenAppend(access_file, error);
    if (fd < 0) return false;
    access_fd_ = fd;
    access_file_ = access_file;
  }
  return true;
}

void AccessLog::UseMainFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (main_fd_ < 0) return;
  FlushLocked();
  // Standard error itself goes to the file, so the extension's lines
  // (written there directly) join the host's.
  ::dup2(main_fd_, STDERR_FILENO);
  ::close(main_fd_);
  main_fd_ = -1;
}

void AccessLog::Reopen() {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushLocked();
  if (!main_file_.empty()) {
    const int fd = OpenAppend(main_file_, nullptr);
    if (fd >= 0) {
      ::dup2(fd, STDERR_FILENO);
      ::close(fd);
    }
  }
  if (!access_file_.empty()) {
    const int fd = OpenAppend(access_file_, nullptr);
    if (fd >= 0) {
      ::close(access_fd_);
      access_fd_ = fd;
    }
  }
}

void AccessLog::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushLocked();
  WriteAll(STDERR_FILENO, text + "\n");
}

void AccessLog::Access(const AccessRecord& record) {
  // Made outside the lock, in a text that each thread keeps.
  thread_local std::string line;
  line.clear();
  const int64_t now_ms = NowMs();
  if (format_ == Format::kText) {
    AppendTextLine(line, record, now_ms);
  } else {
    line = FormatLine(record, now_ms, format_);
  }
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  pending_ += line;
  if (pending_.size() >= kFlushBytes) FlushLocked();
}

void AccessLog::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushLocked();
}

void AccessLog::FlushLocked() {
  if (pending_.empty()) return;
  WriteAll(access_fd_, pending_);
  pending_.clear();
}

}  // namespace corvane
