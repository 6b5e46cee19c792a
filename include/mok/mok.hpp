/*
 * libmok C++ wrapper: header-only C++17 owners over the device C interface.
 *
 * Each class owns exactly one C handle and releases it with the family's
 * free function; callbacks are plain callables; point arrays are views into
 * the records the library keeps alive; failed calls throw mok::Error with the
 * C status code. Nothing here adds behaviour to the C functions it calls.
 */
#ifndef MOK_HPP
#define MOK_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "mok.h"
#include "mok_log.h"

/** Always 1: the video part of this header is always present. Kept for code
 *  written when it was optional. */
#define MOK_HPP_HAVE_VIDEO 1

namespace mok {

/** Status codes returned by the device C functions; the numbers never change. */
enum class Status : std::int32_t {
  Ok = 0,               /**< success */
  NotAvailable = -1,    /**< the value was never reported by the device */
  SendFailed = -2,      /**< the request could not be queued (no connection) */
  InvalidArgument = -3, /**< null handle, rejected address, buffer too small */
  Timeout = -4,         /**< the wait expired */
  Other = -5,           /**< any other failure (for video: no decoder library) */
  Closed = -6,          /**< the client was closed while the call ran */
  InCallback = -7,      /**< a blocking wait called inside a callback; it did not wait */
};

/** Connection states passed to the state callback (same codes as the C interface). */
enum class State : std::uint32_t {
  Idle = 0,           /**< never reported */
  Connected = 1,      /**< the TCP connection is up */
  ConnectFailed = 2,  /**< the camera refused or could not be reached */
  ConnectTimeout = 3, /**< the connection attempt took too long */
  Disconnected = 4,   /**< an established connection ended */
  ShuttingDown = 5,   /**< the client is being torn down */
  Terminated = 6,     /**< the connection task has ended */
  Reconnecting = 7,   /**< a new attempt starts (every 5 s) */
};

/** Formats of a snapshot image (codes of mok_snapshot_image_format). */
enum class ImageFormat : std::int32_t {
  Raw = 0,  /**< device pixel data, width and height from the device registers */
  Jpeg = 1, /**< JPEG file bytes */
  Png = 2,  /**< PNG file bytes */
};

/** Short English name of a status code, e.g. "timed out". */
inline const char* status_text(std::int32_t code) noexcept {
  switch (static_cast<Status>(code)) {
    case Status::Ok:
      return "success";
    case Status::NotAvailable:
      return "value not available";
    case Status::SendFailed:
      return "request not sent (no connection)";
    case Status::InvalidArgument:
      return "invalid argument";
    case Status::Timeout:
      return "timed out";
    case Status::Other:
      return "failed";
    case Status::Closed:
      return "client closed";
    case Status::InCallback:
      return "blocking call inside a callback";
  }
  return "unknown status";
}

/** Name of a connection state, e.g. "Connected". */
inline const char* state_name(State state) noexcept {
  switch (state) {
    case State::Idle:
      return "Idle";
    case State::Connected:
      return "Connected";
    case State::ConnectFailed:
      return "ConnectFailed";
    case State::ConnectTimeout:
      return "ConnectTimeout";
    case State::Disconnected:
      return "Disconnected";
    case State::ShuttingDown:
      return "ShuttingDown";
    case State::Terminated:
      return "Terminated";
    case State::Reconnecting:
      return "Reconnecting";
  }
  return "Unknown";
}

/**
 * The error thrown when a C function reports a failure. `status()` is the C
 * status code; `what()` names the operation and the status, e.g.
 * "mok_wait_params: timed out".
 */
class Error : public std::runtime_error {
 public:
  /** Builds the error for operation `what` that returned `code`. */
  Error(std::int32_t code, const std::string& what)
      : std::runtime_error(what + ": " + status_text(code)), code_(code) {}

  /** The C status code (one of Status, or a code this version does not know). */
  Status status() const noexcept { return static_cast<Status>(code_); }

  /** The raw C status code. */
  std::int32_t code() const noexcept { return code_; }

 private:
  std::int32_t code_;
};

/** Throws Error unless `code` is 0. */
inline void check(std::int32_t code, const char* what) {
  if (code != 0) throw Error(code, what);
}

/**
 * A read-only view of `size()` contiguous elements owned by someone else
 * (the C++17 stand-in for std::span<const T>). It stays valid as long as the
 * object it came from lives.
 */
template <class T>
class Span {
 public:
  /** An empty view. */
  constexpr Span() noexcept = default;
  /** A view of `size` elements starting at `data` (null only when size is 0). */
  constexpr Span(const T* data, std::size_t size) noexcept : data_(data), size_(data ? size : 0) {}

  /** First element, or null when empty. */
  constexpr const T* data() const noexcept { return data_; }
  /** Number of elements. */
  constexpr std::size_t size() const noexcept { return size_; }
  /** True when the view holds no element. */
  constexpr bool empty() const noexcept { return size_ == 0; }
  /** Element `i`; unchecked like std::span. */
  constexpr const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  /** Start of the range. */
  constexpr const T* begin() const noexcept { return data_; }
  /** End of the range. */
  constexpr const T* end() const noexcept { return data_ + size_; }
  /** First element; the view must not be empty. */
  constexpr const T& front() const noexcept { return data_[0]; }
  /** Last element; the view must not be empty. */
  constexpr const T& back() const noexcept { return data_[size_ - 1]; }

 private:
  const T* data_ = nullptr;
  std::size_t size_ = 0;
};

namespace detail {
template <std::size_t N, class F>
struct arg;
template <std::size_t N, class R, class... A>
struct arg<N, R (*)(A...)> {
  using type = std::tuple_element_t<N, std::tuple<A...>>;
};
template <std::size_t N, class F>
using arg_t = typename arg<N, F>::type;
template <class P>
using pointee_t = std::remove_const_t<std::remove_pointer_t<P>>;

// The C handle and record types, taken from the functions themselves so that
// this header follows mok.h's own names.
using ClientHandle = pointee_t<decltype(::mok_connect(nullptr))>;
using ScanHandle = pointee_t<arg_t<0, decltype(&::mok_scan_result_free)>>;
using ImageHandle = pointee_t<arg_t<0, decltype(&::mok_snapshot_image_free)>>;
using PointRecord = pointee_t<decltype(::mok_scan_result_points(nullptr))>;
using SeamInfoRecord = pointee_t<decltype(::mok_scan_result_seam_info(nullptr))>;
using SegmentRecord = pointee_t<decltype(::mok_scan_result_segments(nullptr))>;
using ScanCallbackArg = arg_t<0, arg_t<1, decltype(&::mok_set_scan_cb)>>;
using FrameHandle = pointee_t<arg_t<0, decltype(&::mok_video_frame_free)>>;
using FrameCallbackArg = arg_t<0, arg_t<1, decltype(&::mok_set_video_cb)>>;

template <class T>
T* mut(const T* p) noexcept {
  return const_cast<T*>(p);
}
}  // namespace detail

/** One measured point: x and reserved are always 0, y and z as measured (16 bytes). */
using Point = detail::PointRecord;
/** The 96-byte seam information block, passed through from the device. */
using SeamInfo = detail::SeamInfoRecord;
/** One of the 32 64-byte segment entries; an absent segment is all zero. */
using Segment = detail::SegmentRecord;

/**
 * One decoded profile (owns a mok_scan_result_t). Move-only; the views it
 * hands out stay valid while this object lives.
 */
class ScanResult {
 public:
  /** Takes ownership of `handle` (may be null: then every accessor gives its neutral value). */
  explicit ScanResult(detail::ScanHandle* handle) noexcept : h_(handle) {}
  /** Takes over the result held by `o`, which is left empty. */
  ScanResult(ScanResult&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  /** Releases the result held now and takes over the one held by `o`. */
  ScanResult& operator=(ScanResult&& o) noexcept {
    if (this != &o) {
      ::mok_scan_result_free(h_);
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  ScanResult(const ScanResult&) = delete;
  ScanResult& operator=(const ScanResult&) = delete;
  /** Releases the handle with mok_scan_result_free. */
  ~ScanResult() { ::mok_scan_result_free(h_); }

  /** The profile points (empty when the device sent none). */
  Span<Point> points() const noexcept { return {::mok_scan_result_points(h_), ::mok_scan_result_point_count(h_)}; }
  /** The device's time stamp of the profile. */
  std::uint64_t pts() const noexcept { return ::mok_scan_result_pts(h_); }
  /** Whether the device found a seam in this profile. */
  bool seam_found() const noexcept { return ::mok_scan_result_seam_found(h_); }
  /** Which of the eight seam points is the seam (as sent by the device). */
  std::uint32_t seam_point_idx() const noexcept { return ::mok_scan_result_seam_point_idx(h_); }
  /** Seam width. */
  float seam_width() const noexcept { return ::mok_scan_result_seam_width(h_); }
  /** Seam height. */
  float seam_height() const noexcept { return ::mok_scan_result_seam_height(h_); }
  /** Seam angle in the device's unit. */
  float seam_angle() const noexcept { return ::mok_scan_result_seam_angle(h_); }
  /** The eight seam points (empty for a null handle). */
  Span<Point> seam_points() const noexcept {
    const Point* p = ::mok_scan_result_seam_points(h_);
    return {p, p ? 8u : 0u};
  }
  /** The seam point chosen by seam_point_idx(), or nothing when no seam was found. */
  std::optional<Point> seam_point() const noexcept {
    Point p{};
    if (::mok_scan_result_seam_point(h_, &p) != 0) return std::nullopt;
    return p;
  }
  /** The seam information block, or null for a null handle. */
  const SeamInfo* seam_info() const noexcept { return ::mok_scan_result_seam_info(h_); }
  /** The 32 segment entries (empty for a null handle). */
  Span<Segment> segments() const noexcept {
    const Segment* s = ::mok_scan_result_segments(h_);
    return {s, s ? 32u : 0u};
  }

  /** The C handle, still owned by this object. */
  detail::ScanHandle* get() const noexcept { return h_; }
  /** Gives up ownership; the caller frees the handle with mok_scan_result_free. */
  detail::ScanHandle* release() noexcept { return std::exchange(h_, nullptr); }

 private:
  detail::ScanHandle* h_;
};

/** A snapshot image (owns a mok_snapshot_image_t). Move-only. */
class SnapshotImage {
 public:
  /** Takes ownership of `handle`. */
  explicit SnapshotImage(detail::ImageHandle* handle) noexcept : h_(handle) {}
  /** Takes over the image held by `o`, which is left empty. */
  SnapshotImage(SnapshotImage&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  /** Releases the image held now and takes over the one held by `o`. */
  SnapshotImage& operator=(SnapshotImage&& o) noexcept {
    if (this != &o) {
      ::mok_snapshot_image_free(h_);
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  SnapshotImage(const SnapshotImage&) = delete;
  SnapshotImage& operator=(const SnapshotImage&) = delete;
  /** Releases the handle with mok_snapshot_image_free. */
  ~SnapshotImage() { ::mok_snapshot_image_free(h_); }

  /** The image bytes (a whole JPEG or PNG file, or raw pixels). */
  Span<std::uint8_t> data() const noexcept {
    return {::mok_snapshot_image_data(h_), ::mok_snapshot_image_data_size(h_)};
  }
  /** Width for raw images; 0 for JPEG and PNG, which carry their own. */
  std::uint32_t width() const noexcept { return ::mok_snapshot_image_width(h_); }
  /** Height for raw images; 0 for JPEG and PNG. */
  std::uint32_t height() const noexcept { return ::mok_snapshot_image_height(h_); }
  /** How the bytes are encoded. */
  ImageFormat format() const noexcept { return static_cast<ImageFormat>(::mok_snapshot_image_format(h_)); }
  /** The usual file name extension for format(): "jpg", "png" or "raw". */
  const char* extension() const noexcept {
    switch (format()) {
      case ImageFormat::Jpeg:
        return "jpg";
      case ImageFormat::Png:
        return "png";
      default:
        return "raw";
    }
  }

  /** The C handle, still owned by this object. */
  detail::ImageHandle* get() const noexcept { return h_; }
  /** Gives up ownership; the caller frees the handle with mok_snapshot_image_free. */
  detail::ImageHandle* release() noexcept { return std::exchange(h_, nullptr); }

 private:
  detail::ImageHandle* h_;
};

/** The 128-byte frame description (planes, row sizes, format, time stamp, size). */
using FrameInfo = mok_video_frame_info_t;

/**
 * One decoded video frame (owns a mok_video_frame_t). Move-only; the plane
 * memory stays valid while this object lives, also after video was disabled
 * or the client closed. Every accessor asks the library again.
 */
class VideoFrame {
 public:
  /** Takes ownership of `handle`. */
  explicit VideoFrame(detail::FrameHandle* handle) noexcept : h_(handle) {}
  /** Takes over the frame held by `o`, which is left empty. */
  VideoFrame(VideoFrame&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  /** Releases the frame held now and takes over the one held by `o`. */
  VideoFrame& operator=(VideoFrame&& o) noexcept {
    if (this != &o) {
      ::mok_video_frame_free(h_);
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  VideoFrame(const VideoFrame&) = delete;
  VideoFrame& operator=(const VideoFrame&) = delete;
  /** Releases the frame with mok_video_frame_free. */
  ~VideoFrame() { ::mok_video_frame_free(h_); }

  /** Start of plane `plane` (0 to 7), or null when the plane is unused. */
  const std::uint8_t* data(std::uint32_t plane = 0) const noexcept {
    return reinterpret_cast<const std::uint8_t*>(::mok_video_frame_data(h_, plane));
  }
  /** Bytes per row of plane `plane`; 0 when unused. */
  std::int32_t linesize(std::uint32_t plane = 0) const noexcept { return ::mok_video_frame_linesize(h_, plane); }
  /** Pixel format code (FFmpeg numbering: 26 is RGBA); -1 on failure. */
  std::int32_t format() const noexcept { return ::mok_video_frame_format(h_); }
  /** Width in pixels. */
  std::int32_t width() const noexcept { return ::mok_video_frame_width(h_); }
  /** Height in pixels. */
  std::int32_t height() const noexcept { return ::mok_video_frame_height(h_); }
  /** Presentation time stamp as the decoder reports it. */
  std::int64_t pts() const noexcept { return ::mok_video_frame_pts(h_); }
  /** The whole description in one call; throws Error when the library cannot describe the frame. */
  FrameInfo info() const {
    FrameInfo fi{};
    check(::mok_video_frame_get_info(h_, &fi), "mok_video_frame_get_info");
    return fi;
  }

  /** The C handle, still owned by this object. */
  detail::FrameHandle* get() const noexcept { return h_; }
  /** Gives up ownership; the caller frees the handle with mok_video_frame_free. */
  detail::FrameHandle* release() noexcept { return std::exchange(h_, nullptr); }

 private:
  detail::FrameHandle* h_;
};

/** Timeouts are given as durations and passed on in whole milliseconds. */
using Millis = std::chrono::milliseconds;

/**
 * A camera connection (owns a mok_client_t). Move-only.
 *
 * Callbacks run on the library's threads, one call at a time per kind, never
 * on the thread that installed them. They must not install or clear their own
 * kind of callback, must not disable video from the video callback, and must
 * not throw: an escaping exception ends the program (std::terminate), because
 * it cannot cross the C library.
 *
 * The destructor clears the callbacks (waiting for a running call to return)
 * before closing the handle, so the callables can be destroyed safely.
 */
class Client {
 public:
  /** Receives each decoded profile; the result is the callee's to keep or drop. */
  using ScanCallback = std::function<void(ScanResult)>;
  /** Receives each connection state change. */
  using StateCallback = std::function<void(State)>;
  /** Receives each decoded video frame. */
  using VideoCallback = std::function<void(VideoFrame)>;

  /**
   * mok_connect: creates a client for `address` ("host", "host:port",
   * "a.b.c.d:port" or "[v6]:port"; port 6833 when omitted). The connection is
   * not started. Throws Error(InvalidArgument) when the address is refused or
   * the host name does not resolve.
   */
  static Client connect(const std::string& address) {
    detail::ClientHandle* h = ::mok_connect(address.c_str());
    if (!h) throw Error(static_cast<std::int32_t>(Status::InvalidArgument), "mok_connect(" + address + ")");
    return Client(h);
  }

  /** Takes over the handle and callbacks of `o`, which is left closed. */
  Client(Client&& o) noexcept
      : h_(std::exchange(o.h_, nullptr)),
        scan_(std::move(o.scan_)),
        state_(std::move(o.state_)),
        video_(std::move(o.video_)) {}
  /** Closes this client, then takes over the handle and callbacks of `o`. */
  Client& operator=(Client&& o) noexcept {
    if (this != &o) {
      close();
      h_ = std::exchange(o.h_, nullptr);
      scan_ = std::move(o.scan_);
      state_ = std::move(o.state_);
      video_ = std::move(o.video_);
    }
    return *this;
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  /** Clears the callbacks, then mok_close. */
  ~Client() { close(); }

  /** mok_set_timing (extension): the reconnect delay and time-outs, set
   * before start(); a zero duration keeps that timing's default. Throws
   * Error(InvalidArgument) for a value out of range, Error(Other) once started. */
  void set_timing(Millis reconnect_delay, Millis connect_timeout, Millis inactivity_timeout,
                  Millis write_timeout) {
    const auto ms = [](Millis t) {
      return static_cast<uint32_t>(t.count() < 0 ? 0 : t.count() > UINT32_MAX ? UINT32_MAX : t.count());
    };
    check(
        ::mok_set_timing(h_, ms(reconnect_delay), ms(connect_timeout), ms(inactivity_timeout), ms(write_timeout)),
        "mok_set_timing");
  }
  /** mok_start: begins connecting (and reconnecting after the reconnect
   * delay, 5 s by default, after a loss). */
  void start() { check(::mok_start(h_), "mok_start"); }
  /** mok_stop: ends the connection; start() may be called again. */
  void stop() { check(::mok_stop(h_), "mok_stop"); }

  /** mok_get_stats (extension): every counter of this client, each read on
   * its own (see mok.h for the consistency given). */
  mok_stats_t stats() const {
    mok_stats_t s{};
    check(::mok_get_stats(h_, &s, sizeof s), "mok_get_stats");
    return s;
  }
  /** mok_get_last_error (extension): the most recent failure's text, or
   * nothing before any failure. */
  std::optional<std::string> last_error() const {
    uint32_t len = 0;
    if (::mok_get_last_error(h_, nullptr, &len) != MOK_OK) return std::nullopt;
    std::string text(len, '\0');
    if (::mok_get_last_error(h_, text.data(), &len) != MOK_OK) return std::nullopt;
    text.resize(len - 1);
    return text;
  }

  /** mok_wait_params: waits until the first parameter report; throws Error(Timeout). */
  void wait_params(Millis timeout = Millis(5000)) {
    check(::mok_wait_params(h_, clamp_ms(timeout)), "mok_wait_params");
  }

  /** Last reported exposure time, or nothing before the first report. */
  std::optional<std::uint32_t> exposure_time() const {
    return get<std::uint32_t>(::mok_get_exposure_time, "mok_get_exposure_time");
  }
  /** Last reported laser strength. */
  std::optional<std::uint32_t> laser_strength() const {
    return get<std::uint32_t>(::mok_get_laser_strength, "mok_get_laser_strength");
  }
  /** Last reported task id. */
  std::optional<std::uint32_t> task_id() const { return get<std::uint32_t>(::mok_get_task_id, "mok_get_task_id"); }
  /** Last reported laser state. */
  std::optional<bool> laser_enable() const {
    auto v = get<std::int32_t>(::mok_get_laser_enable, "mok_get_laser_enable");
    if (!v) return std::nullopt;
    return *v != 0;
  }
  /** Last reported RTS (microseconds). */
  std::optional<std::uint64_t> rts() const { return get<std::uint64_t>(::mok_get_rts, "mok_get_rts"); }
  /** Last reported CTS. */
  std::optional<std::uint64_t> cts() const { return get<std::uint64_t>(::mok_get_cts, "mok_get_cts"); }
  /** Reported board id; nothing before the first report. Throws Error(InvalidArgument) when it holds a zero byte.
   */
  std::optional<std::string> board_id() const { return text(::mok_get_board_id, "mok_get_board_id"); }
  /** Reported serial number; same rules as board_id(). */
  std::optional<std::string> serial_number() const {
    return text(::mok_get_serial_number, "mok_get_serial_number");
  }

  /** Asks the camera to change the exposure time; the getter follows once the camera reports it. */
  void set_exposure_time(std::uint32_t v) { check(::mok_set_exposure_time(h_, v), "mok_set_exposure_time"); }
  /** Asks the camera to change the laser strength. */
  void set_laser_strength(std::uint32_t v) { check(::mok_set_laser_strength(h_, v), "mok_set_laser_strength"); }
  /** Asks the camera to switch to task `v`. */
  void set_task_id(std::uint32_t v) { check(::mok_set_task_id(h_, v), "mok_set_task_id"); }
  /** Switches the laser on or off. */
  void set_laser_enable(bool on) { check(::mok_set_laser_enable(h_, on ? 1 : 0), "mok_set_laser_enable"); }
  /** Writes RTS; 0 sends this host's current time in microseconds. */
  void set_rts(std::uint64_t v) { check(::mok_set_rts(h_, v), "mok_set_rts"); }
  /** mok_flush (extension): waits until every packet queued before the call
   * has been written to the socket; throws Error(SendFailed) when the
   * connection is not up or goes down first, Error(Timeout) when the time
   * passes first. */
  void flush(Millis timeout = Millis(5000)) { check(::mok_flush(h_, clamp_ms(timeout)), "mok_flush"); }
  /** Asks the camera to report RTS and returns the value after its next report. */
  std::uint64_t pull_rts(Millis timeout = Millis(5000)) {
    std::uint64_t v = 0;
    check(::mok_pull_rts(h_, clamp_ms(timeout), &v), "mok_pull_rts");
    return v;
  }

  /** The most recent profile, or nothing before the first. */
  std::optional<ScanResult> latest_scan_result() const {
    detail::ScanHandle* r = ::mok_get_scan_result(h_);
    if (!r) return std::nullopt;
    return ScanResult(r);
  }

  /** mok_scan_queue_enable (extension): queues up to `capacity` results for
   * pop_scan_results (0 switches queueing off); drops when the host falls
   * behind are counted in stats().scan_queue_dropped. */
  void enable_scan_queue(std::uint32_t capacity) {
    check(::mok_scan_queue_enable(h_, capacity), "mok_scan_queue_enable");
  }
  /** mok_scan_queue_pop (extension): up to `max_n` queued results, oldest
   * first, waiting up to `timeout` for the first; empty on time-out. Throws
   * Error for any other failure (NotAvailable while queueing is off). */
  std::vector<ScanResult> pop_scan_results(std::uint32_t max_n, Millis timeout = Millis(1000)) {
    std::vector<detail::ScanHandle*> raw(max_n);
    std::uint32_t n = 0;
    const auto ms = timeout.count() < 0 ? 0 : static_cast<std::uint64_t>(timeout.count());
    const std::int32_t rc = ::mok_scan_queue_pop(h_, raw.data(), max_n, ms, &n);
    std::vector<ScanResult> out;
    out.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) out.emplace_back(raw[i]);
    if (rc != MOK_ERR_TIMEOUT) check(rc, "mok_scan_queue_pop");
    return out;
  }

  /** Requests one snapshot image; receive it with recv_snapshot_image(). The
   * values as for mok_snapshot. */
  void snapshot(std::int32_t image_format = MOK_IMAGE_RAW, bool mark_seam = false, std::int32_t jpeg_quality = 0) {
    check(::mok_snapshot(h_, image_format, mark_seam ? 1 : 0, jpeg_quality), "mok_snapshot");
  }
  /** The oldest snapshot image not yet received, waiting up to `timeout`; nothing on time-out. */
  std::optional<SnapshotImage> recv_snapshot_image(Millis timeout = Millis(5000)) {
    auto ms = timeout.count() < 0 ? 0 : static_cast<std::uint64_t>(timeout.count());
    detail::ImageHandle* i = ::mok_recv_snapshot_image(h_, ms);
    if (!i) return std::nullopt;
    return SnapshotImage(i);
  }

  /** Installs the profile callback (an empty function clears it). */
  void on_scan(ScanCallback cb) {
    if (!cb) return clear_scan_cb();
    auto next = std::make_unique<ScanCallback>(std::move(cb));
    ::mok_set_scan_cb(h_, &Client::scan_trampoline, next.get());
    scan_ = std::move(next);  // the old callable is no longer running nor called
  }
  /** Removes the profile callback, waiting for a running call to return. */
  void clear_scan_cb() noexcept {
    ::mok_clear_scan_cb(h_);
    scan_.reset();
  }
  /** Installs the state callback (an empty function clears it). */
  void on_state(StateCallback cb) {
    if (!cb) return clear_state_cb();
    auto next = std::make_unique<StateCallback>(std::move(cb));
    ::mok_set_state_cb(h_, &Client::state_trampoline, next.get());
    state_ = std::move(next);
  }
  /** Removes the state callback, waiting for a running call to return. */
  void clear_state_cb() noexcept {
    ::mok_clear_state_cb(h_);
    state_.reset();
  }

  /** Starts decoding the camera's video; throws Error(Other) when the decoder library is missing. */
  void enable_video() { check(::mok_enable_video(h_), "mok_enable_video"); }
  /** Stops decoding; returns once the frames already received were delivered. */
  void disable_video() { check(::mok_disable_video(h_), "mok_disable_video"); }
  /** Installs the video frame callback (an empty function clears it). */
  void on_video(VideoCallback cb) {
    if (!cb) return clear_video_cb();
    auto next = std::make_unique<VideoCallback>(std::move(cb));
    ::mok_set_video_cb(h_, &Client::video_trampoline, next.get());
    video_ = std::move(next);
  }
  /** Removes the video callback, waiting for a running call to return. */
  void clear_video_cb() noexcept {
    ::mok_clear_video_cb(h_);
    video_.reset();
  }

  /** The C handle, still owned by this object. */
  detail::ClientHandle* get() const noexcept { return h_; }

 private:
  explicit Client(detail::ClientHandle* h) noexcept : h_(h) {}

  void close() noexcept {
    if (!h_) return;
    // The library may call a callback until its tasks wind down after
    // mok_close, so the callables must be unhooked before they are freed.
    ::mok_clear_scan_cb(h_);
    ::mok_clear_state_cb(h_);
    ::mok_clear_video_cb(h_);
    video_.reset();
    ::mok_close(std::exchange(h_, nullptr));
    scan_.reset();
    state_.reset();
  }

  static std::int32_t clamp_ms(Millis t) noexcept {
    if (t.count() < 0) return -1;
    if (t.count() > INT32_MAX) return INT32_MAX;
    return static_cast<std::int32_t>(t.count());
  }

  template <class T, class F>
  std::optional<T> get(F fn, const char* what) const {
    T v{};
    std::int32_t rc = fn(h_, &v);
    if (rc == static_cast<std::int32_t>(Status::NotAvailable)) return std::nullopt;
    check(rc, what);
    return v;
  }

  template <class F>
  std::optional<std::string> text(F fn, const char* what) const {
    std::uint32_t len = 0;
    std::int32_t rc = fn(h_, nullptr, &len);
    if (rc == static_cast<std::int32_t>(Status::NotAvailable)) return std::nullopt;
    check(rc, what);
    std::string s(len, '\0');
    rc = fn(h_, s.data(), &len);
    check(rc, what);
    s.resize(len > 0 ? len - 1 : 0);
    return s;
  }

  static void scan_trampoline(detail::ScanCallbackArg r, void* user) noexcept {
    (*static_cast<ScanCallback*>(user))(ScanResult(detail::mut(r)));
  }
  static void state_trampoline(std::uint32_t s, void* user) noexcept {
    (*static_cast<StateCallback*>(user))(static_cast<State>(s));
  }
  static void video_trampoline(detail::FrameCallbackArg f, void* user) noexcept {
    (*static_cast<VideoCallback*>(user))(VideoFrame(detail::mut(f)));
  }

  detail::ClientHandle* h_ = nullptr;
  std::unique_ptr<ScanCallback> scan_;
  std::unique_ptr<StateCallback> state_;
  std::unique_ptr<VideoCallback> video_;
};

/** The library version text, "MAJOR.MINOR.PATCH" (MOK_VERSION_STRING of its build). */
inline const char* version() noexcept { return ::mok_version_str(); }
/** The library version as major << 24 | minor << 16 | patch. */
inline std::uint32_t version_code() noexcept { return ::mok_version_code(); }

/** Receives one log record: level (MOK_LOG_ERROR .. MOK_LOG_TRACE), module target, message. */
using LogHandler = std::function<void(std::int32_t level, const char* target, const char* message)>;

/**
 * Routes the library's log records up to `max_level` to `handler` (an empty
 * handler restores the default: warnings and errors on standard error). The
 * handler runs on library threads, possibly several at once, and must not
 * throw or call set_log_handler.
 */
inline void set_log_handler(LogHandler handler, std::int32_t max_level = MOK_LOG_INFO) {
  static std::unique_ptr<LogHandler> current;
  struct Tramp {
    static void call(std::int32_t level, const char* target, const char* message, void* user) noexcept {
      (*static_cast<LogHandler*>(user))(level, target, message);
    }
  };
  std::unique_ptr<LogHandler> next;
  if (handler) next = std::make_unique<LogHandler>(std::move(handler));
  ::mok_log_set_callback(next ? &Tramp::call : nullptr, max_level, next.get());
  current = std::move(next);  // the previous handler is neither running nor called again
}

}  // namespace mok

#endif /* MOK_HPP */
