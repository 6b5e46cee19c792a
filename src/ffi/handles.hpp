// The device C interface's handle cells and its process-wide runtime. Each
// handle is a heap cell holding exactly one counted reference; the host frees
// the cell, which drops that reference.
#pragma once

#include <cstdint>
#include <memory>

#include "brelo/client.hpp"
#include "brelo/error.hpp"
#include "brelo/types.hpp"
#include "media/video_frame.hpp"
#include "mok/mok.h"

struct mok_client {
  std::shared_ptr<mok::brelo::Client> client;
};

struct mok_scan_result {
  mok::brelo::ScanResultPtr result;
};

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

}  // namespace mok::ffi
