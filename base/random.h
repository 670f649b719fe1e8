// A small, fast pseudo-random generator (xoshiro256**) with unbiased draws.
// Each brain owns one, so brains of different threads never share state and
// a conversation seeded explicitly replays exactly. Not thread-safe.
#ifndef CORVANE_BASE_RANDOM_H_
#define CORVANE_BASE_RANDOM_H_

#include <cstdint>

namespace corvane {

class Random {
 public:
  explicit Random(uint64_t seed = 0) { Seed(seed); }

  // Restarts the sequence from `seed`.
  void Seed(uint64_t seed);

  // A uniform integer from 0 to n-1; 0 when n is 0 or less.
  int32_t Below(int32_t n);

  uint64_t Next();

 private:
  uint64_t s_[4];
};

// A seed taken from the clock and a per-process counter, so two generators
// created in the same tick still differ.
uint64_t ClockSeed();

}  // namespace corvane

#endif  // CORVANE_BASE_RANDOM_H_
