// The device C interface's handle cells and its process-wide runtime. Each
// handle is a heap cell holding exactly one counted reference; the host frees
// the cell, which drops that reference. A client cell also counts the calls
// running on it, so mok_close can race them: every export reaches its client
// through a ClientCall, the one path that keeps the cell and client alive.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "brelo/client.hpp"
#include "brelo/error.hpp"
#include "brelo/types.hpp"
#include "media/video_frame.hpp"
#include "mok/mok.h"

// Freed when its holds reach zero: the host's (until mok_close), one per call
// in flight, and one while it waits among the recently closed cells (so a
// call racing mok_close's return finds it closed, not freed). `client` is
// set at creation and constant afterwards.
struct mok_client {
  explicit mok_client(std::shared_ptr<mok::brelo::Client> c) noexcept : client(std::move(c)) {}

  std::shared_ptr<mok::brelo::Client> client;
  std::atomic<std::uint32_t> holds{1};
  std::atomic<bool> closed{false};
};

struct mok_scan_result {
  mok::brelo::ScanResultPtr result;
  // Made in its record's host room (a callback's handle) rather than by new:
  // freeing it destroys it in place.
  bool in_record = false;
};
static_assert(sizeof(mok_scan_result) <= mok::brelo::kHostRoomBytes &&
              alignof(mok_scan_result) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

struct mok_snapshot_image {
  mok::brelo::SnapshotImagePtr image;
};

struct mok_video_frame {
  mok::media::SharedFrame frame;
};

namespace mok {
class Runtime;
}

namespace mok::ffi {

// RUNTIME: serves every client of the process; created on the first connect
// and never shut down. Null when it cannot be created.
Runtime* device_runtime() noexcept;

// One export's use of a client handle: holds the cell (and so the client and
// everything it owns) until the call returns. Empty for a null handle, or one
// already closed; status() then tells which.
class ClientCall {
 public:
  explicit ClientCall(mok_client_t* handle) noexcept;
  ~ClientCall();
  ClientCall(const ClientCall&) = delete;
  ClientCall& operator=(const ClientCall&) = delete;

  explicit operator bool() const noexcept { return cell_ != nullptr; }
  brelo::Client& operator*() const noexcept { return *cell_->client; }
  brelo::Client* operator->() const noexcept { return cell_->client.get(); }
  // MOK_ERR_INVALID_ARGUMENT for a null handle, MOK_ERR_CLOSED for a closed one.
  std::int32_t status() const noexcept { return refused_; }

 private:
  mok_client_t* cell_ = nullptr;
  std::int32_t refused_ = MOK_ERR_INVALID_ARGUMENT;
};

// mok_close: marks the cell closed, wakes every waiter of the client with
// Closed, switches video off and asks the connection to shut down, all on
// the calling thread; then drops the host's hold. The cell and the client go
// with the last call that still holds them.
void close_client(mok_client_t* handle) noexcept;

// Runs `fn(Client&)` inside a ClientCall: the call's refusal status for a null
// or closed handle, `failed` when fn throws.
template <class R, class Fn>
R with_client(mok_client_t* handle, R refused, R failed, Fn&& fn) noexcept {
  ClientCall call(handle);
  if (!call) {
    return refused;
  }
  try {
    return fn(*call);
  } catch (...) {
    return failed;
  }
}

// As above for exports that return nothing.
template <class Fn>
void void_call(mok_client_t* handle, Fn&& fn) noexcept {
  (void)with_client(handle, false, false, [&](brelo::Client& c) {
    fn(c);
    return true;
  });
}

// As above for functions that return a status: the refusal is the call's own.
template <class Fn>
std::int32_t status_call(mok_client_t* handle, Fn&& fn) noexcept {
  ClientCall call(handle);
  if (!call) {
    return call.status();
  }
  try {
    return fn(*call);
  } catch (...) {
    return MOK_ERR_OTHER;
  }
}

// Status of a client operation: 0 or the error kind's code (the message of
// Other is dropped).
inline std::int32_t status_of(const brelo::Result<void>& r) noexcept { return r ? MOK_OK : r.error().code(); }
// As above, and the message of Other becomes the client's last failure, which
// the host reads with mok_get_last_error.
inline std::int32_t status_of(brelo::Client& client, const brelo::Result<void>& r) {
  if (!r && r.error().kind == brelo::ErrorKind::Other && !r.error().message.empty()) {
    client.record_failure(r.error().message);
  }
  return status_of(r);
}

static_assert(MOK_ERR_NOT_AVAILABLE == static_cast<std::int32_t>(brelo::ErrorKind::NotAvailable));
static_assert(MOK_ERR_SEND_FAILED == static_cast<std::int32_t>(brelo::ErrorKind::SendFailed));
static_assert(MOK_ERR_INVALID_ARGUMENT == static_cast<std::int32_t>(brelo::ErrorKind::InvalidArgument));
static_assert(MOK_ERR_TIMEOUT == static_cast<std::int32_t>(brelo::ErrorKind::Timeout));
static_assert(MOK_ERR_OTHER == static_cast<std::int32_t>(brelo::ErrorKind::Other));
static_assert(MOK_ERR_CLOSED == static_cast<std::int32_t>(brelo::ErrorKind::Closed));
static_assert(MOK_ERR_IN_CALLBACK == static_cast<std::int32_t>(brelo::ErrorKind::InCallback));

}  // namespace mok::ffi
