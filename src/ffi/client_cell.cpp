// Lifetime of client handle cells. A cell is freed by whoever drops its last
// hold: the host's mok_close, the last call still running on it, or its
// eviction from the recently closed cells. Closing never waits for a call,
// so it cannot block a runtime worker that closes from a callback.
#include <array>
#include <cstddef>
#include <mutex>
#include <utility>

#include "ffi/handles.hpp"

namespace mok::ffi {
namespace {

void drop_hold(mok_client_t* cell) noexcept {
  if (cell->holds.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    try {
      delete cell;
    } catch (...) {
    }
  }
}

// The most recently closed cells, each holding its cell. A host thread that
// passes a handle to a call just as another thread closes it (a poller that
// has not yet seen its stop flag) then meets a closed cell, answered with
// MOK_ERR_CLOSED, instead of freed memory. Constant-initialised and never
// destroyed: the cells still here at exit are left to the process.
constexpr std::size_t kRecentlyClosed = 64;
constinit std::mutex g_recent_lock;
constinit std::array<mok_client_t*, kRecentlyClosed> g_recent{};
constinit std::size_t g_recent_next = 0;

// Keeps `cell` among the recent ones; the oldest leaves and loses its hold.
void keep_recent(mok_client_t* cell) noexcept {
  cell->holds.fetch_add(1, std::memory_order_relaxed);
  mok_client_t* evicted = nullptr;
  {
    std::lock_guard lock(g_recent_lock);
    evicted = std::exchange(g_recent[g_recent_next], cell);
    g_recent_next = (g_recent_next + 1) % kRecentlyClosed;
  }
  if (evicted != nullptr) {
    drop_hold(evicted);
  }
}

}  // namespace

ClientCall::ClientCall(mok_client_t* handle) noexcept {
  if (handle == nullptr) {
    return;
  }
  handle->holds.fetch_add(1, std::memory_order_acq_rel);
  if (handle->closed.load(std::memory_order_acquire)) {
    refused_ = MOK_ERR_CLOSED;
    drop_hold(handle);
    return;
  }
  cell_ = handle;
}

ClientCall::~ClientCall() {
  if (cell_ != nullptr) {
    drop_hold(cell_);
  }
}

void close_client(mok_client_t* handle) noexcept {
  if (handle == nullptr || handle->closed.exchange(true, std::memory_order_acq_rel)) {
    return;
  }
  try {
    handle->client->close();
  } catch (...) {
  }
  keep_recent(handle);
  drop_hold(handle);
}

}  // namespace mok::ffi
