// The device C interface: every mok_* export checks its pointers, makes one
// call into the device client and converts the result. Bodies run inside a
// catch-all so no failure unwinds into the host.
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "brelo/address.hpp"
#include "common/runtime.hpp"
#include "ffi/handles.hpp"
#include "ffi/text.hpp"
#include "ffi/versioned_copy.hpp"
#include "fxt/client/stats_fields.hpp"
#include "fxt/state.hpp"

namespace {

using mok::brelo::Client;
using mok::brelo::ScanPoint;
using mok::brelo::ScanResult;
using mok::brelo::SeamInfo;
using mok::brelo::Segment;

// The C records are views of the client's own records.
static_assert(sizeof(mok_scan_point_t) == sizeof(ScanPoint));
static_assert(offsetof(mok_scan_point_t, y) == offsetof(ScanPoint, y));
static_assert(offsetof(mok_scan_point_t, z) == offsetof(ScanPoint, z));
static_assert(offsetof(mok_scan_point_t, reserved) == offsetof(ScanPoint, reserved));
static_assert(sizeof(mok_seam_info_t) == sizeof(SeamInfo));
static_assert(offsetof(mok_seam_info_t, values) == offsetof(SeamInfo, values));
static_assert(offsetof(mok_seam_info_t, tail) == offsetof(SeamInfo, tail));
static_assert(offsetof(mok_seam_info_t, word) == offsetof(SeamInfo, word));
static_assert(sizeof(mok_segment_t) == sizeof(Segment));
static_assert(offsetof(mok_segment_t, value) == offsetof(Segment, value));
static_assert(offsetof(mok_segment_t, a) == offsetof(Segment, a));
static_assert(offsetof(mok_segment_t, c) == offsetof(Segment, c));
static_assert(offsetof(mok_segment_t, type) == offsetof(Segment, type));
static_assert(MOK_SEAM_POINT_COUNT == mok::brelo::kSeamPointCount);
static_assert(MOK_SEGMENT_COUNT == mok::brelo::kSegmentCount);
static_assert(MOK_STATE_CONNECTED == static_cast<uint32_t>(mok::fxt::State::Connected));
static_assert(MOK_STATE_RECONNECTING == static_cast<uint32_t>(mok::fxt::State::Reconnecting));
static_assert(MOK_IMAGE_PNG == static_cast<int32_t>(mok::brelo::SnapshotFormat::Png));

constexpr int32_t kDefaultWaitMs = 5000;
constexpr std::size_t kMaxTextLen = 4294967294u;
constexpr const char* kInCallbackText = "mok_recv_snapshot_image does not wait inside a callback";

constinit mok::ProcessRuntime RUNTIME("mok-rt");

const mok_scan_point_t* as_c(const ScanPoint* p) noexcept { return reinterpret_cast<const mok_scan_point_t*>(p); }

// A negative time-out means the default; otherwise milliseconds exactly.
std::chrono::nanoseconds wait_timeout(int32_t ms) noexcept {
  return std::chrono::milliseconds(ms < 0 ? kDefaultWaitMs : ms);
}

// The host-facing text: the device pads odd-length texts with a zero byte,
// which is not part of the text, so trailing zero bytes are dropped. A zero
// byte inside the text cannot be represented in C and is refused.
int32_t copy_text(const std::optional<std::string>& cached, char* buffer, uint32_t* length) noexcept {
  if (!cached) {
    return MOK_ERR_NOT_AVAILABLE;
  }
  if (length == nullptr) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  std::string_view text = *cached;
  while (!text.empty() && text.back() == '\0') {
    text.remove_suffix(1);
  }
  if (text.find('\0') != std::string_view::npos || text.size() > kMaxTextLen) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  return mok::ffi::copy_text(text, buffer, length) == mok::ffi::TextCopy::TooSmall ? MOK_ERR_INVALID_ARGUMENT
                                                                                   : MOK_OK;
}

template <class T, class U>
int32_t get_value(mok_client_t* client, U* out, std::optional<T> (Client::*getter)()) noexcept {
  return mok::ffi::status_call(client, [&](Client& c) {
    if (out == nullptr) {
      return MOK_ERR_INVALID_ARGUMENT;
    }
    const std::optional<T> v = (c.*getter)();
    if (!v) {
      return MOK_ERR_NOT_AVAILABLE;
    }
    *out = static_cast<U>(*v);
    return MOK_OK;
  });
}

template <class Op>
int32_t call_status(mok_client_t* client, Op op) noexcept {
  return mok::ffi::status_call(client, [&](Client& c) { return mok::ffi::status_of(c, op(c)); });
}

}  // namespace

namespace mok::ffi {
Runtime* device_runtime() noexcept { return RUNTIME.get(); }
}  // namespace mok::ffi

// ---- Lifecycle ---------------------------------------------------------------

extern "C" MOK_API mok_client_t* mok_connect(const char* address) {
  if (address == nullptr) {
    return nullptr;
  }
  try {
    const std::string text(address);
    // Rejected addresses are refused before the runtime's threads exist.
    if (!mok::ffi::valid_utf8(text) || !mok::brelo::normalize_remote_addr(text)) {
      return nullptr;
    }
    mok::Runtime* rt = mok::ffi::device_runtime();
    if (rt == nullptr) {
      return nullptr;
    }
    auto client = Client::connect(*rt, text);
    if (!client) {
      return nullptr;
    }
    return new mok_client(std::move(*client));
  } catch (...) {
    return nullptr;
  }
}

extern "C" MOK_API void mok_close(mok_client_t* client) { mok::ffi::close_client(client); }

extern "C" MOK_API int32_t mok_start(mok_client_t* client) {
  return call_status(client, [](Client& c) { return c.start(); });
}

extern "C" MOK_API int32_t mok_stop(mok_client_t* client) {
  return call_status(client, [](Client& c) { return c.stop(); });
}

extern "C" MOK_API uint32_t mok_version_code(void) { return MOK_VERSION_CODE; }

extern "C" MOK_API const char* mok_version_str(void) { return MOK_VERSION_STRING; }

// ---- Parameters --------------------------------------------------------------

extern "C" MOK_API int32_t mok_get_exposure_time(mok_client_t* client, uint32_t* out) {
  return get_value(client, out, &Client::exposure_time);
}
extern "C" MOK_API int32_t mok_get_laser_strength(mok_client_t* client, uint32_t* out) {
  return get_value(client, out, &Client::laser_strength);
}
extern "C" MOK_API int32_t mok_get_task_id(mok_client_t* client, uint32_t* out) {
  return get_value(client, out, &Client::task_id);
}
extern "C" MOK_API int32_t mok_get_laser_enable(mok_client_t* client, int32_t* out) {
  return get_value(client, out, &Client::laser_enable);
}
extern "C" MOK_API int32_t mok_get_rts(mok_client_t* client, uint64_t* out) {
  return get_value(client, out, &Client::rts);
}
extern "C" MOK_API int32_t mok_get_cts(mok_client_t* client, uint64_t* out) {
  return get_value(client, out, &Client::cts);
}

extern "C" MOK_API int32_t mok_get_board_id(mok_client_t* client, char* buffer, uint32_t* length) {
  return mok::ffi::status_call(client, [&](Client& c) { return copy_text(c.board_id(), buffer, length); });
}

extern "C" MOK_API int32_t mok_get_serial_number(mok_client_t* client, char* buffer, uint32_t* length) {
  return mok::ffi::status_call(client, [&](Client& c) { return copy_text(c.serial_number(), buffer, length); });
}

extern "C" MOK_API int32_t mok_set_exposure_time(mok_client_t* client, uint32_t value) {
  return call_status(client, [&](Client& c) { return c.set_exposure_time(value); });
}
extern "C" MOK_API int32_t mok_set_laser_strength(mok_client_t* client, uint32_t value) {
  return call_status(client, [&](Client& c) { return c.set_laser_strength(value); });
}
extern "C" MOK_API int32_t mok_set_task_id(mok_client_t* client, uint32_t value) {
  return call_status(client, [&](Client& c) { return c.set_task_id(value); });
}
extern "C" MOK_API int32_t mok_set_laser_enable(mok_client_t* client, int32_t enable) {
  return call_status(client, [&](Client& c) { return c.set_laser_enable(enable != 0); });
}
extern "C" MOK_API int32_t mok_set_rts(mok_client_t* client, uint64_t value) {
  return call_status(client, [&](Client& c) { return c.set_rts(value); });
}

extern "C" MOK_API int32_t mok_wait_params(mok_client_t* client, int32_t timeout_ms) {
  return call_status(client, [&](Client& c) { return c.wait_params_ready(wait_timeout(timeout_ms)); });
}

extern "C" MOK_API int32_t mok_pull_rts(mok_client_t* client, int32_t timeout_ms, uint64_t* out) {
  return mok::ffi::status_call(client, [&](Client& c) {
    if (out == nullptr) {
      return MOK_ERR_INVALID_ARGUMENT;
    }
    auto r = c.pull_rts(wait_timeout(timeout_ms));
    if (!r) {
      return r.error().code();
    }
    *out = *r;
    return MOK_OK;
  });
}

// ---- Scan results ------------------------------------------------------------

extern "C" MOK_API mok_scan_result_t* mok_get_scan_result(mok_client_t* client) {
  return mok::ffi::with_client<mok_scan_result_t*>(client, nullptr, nullptr, [](Client& c) {
    auto result = c.latest_scan_result();
    return result ? new mok_scan_result{std::move(result)} : nullptr;
  });
}

extern "C" MOK_API void mok_scan_result_free(mok_scan_result_t* result) {
  if (result == nullptr || !result->in_record) {
    delete result;
    return;
  }
  // The handle lives in the record it holds: let go of the record only once
  // the handle is gone, since that may free the block holding both.
  const mok::brelo::ScanResultPtr record = std::move(result->result);
  std::destroy_at(result);
}

extern "C" MOK_API uint32_t mok_scan_result_point_count(const mok_scan_result_t* result) {
  return result ? result->result->point_count : 0;
}
extern "C" MOK_API const mok_scan_point_t* mok_scan_result_points(const mok_scan_result_t* result) {
  return result ? as_c(result->result->points.get()) : nullptr;
}
extern "C" MOK_API uint64_t mok_scan_result_pts(const mok_scan_result_t* result) {
  return result ? result->result->pts : 0;
}
extern "C" MOK_API bool mok_scan_result_seam_found(const mok_scan_result_t* result) {
  return result ? result->result->seam_found : false;
}
extern "C" MOK_API uint32_t mok_scan_result_seam_point_idx(const mok_scan_result_t* result) {
  return result ? result->result->seam_point_idx : 0;
}
extern "C" MOK_API float mok_scan_result_seam_width(const mok_scan_result_t* result) {
  return result ? result->result->seam_width : 0.0f;
}
extern "C" MOK_API float mok_scan_result_seam_height(const mok_scan_result_t* result) {
  return result ? result->result->seam_height : 0.0f;
}
extern "C" MOK_API float mok_scan_result_seam_angle(const mok_scan_result_t* result) {
  return result ? result->result->seam_angle : 0.0f;
}
extern "C" MOK_API const mok_scan_point_t* mok_scan_result_seam_points(const mok_scan_result_t* result) {
  return result ? as_c(result->result->seam_points.data()) : nullptr;
}
extern "C" MOK_API const mok_seam_info_t* mok_scan_result_seam_info(const mok_scan_result_t* result) {
  return result ? reinterpret_cast<const mok_seam_info_t*>(&result->result->seam_info) : nullptr;
}
extern "C" MOK_API const mok_segment_t* mok_scan_result_segments(const mok_scan_result_t* result) {
  return result ? reinterpret_cast<const mok_segment_t*>(result->result->segments.data()) : nullptr;
}

extern "C" MOK_API int32_t mok_scan_result_seam_point(const mok_scan_result_t* result, mok_scan_point_t* out) {
  if (result == nullptr || out == nullptr) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  const ScanResult& r = *result->result;
  if (!r.seam_found || r.seam_point_idx >= r.seam_points.size()) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  std::memcpy(out, &r.seam_points[r.seam_point_idx], sizeof *out);
  return MOK_OK;
}

// ---- Snapshots ---------------------------------------------------------------

extern "C" MOK_API int32_t mok_snapshot(mok_client_t* client, int32_t image_format, int32_t mark_seam,
                                        int32_t jpeg_quality) {
  return call_status(client, [&](Client& c) {
    return c.snapshot(static_cast<uint32_t>(image_format), mark_seam != 0, static_cast<uint32_t>(jpeg_quality));
  });
}

extern "C" MOK_API mok_snapshot_image_t* mok_recv_snapshot_image(mok_client_t* client, uint64_t timeout_ms) {
  return mok::ffi::with_client<mok_snapshot_image_t*>(client, nullptr, nullptr, [&](Client& c) {
    auto image = c.recv_snapshot_image(timeout_ms);
    if (!image) {
      // Null says nothing more; the host finds why in mok_get_last_error.
      if (image.error().kind == mok::brelo::ErrorKind::InCallback) {
        c.record_failure(kInCallbackText);
      }
      return static_cast<mok_snapshot_image_t*>(nullptr);
    }
    return new mok_snapshot_image{std::move(*image)};
  });
}

extern "C" MOK_API const uint8_t* mok_snapshot_image_data(const mok_snapshot_image_t* image) {
  return image ? image->image->data.data() : nullptr;
}
extern "C" MOK_API size_t mok_snapshot_image_data_size(const mok_snapshot_image_t* image) {
  return image ? image->image->data.size() : 0;
}
extern "C" MOK_API uint32_t mok_snapshot_image_width(const mok_snapshot_image_t* image) {
  return image ? image->image->width : 0;
}
extern "C" MOK_API uint32_t mok_snapshot_image_height(const mok_snapshot_image_t* image) {
  return image ? image->image->height : 0;
}
extern "C" MOK_API int32_t mok_snapshot_image_format(const mok_snapshot_image_t* image) {
  return image ? static_cast<int32_t>(image->image->format) : -1;
}
extern "C" MOK_API void mok_snapshot_image_free(mok_snapshot_image_t* image) { delete image; }

// ---- Callbacks ---------------------------------------------------------------

extern "C" MOK_API void mok_set_scan_cb(mok_client_t* client, mok_scan_cb_t cb, void* user_data) {
  mok::ffi::void_call(client, [&](Client& c) {
    if (cb == nullptr) {
      c.clear_scan_cb();
      return;
    }
    // Each call hands the host a handle of its own, made in the record's
    // room for it when the record has one (no allocation per result).
    c.set_scan_cb([cb, user_data](mok::brelo::ScanResultPtr r) {
      void* room = r->host_room;
      cb(room ? ::new (room) mok_scan_result{std::move(r), true} : new mok_scan_result{std::move(r)}, user_data);
    });
  });
}

extern "C" MOK_API void mok_clear_scan_cb(mok_client_t* client) {
  mok::ffi::void_call(client, [](Client& c) { c.clear_scan_cb(); });
}

extern "C" MOK_API void mok_set_scan_burst_end_cb(mok_client_t* client, mok_scan_burst_end_cb_t cb,
                                                  void* user_data) {
  mok::ffi::void_call(client, [&](Client& c) {
    if (cb == nullptr) {
      c.clear_burst_end_cb();
    } else {
      c.set_burst_end_cb([cb, user_data] { cb(user_data); });
    }
  });
}

extern "C" MOK_API void mok_set_state_cb(mok_client_t* client, mok_state_cb_t cb, void* user_data) {
  mok::ffi::void_call(client, [&](Client& c) {
    if (cb == nullptr) {
      c.clear_state_cb();
      return;
    }
    c.set_state_cb([cb, user_data](mok::brelo::State s) { cb(static_cast<uint32_t>(s), user_data); });
  });
}

extern "C" MOK_API void mok_clear_state_cb(mok_client_t* client) {
  mok::ffi::void_call(client, [](Client& c) { c.clear_state_cb(); });
}

// ---- Extensions: statistics and last failure ----------------------------------

static_assert(sizeof(mok_stats_t) == 264);
static_assert(offsetof(mok_stats_t, time_in_state_ms) == 8);
static_assert(offsetof(mok_stats_t, register_reports) == 104);
static_assert(offsetof(mok_stats_t, send_refused_not_connected) == 200);
static_assert(offsetof(mok_stats_t, scan_rate_hz) == 224);
static_assert(offsetof(mok_stats_t, scan_queue_dropped) == 232);
static_assert(offsetof(mok_stats_t, snapshots_dropped) == 248);
static_assert(offsetof(mok_stats_t, video_packets_skipped) == 256);

extern "C" MOK_API int32_t mok_get_stats(mok_client_t* client, mok_stats_t* out, uint32_t size) {
  return mok::ffi::status_call(client, [&](Client& cl) {
    if (out == nullptr) {
      return MOK_ERR_INVALID_ARGUMENT;
    }
    const mok::brelo::ClientStatsSnapshot s = cl.stats();
    mok_stats_t c{};
    mok::fxt::client::fill_conn_fields(s.conn, c);
    c.register_reports = s.register_reports;
    c.snapshot_images = s.snapshot_images;
    c.scan_results = s.scan_results;
    c.video_packets = s.video_packets;
    c.ignored_packets = s.ignored_packets;
    c.scan_results_rejected = s.scan_results_rejected;
    c.snapshots_queued = s.snapshots_queued;
    c.snapshots_received = s.snapshots_received;
    c.video_packets_posted = s.video_packets_posted;
    c.frames_decoded = s.frames_decoded;
    c.frames_delivered = s.frames_delivered;
    c.frames_dropped = s.frames_dropped;
    c.scan_rate_hz = s.scan_rate_hz;
    c.scan_queue_dropped = s.scan_queue_dropped;
    c.scan_queue_depth = s.scan_queue_depth;
    c.snapshots_dropped = s.snapshots_dropped;
    c.video_packets_skipped = s.video_packets_skipped;
    return mok::copy_versioned(c, out, size) ? MOK_OK : MOK_ERR_INVALID_ARGUMENT;
  });
}

extern "C" MOK_API int32_t mok_get_last_error(mok_client_t* client, char* buffer, uint32_t* length) {
  return mok::ffi::status_call(client, [&](Client& c) { return copy_text(c.last_failure(), buffer, length); });
}
