#include "platform/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

#include "base/error.h"
#include "platform/confined_open.h"
#include "platform/files.h"

namespace corvane {
namespace {

// Temporary names must differ between writers of one process too.
std::atomic<unsigned> temp_counter{0};

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;

// The name part of a path.
std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Removes regular files named `name`.saving-* in the directory that were
// last written more than `seconds` ago: the temporary files of saves that
// were killed. A save in progress writes its file all the time, so its
// modification time stays recent.
void RemoveStaleTemporaries(int dir_fd, const std::string& name, int seconds) {
  const int list_fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (list_fd < 0) return;
  DIR* dir = ::fdopendir(list_fd);
  if (dir == nullptr) {
    ::close(list_fd);
    return;
  }
  const std::string prefix = name + ".saving-";
  const time_t now = ::time(nullptr);
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view entry_name(entry->d_name);
    if (entry_name.size() <= prefix.size() ||
        entry_name.compare(0, prefix.size(), prefix) != 0)
      continue;
    struct stat st {};
    if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    if (S_ISREG(st.st_mode) && now - st.st_mtime > seconds)
      stale.emplace_back(entry_name);
  }
  ::closedir(dir);
  for (const std::string& file : stale) ::unlinkat(dir_fd, file.c_str(), 0);
}

// The saves this process made, per target (directory identity and name):
// each content written and the version it replaced, oldest first. A save
// made from an older version may replace a file whose only changes since
// are saves of this process.
struct SaveLink {
  FileVersion written;
  FileVersion replaced;
};
std::mutex save_mutex;
std::map<std::string, std::vector<SaveLink>> save_links;  // By TargetKey.

std::string TargetKey(int dir_fd, const std::string& name) {
  struct stat st {};
  if (::fstat(dir_fd, &st) != 0) return {};
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/" +
         name;
}

// Whether `current` came from `base` through saves of this process alone.
// Requires save_mutex.
bool OnlyOurSavesSince(const std::vector<SaveLink>& links,
                       const FileVersion& base, FileVersion current) {
  for (std::size_t steps = 0; steps <= links.size(); ++steps) {
    if (current.SameContent(base)) return true;
    auto link = links.rbegin();
    while (link != links.rend() && !link->written.SameContent(current)) ++link;
    if (link == links.rend()) return false;
    current = link->replaced;
  }
  return false;
}

// Renames `from` to `to` in the directory unless `to` exists; false with
// errno EEXIST when it does.
bool RenameNoReplace(int dir_fd, const char* from, const char* to) {
  if (::renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link refuses an existing name.
  if (::linkat(dir_fd, from, dir_fd, to, 0) != 0) return false;
  ::unlinkat(dir_fd, from, 0);
  return true;
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() {
  const int saved = errno;
  Discard();
  if (dir_fd_ >= 0) ::close(dir_fd_);
  errno = saved;
}

void AtomicFileWriter::Discard() {
  const int saved = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_name_.empty()) ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
  temp_name_.clear();
  temp_path_.clear();
  errno = saved;
}

void AtomicFileWriter::Fail(const char* what) {
  const std::string reason = std::strerror(errno);
  Discard();
  throw IoError(std::string("Could not ") + what + " " + target_ + ": " +
                reason);
}

bool AtomicFileWriter::Open(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  target_ = path;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Opening a link for writing writes the file it leads to; keep that,
    // and keep the link.
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return false;
    target_ = buf;
  }
  const std::string dir = DirectoryOf(target_);
  dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd_ < 0) return false;
  name_ = BaseName(target_);
  return OpenIn(target_.find('/') == std::string::npos ? std::string()
                                                       : dir + "/");
}

bool AtomicFileWriter::OpenBeneath(
    const ConfinedRoot& root, std::string_view relative,
    const std::function<bool(int dir_fd, const std::string& name)>& allow) {
  std::string path(relative);
  target_ = path;
  // Follows links at the last component by hand, each step confined: the
  // directory part is opened beneath the root, and the link's text is
  // joined to it.
  for (int links = 0;; ++links) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.find_last_of('/');
    const std::string dir =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    std::string name =
        slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
      errno = EISDIR;
      return false;
    }
    const int dir_fd = root.OpenBeneath(dir, O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) return false;
    char buf[4096];
    const ssize_t n = ::readlinkat(dir_fd, name.c_str(), buf, sizeof buf);
    if (n < 0) {
      // ENOENT after a link: the link leads nowhere, which is refused as it
      // is for the other ways of opening a conversation's files.
      if ((errno != EINVAL && errno != ENOENT) ||
          (errno == ENOENT && links > 0)) {
        const int error = errno;
        ::close(dir_fd);
        errno = error;
        return false;
      }
      if (dir_fd_ >= 0) ::close(dir_fd_);
      dir_fd_ = dir_fd;
      name_ = std::move(name);
      break;
    }
    ::close(dir_fd);
    const std::string target(buf, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) >= sizeof buf || links >= kMaxLinks) {
      errno = ELOOP;
      return false;
    }
    if (target.empty() || target[0] == '/') {
      errno = EXDEV;
      return false;
    }
    path = slash == std::string::npos ? target : dir + "/" + target;
  }
  if (allow && !allow(dir_fd_, name_)) {
    errno = EPERM;
    return false;
  }
  const std::size_t slash = path.find_last_of('/');
  return OpenIn(slash == std::string::npos ? std::string()
                                           : path.substr(0, slash + 1));
}

bool AtomicFileWriter::OpenIn(const std::string& shown_dir) {
  struct stat st {};
  const bool exists =
      ::fstatat(dir_fd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists) {
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      return false;
    }
    // access() says yes to root for every file, so the owner's write bit
    // is checked by itself as well.
    if ((st.st_mode & S_IWUSR) == 0) {
      errno = EACCES;
      return false;
    }
    if (::faccessat(dir_fd_, name_.c_str(), W_OK, 0) != 0) return false;
  }
  RemoveStaleTemporaries(dir_fd_, name_, kStaleSavingSeconds);
  const std::string prefix =
      name_ + ".saving-" + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix + std::to_string(temp_counter.fetch_add(1));
    const int fd =
        ::openat(dir_fd_, name.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      shown_dir_ = shown_dir;
      temp_path_ = shown_dir + name;
      temp_name_ = std::move(name);
      // The replacement keeps the permissions of the file it replaces.
      if (exists) ::fchmod(fd_, st.st_mode & 07777);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void AtomicFileWriter::Write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("write");
    }
    if (n == 0) {
      errno = EIO;
      Fail("write");
    }
    hash_.Add(data.substr(0, static_cast<std::size_t>(n)));
    written_ += static_cast<uint64_t>(n);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

FileVersion AtomicFileWriter::written_version() const {
  FileVersion version;
  version.exists = true;
  version.size = written_;
  version.hash = hash_.value();
  return version;
}

void AtomicFileWriter::Finish() {
  if (::fsync(fd_) != 0) Fail("write");
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail("write");
}

bool AtomicFileWriter::CommitUnlessChanged(const FileVersion& base,
                                           std::string* conflict_path) {
  Finish();
  const std::lock_guard<std::mutex> lock(save_mutex);
  FileVersion current;
  const int fd = ::openat(dir_fd_, name_.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    current = FileVersionOfDescriptor(fd);
    // Something there that cannot be read is never taken for no file.
    if (!current.exists) current.size = UINT64_MAX;
    current.exists = true;
    ::close(fd);
  } else if (errno != ENOENT) {
    current.exists = true;
    current.size = UINT64_MAX;
  }
  std::vector<SaveLink>& links = save_links[TargetKey(dir_fd_, name_)];
  if (!OnlyOurSavesSince(links, base, current)) {
    const std::string stem = ConflictFileName(name_, ::time(nullptr));
    for (int n = 1;; ++n) {
      const std::string name = n == 1 ? stem : stem + "-" + std::to_string(n);
      if (RenameNoReplace(dir_fd_, temp_name_.c_str(), name.c_str())) {
        if (conflict_path != nullptr) *conflict_path = shown_dir_ + name;
        temp_name_.clear();
        temp_path_.clear();
        ::fsync(dir_fd_);
        return false;
      }
      if (errno != EEXIST || n >= 1000) Fail("write the conflict file for");
    }
  }
  if (::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, name_.c_str()) != 0)
    Fail("replace");
  temp_name_.clear();
  temp_path_.clear();
  ::fsync(dir_fd_);
  links.push_back({written_version(), current});
  return true;
}

void AtomicFileWriter::Commit() {
  Finish();
  if (::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, name_.c_str()) != 0)
    Fail("replace");
  temp_name_.clear();
  temp_path_.clear();
  // Gives the directory entry a chance to reach the disk. Some file
  // systems refuse fsync on directories; the rename has happened already,
  // so nothing is reported.
  ::fsync(dir_fd_);
}

bool ReplaceFileAtomically(const std::string& path, std::string_view data) {
  AtomicFileWriter writer;
  if (!writer.Open(path)) return false;
  writer.Write(data);
  writer.Commit();
  return true;
}

}  // namespace corvane
