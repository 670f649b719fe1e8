#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "platform/files.h"

namespace corvane {
namespace {

// Temporary names must differ between writers of one process too.
std::atomic<unsigned> temp_counter{0};

// Gives the directory entry of a renamed file a chance to reach the disk.
// Some file systems refuse fsync on directories; the rename has happened
// already, so nothing is reported.
void SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

AtomicFileWriter::~AtomicFileWriter() {
  const int saved = errno;
  Discard();
  errno = saved;
}

void AtomicFileWriter::Discard() {
  const int saved = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
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
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  target_ = path;
  struct stat st {};
  bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    // Opening a link for writing writes the file it leads to; keep that,
    // and keep the link.
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return false;
    target_ = buf;
    exists = ::lstat(target_.c_str(), &st) == 0;
  }
  if (exists) {
    if (!S_ISREG(st.st_mode)) return false;
    if (::access(target_.c_str(), W_OK) != 0) return false;
  }
  const std::string prefix =
      target_ + ".saving-" + std::to_string(::getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix + std::to_string(temp_counter.fetch_add(1));
    const int fd =
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_path_ = std::move(name);
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
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void AtomicFileWriter::Commit() {
  if (::fsync(fd_) != 0) Fail("write");
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail("write");
  if (::rename(temp_path_.c_str(), target_.c_str()) != 0) Fail("replace");
  temp_path_.clear();
  SyncDirectory(DirectoryOf(target_));
}

bool ReplaceFileAtomically(const std::string& path, std::string_view data) {
  AtomicFileWriter writer;
  if (!writer.Open(path)) return false;
  writer.Write(data);
  writer.Commit();
  return true;
}

}  // namespace corvane
