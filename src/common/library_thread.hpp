// Whether the calling thread is one of the library's own (a runtime worker,
// a decoding thread, a client video thread), that is, whether host code on
// it is running inside a callback. A blocking wait there would hold the very
// thread that has to deliver what it waits for, so such waits refuse.
#pragma once

namespace mok {

bool on_library_thread() noexcept;

// Marks the calling thread as the library's for the rest of its life; called
// first thing by every thread the library starts.
void mark_library_thread() noexcept;

}  // namespace mok
