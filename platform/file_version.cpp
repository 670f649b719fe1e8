#include "platform/file_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

namespace corvane {

namespace {

uint64_t Mix(uint64_t state, uint64_t word) {
  word *= 0x87C37B91114253D5ull;
  word = (word << 31) | (word >> 33);
  state ^= word * 0x4CF5AD432745937Full;
  return ((state << 27) | (state >> 37)) * 5 + 0x52DCE729;
}

}  // namespace

void ContentHash::Add(std::string_view bytes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  // Complete the word that an earlier piece began.
  while (n > 0 && length_ % 8 != 0) {
    pending_ |= uint64_t{*p++} << (8 * (length_ % 8));
    ++length_;
    --n;
    if (length_ % 8 == 0) {
      state_ = Mix(state_, pending_);
      pending_ = 0;
    }
  }
  uint64_t state = state_;
  const std::size_t words = n / 8;
  for (std::size_t w = 0; w < words; ++w, p += 8) {
    uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | p[i];
    state = Mix(state, word);
  }
  state_ = state;
  n -= words * 8;
  length_ += words * 8;
  for (std::size_t i = 0; i < n; ++i, ++length_)
    pending_ |= uint64_t{p[i]} << (8 * (length_ % 8));
}

uint64_t ContentHash::value() const {
  uint64_t h = length_ % 8 != 0 ? Mix(state_, pending_) : state_;
  h ^= length_;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

FileVersion FileVersionOfDescriptor(int fd) {
  FileVersion version;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return version;
  ContentHash hash;
  std::vector<char> buffer(std::size_t{1} << 16);
  uint64_t offset = 0;
  for (;;) {
    const ssize_t n =
        ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FileVersion();
    }
    if (n == 0) break;
    hash.Add(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    offset += static_cast<uint64_t>(n);
  }
  version.exists = true;
  version.device = static_cast<uint64_t>(st.st_dev);
  version.inode = static_cast<uint64_t>(st.st_ino);
  // What was read is the size, also when the file grew while it was read.
  version.size = offset;
  version.mtime_ns =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  version.hash = hash.value();
  return version;
}

FileVersion CurrentFileVersion(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return FileVersion();
  const FileVersion version = FileVersionOfDescriptor(fd);
  ::close(fd);
  return version;
}

FileVersion VersionOfBytes(std::string_view data) {
  FileVersion version;
  ContentHash hash;
  hash.Add(data);
  version.exists = true;
  version.size = data.size();
  version.hash = hash.value();
  return version;
}

std::string ConflictFileName(const std::string& name, int64_t unix_seconds) {
  const time_t secs = static_cast<time_t>(unix_seconds);
  tm local{};
  localtime_r(&secs, &local);
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
  return name + ".conflict-" + stamp;
}

std::string FileStatusStamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "missing";
  return std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + ":" +
         std::to_string(st.st_ctim.tv_sec) + "." +
         std::to_string(st.st_ctim.tv_nsec);
}

}  // namespace corvane
