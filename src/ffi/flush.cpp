// The device C interface's flush extension: wait until the writes a host has
// queued have left through the socket, so that a closing host loses none.
#include <chrono>
#include <cstdint>

#include "ffi/handles.hpp"

extern "C" MOK_API int32_t mok_flush(mok_client_t* client, int32_t timeout_ms) {
  if (client == nullptr) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  try {
    const auto timeout = std::chrono::milliseconds(timeout_ms < 0 ? 5000 : timeout_ms);
    return mok::ffi::status_of(client->client->flush(timeout));
  } catch (...) {
    return MOK_ERR_OTHER;
  }
}
