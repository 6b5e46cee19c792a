// The device C interface's flush extension: wait until the writes a host has
// queued have left through the socket, so that a closing host loses none.
#include <chrono>
#include <cstdint>

#include "common/library_thread.hpp"
#include "ffi/handles.hpp"

extern "C" MOK_API int32_t mok_flush(mok_client_t* client, int32_t timeout_ms) {
  return mok::ffi::status_call(client, [&](mok::brelo::Client& c) -> int32_t {
    // The writes it waits for leave on the library's threads: inside a
    // callback it would hold one of them, so it refuses to wait there.
    if (timeout_ms != 0 && mok::on_library_thread()) {
      return MOK_ERR_IN_CALLBACK;
    }
    const auto timeout = std::chrono::milliseconds(timeout_ms < 0 ? 5000 : timeout_ms);
    return mok::ffi::status_of(c.flush(timeout));
  });
}
