// Helpers shared by the benchmarks.
#ifndef CORVANE_BENCH_BENCH_UTIL_H_
#define CORVANE_BENCH_BENCH_UTIL_H_

#include <cstddef>
#include <string>

namespace corvane {

// `unit` repeated and cut to exactly `bytes` bytes.
inline std::string Repeat(const std::string& unit, std::size_t bytes) {
  std::string out;
  out.reserve(bytes + unit.size());
  while (out.size() < bytes) out += unit;
  out.resize(bytes);
  return out;
}

// As many whole copies of `piece` as fit in `bytes` bytes.
inline std::string RepeatWhole(const std::string& piece, std::size_t bytes) {
  std::string text;
  text.reserve(bytes + piece.size());
  while (text.size() + piece.size() <= bytes) text += piece;
  return text;
}

}  // namespace corvane

#endif  // CORVANE_BENCH_BENCH_UTIL_H_
