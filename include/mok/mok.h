/**
 * @file
 * libmok device interface: open a camera by address, start and stop its
 * connection, read and write its parameters, receive scan results and
 * snapshot images, and learn of connection state changes.
 *
 * Conventions:
 * - Every function checks its pointers; a null handle or out-pointer gives
 *   MOK_ERR_INVALID_ARGUMENT (or null, 0, false, -1 where no status is
 *   returned). No failure unwinds into the host.
 * - Objects handed out are opaque handles owned by the host: a client is
 *   released with mok_close, a scan result with mok_scan_result_free, a
 *   snapshot image with mok_snapshot_image_free, a video frame with
 *   mok_video_frame_free. Releasing NULL does nothing.
 *   Result and image handles stay usable after their client is closed.
 * - Callbacks run on the library's own threads, never on a host thread.
 * - All functions may be called from any thread, concurrently, on one handle,
 *   also while another thread closes it: a call already running when
 *   mok_close is called finishes safely (a blocking wait returns
 *   MOK_ERR_CLOSED at once, or null) and the client's memory lives until the
 *   last such call has returned. A call must not start after mok_close has
 *   returned; one that races that return (a poller that has not yet seen its
 *   stop flag) is answered MOK_ERR_CLOSED, null or 0, because the library
 *   keeps the 64 most recently closed handles, but nothing beyond that is
 *   promised.
 */
#ifndef MOK_H
#define MOK_H

#include <mok/mok_version.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "mok_export.h"

MOK_EXTERN_C_BEGIN

/* ---- Status codes (returned as int32_t; the numbers never change) ---- */

#define MOK_OK 0                      /**< success */
#define MOK_ERR_NOT_AVAILABLE (-1)    /**< the value was never reported by the device */
#define MOK_ERR_SEND_FAILED (-2)      /**< the request could not be queued (no connection) */
#define MOK_ERR_INVALID_ARGUMENT (-3) /**< null pointer, rejected address, buffer too small */
#define MOK_ERR_TIMEOUT (-4)          /**< the wait expired */
#define MOK_ERR_OTHER (-5)            /**< any other failure */
#define MOK_ERR_CLOSED (-6)           /**< the client was closed (mok_close) while the call ran */
#define MOK_ERR_IN_CALLBACK (-7)      /**< a blocking wait was called inside a callback; it did not wait */

/* ---- Connection states (passed to mok_state_cb_t) ---- */

#define MOK_STATE_IDLE 0            /**< never reported */
#define MOK_STATE_CONNECTED 1       /**< the TCP connection is up */
#define MOK_STATE_CONNECT_FAILED 2  /**< the camera refused or could not be reached */
#define MOK_STATE_CONNECT_TIMEOUT 3 /**< the connection attempt took too long */
#define MOK_STATE_DISCONNECTED 4    /**< an established connection ended */
#define MOK_STATE_SHUTTING_DOWN 5   /**< the client is being torn down */
#define MOK_STATE_TERMINATED 6      /**< the connection task has ended */
#define MOK_STATE_RECONNECTING 7    /**< a new attempt starts (after the reconnect delay, 5 s by default) */

/* ---- Snapshot image formats (mok_snapshot_image_format) ---- */

#define MOK_IMAGE_RAW 0  /**< device pixel data; width and height from the device (0 if the data is shorter) */
#define MOK_IMAGE_JPEG 1 /**< JPEG file bytes; width and height 0 */
#define MOK_IMAGE_PNG 2  /**< PNG file bytes; width and height 0 */

/* ---- Handles ---- */

/** A camera client (mok_connect); released with mok_close. */
typedef struct mok_client mok_client_t;
/** One decoded scan result; released with mok_scan_result_free. */
typedef struct mok_scan_result mok_scan_result_t;
/** One snapshot image; released with mok_snapshot_image_free. */
typedef struct mok_snapshot_image mok_snapshot_image_t;

/* ---- Record layouts shared with the host ----
 * Units: the camera protocol fixes no unit for profile and seam coordinates,
 * seam width, height and angle, exposure time or laser strength; the library
 * passes the camera's numbers through unchanged. The simulator (mok-camsim)
 * uses millimetres for y, z, width and height, degrees for the angle, and
 * its RTS clock for time stamps. A scan result's time stamp (pts) is the
 * camera's RTS clock when the profile was taken: microseconds, since 1970
 * once RTS was set from a host's clock (mok_set_rts with 0). */

/** One measured point (16 bytes); x and reserved are always 0. */
typedef struct mok_scan_point {
  float x;        /**< always 0 */
  float y;        /**< along the laser line, camera unit (simulator: mm), steps of 0.01 */
  float z;        /**< depth, camera unit (simulator: mm), steps of 0.01 */
  float reserved; /**< always 0 */
} mok_scan_point_t;

/** Seam information (96 bytes): device fields passed through; `values` are
 * the device's hundredths as floats. */
typedef struct mok_seam_info {
  uint8_t head[8];   /**< device bytes, unchanged */
  float values[18];  /**< device values (hundredths) as floats */
  uint8_t tail[8];   /**< device bytes, unchanged */
  uint32_t word;     /**< device word, unchanged */
  uint32_t reserved; /**< always 0 */
} mok_seam_info_t;

/** One segment entry (64 bytes); an absent segment is all zero. */
typedef struct mok_segment {
  uint8_t head[8];    /**< device bytes, unchanged */
  float value;        /**< the segment's value */
  mok_scan_point_t a; /**< first point */
  mok_scan_point_t b; /**< second point */
  mok_scan_point_t c; /**< third point */
  int32_t type;       /**< the segment's type code */
} mok_segment_t;

#define MOK_SEAM_POINT_COUNT 8 /**< seam points in every scan result */
#define MOK_SEGMENT_COUNT 32   /**< segment entries in every scan result */

#if defined(__cplusplus)
#define MOK_LAYOUT_CHECK(name, cond) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define MOK_LAYOUT_CHECK(name, cond) _Static_assert(cond, #name)
#else
#define MOK_LAYOUT_CHECK(name, cond) typedef char mok_layout_check_##name[(cond) ? 1 : -1]
#endif
MOK_LAYOUT_CHECK(scan_point_size, sizeof(mok_scan_point_t) == 16);
MOK_LAYOUT_CHECK(scan_point_z, offsetof(mok_scan_point_t, z) == 8);
MOK_LAYOUT_CHECK(seam_info_size, sizeof(mok_seam_info_t) == 96);
MOK_LAYOUT_CHECK(seam_info_values, offsetof(mok_seam_info_t, values) == 8);
MOK_LAYOUT_CHECK(seam_info_tail, offsetof(mok_seam_info_t, tail) == 80);
MOK_LAYOUT_CHECK(seam_info_word, offsetof(mok_seam_info_t, word) == 88);
MOK_LAYOUT_CHECK(segment_size, sizeof(mok_segment_t) == 64);
MOK_LAYOUT_CHECK(segment_value, offsetof(mok_segment_t, value) == 8);
MOK_LAYOUT_CHECK(segment_a, offsetof(mok_segment_t, a) == 12);
MOK_LAYOUT_CHECK(segment_b, offsetof(mok_segment_t, b) == 28);
MOK_LAYOUT_CHECK(segment_c, offsetof(mok_segment_t, c) == 44);
MOK_LAYOUT_CHECK(segment_type, offsetof(mok_segment_t, type) == 60);

/* ---- Callbacks ----
 * Both run on the library's runtime threads while the client's lock for that
 * callback is held: one call at a time per client, and the scan and state
 * callbacks of one client never overlap (all of a client's work runs on one
 * runtime thread). Inside a callback the host must not set
 * or clear that same kind of callback on that client (it would wait on
 * itself). The blocking waits (mok_wait_params, mok_pull_rts,
 * mok_recv_snapshot_image, and the extensions' mok_flush, mok_scan_queue_pop
 * and mok_scan_queue_pop_into) do not wait inside any callback of the
 * library: what they wait for is delivered by the library's threads, so they
 * answer at once (MOK_ERR_IN_CALLBACK, or null); calls that do not wait work
 * as anywhere. Setting or clearing from elsewhere waits for a running call to
 * return. mok_close does not clear callbacks: clear them before releasing
 * what user_data points to. user_data is passed back unchanged. */

/** `result` is new and belongs to the host: release it with
 * mok_scan_result_free, inside the callback or later. */
typedef void (*mok_scan_cb_t)(mok_scan_result_t* result, void* user_data);
/** `state` is one of MOK_STATE_*. */
typedef void (*mok_state_cb_t)(uint32_t state, void* user_data);

/* ---- Lifecycle ---- */

/** A client for `address` ("host", "host:port", "1.2.3.4:port", "[v6]:port";
 * default port 6833), not yet connected. Null for a null, non-UTF-8 or
 * rejected address, or a host name that does not resolve (resolution blocks
 * the caller). Release with mok_close. */
MOK_API mok_client_t* mok_connect(const char* address);
/** Releases the handle and tears the connection down without waiting for
 * it. Every thread waiting in mok_wait_params, mok_pull_rts or
 * mok_recv_snapshot_image on this client is woken and returns MOK_ERR_CLOSED
 * (or null). With video on it first switches video off as mok_disable_video
 * does, so no video callback runs after it returns; frames the host holds
 * stay valid. */
MOK_API void mok_close(mok_client_t* client);
/** Starts connecting (and reconnecting after the reconnect delay, 5 s by
 * default, after a loss or failure). */
MOK_API int32_t mok_start(mok_client_t* client);
/** Disconnects; mok_start may follow. */
MOK_API int32_t mok_stop(mok_client_t* client);
/** The library's version code, MOK_MAKE_VERSION(major, minor, patch);
 *  equals MOK_VERSION_CODE when header and library match. */
MOK_API uint32_t mok_version_code(void);
/** The library's version text (MOK_VERSION_STRING of its build); static,
 *  never freed. */
MOK_API const char* mok_version_str(void);

/* ---- Parameters ----
 * Getters answer from the values the device last reported (MOK_ERR_NOT_AVAILABLE
 * before it reported one; *out is then untouched). Setters only queue a write
 * (MOK_ERR_SEND_FAILED while not connected); the getters show the new value
 * once the device reports it. */

/** Exposure time as last reported, in the camera's unit (the simulator only stores it). */
MOK_API int32_t mok_get_exposure_time(mok_client_t* client, uint32_t* out);
/** Laser strength as last reported, in the camera's unit (the simulator only stores it). */
MOK_API int32_t mok_get_laser_strength(mok_client_t* client, uint32_t* out);
/** Task id as last reported (0 to 4294967295; the library gives it no meaning). */
MOK_API int32_t mok_get_task_id(mok_client_t* client, uint32_t* out);
/** Writes 1 or 0. */
MOK_API int32_t mok_get_laser_enable(mok_client_t* client, int32_t* out);
/** RTS as last reported: the camera's clock, microseconds (since 1970 once set from a host clock). */
MOK_API int32_t mok_get_rts(mok_client_t* client, uint64_t* out);
/** CTS (read-only on the device) as last reported: microseconds since the camera powered up. */
MOK_API int32_t mok_get_cts(mok_client_t* client, uint64_t* out);
/** Text copy: stores the size needed (length + 1) into *length, then copies
 * the text and a terminating zero into `buffer` when *length (its capacity on
 * entry) is large enough, else returns MOK_ERR_INVALID_ARGUMENT with the
 * buffer untouched. A null buffer is a size query (returns MOK_OK). Trailing
 * zero bytes of the device's text are not part of it; a text with a zero
 * byte inside gives MOK_ERR_INVALID_ARGUMENT. */
MOK_API int32_t mok_get_board_id(mok_client_t* client, char* buffer, uint32_t* length);
/** Serial number text; copied as mok_get_board_id copies the board id. */
MOK_API int32_t mok_get_serial_number(mok_client_t* client, char* buffer, uint32_t* length);
/** Queues a write of the exposure time. */
MOK_API int32_t mok_set_exposure_time(mok_client_t* client, uint32_t value);
/** Queues a write of the laser strength. */
MOK_API int32_t mok_set_laser_strength(mok_client_t* client, uint32_t value);
/** Queues a write of the task id. */
MOK_API int32_t mok_set_task_id(mok_client_t* client, uint32_t value);
/** Non-zero enables, 0 disables. */
MOK_API int32_t mok_set_laser_enable(mok_client_t* client, int32_t enable);
/** 0 sends the host's wall-clock time in microseconds since 1970. */
MOK_API int32_t mok_set_rts(mok_client_t* client, uint64_t value);
/** Waits until the device's first register report has arrived (at once if it
 * already has). timeout_ms < 0 means 5000; 0 does not wait. Inside a callback
 * it never waits: MOK_ERR_IN_CALLBACK unless the report is already there. */
MOK_API int32_t mok_wait_params(mok_client_t* client, int32_t timeout_ms);
/** Asks the device for its RTS and waits for its next register report; writes
 * the cached RTS (0 if none). timeout_ms < 0 means 5000. Inside a callback a
 * non-zero wait gives MOK_ERR_IN_CALLBACK at once and sends nothing. */
MOK_API int32_t mok_pull_rts(mok_client_t* client, int32_t timeout_ms, uint64_t* out);

/* ---- Scan results ----
 * Pointers returned by the accessors stay valid until the handle is freed. */

/** A new handle to the latest result (not consumed), or null before the first. */
MOK_API mok_scan_result_t* mok_get_scan_result(mok_client_t* client);
/** Releases the handle; NULL is ignored. */
MOK_API void mok_scan_result_free(mok_scan_result_t* result);
/** Number of profile points (0 to 4096); 0 for a null handle. */
MOK_API uint32_t mok_scan_result_point_count(const mok_scan_result_t* result);
/** Null when the result has no points. */
MOK_API const mok_scan_point_t* mok_scan_result_points(const mok_scan_result_t* result);
/** Time stamp the device gave the result (its RTS clock, microseconds); 0 for a null handle. */
MOK_API uint64_t mok_scan_result_pts(const mok_scan_result_t* result);
/** Whether the device found a seam; false for a null handle. */
MOK_API bool mok_scan_result_seam_found(const mok_scan_result_t* result);
/** Index into the seam points of the seam point: 0 to 7 when a seam was found. */
MOK_API uint32_t mok_scan_result_seam_point_idx(const mok_scan_result_t* result);
/** Seam width, in the camera's unit (the simulator: mm): -327.68 to 327.67 in steps of 0.01. */
MOK_API float mok_scan_result_seam_width(const mok_scan_result_t* result);
/** Seam height, in the camera's unit (the simulator: mm): -327.68 to 327.67 in steps of 0.01. */
MOK_API float mok_scan_result_seam_height(const mok_scan_result_t* result);
/** Seam angle, in the camera's unit (the simulator: degrees): whole numbers, -32768 to 32767. */
MOK_API float mok_scan_result_seam_angle(const mok_scan_result_t* result);
/** MOK_SEAM_POINT_COUNT points. */
MOK_API const mok_scan_point_t* mok_scan_result_seam_points(const mok_scan_result_t* result);
/** The seam information block. */
MOK_API const mok_seam_info_t* mok_scan_result_seam_info(const mok_scan_result_t* result);
/** MOK_SEGMENT_COUNT entries. */
MOK_API const mok_segment_t* mok_scan_result_segments(const mok_scan_result_t* result);
/** Copies the seam point chosen by the seam point index; MOK_ERR_INVALID_ARGUMENT
 * when no seam was found or the index is above 7. */
MOK_API int32_t mok_scan_result_seam_point(const mok_scan_result_t* result, mok_scan_point_t* out);

/* ---- Snapshots ---- */

/** Requests one image; it arrives later through mok_recv_snapshot_image. The
 * three values reach the camera unchanged; the simulator reads them so:
 * image_format is the format to answer in (MOK_IMAGE_RAW, MOK_IMAGE_JPEG or
 * MOK_IMAGE_PNG), mark_seam non-zero draws the found seam on the image, and
 * jpeg_quality is 1 to 100 (0: 85). */
MOK_API int32_t mok_snapshot(mok_client_t* client, int32_t image_format, int32_t mark_seam, int32_t jpeg_quality);
/** The oldest image not yet received, waiting up to timeout_ms (0: no wait;
 * UINT64_MAX: no limit); null when none arrived. Images wait in a queue of at
 * most 32 images and 128 MiB (the newest image is always kept): an image
 * arriving at a full queue pushes out the oldest, counted in
 * mok_stats_t.snapshots_dropped. Inside a callback it never
 * waits: null at once when no image is queued, with the reason kept for
 * mok_get_last_error. */
MOK_API mok_snapshot_image_t* mok_recv_snapshot_image(mok_client_t* client, uint64_t timeout_ms);
/** Image bytes (owned by the handle); null for a null handle. */
MOK_API const uint8_t* mok_snapshot_image_data(const mok_snapshot_image_t* image);
/** Number of image bytes; 0 for a null handle. */
MOK_API size_t mok_snapshot_image_data_size(const mok_snapshot_image_t* image);
/** Width in pixels for raw images, else 0. Also 0 (as is the height) when
 * the device's width and height registers announce more pixels than the
 * image has bytes, so width x height never exceeds the data size. */
MOK_API uint32_t mok_snapshot_image_width(const mok_snapshot_image_t* image);
/** Height in pixels for raw images, else 0. */
MOK_API uint32_t mok_snapshot_image_height(const mok_snapshot_image_t* image);
/** One of MOK_IMAGE_*, or -1 for a null image. */
MOK_API int32_t mok_snapshot_image_format(const mok_snapshot_image_t* image);
/** Releases the handle; NULL is ignored. */
MOK_API void mok_snapshot_image_free(mok_snapshot_image_t* image);

/* ---- Callbacks ---- */

/** Installs the scan callback (replacing any); a null `cb` clears it. */
MOK_API void mok_set_scan_cb(mok_client_t* client, mok_scan_cb_t cb, void* user_data);
/** Clears the scan callback, waiting for a running call to return. */
MOK_API void mok_clear_scan_cb(mok_client_t* client);
/** Installs the state callback (replacing any); a null `cb` clears it. */
MOK_API void mok_set_state_cb(mok_client_t* client, mok_state_cb_t cb, void* user_data);
/** Clears the state callback, waiting for a running call to return. */
MOK_API void mok_clear_state_cb(mok_client_t* client);

/* ---- Video ----
 * mok_enable_video loads the decoder library libmok_media.so (looked for next
 * to the executable, then in the working directory, then on the system's
 * library path) and decodes the camera's H.264/H.265 stream into frames a
 * quarter of the source's width and of its height (1280x720 gives 320x180)
 * in MOK_PIXEL_FORMAT_RGBA, handed to the video callback one at a time in
 * decode order. When the decoder falls more than 60 packets or 64 MiB behind
 * the camera, packets are dropped up to the next key frame (counted in
 * mok_stats_t.video_packets_skipped), so a fast camera cannot make memory
 * grow. mok_close switches video off first, as mok_disable_video does:
 * frames already decoded are still delivered, and no video callback runs
 * once mok_close has returned. */

/** One decoded video frame; released with mok_video_frame_free. */
typedef struct mok_video_frame mok_video_frame_t;

/* Pixel format codes (mok_video_frame_format; the numbers never change). */
#define MOK_PIXEL_FORMAT_NONE (-1)   /**< no format (the frame cannot be described) */
#define MOK_PIXEL_FORMAT_YUV420P 0   /**< planar YUV 4:2:0, three planes */
#define MOK_PIXEL_FORMAT_YUYV422 1   /**< packed YUV 4:2:2 (Y0 U Y1 V) */
#define MOK_PIXEL_FORMAT_RGB24 2     /**< packed RGB, 3 bytes per pixel */
#define MOK_PIXEL_FORMAT_BGR24 3     /**< packed BGR, 3 bytes per pixel */
#define MOK_PIXEL_FORMAT_GRAY8 8     /**< 8-bit grey */
#define MOK_PIXEL_FORMAT_NV12 23     /**< Y plane, then interleaved U and V */
#define MOK_PIXEL_FORMAT_NV21 24     /**< Y plane, then interleaved V and U */
#define MOK_PIXEL_FORMAT_ARGB 25     /**< packed ARGB, 4 bytes per pixel */
#define MOK_PIXEL_FORMAT_RGBA 26     /**< what live video delivers */
#define MOK_PIXEL_FORMAT_ABGR 27     /**< packed ABGR, 4 bytes per pixel */
#define MOK_PIXEL_FORMAT_BGRA 28     /**< packed BGRA, 4 bytes per pixel */
#define MOK_PIXEL_FORMAT_GRAY16BE 29 /**< 16-bit grey, big-endian */
#define MOK_PIXEL_FORMAT_GRAY16LE 30 /**< 16-bit grey, little-endian */

/** A frame's description (128 bytes). The plane memory belongs to the frame
 * and stays valid until the frame handle is freed. */
typedef struct mok_video_frame_info {
  uint8_t* data[8];    /**< plane starts; null for planes the format lacks */
  int32_t linesize[8]; /**< bytes per row of each plane; 0 for planes the format lacks */
  int32_t format;      /**< MOK_PIXEL_FORMAT_* */
  int32_t padding;     /**< unused */
  int64_t pts;         /**< the frame's number in decode order (no time: the library gives the decoder none) */
  void* opaque;        /**< the decoder's own; not for the host */
  int32_t width;       /**< pixels */
  int32_t height;      /**< pixels */
} mok_video_frame_info_t;

MOK_LAYOUT_CHECK(frame_info_size, sizeof(mok_video_frame_info_t) == 128);
MOK_LAYOUT_CHECK(frame_info_linesize, offsetof(mok_video_frame_info_t, linesize) == 64);
MOK_LAYOUT_CHECK(frame_info_format, offsetof(mok_video_frame_info_t, format) == 96);
MOK_LAYOUT_CHECK(frame_info_pts, offsetof(mok_video_frame_info_t, pts) == 104);
MOK_LAYOUT_CHECK(frame_info_opaque, offsetof(mok_video_frame_info_t, opaque) == 112);
MOK_LAYOUT_CHECK(frame_info_width, offsetof(mok_video_frame_info_t, width) == 120);
MOK_LAYOUT_CHECK(frame_info_height, offsetof(mok_video_frame_info_t, height) == 124);

/** Receives each decoded frame. Called on the client's own video thread
 * (never a host thread), one frame at a time, while the client's video
 * callback lock is held. `frame` is new and belongs to the host: release it
 * with mok_video_frame_free, inside the callback or later from any thread;
 * its pixels stay valid until then, also after video is disabled or the
 * client closed. Inside the callback the host must not call
 * mok_set_video_cb or mok_clear_video_cb (it would wait on itself), nor
 * mok_disable_video or mok_close on that client. A slow callback lets frames
 * queue up without limit. user_data is passed back unchanged. */
typedef void (*mok_video_cb_t)(mok_video_frame_t* frame, void* user_data);

/** Switches video on. Returns MOK_OK, also when video was already on (nothing
 * changes then); MOK_ERR_INVALID_ARGUMENT for a null client; MOK_ERR_OTHER
 * when the decoder library cannot be found or loaded or decoding cannot be
 * started (video then stays off). */
MOK_API int32_t mok_enable_video(mok_client_t* client);
/** Switches video off without decoding what is still queued: packets not yet
 * decoded are discarded (counted in mok_stats_t.video_packets_skipped), the
 * decode under way finishes, and frames already decoded are delivered.
 * Returns MOK_OK once both video threads have ended (at once when video is
 * off); MOK_ERR_INVALID_ARGUMENT for a null client. Frames the host holds
 * stay valid. */
MOK_API int32_t mok_disable_video(mok_client_t* client);
/** Installs the video callback, replacing any (waiting for a running call to
 * return); a null `cb` clears it as mok_clear_video_cb does. Returns nothing;
 * a null client does nothing. Frames decoded while no callback is installed
 * are dropped. */
MOK_API void mok_set_video_cb(mok_client_t* client, mok_video_cb_t cb, void* user_data);
/** Clears the video callback, waiting for a running call to return; the old
 * callback is not called again. Returns nothing; a null client does nothing. */
MOK_API void mok_clear_video_cb(mok_client_t* client);
/** Returns the start of plane `plane` (0 to 7), owned by the frame; NULL for a
 * null frame, a plane above 7, a plane the format lacks, or when the decoder
 * cannot describe the frame. */
MOK_API const uint8_t* mok_video_frame_data(const mok_video_frame_t* frame, uint32_t plane);
/** Returns the bytes per row of plane `plane` (0 to 7); 0 wherever
 * mok_video_frame_data returns NULL. */
MOK_API int32_t mok_video_frame_linesize(const mok_video_frame_t* frame, uint32_t plane);
/** Returns the frame's MOK_PIXEL_FORMAT_* code; -1 for a null frame or when
 * the decoder cannot describe the frame. */
MOK_API int32_t mok_video_frame_format(const mok_video_frame_t* frame);
/** Returns the width in pixels; 0 for a null frame or on failure. */
MOK_API int32_t mok_video_frame_width(const mok_video_frame_t* frame);
/** Returns the height in pixels; 0 for a null frame or on failure. */
MOK_API int32_t mok_video_frame_height(const mok_video_frame_t* frame);
/** Returns the frame's number in decode order, as the decoder counts it (not
 * a time); 0 for a null frame or on failure. */
MOK_API int64_t mok_video_frame_pts(const mok_video_frame_t* frame);
/** Copies the whole description into *out and returns MOK_OK;
 * MOK_ERR_INVALID_ARGUMENT, with *out untouched, for a null pointer or when
 * the decoder cannot describe the frame. */
MOK_API int32_t mok_video_frame_get_info(const mok_video_frame_t* frame, mok_video_frame_info_t* out);
/** Releases the frame handle (from any thread); the pixels go back to the
 * decoder library once nobody holds the frame. Returns nothing; NULL is
 * ignored. */
MOK_API void mok_video_frame_free(mok_video_frame_t* frame);

/* ---- Extensions: statistics and last failure ----
 * Additions beyond the device interface above; they change none of its
 * behaviour. Counting costs the receive path only relaxed atomic additions.
 * Consistency: each counter is read atomically and never goes back, but the
 * counters are read one after another while the client runs, so two counters
 * may disagree by the events in flight during the copy (for example
 * packets_received one ahead of scan_results). */

/** Counters of one client, since mok_connect. Grows only at its end; the
 * first field tells how many bytes the library filled. */
typedef struct mok_stats {
  uint32_t size;                       /**< bytes filled by the library */
  uint32_t state;                      /**< MOK_STATE_* last reported (0 before any) */
  uint64_t time_in_state_ms;           /**< milliseconds since that state was reported */
  uint64_t connect_attempts;           /**< TCP connection attempts */
  uint64_t connections_established;    /**< attempts that connected */
  uint64_t disconnects_remote_close;   /**< ended by the peer (end of stream, also inside a packet; reset) */
  uint64_t disconnects_inactivity;     /**< ended by the inactivity time-out (10 s by default) */
  uint64_t disconnects_decode_error;   /**< ended because the byte stream was not valid packets */
  uint64_t disconnects_write_failure;  /**< ended because a write failed or timed out */
  uint64_t disconnects_stop;           /**< ended by stop or shutdown */
  uint64_t bytes_received;             /**< head and payload bytes of received packets */
  uint64_t bytes_sent;                 /**< head and payload bytes of written packets */
  uint64_t packets_received;           /**< packets received */
  uint64_t packets_sent;               /**< packets written */
  uint64_t register_reports;           /**< packets on stream 0 (register reports) */
  uint64_t snapshot_images;            /**< packets on stream 2 (snapshot images) */
  uint64_t scan_results;               /**< packets on stream 18 (scan results) */
  uint64_t video_packets;              /**< H.264/H.265 packets, video on or off */
  uint64_t ignored_packets;            /**< packets on any other stream */
  uint64_t scan_results_rejected;      /**< scan payloads that failed validation */
  uint64_t snapshots_queued;           /**< snapshot images queued for mok_recv_snapshot_image */
  uint64_t snapshots_received;         /**< snapshot images taken by mok_recv_snapshot_image */
  uint64_t video_packets_posted;       /**< video packets handed to the decoder (video on) */
  uint64_t frames_decoded;             /**< frames the decoder produced */
  uint64_t frames_delivered;           /**< frames handed to the video callback */
  uint64_t frames_dropped;             /**< video packets dropped to keep up with real time */
  uint64_t send_refused_not_connected; /**< sends refused: not connected, stopped or shut down */
  uint64_t send_refused_queue_full;    /**< sends refused: 100 packets waiting */
  uint64_t queue_depth;                /**< packets waiting to be written now */
  double scan_rate_hz;                 /**< valid scan results per second, over the last second (100 ms steps) */
  uint64_t
      scan_queue_dropped;     /**< queued scan results dropped because the host fell behind (mok_scan_queue_pop) */
  uint64_t scan_queue_depth;  /**< scan results waiting in the queue now */
  uint64_t snapshots_dropped; /**< snapshot images dropped unreceived, oldest first, to keep the
                                   queue within 32 images and 128 MiB */
  uint64_t video_packets_skipped; /**< video packets never decoded: dropped while the decoder was more
                                       than 60 packets or 64 MiB behind (until the next key frame), or
                                       still queued when video was switched off */
} mok_stats_t;

/** Copies the client's counters into *out: the first `size` bytes of the
 * library's struct (pass sizeof(mok_stats_t)), rounded down to whole fields,
 * with out->size set to the bytes filled. MOK_ERR_INVALID_ARGUMENT for a null
 * handle or `out`, or a `size` below 4. Any thread, also from callbacks. */
MOK_API int32_t mok_get_stats(mok_client_t* client, mok_stats_t* out, uint32_t size);

/** The text of the client's most recent failure: the message of the last
 * MOK_ERR_OTHER returned for it, a connect failure's system error ("Connection
 * refused", "connect timed out"), a decode error ("Invalid Head"), a write
 * failure, a video decoding failure. Copied as mok_get_board_id copies its
 * text; MOK_ERR_NOT_AVAILABLE before any failure. Any thread, also from
 * callbacks. */
MOK_API int32_t mok_get_last_error(mok_client_t* client, char* buffer, uint32_t* length);

/* ---- Extensions: scan result queue ----
 * A host that pulls scan results in batches, instead of taking each in the
 * scan callback, has the client queue them. The queue is bounded: when it is
 * full, the oldest queued result makes room for the newest and is counted in
 * mok_stats_t.scan_queue_dropped. Results are queued whether or not a scan
 * callback is installed; the callback still sees every result.
 * mok_get_scan_result is unaffected. */

#define MOK_SCAN_QUEUE_MAX_CAPACITY 16384 /**< largest capacity mok_scan_queue_enable accepts */

/** Switches the client's scan result queue on with room for `capacity`
 * results (1 to MOK_SCAN_QUEUE_MAX_CAPACITY), or off with 0, which discards
 * what is queued (not counted as dropped) and makes a waiting
 * mok_scan_queue_pop return MOK_ERR_NOT_AVAILABLE. Shrinking below the number
 * queued drops the oldest and counts them. Off after mok_connect. Returns
 * MOK_OK; MOK_ERR_INVALID_ARGUMENT for a null client or a capacity above the
 * maximum. Any thread, also from callbacks. */
MOK_API int32_t mok_scan_queue_enable(mok_client_t* client, uint32_t capacity);

/** Takes up to `max_n` of the oldest queued results, in arrival order, into
 * out[0..*count-1], waiting up to timeout_ms for the first (0: no wait;
 * UINT64_MAX: no limit). Each handle is new and belongs to the host: release
 * it with mok_scan_result_free. *count is always written (0 on failure).
 * Returns MOK_OK with *count >= 1; MOK_ERR_TIMEOUT when none came in time;
 * MOK_ERR_NOT_AVAILABLE while the queue is off; MOK_ERR_INVALID_ARGUMENT for
 * a null pointer or max_n 0; MOK_ERR_CLOSED when the client is being closed:
 * mok_close wakes a waiting call, which then returns at once without touching
 * the client again. Called on a library thread (inside a callback) with a
 * time-out it does not wait: it returns what is queued, or
 * MOK_ERR_IN_CALLBACK when nothing is. */
MOK_API int32_t mok_scan_queue_pop(mok_client_t* client, mok_scan_result_t** out, uint32_t max_n,
                                   uint64_t timeout_ms, uint32_t* count);

/** One result as mok_scan_queue_pop_into copies it (56 bytes, packed as
 * the layout checks below state, so hosts may read an array of them as raw
 * records). Its points are points[point_offset .. point_offset+point_count-1]
 * of the call's point buffer. */
typedef struct mok_scan_record {
  uint64_t pts;                /**< device time stamp, as mok_scan_result_pts (offset 0) */
  uint64_t point_offset;       /**< index of the first point in the point buffer (offset 8) */
  uint32_t point_count;        /**< number of points (offset 16) */
  uint32_t seam_point_idx;     /**< as mok_scan_result_seam_point_idx (offset 20) */
  mok_scan_point_t seam_point; /**< as mok_scan_result_seam_point; all NaN when that fails (offset 24) */
  float seam_width;            /**< seam width (offset 40) */
  float seam_height;           /**< seam height (offset 44) */
  float seam_angle;            /**< seam angle (offset 48) */
  uint8_t seam_found;          /**< 1 when the device found a seam, else 0 (offset 52) */
  uint8_t reserved[3];         /**< always 0 */
} mok_scan_record_t;
MOK_LAYOUT_CHECK(scan_record_size, sizeof(mok_scan_record_t) == 56);
MOK_LAYOUT_CHECK(scan_record_point_offset, offsetof(mok_scan_record_t, point_offset) == 8);
MOK_LAYOUT_CHECK(scan_record_point_count, offsetof(mok_scan_record_t, point_count) == 16);
MOK_LAYOUT_CHECK(scan_record_seam_point, offsetof(mok_scan_record_t, seam_point) == 24);
MOK_LAYOUT_CHECK(scan_record_seam_width, offsetof(mok_scan_record_t, seam_width) == 40);
MOK_LAYOUT_CHECK(scan_record_seam_found, offsetof(mok_scan_record_t, seam_found) == 52);

/** As mok_scan_queue_pop, but copies the results into host buffers instead
 * of handing out handles, so the call allocates nothing: record i goes to
 * records[i], its points follow the previous result's in
 * points[0..max_points-1]. It takes results in arrival order while their
 * points fit, up to `max_n`; a result that does not fit stays queued for the
 * next call. *count and *points_used are always written (0 on failure).
 * Returns as mok_scan_queue_pop, and MOK_ERR_INVALID_ARGUMENT, nothing taken,
 * with the oldest result's point count in *points_used when that result
 * alone has more than `max_points` points (points may be null when
 * max_points is 0). Waits, wakes on mok_close and refuses to wait inside a
 * callback as mok_scan_queue_pop does. */
MOK_API int32_t mok_scan_queue_pop_into(mok_client_t* client, mok_scan_record_t* records, uint32_t max_n,
                                        mok_scan_point_t* points, uint64_t max_points, uint64_t timeout_ms,
                                        uint32_t* count, uint64_t* points_used);

/* ---- Extensions: connection timings ----
 * Additions beyond the device interface above: without them a client keeps
 * the camera protocol's timings (the defaults below), and nothing else
 * changes. A faster setting notices a frozen camera sooner, at the price of
 * dropping a connection that is merely slow. */

#define MOK_DEFAULT_RECONNECT_DELAY_MS 5000     /**< wait before the next attempt after a loss or failure */
#define MOK_DEFAULT_CONNECT_TIMEOUT_MS 10000    /**< longest connection attempt */
#define MOK_DEFAULT_INACTIVITY_TIMEOUT_MS 10000 /**< longest silence (no packet either way) */
#define MOK_DEFAULT_WRITE_TIMEOUT_MS 10000      /**< longest write of a packet's head or payload */
#define MOK_MAX_TIMING_MS 86400000              /**< upper bound of every timing (one day) */

/** Sets the client's timings, in milliseconds, before its first mok_start; 0
 * keeps a timing's default. Ranges: reconnect delay, connect time-out and
 * write time-out 10 to MOK_MAX_TIMING_MS; inactivity time-out 100 to
 * MOK_MAX_TIMING_MS (the connection checks for silence every 30 ms). Returns
 * MOK_OK; MOK_ERR_INVALID_ARGUMENT (nothing changed) for a null client or a
 * value out of range; MOK_ERR_OTHER (nothing changed; mok_get_last_error
 * tells why) once the client was started. */
MOK_API int32_t mok_set_timing(mok_client_t* client, uint32_t reconnect_delay_ms, uint32_t connect_timeout_ms,
                               uint32_t inactivity_timeout_ms, uint32_t write_timeout_ms);

/* ---- Extensions: flushing queued writes ----
 * A setter, mok_set_rts, mok_snapshot and mok_pull_rts only queue their
 * packet; mok_close drops what is still queued. */

/** Waits until every packet queued on the client before the call has been
 * written to the socket (handed to the operating system; the camera's answer
 * is a later register report). timeout_ms < 0 means 5000; 0 does not wait.
 * Returns MOK_OK (also when nothing was queued and the connection is up);
 * MOK_ERR_SEND_FAILED when the connection is not up or goes down first, or a
 * queued packet was lost with a failed write; MOK_ERR_TIMEOUT when the time
 * passes first; MOK_ERR_INVALID_ARGUMENT for a null client; MOK_ERR_CLOSED
 * once the client is closed. Blocks the caller; called inside a callback with
 * a time-out other than 0 it does not wait and returns MOK_ERR_IN_CALLBACK. */
MOK_API int32_t mok_flush(mok_client_t* client, int32_t timeout_ms);

/* ---- Extensions: the end of a burst of scan results ----
 * Results often arrive several at a time (one read from the socket holds
 * them all). A host that holds its own output back per result, such as
 * network writes it batches, sends it when the burst ends, so nothing waits
 * for a later result and a burst costs one send instead of one per result. */

/** Called after the last scan callback of a burst: every result received so
 * far has been handed out and the library waits for more (or the connection
 * closed or failed right after them). Runs on the scan
 * callback's thread and never beside a scan callback of the same client; at
 * least one scan result was published since the previous call. */
typedef void (*mok_scan_burst_end_cb_t)(void* user_data);
/** Installs the burst-end callback (replacing any); a null `cb` clears it,
 * waiting for a running call to return. A null client does nothing. */
MOK_API void mok_set_scan_burst_end_cb(mok_client_t* client, mok_scan_burst_end_cb_t cb, void* user_data);

MOK_EXTERN_C_END

#endif /* MOK_H */
