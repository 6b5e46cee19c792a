/*
 * libmok C++ wrapper of the tracking extension (mok_track.h): header-only
 * C++17, in the style of mok.hpp. A Tracker owns one mok_tracker_t. Pose
 * refusals and tracking statuses are answers, not failures: they come back
 * as values; only a null handle, a bad setting or memory running out throws
 * mok::Error.
 */
#ifndef MOK_TRACK_HPP
#define MOK_TRACK_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mok.hpp"
#include "mok_track.h"

namespace mok {

using Pose = ::mok_pose_t;                    /**< position (mm) and unit quaternion (w, x, y, z) */
using Correction = ::mok_correction_t;        /**< one correction; see mok_tracker_correction */
using TrackerConfig = ::mok_tracker_config_t; /**< tracker settings; start from default_tracker_config() */
using TrackerStats = ::mok_tracker_stats_t;   /**< a tracker's counters */
using PoseDatagram = ::mok_pose_datagram_t;   /**< one decoded robot pose datagram */

/** Tracking statuses (MOK_TRACK_*; the numbers never change). */
enum class TrackStatus : std::int32_t {
  Ok = 0,            /**< the answer is valid */
  NotYetScanned = 1, /**< not scanned (yet) at that distance */
  Gap = 2,           /**< scanned, but no seam there */
  StalePose = 3,     /**< the poses needed are too old */
  NoPose = 4,        /**< no pose was ever accepted */
  Waiting = 5,       /**< the poses do not reach that time yet */
  NoClock = 6,       /**< no result yet to map device time */
};

/** Name of a tracking status, e.g. "Gap". */
inline const char* track_status_name(TrackStatus s) noexcept {
  switch (s) {
    case TrackStatus::Ok:
      return "Ok";
    case TrackStatus::NotYetScanned:
      return "NotYetScanned";
    case TrackStatus::Gap:
      return "Gap";
    case TrackStatus::StalePose:
      return "StalePose";
    case TrackStatus::NoPose:
      return "NoPose";
    case TrackStatus::Waiting:
      return "Waiting";
    case TrackStatus::NoClock:
      return "NoClock";
  }
  return "Unknown";
}

/** The default settings. */
inline TrackerConfig default_tracker_config() noexcept {
  TrackerConfig c{};
  ::mok_tracker_config_init(&c);
  return c;
}

/** The host's steady clock in ns, the time base of every t_host_ns. */
inline std::int64_t track_now_ns() noexcept { return ::mok_track_now_ns(); }

/** Reads a mounting file; throws Error whose what() holds "PATH:LINE: reason". */
inline Pose load_mount(const std::string& path) {
  Pose out{};
  char err[512] = {};
  const std::int32_t rc = ::mok_track_mount_load(path.c_str(), &out, err, sizeof err);
  if (rc != MOK_OK) throw Error(rc, std::string("mok_track_mount_load: ") + err);
  return out;
}

/** Writes a mounting file; `calibration_json` (a JSON object, or empty) is kept with it. */
inline void save_mount(const std::string& path, const Pose& X_tool_sensor,
                       const std::string& calibration_json = {}) {
  char err[512] = {};
  const std::int32_t rc =
      ::mok_track_mount_save(path.c_str(), &X_tool_sensor,
                             calibration_json.empty() ? nullptr : calibration_json.c_str(), err, sizeof err);
  if (rc != MOK_OK) throw Error(rc, std::string("mok_track_mount_save: ") + err);
}

/**
 * Owns one tracker (mok_tracker_create ... mok_tracker_free). Every member
 * may be called from any thread at once, as the C functions may.
 */
class Tracker {
 public:
  /** A tracker with `config`; throws Error(InvalidArgument) for a setting out of range. */
  explicit Tracker(const TrackerConfig& config = default_tracker_config()) : h_(::mok_tracker_create(&config)) {
    if (h_ == nullptr) throw Error(MOK_ERR_INVALID_ARGUMENT, "mok_tracker_create");
  }
  /** Takes over another tracker's handle. */
  Tracker(Tracker&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  /** Frees this tracker and takes over another's handle. */
  Tracker& operator=(Tracker&& o) noexcept {
    if (this != &o) {
      ::mok_tracker_free(h_);
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;
  ~Tracker() { ::mok_tracker_free(h_); }

  /** Sets X_tool_sensor; throws Error for a pose that is not one. */
  void set_mount(const Pose& X_tool_sensor) {
    check(::mok_tracker_set_mount(h_, &X_tool_sensor), "mok_tracker_set_mount");
  }
  /** Forgets poses, results, path and clocks: a new seam starts. */
  void reset() { check(::mok_tracker_reset(h_), "mok_tracker_reset"); }

  /** MOK_OK, or the MOK_TRACK_ERR_* refusal (counted in stats()). */
  std::int32_t push_pose(const Pose& X_base_tool, std::int64_t t_robot_us, std::int64_t t_host_rx_ns) noexcept {
    return ::mok_tracker_push_pose(h_, &X_base_tool, t_robot_us, t_host_rx_ns);
  }
  /** Decodes and pushes one datagram; MOK_OK or a refusal. */
  std::int32_t push_pose_datagram(const std::uint8_t* data, std::size_t len, std::int64_t t_host_rx_ns,
                                  PoseDatagram* out = nullptr) noexcept {
    return ::mok_tracker_push_pose_datagram(h_, data, len, t_host_rx_ns, out);
  }
  /** Takes a scan result received at t_host_rx_ns. */
  void push(const ScanResult& result, std::int64_t t_host_rx_ns) {
    check(::mok_tracker_push_result(h_, result.get(), t_host_rx_ns), "mok_tracker_push_result");
  }
  /** Takes a result's fields one by one. */
  void push_seam(std::uint64_t t_device_us, std::int64_t t_host_rx_ns, bool found, double y, double z,
                 double width = 0, double height = 0, double angle = 0) {
    check(::mok_tracker_push_seam(h_, t_device_us, t_host_rx_ns, found ? 1 : 0, y, z, width, height, angle),
          "mok_tracker_push_seam");
  }

  /** The correction for the newest pose, asked at host time t_host_ns; read .status first. */
  Correction correction(std::int64_t t_host_ns) const { return correction_for(nullptr, t_host_ns); }
  /** The correction for the torch at X_base_tool (near the newest pose). */
  Correction correction(const Pose& X_base_tool) const { return correction_for(&X_base_tool, 0); }

  /** The seam point (base frame) at a path distance, or nothing with the status in `status`. */
  std::optional<std::array<double, 3>> seam_at(double distance_mm, TrackStatus* status = nullptr) const {
    std::array<double, 3> p{};
    const std::int32_t rc = ::mok_tracker_seam_at(h_, distance_mm, p.data());
    if (rc < 0) throw Error(rc, "mok_tracker_seam_at");
    if (status != nullptr) *status = static_cast<TrackStatus>(rc);
    return rc == MOK_TRACK_OK ? std::optional<std::array<double, 3>>(p) : std::nullopt;
  }
  /** Maps a profile's points at device time t_device_us into the base frame
   * (x, y, z per point, into `out`); out is left empty unless Ok. */
  TrackStatus map_points(std::uint64_t t_device_us, Span<Point> points, std::vector<double>& out) const {
    out.resize(3 * points.size());
    const std::int32_t rc = ::mok_tracker_map_points(h_, t_device_us, points.data(),
                                                     static_cast<std::uint32_t>(points.size()), out.data());
    if (rc < 0) throw Error(rc, "mok_tracker_map_points");
    if (rc != MOK_TRACK_OK) out.clear();
    return static_cast<TrackStatus>(rc);
  }
  /** The counters. */
  TrackerStats stats() const {
    TrackerStats s{};
    check(::mok_tracker_get_stats(h_, &s, sizeof s), "mok_tracker_get_stats");
    return s;
  }
  /** The C handle, still owned by this object. */
  ::mok_tracker_t* get() const noexcept { return h_; }

 private:
  Correction correction_for(const Pose* X_base_tool, std::int64_t t_host_ns) const {
    Correction c{};
    const std::int32_t rc = ::mok_tracker_correction(h_, X_base_tool, t_host_ns, &c);
    if (rc < 0) throw Error(rc, "mok_tracker_correction");
    return c;
  }

  ::mok_tracker_t* h_;
};

}  // namespace mok

#endif /* MOK_TRACK_HPP */
