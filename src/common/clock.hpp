// Time stamps of the monotonic clock, used for packet times and activity times.
#pragma once

#include <cstdint>

namespace mok {

// Microseconds of CLOCK_MONOTONIC (seconds * 1e6 + nanoseconds / 1000).
uint64_t monotonic_us() noexcept;

// Milliseconds of CLOCK_MONOTONIC_COARSE: the same clock at the kernel tick's
// resolution (1 to 4 ms), for a few nanoseconds instead of tens. For counts
// per time window, read once per received result.
uint64_t monotonic_coarse_ms() noexcept;

}  // namespace mok
