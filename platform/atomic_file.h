// Replacing a file as a whole. The new content goes to a temporary file in
// the target's directory, which is flushed to the disk and then renamed over
// the target, so that a crash, a kill or a full disk in the middle of the
// write leaves the old file whole: readers see either the old file or the
// new one, never a part of either.
#ifndef CORVANE_PLATFORM_ATOMIC_FILE_H_
#define CORVANE_PLATFORM_ATOMIC_FILE_H_

#include <string>
#include <string_view>

namespace corvane {

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
  // false, having created nothing, when the target could not be written the
  // ordinary way: its directory is missing or not writable, or it exists
  // but is not a regular file or not writable. A symbolic link is followed:
  // the file it leads to is replaced and the link stays. Requires that
  // Open has not been called before.
  bool Open(const std::string& path);

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

  // The temporary file's host path; empty before Open.
  const std::string& temp_path() const { return temp_path_; }

 private:
  // Closes and removes the temporary file, keeping errno for the message.
  void Discard();
  [[noreturn]] void Fail(const char* what);

  std::string target_;     // The file that Commit replaces.
  std::string temp_path_;  // The file being written; empty when none.
  int fd_ = -1;            // Descriptor of temp_path_; -1 when closed.
};

// Replaces the host file `path` with `data` through an AtomicFileWriter.
// Returns false, writing nothing, when Open refuses; throws IoError as
// Write and Commit do.
bool ReplaceFileAtomically(const std::string& path, std::string_view data);

}  // namespace corvane

#endif  // CORVANE_PLATFORM_ATOMIC_FILE_H_
