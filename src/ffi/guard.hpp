// The one wrapper every C export's body runs in: a failure inside, memory
// running out included, becomes the export's documented neutral answer, so no
// exception ever unwinds into the host.
#pragma once

#include <new>
#include <utility>

namespace mok::ffi {

// `body()`, or `neutral` when it throws.
template <class T, class F>
T guarded(T neutral, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    return neutral;
  }
}

// As above, with a separate answer for memory running out, for the families
// whose status codes tell that apart.
template <class T, class F>
T guarded(T neutral, T out_of_memory, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc&) {
    return out_of_memory;
  } catch (...) {
    return neutral;
  }
}

// For exports without a result: a failure leaves nothing behind.
template <class F>
void guarded_void(F&& body) noexcept {
  try {
    std::forward<F>(body)();
  } catch (...) {
  }
}

}  // namespace mok::ffi
