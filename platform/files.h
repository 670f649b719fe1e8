// Files as the system reaches them. Every path that a knowledge base, a form
// or a data file names goes through a PathMapper, whose root is the
// directory of the knowledge base (command line) or the web root (web
// front end). A path the mapper refuses behaves exactly like a file that
// cannot be opened.
#ifndef CORVANE_PLATFORM_FILES_H_
#define CORVANE_PLATFORM_FILES_H_

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Maps the Windows-style paths of a knowledge base into one root directory.
// Backslashes and slashes both separate; the prefix C:\Inetpub\wwwroot\ (any
// letter case) stands for the root; other relative paths resolve under the
// root. Refused: an empty path, an absolute path, any other drive letter, a
// ".." that climbs above the root, and a path that leads through a symbolic
// link to a place outside the root. Thread-safe (immutable).
class PathMapper {
 public:
  PathMapper() = default;
  // `root` is a host directory; it need not exist yet.
  explicit PathMapper(std::string root);

  // The host path for `path`, or nothing when the path is refused.
  std::optional<std::string> Map(std::string_view path) const;

  const std::string& root() const { return root_; }

 private:
  std::string root_;  // Without a trailing slash; "." when empty.
};

// The whole content of a host file; nothing when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string& host_path);

// Replaces the host file with `data`; false when it cannot be written.
bool WriteFileBytes(const std::string& host_path, std::string_view data);

// Appends `data` to the host file, creating it when missing; false when it
// can be neither opened nor created, or the write fails.
bool AppendFileBytes(const std::string& host_path, std::string_view data);

// The directory part of a host path ("." when it has none).
std::string DirectoryOf(const std::string& host_path);

}  // namespace corvane

#endif  // CORVANE_PLATFORM_FILES_H_
