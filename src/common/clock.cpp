// Monotonic time stamps, read straight from the clock the sender's peers share
// no origin with: values only compare within one host.
#include "common/clock.hpp"

#include <time.h>

namespace mok {

uint64_t monotonic_us() noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

uint64_t monotonic_coarse_ms() noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

}  // namespace mok
