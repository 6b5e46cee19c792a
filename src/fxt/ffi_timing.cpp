// The connection C interface's timing extension: a connection's reconnect
// delay and time-outs, set before its first start (milliseconds, 0 keeping a
// default).
#include <cstdint>

#include "fxt/client/options.hpp"
#include "fxt/ffi_handles.hpp"
#include "mok/mok_fxt.h"

extern "C" MOK_API bool mok_fxt_conn_set_timing(mok_fxt_conn_t* conn, uint32_t reconnect_delay_ms,
                                                uint32_t connect_timeout_ms,
                                                uint32_t inactivity_timeout_ms,
                                                uint32_t write_timeout_ms) {
  if (conn == nullptr) return false;
  try {
    return conn->connector
        ->set_options(mok::fxt::client::ConnectorOptions::from_millis(
            reconnect_delay_ms, connect_timeout_ms, inactivity_timeout_ms, write_timeout_ms))
        .ok();
  } catch (...) {
    return false;
  }
}
