// Figures of this test process read from /proc/self, which the leak and
// growth tests compare before and after a run: open descriptors, threads and
// resident memory.
#pragma once

#include <cstddef>

namespace mok::test {

std::size_t open_fds();
std::size_t thread_count();
std::size_t resident_bytes();

}  // namespace mok::test
