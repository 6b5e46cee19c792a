// The connection C exports: each handle holds one reference to a Connector
// whose Handler (HandlerImpl) forwards to the host's two C callbacks. The
// connectors run on RT, the transport interface's own process-wide runtime,
// created on first use and never destroyed. Nothing unwinds into the host.
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/runtime.hpp"
#include "ffi/fxt_handles.hpp"
#include "ffi/text.hpp"
#include "ffi/versioned_copy.hpp"
#include "fxt/client/connector.hpp"
#include "fxt/client/options.hpp"
#include "fxt/client/stats_fields.hpp"
#include "mok/mok_fxt.h"

namespace mok::fxt {
namespace {

constinit ProcessRuntime RT("mok-fxt");

static_assert(static_cast<uint32_t>(State::Connected) == MOK_FXT_STATE_CONNECTED);
static_assert(static_cast<uint32_t>(State::ConnectFailed) == MOK_FXT_STATE_CONNECT_FAILED);
static_assert(static_cast<uint32_t>(State::ConnectTimeout) == MOK_FXT_STATE_CONNECT_TIMEOUT);
static_assert(static_cast<uint32_t>(State::Disconnected) == MOK_FXT_STATE_DISCONNECTED);
static_assert(static_cast<uint32_t>(State::ShuttingDown) == MOK_FXT_STATE_SHUTTING_DOWN);
static_assert(static_cast<uint32_t>(State::Terminated) == MOK_FXT_STATE_TERMINATED);
static_assert(static_cast<uint32_t>(State::Reconnecting) == MOK_FXT_STATE_RECONNECTING);

class HandlerImpl final : public client::Handler {
 public:
  HandlerImpl(mok_fxt_packet_cb_t packet_cb, mok_fxt_state_cb_t state_cb) noexcept
      : packet_cb_(packet_cb), state_cb_(state_cb) {}

  // The handle lives only for the call; the host clones it to keep the
  // packet. Calls for one connection never overlap, so one cell serves them
  // all and a packet costs no allocation here; the reference goes back to
  // the read loop after each call, which sees whether anyone else kept it.
  void on_packet(PacketPtr& packet) noexcept override {
    if (!packet) return;
    cell_.packet = std::move(packet);
    packet_cb_(&cell_);
    packet = std::move(cell_.packet);
  }

  void on_state(State state) noexcept override { state_cb_(static_cast<uint32_t>(state)); }

 private:
  mok_fxt_packet_cb_t packet_cb_;
  mok_fxt_state_cb_t state_cb_;
  mok_fxt_packet cell_;
};

mok_fxt_conn_t* create(const char* addr, mok_fxt_packet_cb_t packet_cb, mok_fxt_state_cb_t state_cb, bool start) {
  if (addr == nullptr || packet_cb == nullptr || state_cb == nullptr) return nullptr;
  const std::string_view text(addr, std::strlen(addr));
  if (!ffi::valid_utf8(text)) return nullptr;
  Runtime* rt = RT.get();
  if (rt == nullptr) return nullptr;
  auto handler = std::make_shared<HandlerImpl>(packet_cb, state_cb);
  auto connector = client::Connector::create(*rt, text, std::move(handler));
  if (!connector.ok()) return nullptr;
  if (start && !(*connector)->start().ok()) return nullptr;  // releases the reference
  return new mok_fxt_conn{std::move(*connector)};
}

}  // namespace
}  // namespace mok::fxt

using mok::fxt::create;

extern "C" MOK_API mok_fxt_conn_t* mok_fxt_conn_new(const char* addr, mok_fxt_packet_cb_t packet_cb,
                                                    mok_fxt_state_cb_t state_cb) {
  try {
    return create(addr, packet_cb, state_cb, false);
  } catch (...) {
    return nullptr;
  }
}

extern "C" MOK_API mok_fxt_conn_t* mok_fxt_connect(const char* addr, mok_fxt_packet_cb_t packet_cb,
                                                   mok_fxt_state_cb_t state_cb) {
  try {
    return create(addr, packet_cb, state_cb, true);
  } catch (...) {
    return nullptr;
  }
}

extern "C" MOK_API bool mok_fxt_conn_start(mok_fxt_conn_t* conn) {
  if (conn == nullptr) return false;
  try {
    return conn->connector->start().ok();
  } catch (...) {
    return false;
  }
}

extern "C" MOK_API bool mok_fxt_conn_stop(mok_fxt_conn_t* conn) {
  if (conn == nullptr) return false;
  try {
    return conn->connector->stop().ok();
  } catch (...) {
    return false;
  }
}

extern "C" MOK_API bool mok_fxt_conn_shutdown(mok_fxt_conn_t* conn) {
  if (conn == nullptr) return false;
  try {
    return conn->connector->shutdown().ok();
  } catch (...) {
    return false;
  }
}

extern "C" MOK_API bool mok_fxt_conn_send_packet(mok_fxt_conn_t* conn, mok_fxt_packet_t* packet) {
  if (conn == nullptr || packet == nullptr || !packet->packet) return false;
  // A packet can be built with length 0, but every receiver refuses a head
  // below the minimum and drops the connection: it is never sent.
  if (packet->packet->head.length < mok::fxt::kMinLength) return false;
  try {
    return conn->connector->send(packet->packet).ok();
  } catch (...) {
    return false;
  }
}

extern "C" MOK_API void mok_fxt_conn_set_auto_reconnect(mok_fxt_conn_t* conn, bool enabled) {
  if (conn == nullptr) return;
  conn->connector->set_auto_reconnect(enabled);
}

extern "C" MOK_API void mok_fxt_conn_free(mok_fxt_conn_t* conn) {
  if (conn == nullptr) return;
  try {
    (void)conn->connector->shutdown();
  } catch (...) {
    // The handle is released regardless.
  }
  delete conn;
}

extern "C" MOK_API void mok_fxt_disconnect(mok_fxt_conn_t* conn) {
  if (conn == nullptr) return;
  // Shutting down only touches the connector's flags and channel, so it
  // needs no worker and still works when RT cannot be created.
  (void)mok::fxt::RT.get();
  mok_fxt_conn_free(conn);
}

// ---- Extensions: statistics and last failure ----------------------------------

static_assert(sizeof(mok_fxt_conn_stats_t) == 128);
static_assert(offsetof(mok_fxt_conn_stats_t, time_in_state_ms) == 8);
static_assert(offsetof(mok_fxt_conn_stats_t, queue_depth) == 120);

extern "C" MOK_API bool mok_fxt_conn_get_stats(mok_fxt_conn_t* conn, mok_fxt_conn_stats_t* out, uint32_t size) {
  if (conn == nullptr || out == nullptr) return false;
  try {
    mok_fxt_conn_stats_t c{};
    mok::fxt::client::fill_conn_fields(conn->connector->stats_snapshot(), c);
    return mok::copy_versioned(c, out, size);
  } catch (...) {
    return false;
  }
}

extern "C" MOK_API bool mok_fxt_conn_last_error(mok_fxt_conn_t* conn, char* buffer, uint32_t* length) {
  if (conn == nullptr || length == nullptr) return false;
  try {
    const std::optional<std::string> text = conn->connector->stats().last_failure();
    if (!text || text->size() >= UINT32_MAX) {
      *length = 0;
      return false;
    }
    return mok::ffi::copy_text(*text, buffer, length) != mok::ffi::TextCopy::TooSmall;
  } catch (...) {
    return false;
  }
}

// ---- Extensions: timings and flush ----------------------------------------------

extern "C" MOK_API bool mok_fxt_conn_set_timing(mok_fxt_conn_t* conn, uint32_t reconnect_delay_ms,
                                                uint32_t connect_timeout_ms, uint32_t inactivity_timeout_ms,
                                                uint32_t write_timeout_ms) {
  if (conn == nullptr) return false;
  try {
    return conn->connector
        ->set_options(mok::fxt::client::ConnectorOptions::from_millis(reconnect_delay_ms, connect_timeout_ms,
                                                                      inactivity_timeout_ms, write_timeout_ms))
        .ok();
  } catch (...) {
    return false;
  }
}

extern "C" MOK_API bool mok_fxt_conn_flush(mok_fxt_conn_t* conn, uint32_t timeout_ms) {
  if (conn == nullptr) return false;
  try {
    return conn->connector->flush(std::chrono::milliseconds(timeout_ms)) ==
           mok::fxt::client::FlushTracker::Outcome::Flushed;
  } catch (...) {
    return false;
  }
}
