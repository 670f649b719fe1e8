// Replacing a file as a whole. The new content goes to a temporary file in
// the target's directory, which is flushed to the disk and then renamed over
// the target, so that a crash, a kill or a full disk in the middle of the
// write leaves the old file whole: readers see either the old file or the
// new one, never a part of either.
#ifndef CORVANE_PLATFORM_ATOMIC_FILE_H_
#define CORVANE_PLATFORM_ATOMIC_FILE_H_

#include <functional>
#include <string>
#include <string_view>

#include "platform/file_version.h"

namespace corvane {

class ConfinedRoot;

// One replacement of one file. Open, Write any number of times, Commit.
// Until Commit succeeds the target is untouched; a writer destroyed without
// a successful Commit removes its temporary file. Owns the temporary file
// and its descriptor; not thread-safe (separate writers are independent).
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Creates the temporary file for replacing the host file `path`. Returns
  // false with errno set, having created nothing, when the target could not
  // be written the ordinary way: its directory is missing or not writable,
  // or it exists but is not a regular file or not writable, and also when
  // its owner has no write permission (EACCES), which holds for root too:
  // an operator makes a file read-only to keep it. A symbolic link is
  // followed: the file it leads to is replaced and the link stays. Before
  // the temporary file is made, temporary files of this target older than
  // kStaleSavingSeconds (left by saves that were killed) are removed.
  // Requires that Open has not been called before.
  bool Open(const std::string& path);

  // As Open, for the file `relative` beneath `root`: the directory is
  // reached through the root's descriptor and never outside it, a link
  // that leaves the root or is absolute fails (EXDEV), and the temporary
  // file is made and renamed in that directory by descriptor. A link to a
  // file inside the root is followed as Open does; a link leading nowhere
  // fails (ENOENT) rather than creating its target. When `allow` is given,
  // it is asked with the directory descriptor and the final name (links
  // resolved) before anything is created; false refuses (EPERM).
  bool OpenBeneath(
      const ConfinedRoot& root, std::string_view relative,
      const std::function<bool(int dir_fd, const std::string& name)>& allow =
          {});

  // Appends `data` to the temporary file. Throws IoError when the write
  // fails (a full disk, a size limit), after removing the temporary file.
  // Requires a successful Open and no Commit yet.
  void Write(std::string_view data);

  // Flushes the temporary file to the disk, renames it over the target and
  // flushes the directory entry. Throws IoError when flushing, closing or
  // renaming fails, after removing the temporary file; the old file then
  // stays as it was. A failure to flush the directory after the rename is
  // not reported: the new file is already in place. Requires a successful
  // Open.
  void Commit();

  // As Commit, but only when the target still holds the version `base`
  // that the new content was made from, or holds what saves of this
  // process made from `base` (so brains loaded from one file may each save
  // in turn). Otherwise the target is left as it is, the new content is
  // renamed to NAME.conflict-YYYYMMDD-HHMMSS beside it (local time; "-2",
  // "-3" ... follow when that name is taken), its path goes to
  // *conflict_path, and the result is false. The check and the rename
  // happen under one process-wide lock; another process that writes the
  // file between them is not seen. Throws IoError as Commit does.
  // Requires a successful Open.
  bool CommitUnlessChanged(const FileVersion& base, std::string* conflict_path);

  // The version of everything written so far (size and hash).
  FileVersion written_version() const;

  // The temporary file's path (host path after Open, root-relative after
  // OpenBeneath); empty before.
  const std::string& temp_path() const { return temp_path_; }

  // Temporary files of a target older than this are taken for leftovers.
  static constexpr int kStaleSavingSeconds = 60;

 private:
  // Checks the target `name` in the directory dir_fd_ and creates the
  // temporary file beside it. `shown_dir` prefixes names for temp_path().
  bool OpenIn(const std::string& shown_dir);
  // Closes and removes the temporary file, keeping errno for the message.
  void Discard();
  [[noreturn]] void Fail(const char* what);
  // Flushes and closes the temporary file, ready for its rename.
  void Finish();

  std::string target_;     // The file that Commit replaces, for messages.
  std::string name_;       // Its name in the directory dir_fd_.
  std::string temp_name_;  // The temporary file's name there; empty: none.
  std::string temp_path_;  // The temporary file as temp_path() shows it.
  int dir_fd_ = -1;        // The target's directory; -1 before Open.
  int fd_ = -1;            // Descriptor of the temporary file; -1 when closed.
  std::string shown_dir_;  // Prefix of shown paths in the directory.
  ContentHash hash_;       // Of everything written.
  uint64_t written_ = 0;   // Bytes written.
};

// Replaces the host file `path` with `data` through an AtomicFileWriter.
// Returns false, writing nothing, when Open refuses; throws IoError as
// Write and Commit do.
bool ReplaceFileAtomically(const std::string& path, std::string_view data);

}  // namespace corvane

#endif  // CORVANE_PLATFORM_ATOMIC_FILE_H_
