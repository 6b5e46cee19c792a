// The device C interface's timing extension: a client's reconnect delay and
// time-outs, set before its first start (milliseconds, 0 keeping a default).
#include <cstdint>

#include "ffi/handles.hpp"
#include "fxt/client/options.hpp"

extern "C" MOK_API int32_t mok_set_timing(mok_client_t* client, uint32_t reconnect_delay_ms,
                                          uint32_t connect_timeout_ms, uint32_t inactivity_timeout_ms,
                                          uint32_t write_timeout_ms) {
  return mok::ffi::status_call(client, [&](mok::brelo::Client& c) {
    const auto options = mok::fxt::client::ConnectorOptions::from_millis(
        reconnect_delay_ms, connect_timeout_ms, inactivity_timeout_ms, write_timeout_ms);
    return mok::ffi::status_of(c, c.set_options(options));
  });
}
