#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "base/error.h"
#include "platform/atomic_file.h"
#include "platform/confined_open.h"
#include "platform/operator_messages.h"

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

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         StartsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// Names a conversation may never open: the language and page formats.
bool IsProtectedName(std::string_view name) {
  const std::size_t slash = name.find_last_of('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  return EndsWithNoCase(name, ".clf") || EndsWithNoCase(name, ".htm") ||
         EndsWithNoCase(name, ".html");
}

void ReportRefusal(const std::string& shown) {
  ShowOperatorMessage("Refused the file \"" + shown +
                      "\" for a conversation: the language file, the page "
                      "template and .clf, .htm and .html files are never "
                      "read or written by a conversation");
}

}  // namespace

struct PathMapper::Shared {
  std::mutex mu;
  ConfinedRoot root;  // Valid from the first time the root could be opened.
  std::vector<std::string> protected_paths;  // Host paths; set before use.
};

PathMapper::PathMapper(std::string root)
    : root_(std::move(root)), shared_(std::make_shared<Shared>()) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  if (root_.empty()) root_ = ".";
  (void)HeldRoot();
}

const ConfinedRoot* PathMapper::HeldRoot() const {
  if (!shared_) return nullptr;
  std::lock_guard<std::mutex> lock(shared_->mu);
  if (!shared_->root.valid()) {
    try {
      shared_->root = ConfinedRoot::Open(root_);
    } catch (const IoError&) {
      return nullptr;
    }
  }
  return &shared_->root;
}

void PathMapper::Protect(const std::string& host_path) {
  if (!shared_) return;
  std::lock_guard<std::mutex> lock(shared_->mu);
  shared_->protected_paths.push_back(host_path);
}

bool PathMapper::RefusedName(const std::string& shown,
                             std::string_view name) const {
  if (!IsProtectedName(name)) return false;
  ReportRefusal(shown);
  return true;
}

bool PathMapper::Refused(const std::string& shown, int fd) const {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return true;
  bool refused = false;
  for (const std::string& file : shared_->protected_paths) {
    struct stat protected_st {};
    if (::stat(file.c_str(), &protected_st) == 0 &&
        protected_st.st_dev == st.st_dev && protected_st.st_ino == st.st_ino)
      refused = true;
  }
  // A link inside the root may lead to a file of a protected kind under a
  // harmless name; the descriptor knows the name it was opened under.
  char buf[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(self.c_str(), buf, sizeof buf - 1);
  if (n > 0 && IsProtectedName(std::string_view(buf, static_cast<std::size_t>(n))))
    refused = true;
  if (refused) ReportRefusal(shown);
  return refused;
}

int PathMapper::OpenConfined(std::string_view path, int flags,
                             unsigned mode) const {
  // Truncating would change a file before it could be checked.
  if ((flags & O_TRUNC) != 0) {
    errno = EINVAL;
    return -1;
  }
  const std::optional<std::string> relative = Relative(path);
  if (!relative) {
    errno = EACCES;
    return -1;
  }
  if (RefusedName(*relative, *relative)) {
    errno = EPERM;
    return -1;
  }
  const ConfinedRoot* root = HeldRoot();
  if (root == nullptr) {
    errno = ENOENT;
    return -1;
  }
  // Without blocking: a FIFO put in a file's place must not hold the turn.
  // A missing file is created with O_EXCL, which never creates the target
  // of a link: a link leading nowhere stays refused.
  int fd = -1;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    fd = root->OpenBeneath(*relative, (flags & ~O_CREAT) | O_NONBLOCK, mode);
    if (fd >= 0 || errno != ENOENT || (flags & O_CREAT) == 0) break;
    fd = root->OpenBeneath(*relative, flags | O_EXCL | O_NONBLOCK, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    if (errno == EEXIST) errno = ENOENT;
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  if (Refused(*relative, fd)) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  if ((flags & O_NONBLOCK) == 0)
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::optional<std::string> PathMapper::ReadConfined(std::string_view path) const {
  const int fd = OpenConfined(path, O_RDONLY);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

bool PathMapper::AppendConfined(std::string_view path,
                                std::string_view data) const {
  const int fd = OpenConfined(path, O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (fd < 0) return false;
  bool ok = true;
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return ::close(fd) == 0 && ok;
}

bool PathMapper::ReplaceConfined(std::string_view path,
                                 std::string_view data) const {
  const std::optional<std::string> relative = Relative(path);
  if (!relative || RefusedName(*relative, *relative)) return false;
  const ConfinedRoot* root = HeldRoot();
  if (root == nullptr) return false;
  const std::string& shown = *relative;
  AtomicFileWriter writer;
  const bool opened = writer.OpenBeneath(
      *root, *relative, [&](int dir_fd, const std::string& name) {
        if (RefusedName(shown, name)) return false;
        struct stat st {};
        if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
          return true;  // a new file
        for (const std::string& file : shared_->protected_paths) {
          struct stat protected_st {};
          if (::stat(file.c_str(), &protected_st) == 0 &&
              protected_st.st_dev == st.st_dev &&
              protected_st.st_ino == st.st_ino) {
            ReportRefusal(shown);
            return false;
          }
        }
        return true;
      });
  if (!opened) return false;
  writer.Write(data);
  writer.Commit();
  return true;
}

std::optional<std::string> PathMapper::Map(std::string_view path) const {
  const std::optional<std::string> relative = Relative(path);
  if (!relative) return std::nullopt;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= relative->size()) {
    std::size_t end = relative->find('/', start);
    if (end == std::string::npos) end = relative->size();
    parts.push_back(relative->substr(start, end - start));
    start = end + 1;
  }
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

std::optional<std::string> PathMapper::Relative(std::string_view path) const {
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
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += '/';
    out += part;
  }
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
