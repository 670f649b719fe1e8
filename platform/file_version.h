// What a file was when it was read: its identity (device and inode), size,
// modification time and a hash of its bytes. A save compares the version
// its knowledge was read from with the file as it is now, so that an edit
// made on disk meanwhile is never silently replaced (AtomicFileWriter::
// CommitUnlessChanged). Re-entrant.
#ifndef CORVANE_PLATFORM_FILE_VERSION_H_
#define CORVANE_PLATFORM_FILE_VERSION_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// A 64-bit hash of bytes added piece by piece, eight bytes a step; the
// pieces' borders do not matter. Not a defence against crafted collisions,
// only against edits.
class ContentHash {
 public:
  void Add(std::string_view bytes);
  uint64_t value() const;

 private:
  uint64_t state_ = 0x9E3779B97F4A7C15ull;
  uint64_t length_ = 0;   // Bytes added.
  uint64_t pending_ = 0;  // The last length_ % 8 bytes, little end first.
};

struct FileVersion {
  bool exists = false;  // False: there was no file (or it could not be read).
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;  // Modification time, nanoseconds since 1970.
  uint64_t hash = 0;     // ContentHash of all its bytes.

  // The same text: both missing, or both present with equal size and hash.
  // Identity and time do not count, so a file saved again unchanged by an
  // editor (a new inode) or touched is the same version.
  bool SameContent(const FileVersion& other) const {
    return exists == other.exists &&
           (!exists || (size == other.size && hash == other.hash));
  }
};

// The version of the host file `path` now: its status and the hash of
// everything it holds. A missing or unreadable file gives exists = false.
FileVersion CurrentFileVersion(const std::string& path);

// As CurrentFileVersion, for the open descriptor `fd`, read from its start
// with pread (the descriptor's offset does not move).
FileVersion FileVersionOfDescriptor(int fd);

// The version that `data` has once it is the whole content of a file (no
// identity or time).
FileVersion VersionOfBytes(std::string_view data);

// What identifies a version of the host file `path` without reading it:
// inode, size, modification and change times, as one text; "missing" when
// it cannot be stat'ed. Cheap enough to ask before every request.
std::string FileStatusStamp(const std::string& path);

// The conflict file's name for `name` at the local time `unix_seconds`:
// NAME.conflict-YYYYMMDD-HHMMSS.
std::string ConflictFileName(const std::string& name, int64_t unix_seconds);

}  // namespace corvane

#endif  // CORVANE_PLATFORM_FILE_VERSION_H_
