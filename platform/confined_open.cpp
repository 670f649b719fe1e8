#include "platform/confined_open.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "base/error.h"

namespace corvane {
namespace {

// Whether openat2 works here: 0 not yet known, 1 yes, -1 no (ENOSYS).
std::atomic<int> kernel_openat2{0};
std::atomic<bool> force_walk{false};

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;

long CallOpenat2(int dir_fd, const char* path, open_how* how) {
  return ::syscall(SYS_openat2, dir_fd, path, how, sizeof *how);
}

// Pushes the components of `path` onto `pending` so that the first one is
// at the back. Empty and "." components are dropped; they change nothing.
void PushComponents(std::string_view path, std::vector<std::string>& pending) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  for (auto it = parts.rbegin(); it != parts.rend(); ++it)
    pending.push_back(std::move(*it));
}

// Closes every descriptor in `held`, keeping errno.
void CloseAll(std::vector<int>& held) {
  const int saved = errno;
  for (int fd : held) ::close(fd);
  held.clear();
  errno = saved;
}

int Fail(std::vector<int>& held, int error) {
  CloseAll(held);
  errno = error;
  return -1;
}

// The target of the link `name` in `dir_fd` (name "" with an O_PATH
// descriptor of the link itself), or false with errno set.
bool ReadLink(int dir_fd, const char* name, std::string& target) {
  char buf[4096];
  const ssize_t n = ::readlinkat(dir_fd, name, buf, sizeof buf);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) >= sizeof buf) {
    errno = ENAMETOOLONG;
    return false;
  }
  target.assign(buf, static_cast<std::size_t>(n));
  return true;
}

// Resolves `relative` one component at a time beneath `root_fd`. Each
// directory on the way is opened with O_NOFOLLOW relative to the one before
// and held open, so a component swapped for a link after it was looked at
// is found to be a link when it is opened, never followed blindly. ".." pops
// the held directories instead of asking the kernel, so it cannot climb
// above the root; a link's target is spliced in front of the remaining
// components and walked the same way (an absolute target is refused).
int WalkBeneath(int root_fd, std::string_view relative, int flags,
                unsigned mode, bool no_symlinks) {
  std::vector<std::string> pending;  // Next component at the back.
  PushComponents(relative, pending);
  std::vector<int> held;  // Directories below the root; the last is current.
  const auto current = [&] { return held.empty() ? root_fd : held.back(); };
  int links = 0;
  // Follows the link whose target is `target`: splices it in front.
  const auto follow = [&](const std::string& target) -> int {
    if (no_symlinks) return ELOOP;
    if (++links > kMaxLinks) return ELOOP;
    if (target.empty()) return ENOENT;
    if (target[0] == '/') return EXDEV;
    PushComponents(target, pending);
    return 0;
  };
  while (!pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == "..") {
      if (held.empty()) return Fail(held, EXDEV);
      ::close(held.back());
      held.pop_back();
      continue;
    }
    if (pending.empty()) {
      // The last component: open it as asked, but never through a link.
      const int fd = ::openat(current(), name.c_str(),
                              flags | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd >= 0) {
        // O_PATH with O_NOFOLLOW opens a link itself instead of failing.
        struct stat st {};
        if ((flags & O_PATH) == 0 || (flags & O_NOFOLLOW) != 0 ||
            ::fstat(fd, &st) != 0 || !S_ISLNK(st.st_mode)) {
          CloseAll(held);
          return fd;
        }
        ::close(fd);
      } else if (errno != ELOOP || (flags & O_NOFOLLOW) != 0) {
        return Fail(held, errno);
      }
      std::string target;
      if (!ReadLink(current(), name.c_str(), target)) {
        // Replaced by something else since the open: look again.
        if (errno != EINVAL || ++links > kMaxLinks) return Fail(held, errno);
        pending.push_back(name);
        continue;
      }
      if (const int error = follow(target); error != 0)
        return Fail(held, error);
      continue;
    }
    const int fd = ::openat(current(), name.c_str(),
                            O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Fail(held, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      const int error = errno;
      ::close(fd);
      return Fail(held, error);
    }
    if (S_ISDIR(st.st_mode)) {
      held.push_back(fd);
      continue;
    }
    if (!S_ISLNK(st.st_mode)) {
      ::close(fd);
      return Fail(held, ENOTDIR);
    }
    std::string target;
    const bool read = ReadLink(fd, "", target);
    const int read_error = errno;
    ::close(fd);
    if (!read) return Fail(held, read_error);
    if (const int error = follow(target); error != 0) return Fail(held, error);
  }
  // The path ended in a directory reached through ".." (or was "."): open
  // that directory itself.
  const int fd = ::openat(current(), ".", flags | O_CLOEXEC, mode);
  const int error = errno;
  CloseAll(held);
  errno = error;
  return fd;
}

}  // namespace

ConfinedRoot::~ConfinedRoot() {
  if (fd_ >= 0) ::close(fd_);
}

ConfinedRoot::ConfinedRoot(ConfinedRoot&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

ConfinedRoot& ConfinedRoot::operator=(ConfinedRoot&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ConfinedRoot ConfinedRoot::Open(const std::string& dir) {
  const int fd =
      dir.find('\0') != std::string::npos
          ? (errno = EINVAL, -1)
          : ::open(dir.empty() ? "." : dir.c_str(),
                   O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    throw IoError("Could not open directory " + dir + ": " +
                  std::strerror(errno));
  return ConfinedRoot(fd);
}

int ConfinedRoot::OpenBeneath(std::string_view relative, int flags,
                              unsigned mode, bool no_symlinks) const noexcept {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  if (relative.empty()) {
    errno = ENOENT;
    return -1;
  }
  if (relative.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return -1;
  }
  if (relative[0] == '/') {
    errno = EXDEV;
    return -1;
  }
  const bool creates =
      (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  mode = creates ? (mode & 07777) : 0;
  try {
    if (!force_walk.load(std::memory_order_relaxed) &&
        kernel_openat2.load(std::memory_order_relaxed) >= 0) {
      const std::string path(relative);
      open_how how{};
      how.flags = static_cast<unsigned>(flags | O_CLOEXEC);
      how.mode = mode;
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS |
                    (no_symlinks ? RESOLVE_NO_SYMLINKS : 0);
      long fd = -1;
      // EAGAIN: a rename raced with a ".." lookup; the kernel asks to retry.
      for (int attempt = 0; attempt < 16; ++attempt) {
        fd = CallOpenat2(fd_, path.c_str(), &how);
        if (fd >= 0 || (errno != EAGAIN && errno != EINTR)) break;
      }
      if (fd >= 0) {
        kernel_openat2.store(1, std::memory_order_relaxed);
        return static_cast<int>(fd);
      }
      if (errno != ENOSYS) return -1;
      kernel_openat2.store(-1, std::memory_order_relaxed);
    }
    return WalkBeneath(fd_, relative, flags, mode, no_symlinks);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

void ForceConfinedWalkForTesting(bool force) {
  force_walk.store(force, std::memory_order_relaxed);
}

bool KernelHasOpenat2() {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  const long fd = CallOpenat2(AT_FDCWD, "/", &how);
  if (fd >= 0) ::close(static_cast<int>(fd));
  return fd >= 0 || errno != ENOSYS;
}

}  // namespace corvane
