// Time stamps of the monotonic clock, used for packet times and activity times.
#pragma once

#include <cstdint>

namespace mok {

// Microseconds of CLOCK_MONOTONIC (seconds * 1e6 + nanoseconds / 1000).
uint64_t monotonic_us() noexcept;

}  // namespace mok
