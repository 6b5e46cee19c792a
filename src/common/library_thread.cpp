// One thread-local flag; constant-initialised, so it costs nothing on host
// threads that never touch it.
#include "common/library_thread.hpp"

namespace mok {
namespace {
constinit thread_local bool t_library_thread = false;
}  // namespace

bool on_library_thread() noexcept { return t_library_thread; }

void mark_library_thread() noexcept { t_library_thread = true; }

}  // namespace mok
