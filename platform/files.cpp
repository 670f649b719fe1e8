#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
    if (a != b) return false;
  }
  return true;
}

// The canonical form of an existing path, or nothing.
std::optional<std::string> RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf) == nullptr) return std::nullopt;
  return std::string(buf);
}

bool IsInside(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path == root ||
         (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
          path[root.size()] == '/');
}

}  // namespace

PathMapper::PathMapper(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  if (root_.empty()) root_ = ".";
}

std::optional<std::string> PathMapper::Map(std::string_view path) const {
  std::string p(path);
  for (char& c : p)
    if (c == '\\') c = '/';
  if (p.find('\0') != std::string::npos) return std::nullopt;
  if (StartsWithNoCase(p, "C:/Inetpub/wwwroot/")) {
    p.erase(0, 19);
  } else if (p.size() >= 2 && p[1] == ':') {
    return std::nullopt;  // another drive, or the drive without the web root
  }
  if (p.empty() || p[0] == '/') return std::nullopt;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= p.size()) {
    std::size_t end = p.find('/', start);
    if (end == std::string::npos) end = p.size();
    const std::string part = p.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  if (parts.empty()) return std::nullopt;
  std::string out = root_;
  for (const std::string& part : parts) out += "/" + part;

  // Symbolic links may not lead outside the root: resolve the longest
  // existing prefix of the path and check that it stays inside.
  const std::optional<std::string> real_root = RealPath(root_);
  if (!real_root) return out;  // Nothing exists yet; nothing can escape.
  std::string probe = root_;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string next = probe + "/" + parts[i];
    struct stat st {};
    if (lstat(next.c_str(), &st) != 0) break;
    if (S_ISLNK(st.st_mode)) {
      const std::optional<std::string> target = RealPath(next);
      if (!target || !IsInside(*target, *real_root)) return std::nullopt;
    }
    probe = next;
  }
  const std::optional<std::string> real_probe = RealPath(probe);
  if (!real_probe || !IsInside(*real_probe, *real_root)) return std::nullopt;
  return out;
}

std::optional<std::string> ReadFileBytes(const std::string& host_path) {
  std::FILE* f = std::fopen(host_path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  std::string data;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return std::nullopt;
  return data;
}

bool WriteFileBytes(const std::string& host_path, std::string_view data) {
  std::FILE* f = std::fopen(host_path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool wrote = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  const bool closed = std::fclose(f) == 0;
  return wrote && closed;
}

bool AppendFileBytes(const std::string& host_path, std::string_view data) {
  std::FILE* f = std::fopen(host_path.c_str(), "ab");
  if (f == nullptr) return false;
  const bool wrote = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  const bool closed = std::fclose(f) == 0;
  return wrote && closed;
}

std::string DirectoryOf(const std::string& host_path) {
  const std::size_t slash = host_path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return host_path.substr(0, slash);
}

}  // namespace corvane
