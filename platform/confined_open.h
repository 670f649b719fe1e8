// Opening files beneath one directory without a check-then-open race. The
// directory is held open; every file is opened relative to that descriptor
// in one step, so swapping a link or a directory between a check and the
// open can never lead the open outside. Where the kernel offers openat2,
// its RESOLVE_BENEATH does the resolving; elsewhere a walk opens one
// component at a time with O_NOFOLLOW and resolves links itself.
#ifndef CORVANE_PLATFORM_CONFINED_OPEN_H_
#define CORVANE_PLATFORM_CONFINED_OPEN_H_

#include <string>
#include <string_view>

namespace corvane {

// A directory beneath which files are opened, held as an open descriptor
// (O_PATH|O_DIRECTORY, close-on-exec). Move-only; closes on destruction.
// Thread-safe for concurrent OpenBeneath calls (they only read the
// descriptor).
class ConfinedRoot {
 public:
  ConfinedRoot() = default;  // invalid, fd() == -1
  ~ConfinedRoot();
  ConfinedRoot(ConfinedRoot&& other) noexcept;
  ConfinedRoot& operator=(ConfinedRoot&& other) noexcept;
  ConfinedRoot(const ConfinedRoot&) = delete;
  ConfinedRoot& operator=(const ConfinedRoot&) = delete;

  // Holds `dir` open. Throws IoError when dir cannot be opened or is not a
  // directory. A link in `dir` itself is followed: the root is wherever the
  // operator's path leads at this moment.
  static ConfinedRoot Open(const std::string& dir);

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Opens `relative` (a relative path with '/' separators) beneath the root
  // and returns a new descriptor owned by the caller (close-on-exec), or -1
  // with errno set. Never follows a link or ".." out of the root (openat2
  // RESOLVE_BENEATH, or an O_NOFOLLOW component walk where the kernel lacks
  // openat2); with no_symlinks, follows no symbolic link at all. `mode`
  // applies only when `flags` holds O_CREAT. Errors besides those of
  // open(2): EXDEV for an absolute path, an absolute link, or a ".." or link
  // that leaves the root; ELOOP for a link when no_symlinks is set, or too
  // many links; EINVAL for a path holding a NUL byte; EBADF for an invalid
  // root; ENOENT for an empty path.
  int OpenBeneath(std::string_view relative, int flags, unsigned mode = 0644,
                  bool no_symlinks = false) const noexcept;

 private:
  explicit ConfinedRoot(int fd) : fd_(fd) {}
  int fd_ = -1;  // O_PATH descriptor of the directory; -1 when invalid.
};

// For tests: with `force` true, OpenBeneath uses the component walk even
// where the kernel has openat2, so that both ways are tested on one machine.
void ForceConfinedWalkForTesting(bool force);

// True when this kernel answers openat2 (the walk is then only a fallback).
bool KernelHasOpenat2();

}  // namespace corvane

#endif  // CORVANE_PLATFORM_CONFINED_OPEN_H_
