// The errors of the conversation store. Every one derives from Error, so
// the boundaries that print kind_name() and what() need nothing new; a
// caller that serves visitors tells them apart by type:
//   StoreUnavailableError  the store could not be reached, read or written
//                          in time: answer 503 and try again later;
//   LeaseLostError         the caller no longer holds the conversation's
//                          lease: its commit was refused, nothing changed;
//   StoreConfigError       the store URL, its options or its path are
//                          refused: fix the configuration;
//   StoreDataError         the store holds bytes this code cannot read.
#ifndef CORVANE_STORE_STORE_ERROR_H_
#define CORVANE_STORE_STORE_ERROR_H_

#include <string>

#include "base/error.h"

namespace corvane {

// Base of the store's errors.
class StoreError : public Error {
 public:
  StoreError(const char* kind, const std::string& message)
      : Error(kind, message) {}
};

// The store did not answer, refused a write (full disk, read-only replica,
// locked longer than the timeout) or the connection broke. The operation
// either had no effect or, for a commit whose answer was lost, its effect
// shows in the conversation's turn number on the next load.
class StoreUnavailableError : public StoreError {
 public:
  explicit StoreUnavailableError(const std::string& message)
      : StoreError("EStoreUnavailable", message) {}
};

// A commit or release with a lease that expired or was taken over by
// another holder, or whose conversation expired meanwhile.
class LeaseLostError : public StoreError {
 public:
  explicit LeaseLostError(const std::string& message)
      : StoreError("ELeaseLost", message) {}
};

// A store URL that does not parse, an option out of range, or a store path
// that is refused (a symbolic link, a directory others may write, a file of
// another user).
class StoreConfigError : public StoreError {
 public:
  explicit StoreConfigError(const std::string& message)
      : StoreError("EStoreConfig", message) {}
};

// Stored bytes that do not decode: a damaged database, keys of another
// program under our prefix, or a store written by a newer version.
class StoreDataError : public StoreError {
 public:
  explicit StoreDataError(const std::string& message)
      : StoreError("EStoreData", message) {}
};

}  // namespace corvane

#endif  // CORVANE_STORE_STORE_ERROR_H_
