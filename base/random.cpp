#include "base/random.h"

#include <atomic>
#include <chrono>

namespace corvane {
namespace {

uint64_t SplitMix(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

inline uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

void Random::Seed(uint64_t seed) {
  uint64_t x = seed;
  for (uint64_t& s : s_) s = SplitMix(x);
}

uint64_t Random::Next() {
  const uint64_t result = Rotl(s_[1] * 5, 7) * 9;
  const uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = Rotl(s_[3], 45);
  return result;
}

int32_t Random::Below(int32_t n) {
  if (n <= 0) return 0;
  const uint64_t bound = static_cast<uint64_t>(n);
  // Rejection keeps every value equally likely.
  const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  uint64_t v;
  do {
    v = Next();
  } while (v >= limit);
  return static_cast<int32_t>(v % bound);
}

uint64_t ClockSeed() {
  static std::atomic<uint64_t> counter{0};
  const uint64_t ticks = static_cast<uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  return ticks ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
}

}  // namespace corvane
