// The process-wide allocation counter fed by the replaced operator new.
#pragma once

#include <atomic>
#include <cstdint>

namespace bench {
extern std::atomic<std::uint64_t> g_allocations;
inline std::uint64_t allocations() { return g_allocations.load(std::memory_order_relaxed); }
}  // namespace bench
