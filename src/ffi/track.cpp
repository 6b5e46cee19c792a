// The mok_track_* and mok_tracker_* C exports: each checks its pointers,
// makes one call into the tracking code and converts the answer. No exception
// crosses this file; a tracker handle is a heap cell owning its tracker.
#include <chrono>
#include <cstring>
#include <string>

#include "ffi/guard.hpp"
#include "ffi/versioned_copy.hpp"
#include "mok/mok_track.h"
#include "track/config.hpp"
#include "track/mount_file.hpp"
#include "track/pose_datagram.hpp"
#include "track/tracker.hpp"

struct mok_tracker {
  explicit mok_tracker(const mok_tracker_config_t& config) : tracker(config) {}
  mok::track::Tracker tracker;
};

namespace {

using mok::ffi::guarded;
using mok::track::Tracker;

// Copies `text` into err[0..err_len-1], cut to fit, NUL-terminated.
void put_error(const std::string& text, char* err, size_t err_len) {
  if (err == nullptr || err_len == 0) return;
  const size_t n = std::min(text.size(), err_len - 1);
  std::memcpy(err, text.data(), n);
  err[n] = '\0';
}

// `body(Tracker&)` for a non-null tracker, else MOK_ERR_INVALID_ARGUMENT;
// MOK_ERR_OTHER when it throws (memory running out).
template <class F>
int32_t with_tracker(mok_tracker_t* t, F&& body) noexcept {
  if (t == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return guarded<int32_t>(MOK_ERR_OTHER, [&] { return body(t->tracker); });
}

int32_t push(mok_tracker_t* t, const mok::track::SeamInput& in) {
  return with_tracker(t, [&](Tracker& tr) {
    tr.push_seam(in);
    return MOK_OK;
  });
}

}  // namespace

extern "C" {

MOK_API int64_t mok_track_now_ns(void) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

MOK_API int32_t mok_track_decode_pose_datagram(const uint8_t* data, size_t len, mok_pose_datagram_t* out) {
  if (data == nullptr || out == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  const auto d = mok::track::decode_pose_datagram(data, len);
  if (!d) return MOK_TRACK_ERR_BAD_DATAGRAM;
  *out = *d;
  return MOK_OK;
}

MOK_API int32_t mok_track_encode_pose_datagram(const mok_pose_datagram_t* datagram, uint8_t* out) {
  if (datagram == nullptr || out == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  mok::track::encode_pose_datagram(*datagram, out);
  return MOK_OK;
}

MOK_API int32_t mok_track_mount_parse(const char* text, size_t len, mok_pose_t* out, char* err, size_t err_len) {
  if (text == nullptr || out == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return guarded<int32_t>(MOK_ERR_OTHER, [&] {
    const auto pose = mok::track::parse_mount(std::string_view(text, len));
    if (!pose) return put_error(pose.error(), err, err_len), MOK_ERR_OTHER;
    *out = mok::track::to_c(pose.value());
    return MOK_OK;
  });
}

MOK_API int32_t mok_track_mount_load(const char* path, mok_pose_t* out, char* err, size_t err_len) {
  if (path == nullptr || out == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return guarded<int32_t>(MOK_ERR_OTHER, [&] {
    const auto pose = mok::track::load_mount(path);
    if (!pose) return put_error(pose.error(), err, err_len), MOK_ERR_OTHER;
    *out = mok::track::to_c(pose.value());
    return MOK_OK;
  });
}

MOK_API int32_t mok_track_mount_save(const char* path, const mok_pose_t* X_tool_sensor,
                                     const char* calibration_json, char* err, size_t err_len) {
  if (path == nullptr || X_tool_sensor == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return guarded<int32_t>(MOK_ERR_OTHER, [&] {
    const auto pose = mok::track::checked_pose(*X_tool_sensor);
    if (!pose) return put_error("the mounting is not a pose", err, err_len), MOK_ERR_INVALID_ARGUMENT;
    if (calibration_json && !mok::track::is_json_object(calibration_json)) {
      return put_error("the calibration is not a JSON object", err, err_len), MOK_ERR_INVALID_ARGUMENT;
    }
    const auto saved = mok::track::save_mount(path, *pose, calibration_json ? calibration_json : "");
    if (!saved) return put_error(saved.error(), err, err_len), MOK_ERR_OTHER;
    return MOK_OK;
  });
}

MOK_API void mok_tracker_config_init(mok_tracker_config_t* out) {
  if (out != nullptr) *out = mok::track::default_config();
}

MOK_API mok_tracker_t* mok_tracker_create(const mok_tracker_config_t* config) {
  return guarded<mok_tracker_t*>(nullptr, [&]() -> mok_tracker_t* {
    mok_tracker_config_t merged = mok::track::default_config();
    if (config != nullptr && !mok::track::merge_config(*config, merged)) return nullptr;
    return new mok_tracker(merged);
  });
}

MOK_API void mok_tracker_free(mok_tracker_t* tracker) { delete tracker; }

MOK_API int32_t mok_tracker_set_mount(mok_tracker_t* tracker, const mok_pose_t* X_tool_sensor) {
  if (X_tool_sensor == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) {
    const auto pose = mok::track::checked_pose(*X_tool_sensor);
    if (!pose) return MOK_TRACK_ERR_BAD_POSE;
    t.set_mount(*pose);
    return MOK_OK;
  });
}

MOK_API int32_t mok_tracker_reset(mok_tracker_t* tracker) {
  return with_tracker(tracker, [](Tracker& t) {
    t.reset();
    return MOK_OK;
  });
}

MOK_API int32_t mok_tracker_push_pose(mok_tracker_t* tracker, const mok_pose_t* X_base_tool, int64_t t_robot_us,
                                      int64_t t_host_rx_ns) {
  if (X_base_tool == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) { return t.push_pose(*X_base_tool, t_robot_us, t_host_rx_ns); });
}

MOK_API int32_t mok_tracker_push_pose_datagram(mok_tracker_t* tracker, const uint8_t* data, size_t len,
                                               int64_t t_host_rx_ns, mok_pose_datagram_t* out) {
  if (data == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) {
    const auto d = mok::track::decode_pose_datagram(data, len);
    if (!d) return t.count_bad_datagram(), MOK_TRACK_ERR_BAD_DATAGRAM;
    if (out != nullptr) *out = *d;
    return t.push_pose(d->X_base_tool, d->t_robot_us, t_host_rx_ns);
  });
}

MOK_API int32_t mok_tracker_push_result(mok_tracker_t* tracker, const mok_scan_result_t* result,
                                        int64_t t_host_rx_ns) {
  if (result == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  mok_scan_point_t seam{};
  const bool found = mok_scan_result_seam_point(result, &seam) == MOK_OK && mok_scan_result_seam_found(result);
  return push(tracker, {mok_scan_result_pts(result), t_host_rx_ns, found, seam.y, seam.z,
                        mok_scan_result_seam_width(result), mok_scan_result_seam_height(result),
                        mok_scan_result_seam_angle(result)});
}

MOK_API int32_t mok_tracker_push_record(mok_tracker_t* tracker, const mok_scan_record_t* record,
                                        int64_t t_host_rx_ns) {
  if (record == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  const mok_scan_record_t& r = *record;
  return push(tracker, {r.pts, t_host_rx_ns, r.seam_found != 0, r.seam_point.y, r.seam_point.z, r.seam_width,
                        r.seam_height, r.seam_angle});
}

MOK_API int32_t mok_tracker_push_seam(mok_tracker_t* tracker, uint64_t t_device_us, int64_t t_host_rx_ns,
                                      int32_t found, double y, double z, double width, double height,
                                      double angle) {
  return push(tracker, {t_device_us, t_host_rx_ns, found != 0, y, z, width, height, angle});
}

MOK_API int32_t mok_tracker_correction(mok_tracker_t* tracker, const mok_pose_t* X_base_tool, int64_t t_host_ns,
                                       mok_correction_t* out) {
  if (out == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) { return t.correction(X_base_tool, t_host_ns, *out); });
}

MOK_API int32_t mok_tracker_seam_at(mok_tracker_t* tracker, double distance_mm, double* out_base) {
  if (out_base == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) { return t.seam_at(distance_mm, out_base); });
}

MOK_API int32_t mok_tracker_path_range(mok_tracker_t* tracker, double* first_mm, double* last_mm) {
  if (first_mm == nullptr || last_mm == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) { return t.path_range(*first_mm, *last_mm); });
}

MOK_API int32_t mok_tracker_pose_at(mok_tracker_t* tracker, int64_t t_host_ns, mok_pose_t* out) {
  if (out == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) { return t.pose_at(t_host_ns, *out); });
}

MOK_API int32_t mok_tracker_device_time(mok_tracker_t* tracker, uint64_t t_device_us, int64_t* out) {
  if (out == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) { return t.device_time(t_device_us, *out); });
}

MOK_API int32_t mok_tracker_map_points(mok_tracker_t* tracker, uint64_t t_device_us,
                                       const mok_scan_point_t* points, uint32_t count, double* out_xyz) {
  if ((points == nullptr && count > 0) || out_xyz == nullptr) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) { return t.map_points(t_device_us, points, count, out_xyz); });
}

MOK_API int32_t mok_tracker_get_stats(mok_tracker_t* tracker, mok_tracker_stats_t* out, uint32_t size) {
  if (out == nullptr || size < 8) return MOK_ERR_INVALID_ARGUMENT;
  return with_tracker(tracker, [&](Tracker& t) {
    return mok::copy_versioned(t.stats(), out, size) ? MOK_OK : MOK_ERR_INVALID_ARGUMENT;
  });
}

}  // extern "C"
