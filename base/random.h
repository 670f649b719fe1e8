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

  // The generator's whole state, so that a stored conversation draws on
  // exactly where it stopped. SetState refuses the all-zero state, from
  // which the generator never leaves (false, nothing changed).
  void GetState(uint64_t state[4]) const {
    for (int i = 0; i < 4; ++i) state[i] = s_[i];
  }
  bool SetState(const uint64_t state[4]) {
    if ((state[0] | state[1] | state[2] | state[3]) == 0) return false;
    for (int i = 0; i < 4; ++i) s_[i] = state[i];
    return true;
  }

 private:
  uint64_t s_[4];
};

// A seed taken from the clock and a per-process counter, so two generators
// created in the same tick still differ.
uint64_t ClockSeed();

}  // namespace corvane

#endif  // CORVANE_BASE_RANDOM_H_
