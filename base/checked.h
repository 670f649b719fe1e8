// Checked 32-bit signed arithmetic. Every counter, score and position of the
// system goes through these helpers, so an overflow raises OverflowError
// instead of wrapping silently.
#ifndef CORVANE_BASE_CHECKED_H_
#define CORVANE_BASE_CHECKED_H_

#include <cstdint>
#include <limits>

#include "base/error.h"

namespace corvane {

// a + b; throws OverflowError when the sum leaves the 32-bit range.
inline int32_t CheckedAdd(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_add_overflow(a, b, &r)) throw OverflowError("Integer overflow");
  return r;
}

// a - b; throws OverflowError on overflow.
inline int32_t CheckedSub(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_sub_overflow(a, b, &r)) throw OverflowError("Integer overflow");
  return r;
}

// -a; throws OverflowError for the most negative value.
inline int32_t CheckedNeg(int32_t a) {
  if (a == std::numeric_limits<int32_t>::min())
    throw OverflowError("Integer overflow");
  return -a;
}

// a * b; throws OverflowError on overflow.
inline int32_t CheckedMul(int32_t a, int32_t b) {
  int32_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw OverflowError("Integer overflow");
  return r;
}

// Converts a size to a 32-bit count; throws OverflowError when it does not fit.
inline int32_t CheckedCount(std::size_t n) {
  if (n > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
    throw OverflowError("Integer overflow");
  return static_cast<int32_t>(n);
}

}  // namespace corvane

#endif  // CORVANE_BASE_CHECKED_H_
