#include "platform/os_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

#include "base/random.h"

namespace corvane {

uint64_t OsRandomSeed() {
  uint64_t seed = 0;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(&seed);
  std::size_t got = 0;
  while (got < sizeof seed) {
    const ssize_t n = ::getrandom(bytes + got, sizeof seed - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ClockSeed();
    }
    got += static_cast<std::size_t>(n);
  }
  return seed;
}

}  // namespace corvane
