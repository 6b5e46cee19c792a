// The connection C interface's flush extension: wait until the packets a host
// has queued have left through the socket.
#include <chrono>
#include <cstdint>

#include "fxt/ffi_handles.hpp"
#include "mok/mok_fxt.h"

extern "C" MOK_API bool mok_fxt_conn_flush(mok_fxt_conn_t* conn, uint32_t timeout_ms) {
  if (conn == nullptr) return false;
  try {
    return conn->connector->flush(std::chrono::milliseconds(timeout_ms)) ==
           mok::fxt::client::FlushTracker::Outcome::Flushed;
  } catch (...) {
    return false;
  }
}
