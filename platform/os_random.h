// Random seeds from the operating system, for generators whose sequence
// must not be guessed from the time a conversation started. Thread-safe.
#ifndef CORVANE_PLATFORM_OS_RANDOM_H_
#define CORVANE_PLATFORM_OS_RANDOM_H_

#include <cstdint>

namespace corvane {

// 64 bits from the operating system's random generator; when that fails,
// a seed from the clock and a per-process counter (ClockSeed). Never
// throws.
uint64_t OsRandomSeed();

}  // namespace corvane

#endif  // CORVANE_PLATFORM_OS_RANDOM_H_
