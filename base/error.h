// The one error hierarchy of the system. Errors abandon the operation in
// progress; they are caught only at the boundaries (the web entry points,
// the command-line loop, fuzz targets), which print kind_name() and what().
#ifndef CORVANE_BASE_ERROR_H_
#define CORVANE_BASE_ERROR_H_

#include <stdexcept>
#include <string>

namespace corvane {

// Base of every error the system raises. The kind name is what the web
// error page shows as "Exception".
class Error : public std::runtime_error {
 public:
  Error(const char* kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  const char* kind_name() const noexcept { return kind_; }

 private:
  const char* kind_;
};

// A violated precondition of a string helper: "Assertion failure (...)".
class AssertionError : public Error {
 public:
  // Message: "Assertion failure (<source>, line <line>)".
  AssertionError(const std::string& source, int line)
      : Error("EAssertionFailed", "Assertion failure (" + source + ", line " +
                                      std::to_string(line) + ")") {}
};

// A position outside the range an operation accepts.
class RangeError : public Error {
 public:
  explicit RangeError(const std::string& message)
      : Error("ERangeError", message) {}
};

// A list read or written outside its bounds.
class IndexError : public Error {
 public:
  explicit IndexError(const std::string& message)
      : Error("EListError", message) {}
};

// A checked 32-bit arithmetic operation that overflowed.
class OverflowError : public Error {
 public:
  explicit OverflowError(const std::string& message)
      : Error("EIntOverflow", message) {}
};

// A file that could not be written or read where the caller must know.
class IoError : public Error {
 public:
  explicit IoError(const std::string& message) : Error("EInOutError", message) {}
};

// A value that could not be converted where a conversion is required.
class ConversionError : public Error {
 public:
  explicit ConversionError(const std::string& message)
      : Error("EConvertError", message) {}
};

// Bytes that do not decode: a snapshot or other stored form that is
// truncated, damaged, of another format version or made for other
// knowledge. The message says which.
class CorruptDataError : public Error {
 public:
  explicit CorruptDataError(const std::string& message)
      : Error("ECorruptData", message) {}
};

// A limit of the system (nesting, sizes, segment counts) was exceeded.
class LimitError : public Error {
 public:
  explicit LimitError(const std::string& message)
      : Error("ELimitExceeded", message) {}
};

}  // namespace corvane

#endif  // CORVANE_BASE_ERROR_H_
