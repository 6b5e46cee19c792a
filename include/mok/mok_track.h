/**
 * @file
 * libmok tracking extension: the seam in the robot's base frame, aligned in
 * time with the robot's poses, and the correction the torch needs.
 *
 * A tracker takes the robot's tool poses (time-stamped, from any thread) and
 * the camera's scan results (seam point in the sensor's laser plane, stamped
 * on the camera's clock), maps every seam point into the base frame with the
 * tool pose interpolated at the result's own time, and stores the seam by
 * distance travelled along the tool's path. A correction query answers, for
 * the torch's pose, the seam point at the torch's own distance (scanned
 * earlier by the sensor ahead of it) and the offset from the torch to it.
 * docs/tracking.md states the frames, clocks and rules; in short:
 * - Frames: base (robot base), tool (the torch's tool centre point), sensor
 *   (the laser plane is the sensor's y-z plane; a profile point (y, z) is
 *   p_sensor = (0, y, z); x_sensor points along the travel). X_A_B is the pose
 *   of frame B in frame A: p_A = X_A_B * p_B. The mounting is X_tool_sensor.
 * - Units: millimetres; quaternions unit, in the order (w, x, y, z).
 * - Times: t_host_ns is the host's steady clock (CLOCK_MONOTONIC, as
 *   mok_track_now_ns) in ns; t_device_us the camera's time stamp of a scan
 *   result (mok_scan_result_pts); t_robot_us the robot controller's clock.
 *
 * This is an extension beyond the device interface; a client that never
 * creates a tracker pays nothing for it. Nothing here touches a socket or
 * starts a thread.
 *
 * Conventions (those of mok.h):
 * - Call failures are negative: MOK_ERR_INVALID_ARGUMENT (-3) for a null
 *   pointer or a value out of range, MOK_ERR_OTHER (-5) for anything else
 *   (memory running out), and the MOK_TRACK_ERR_* refusals below.
 * - Functions answering a tracking question (correction, seam point, pose,
 *   point mapping) return a MOK_TRACK_* status, 0 or more, and store it in
 *   out->status where the out struct has one.
 * - A tracker is created with mok_tracker_create and released with
 *   mok_tracker_free (NULL is ignored). Every other function may be called
 *   from any thread, concurrently, on one tracker: each holds the tracker's
 *   lock for a few microseconds and never waits on the network or the
 *   camera. mok_tracker_free must not race any other call on that tracker.
 * - Structs handed in and out own no memory.
 */
#ifndef MOK_TRACK_H
#define MOK_TRACK_H

#include <stddef.h>
#include <stdint.h>

#include "mok/mok.h"
#include "mok/mok_export.h"

MOK_EXTERN_C_BEGIN

/* ---- Tracking statuses (returned as int32_t, 0 or more; the numbers never change) ----
 * NOT_YET_SCANNED: that distance lies before the first or beyond the last
 *   scanned one (the start of a seam, or the sensor has not got there).
 * GAP: that stretch was scanned, but no seam was found (or kept) there.
 * STALE_POSE: the poses needed are too old: no pose received for longer than
 *   pose_timeout_ns, or the time lies before the oldest pose kept.
 * WAITING: the poses do not reach that time yet (past the newest pose by
 *   more than the extrapolation limit); ask again once later poses arrived.
 * NO_CLOCK: no scan result was pushed yet, so device time cannot be mapped. */

#define MOK_TRACK_OK 0              /**< the answer is valid */
#define MOK_TRACK_NOT_YET_SCANNED 1 /**< not scanned (yet) at that distance */
#define MOK_TRACK_GAP 2             /**< scanned, but no seam there */
#define MOK_TRACK_STALE_POSE 3      /**< the poses needed are too old */
#define MOK_TRACK_NO_POSE 4         /**< no pose was ever accepted */
#define MOK_TRACK_WAITING 5         /**< the poses do not reach that time yet */
#define MOK_TRACK_NO_CLOCK 6        /**< no result yet to map device time */

/* ---- Refusals of pushed poses (negative, beside mok.h's MOK_ERR_*; never renumbered) ----
 * BAD_POSE: a non-finite value, or a quaternion whose norm is off by more
 *   than 1e-3 (within that it is normalised).
 * FUTURE: stamped later than it was received, by more than
 *   future_tolerance_ns.
 * PAST: older than the newest pose by more than pose_max_age_ns. */

#define MOK_TRACK_ERR_BAD_POSE (-20)     /**< non-finite or not a rotation */
#define MOK_TRACK_ERR_FUTURE (-21)       /**< stamped after it was received */
#define MOK_TRACK_ERR_PAST (-22)         /**< older than the poses kept */
#define MOK_TRACK_ERR_DUPLICATE (-23)    /**< a pose with the same time is already held */
#define MOK_TRACK_ERR_BAD_DATAGRAM (-24) /**< not a pose datagram: wrong size or magic */

/* ---- Records shared with the host ---- */

/** A pose: position in mm and a unit quaternion (w, x, y, z). As X_A_B it is
 * frame B's pose in frame A. */
typedef struct mok_pose {
  double x_mm; /**< position, x, mm */
  double y_mm; /**< position, y, mm */
  double z_mm; /**< position, z, mm */
  double qw;   /**< rotation: unit quaternion, w */
  double qx;   /**< rotation: unit quaternion, x */
  double qy;   /**< rotation: unit quaternion, y */
  double qz;   /**< rotation: unit quaternion, z */
} mok_pose_t;
MOK_LAYOUT_CHECK(pose_size, sizeof(mok_pose_t) == 56);

/** Tracker settings. Fill with mok_tracker_config_init, change what is
 * needed, pass to mok_tracker_create. Grows only at its end: `size` (set by
 * init) tells the library which fields the host knows; the rest keep their
 * defaults. Durations in ns, distances in mm. */
typedef struct mok_tracker_config {
  uint32_t size;                   /**< sizeof(mok_tracker_config_t) as the host compiled it (set by init) */
  uint32_t pose_capacity;          /**< most poses held (default 4096: 16 s at 250 Hz); the oldest goes first */
  int64_t pose_max_age_ns;         /**< poses older than the newest by more are dropped, and refused when
                                        pushed (MOK_TRACK_ERR_PAST); default 2 s */
  int64_t extrapolation_limit_ns;  /**< how far past the newest pose a time is still answered, by
                                        carrying the newest pose's motion on; default 5 ms */
  int64_t pose_timeout_ns;         /**< a correction for the latest pose is stale when no pose was
                                        received for longer; default 100 ms */
  int64_t future_tolerance_ns;     /**< a pose stamped later than its receive time by more is refused
                                        (MOK_TRACK_ERR_FUTURE); default 20 ms */
  int64_t robot_latency_ns;        /**< the robot-to-host path's fixed (minimum) latency, subtracted from
                                        pose times; default 0 */
  int64_t device_latency_ns;       /**< the camera-to-host path's fixed (minimum) latency, subtracted
                                        from result times; default 0 */
  int32_t poses_carry_robot_clock; /**< 1 (default): a pose's time is its t_robot_us mapped to the host
                                        clock; 0: its receive time minus robot_latency_ns */
  int32_t require_seam_found;      /**< 1 (default): results without a seam are not used */
  double width_min;                /**< plausible seam width from, camera unit; default -inf */
  double width_max;                /**< plausible seam width to, camera unit; default inf */
  double height_min;               /**< plausible seam height from, camera unit; default -inf */
  double height_max;               /**< plausible seam height to, camera unit; default inf */
  double angle_min;                /**< plausible seam angle from, camera unit; default -inf */
  double angle_max;                /**< plausible seam angle to, camera unit; default inf */
  uint32_t outlier_window;         /**< results in the outlier filter's window (default 15; 0: off) */
  uint32_t pending_capacity;       /**< results waiting for the poses that cover them (default 4096); a
                                        full queue drops the oldest (counted) */
  double outlier_k;                /**< a seam point further than k robust deviations from the window's
                                        median is an outlier (default 3) */
  double outlier_min_mm;           /**< ... and further than this (default 0.2 mm) */
  double smoothing_window_mm;      /**< the seam at distance s is fitted over s +- half this (default 1) */
  double path_resolution_mm;       /**< distance step of the stored seam path (default 0.1) */
  double path_memory_mm;           /**< seam path kept behind the furthest scanned point (default 2000) */
  double direction_window_mm;      /**< travel direction from the tool's path over this distance
                                        (default 2) */
  int64_t pending_max_wait_ns;     /**< a result still not covered by poses after this long is dropped
                                        as stale (default 500 ms) */
  int64_t clock_window_ns;         /**< the clock filters' window (default 10 s) */
  int64_t clock_resync_ns;         /**< a clock sample this far off the estimate restarts the filter
                                        (default 1 s) */
} mok_tracker_config_t;

/** One correction, filled by mok_tracker_correction. Fields the status does
 * not support are NaN (t_pose_ns 0). */
typedef struct mok_correction {
  int32_t status;           /**< MOK_TRACK_* */
  uint32_t reserved;        /**< 0 */
  int64_t t_pose_ns;        /**< host time of the tool pose used */
  double torch_distance_mm; /**< the torch's distance along the tool's path */
  double scanned_to_mm;     /**< the furthest distance scanned so far */
  double seam_base_mm[3];   /**< the seam point at the torch's distance, base frame */
  double base_mm[3];        /**< seam point minus torch position, base frame */
  double tool_mm[3];        /**< the same in the tool frame (x, y, z) */
  double lateral_mm;        /**< tool_mm[1]: across the travel */
  double vertical_mm;       /**< tool_mm[2]: along the tool's z axis */
} mok_correction_t;

/** Counters of one tracker, since mok_tracker_create. Grows only at its end;
 * the first field tells how many bytes the library filled. Every pushed
 * result is counted once, so results_pushed is the sum of results_used,
 * _not_found, _gated, _outliers, _stale, _dropped and _pending (a result
 * counted as unused still waits for its poses, to mark its stretch as
 * scanned, but is not counted again). */
typedef struct mok_tracker_stats {
  uint32_t size;                 /**< bytes filled by the library */
  uint32_t reserved;             /**< 0 */
  uint64_t results_pushed;       /**< results handed to the tracker */
  uint64_t results_used;         /**< results whose seam point went into the path */
  uint64_t results_not_found;    /**< results without a seam (require_seam_found) */
  uint64_t results_gated;        /**< results outside the plausible width, height or angle */
  uint64_t results_outliers;     /**< results rejected by the outlier filter */
  uint64_t results_stale;        /**< results no pose covered (too old, or waited too long) */
  uint64_t results_dropped;      /**< results dropped from a full pending queue */
  uint64_t results_pending;      /**< results waiting for poses now */
  uint64_t poses_accepted;       /**< poses taken into the buffer */
  uint64_t poses_bad;            /**< refused: MOK_TRACK_ERR_BAD_POSE */
  uint64_t poses_future;         /**< refused: MOK_TRACK_ERR_FUTURE */
  uint64_t poses_past;           /**< refused: MOK_TRACK_ERR_PAST */
  uint64_t poses_duplicate;      /**< refused: MOK_TRACK_ERR_DUPLICATE */
  uint64_t datagrams_refused;    /**< refused: MOK_TRACK_ERR_BAD_DATAGRAM */
  uint64_t poses_held;           /**< poses in the buffer now */
  uint64_t queries;              /**< correction queries */
  uint64_t queries_stale;        /**< ... answered MOK_TRACK_STALE_POSE */
  uint64_t queries_no_pose;      /**< ... answered MOK_TRACK_NO_POSE */
  int64_t device_offset_ns;      /**< host time minus device time now (0 before the first result) */
  double device_drift_ppm;       /**< the device clock's rate against the host's, parts per million
                                      (positive: the device runs slow) */
  uint64_t device_clock_resyncs; /**< restarts of the device clock filter (the first sample included) */
  int64_t robot_offset_ns;       /**< host time minus robot time now (0 before the first pose) */
  double robot_drift_ppm;        /**< as device_drift_ppm, for the robot's clock */
  uint64_t robot_clock_resyncs;  /**< restarts of the robot clock filter */
  double tool_distance_mm;       /**< the newest pose's distance along the tool's path */
  double scanned_to_mm;          /**< the furthest distance scanned */
} mok_tracker_stats_t;

/** One robot pose datagram as decoded (80 bytes on the wire, little-endian:
 * "MKP1", u32 seq, i64 t_robot_us, f64 x, y, z, qw, qx, qy, qz, u32 flags,
 * u32 reserved). */
typedef struct mok_pose_datagram {
  uint32_t seq;           /**< increments per pose; wraps */
  uint32_t flags;         /**< bit 0: the robot holds still */
  int64_t t_robot_us;     /**< controller clock, when the pose was true */
  mok_pose_t X_base_tool; /**< the tool's pose in the base frame */
} mok_pose_datagram_t;

#define MOK_POSE_DATAGRAM_SIZE 80 /**< bytes of one pose datagram */
#define MOK_POSE_FLAG_STILL 1u    /**< mok_pose_datagram_t.flags: the robot holds still */

/* ---- Helpers without a tracker ---- */

/** The host's steady clock (CLOCK_MONOTONIC) in ns: the t_host_ns of this
 * interface. */
MOK_API int64_t mok_track_now_ns(void);

/** Decodes one datagram into *out. MOK_OK; MOK_TRACK_ERR_BAD_DATAGRAM for
 * another size or magic (*out untouched); MOK_ERR_INVALID_ARGUMENT for a
 * null pointer. The pose is not checked. */
MOK_API int32_t mok_track_decode_pose_datagram(const uint8_t* data, size_t len, mok_pose_datagram_t* out);
/** Encodes `datagram` into out[0..MOK_POSE_DATAGRAM_SIZE-1] (reserved written
 * as 0). MOK_OK; MOK_ERR_INVALID_ARGUMENT for a null pointer. */
MOK_API int32_t mok_track_encode_pose_datagram(const mok_pose_datagram_t* datagram, uint8_t* out);

/** Reads a mounting file (JSON: "format": "mok-mount/1", "X_tool_sensor":
 * {"translation_mm": [x, y, z], "quaternion_wxyz": [w, x, y, z]}; a
 * "calibration" object is ignored) into *out, the quaternion normalised.
 * MOK_OK; MOK_ERR_INVALID_ARGUMENT for a null path or out; MOK_ERR_OTHER when
 * the file cannot be read, does not parse, lacks a field or holds a
 * quaternion whose norm is off by more than 1e-3: *out is then untouched and
 * `err` (when not null) receives "PATH:LINE: reason", cut to err_len bytes
 * with its NUL. */
MOK_API int32_t mok_track_mount_load(const char* path, mok_pose_t* out, char* err, size_t err_len);
/** As mok_track_mount_load, from `len` bytes of text (messages name line
 * numbers without a path). */
MOK_API int32_t mok_track_mount_parse(const char* text, size_t len, mok_pose_t* out, char* err, size_t err_len);
/** Writes a mounting file for X_tool_sensor; `calibration_json` (may be
 * null) is a JSON object stored as the "calibration" entry. MOK_OK;
 * MOK_ERR_INVALID_ARGUMENT for a null path or pose, a bad pose, or a
 * calibration text that is not a JSON object; MOK_ERR_OTHER when the file
 * cannot be written (reason in `err`). */
MOK_API int32_t mok_track_mount_save(const char* path, const mok_pose_t* X_tool_sensor,
                                     const char* calibration_json, char* err, size_t err_len);

/* ---- Tracker lifecycle and settings ---- */

/** A tracker handle; released with mok_tracker_free. */
typedef struct mok_tracker mok_tracker_t;

/** Fills *out with the defaults (and out->size). Returns nothing; NULL is
 * ignored. */
MOK_API void mok_tracker_config_init(mok_tracker_config_t* out);
/** A new tracker (owned by the caller; mok_tracker_free), with `config`
 * (NULL: the defaults) and the identity mounting. NULL when a setting is out
 * of range (a negative duration, a capacity or window of 0 where one is
 * needed, a min above its max, config->size below the first version's) or
 * memory runs out. */
MOK_API mok_tracker_t* mok_tracker_create(const mok_tracker_config_t* config);
/** Releases the tracker; NULL is ignored. */
MOK_API void mok_tracker_free(mok_tracker_t* tracker);
/** Sets the sensor's pose in the tool frame (normally before the first
 * result; results already in the path keep their mapping). MOK_OK;
 * MOK_TRACK_ERR_BAD_POSE for a non-finite or non-unit pose;
 * MOK_ERR_INVALID_ARGUMENT for a null pointer. */
MOK_API int32_t mok_tracker_set_mount(mok_tracker_t* tracker, const mok_pose_t* X_tool_sensor);
/** Forgets poses, pending results, the seam path and the clocks (not the
 * counters or the mounting): a new seam starts. */
MOK_API int32_t mok_tracker_reset(mok_tracker_t* tracker);

/* ---- Feeding poses and results ---- */

/** Takes one tool pose X_base_tool, true at `t_robot_us` on the robot's
 * clock (ignored unless poses_carry_robot_clock), received at
 * `t_host_rx_ns`. Poses may arrive out of order. MOK_OK when taken; a
 * refusal MOK_TRACK_ERR_BAD_POSE, _FUTURE, _PAST or _DUPLICATE (counted, the
 * pose ignored); MOK_ERR_INVALID_ARGUMENT for a null pointer. A robot stamp
 * more than clock_resync_ns off the robot clock's estimate is refused as
 * _PAST or _FUTURE, unless three in a row are: the robot's clock was set,
 * and its filter starts over. */
MOK_API int32_t mok_tracker_push_pose(mok_tracker_t* tracker, const mok_pose_t* X_base_tool, int64_t t_robot_us,
                                      int64_t t_host_rx_ns);
/** Decodes one pose datagram and pushes its pose as mok_tracker_push_pose
 * does; a datagram that does not decode is MOK_TRACK_ERR_BAD_DATAGRAM and
 * counted. `out` (may be null) receives the decoded datagram. */
MOK_API int32_t mok_tracker_push_pose_datagram(mok_tracker_t* tracker, const uint8_t* data, size_t len,
                                               int64_t t_host_rx_ns, mok_pose_datagram_t* out);
/** Takes one scan result received at `t_host_rx_ns` (the host's time when
 * the scan callback or queue delivered it): its time stamp, seam found flag,
 * seam point, width, height and angle. The result is mapped into the path
 * once poses cover its time (at once when they already do); the handle is
 * not kept. MOK_OK; MOK_ERR_INVALID_ARGUMENT for a null pointer. Whether it
 * was used shows in the statistics. */
MOK_API int32_t mok_tracker_push_result(mok_tracker_t* tracker, const mok_scan_result_t* result,
                                        int64_t t_host_rx_ns);
/** As mok_tracker_push_result, for a record copied by mok_scan_queue_pop_into. */
MOK_API int32_t mok_tracker_push_record(mok_tracker_t* tracker, const mok_scan_record_t* record,
                                        int64_t t_host_rx_ns);
/** As mok_tracker_push_result, with the fields given one by one (no client
 * needed): device time stamp, receive time, found flag (0 or 1), seam point
 * (y, z) in the laser plane, width, height, angle. */
MOK_API int32_t mok_tracker_push_seam(mok_tracker_t* tracker, uint64_t t_device_us, int64_t t_host_rx_ns,
                                      int32_t found, double y, double z, double width, double height,
                                      double angle);

/* ---- Queries ---- */

/** The correction for the torch at X_base_tool, or, with a null X_base_tool,
 * at the newest pose (then MOK_TRACK_STALE_POSE when that pose was received
 * more than pose_timeout_ns before `t_host_ns`). The torch's distance is the
 * newest pose's, moved along the travel by the given pose's offset from it,
 * so a given pose should be near the newest. Returns and stores in
 * out->status MOK_TRACK_OK, _NOT_YET_SCANNED (the sensor has not reached that
 * distance, or the seam starts later), _GAP, _STALE_POSE or _NO_POSE;
 * MOK_TRACK_ERR_BAD_POSE for a given pose that is not one, and
 * MOK_ERR_INVALID_ARGUMENT, out untouched both times, for a null tracker or
 * out. */
MOK_API int32_t mok_tracker_correction(mok_tracker_t* tracker, const mok_pose_t* X_base_tool, int64_t t_host_ns,
                                       mok_correction_t* out);
/** The smoothed seam point at `distance_mm` along the tool's path, base frame,
 * into out_base[0..2]. MOK_TRACK_OK, _NOT_YET_SCANNED or _GAP (out_base
 * untouched); MOK_ERR_INVALID_ARGUMENT for a null pointer. */
MOK_API int32_t mok_tracker_seam_at(mok_tracker_t* tracker, double distance_mm, double* out_base);
/** The distances the stored seam path spans: *first_mm (the oldest kept) and
 * *last_mm (the furthest scanned). MOK_TRACK_OK or _NOT_YET_SCANNED (nothing
 * scanned; outputs untouched); MOK_ERR_INVALID_ARGUMENT for a null pointer. */
MOK_API int32_t mok_tracker_path_range(mok_tracker_t* tracker, double* first_mm, double* last_mm);
/** The tool pose at host time `t_host_ns`, interpolated (linear position,
 * slerp rotation). MOK_TRACK_OK, _WAITING (later than the newest pose plus
 * the extrapolation limit), _STALE_POSE (before the oldest pose kept) or
 * _NO_POSE; `out` untouched unless OK. */
MOK_API int32_t mok_tracker_pose_at(mok_tracker_t* tracker, int64_t t_host_ns, mok_pose_t* out);
/** The host time of device time `t_device_us` by the device clock filter
 * (fed by the pushed results), the device latency subtracted. MOK_TRACK_OK or
 * _NO_CLOCK. */
MOK_API int32_t mok_tracker_device_time(mok_tracker_t* tracker, uint64_t t_device_us, int64_t* out);
/** Maps `count` profile points (their y and z) taken at device time
 * `t_device_us` into the base frame with the tool pose at that time:
 * out_xyz[3i..3i+2] = X_base_tool(t) * X_tool_sensor * (0, y_i, z_i).
 * MOK_TRACK_OK; _WAITING (poses do not reach that time yet: ask again
 * later), _STALE_POSE, _NO_POSE or _NO_CLOCK with out_xyz untouched;
 * MOK_ERR_INVALID_ARGUMENT for a null pointer (points may be null when count
 * is 0). */
MOK_API int32_t mok_tracker_map_points(mok_tracker_t* tracker, uint64_t t_device_us,
                                       const mok_scan_point_t* points, uint32_t count, double* out_xyz);

/** Copies the tracker's counters into *out: the first `size` bytes of the
 * library's struct (pass sizeof(mok_tracker_stats_t)), rounded down to whole
 * fields, with out->size set to the bytes filled. MOK_ERR_INVALID_ARGUMENT
 * for a null pointer or a `size` below 8. */
MOK_API int32_t mok_tracker_get_stats(mok_tracker_t* tracker, mok_tracker_stats_t* out, uint32_t size);

MOK_EXTERN_C_END

#endif /* MOK_TRACK_H */
