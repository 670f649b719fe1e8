// The checks that keep a SQLite store's files safe to open: the directory
// must be a real directory of this user (or root) that nobody else may
// write, and the database file and its side files (-wal, -shm, -journal)
// regular files of this user, never symbolic links nor linked elsewhere.
// Otherwise someone who may write the directory could plant a link that
// makes the host overwrite a file of their choice.
#ifndef CORVANE_STORE_STORE_FILE_H_
#define CORVANE_STORE_STORE_FILE_H_

#include <sys/types.h>

#include <string>

namespace corvane {

// The file a store path named when it was opened.
struct StoreFileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};

// Checks `path` and its directory as above and, when `create`, makes the
// directory (one level, mode 0700) and the file (mode 0600) when missing.
// An existing file readable by others is narrowed to 0600. Throws
// StoreConfigError saying what is refused or missing.
StoreFileIdentity PrepareStoreFile(const std::string& path, bool create);

// Empty when `path` still names the file `identity` describes; otherwise
// what changed.
std::string StoreFileChange(const std::string& path,
                            const StoreFileIdentity& identity);

}  // namespace corvane

#endif  // CORVANE_STORE_STORE_FILE_H_
