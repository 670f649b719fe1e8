// Files as the system reaches them. Every path that a knowledge base, a form
// or a data file names goes through a PathMapper, whose root is the
// directory of the knowledge base (command line) or the web root (web
// front end). A path the mapper refuses behaves exactly like a file that
// cannot be opened.
#ifndef CORVANE_PLATFORM_FILES_H_
#define CORVANE_PLATFORM_FILES_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

class ConfinedRoot;

// Maps the Windows-style paths of a knowledge base into one root directory,
// and opens the files a conversation names (logs, collection files, the
// word index) beneath it.
// Backslashes and slashes both separate; the prefix C:\Inetpub\wwwroot\ (any
// letter case) stands for the root; other relative paths resolve under the
// root. Refused: an empty path, an absolute path, any other drive letter, a
// ".." that climbs above the root, and a path that leads through a symbolic
// link to a place outside the root.
// Copies share the root's descriptor and the protected files. Thread-safe
// once Protect calls are done.
class PathMapper {
 public:
  PathMapper() = default;  // No root: every Open* refuses.
  // `root` is a host directory; it need not exist yet. It is held open
  // from the first time it exists, and files are opened relative to that
  // descriptor.
  explicit PathMapper(std::string root);

  // The host path for `path`, or nothing when the path is refused. For
  // showing and for files the operator names; a conversation's files are
  // opened with the Open* functions below, which do not check and then
  // open by name.
  std::optional<std::string> Map(std::string_view path) const;

  // `path` as a path relative to the root ('/'-separated, "." and ".."
  // resolved on the text), or nothing when its text alone is refused.
  std::optional<std::string> Relative(std::string_view path) const;

  // Marks a host file (the language file, the page template) as one that a
  // conversation may neither read nor write, under whatever name or link it
  // is reached. Files whose name ends in ".clf", ".htm" or ".html" (any
  // case) are refused in any case. Call before copies are shared.
  void Protect(const std::string& host_path);

  // Opens the file `path` names for a conversation: mapped as Map does, then
  // opened once beneath the root's descriptor (ConfinedRoot), never through
  // a link out of the root. Only regular files are opened, and never one
  // that is protected (then an operator message says so). Returns the
  // descriptor (the caller closes it) or -1 with errno set.
  int OpenConfined(std::string_view path, int flags, unsigned mode = 0644) const;
  // The whole content of the file, as OpenConfined opens it; nothing when
  // it cannot be read.
  std::optional<std::string> ReadConfined(std::string_view path) const;
  // Appends `data`, creating the file when missing; false when refused or
  // when the write fails.
  bool AppendConfined(std::string_view path, std::string_view data) const;
  // Replaces the file as a whole (AtomicFileWriter::OpenBeneath), refusing
  // as OpenConfined does. False when refused, having written nothing;
  // throws IoError when writing fails.
  bool ReplaceConfined(std::string_view path, std::string_view data) const;

  const std::string& root() const { return root_; }

 private:
  struct Shared;
  // The root's descriptor, opened now if it was not yet; nullptr when there
  // is no root or it cannot be opened.
  const ConfinedRoot* HeldRoot() const;
  // True when the relative path's name or the open file `fd` is protected;
  // reports a refusal to the operator.
  bool Refused(const std::string& shown, int fd) const;
  bool RefusedName(const std::string& shown, std::string_view name) const;

  std::string root_;  // Without a trailing slash; "." when empty.
  std::shared_ptr<Shared> shared_;  // Null for a mapper without a root.
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
