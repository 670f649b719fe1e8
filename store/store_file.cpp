#include "store/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/store_error.h"

namespace corvane {
namespace {

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

[[noreturn]] void Refuse(const std::string& what, const std::string& problem) {
  throw StoreConfigError("store " + what + ": " + problem);
}

void CheckOwner(const std::string& what, const struct stat& st,
                bool root_allowed) {
  const uid_t me = ::geteuid();
  if (st.st_uid == me || (root_allowed && st.st_uid == 0)) return;
  Refuse(what, "belongs to user " + std::to_string(st.st_uid) +
                   ", not to this user (" + std::to_string(me) + ")");
}

void CheckDirectory(const std::string& dir, bool create) {
  const std::string what = "directory " + dir;
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT || !create) Refuse(what, std::strerror(errno));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
      Refuse(what, std::string("cannot be made: ") + std::strerror(errno));
    if (::lstat(dir.c_str(), &st) != 0) Refuse(what, std::strerror(errno));
  }
  if (S_ISLNK(st.st_mode))
    Refuse(what, "is a symbolic link; give the path of the directory itself");
  if (!S_ISDIR(st.st_mode)) Refuse(what, "is not a directory");
  CheckOwner(what, st, true);
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    Refuse(what, "may be written by others (mode " + ModeText(st.st_mode) +
                     "); use a directory only its owner may write");
}

// Checks one file that exists; false when it does not.
bool CheckFile(const std::string& path) {
  const std::string what = "file " + path;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    Refuse(what, std::strerror(errno));
  }
  if (S_ISLNK(st.st_mode)) Refuse(what, "is a symbolic link");
  if (!S_ISREG(st.st_mode)) Refuse(what, "is not a regular file");
  CheckOwner(what, st, false);
  if (st.st_nlink != 1) Refuse(what, "has other hard links");
  return true;
}

// Opens an existing file without following links, narrows its mode to
// 0600 and returns its identity. A file that is 0600 already is not
// opened: closing a descriptor of a database file would drop the locks
// that SQLite connections of this process hold on it (POSIX locks belong
// to the process), and another process could then take the database for
// unused and reset its shared memory under them.
StoreFileIdentity Narrow(const std::string& path) {
  struct stat seen;
  if (::lstat(path.c_str(), &seen) == 0 && S_ISREG(seen.st_mode) &&
      (seen.st_mode & 077) == 0)
    return {seen.st_dev, seen.st_ino};
  const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) Refuse("file " + path, std::strerror(errno));
  struct stat st;
  const bool ok = ::fstat(fd, &st) == 0 &&
                  ((st.st_mode & 077) == 0 || ::fchmod(fd, 0600) == 0);
  const int error = errno;
  ::close(fd);
  if (!ok) Refuse("file " + path, std::strerror(error));
  return {st.st_dev, st.st_ino};
}

}  // namespace

StoreFileIdentity PrepareStoreFile(const std::string& path, bool create) {
  CheckDirectory(DirectoryOf(path), create);
  for (const char* suffix : {"-wal", "-shm", "-journal"})
    if (CheckFile(path + suffix)) Narrow(path + suffix);
  if (!CheckFile(path)) {
    if (!create) Refuse("file " + path, "does not exist");
    const int fd = ::open(
        path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST)
      Refuse("file " + path,
             std::string("cannot be made: ") + std::strerror(errno));
    if (fd >= 0) ::close(fd);
    // Made by someone else between the two calls: check it as found.
    if (fd < 0) CheckFile(path);
  }
  return Narrow(path);
}

std::string StoreFileChange(const std::string& path,
                            const StoreFileIdentity& identity) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0)
    return "store file " + path + ": " + std::strerror(errno);
  if (st.st_dev != identity.device || st.st_ino != identity.inode)
    return "store file " + path + " was replaced since it was opened";
  return "";
}

}  // namespace corvane
