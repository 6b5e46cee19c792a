// The device C interface's connection extensions: a client's reconnect delay
// and time-outs, set before its first start (milliseconds, 0 keeping a
// default), and a wait until the writes a host has queued have left through
// the socket, so that a closing host loses none.
#include <chrono>
#include <cstdint>

#include "common/library_thread.hpp"
#include "ffi/handles.hpp"
#include "fxt/client/options.hpp"

extern "C" MOK_API int32_t mok_set_timing(mok_client_t* client, uint32_t reconnect_delay_ms,
                                          uint32_t connect_timeout_ms, uint32_t inactivity_timeout_ms,
                                          uint32_t write_timeout_ms) {
  return mok::ffi::status_call(client, [&](mok::brelo::Client& c) {
    const auto options = mok::fxt::client::ConnectorOptions::from_millis(reconnect_delay_ms, connect_timeout_ms,
                                                                         inactivity_timeout_ms, write_timeout_ms);
    return mok::ffi::status_of(c, c.set_options(options));
  });
}

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
