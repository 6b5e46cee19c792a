// The camera client: one Client per camera connection. It owns the transport
// Connector and the shared ClientInner, into which ClientBridge (the
// connector's Handler) sorts received packets by kind and stream id. Every
// concern has its own independently locked slot and no code path holds two
// slot locks; host callbacks run while their slot's lock is held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "brelo/error.hpp"
#include "brelo/reg_cache.hpp"
#include "brelo/scan_queue.hpp"
#include "brelo/stats.hpp"
#include "brelo/types.hpp"
#include "fxt/client/handler.hpp"
#include "fxt/client/options.hpp"
#include "fxt/packet/packet.hpp"
#include "fxt/state.hpp"

namespace mok {
class Runtime;
}
namespace mok::fxt::client {
class Connector;
}
namespace mok::media {
class VideoFrame;
}

namespace mok::brelo {

using State = fxt::State;
using ScanCallback = std::function<void(ScanResultPtr)>;
using BurstEndCallback = std::function<void()>;
using StateCallback = std::function<void(State)>;
using VideoCallback = std::function<void(std::shared_ptr<const media::VideoFrame>)>;

// The live video path's running service, thread and configured codec;
// defined alongside that path.
struct VideoServiceState;

template <class T>
struct Slot {
  std::mutex mutex;
  T value{};
};

// A slot whose callers wait for a change.
template <class T>
struct WaitSlot : Slot<T> {
  std::condition_variable cv;
};

// The images waiting for recv_snapshot_image. A peer can send images the
// host never asks for, so the queue is bounded by count and by bytes: a new
// image pushes out the oldest ones beyond either bound, though the newest
// image is always kept whatever its size (a packet is at most 64 MiB).
struct SnapshotQueue {
  static constexpr std::size_t kMaxImages = 32;
  static constexpr std::size_t kMaxBytes = std::size_t{128} << 20;

  // Appends `image`; the number of older images dropped to make room.
  std::size_t push(SnapshotImagePtr image);
  // The oldest image; the queue must not be empty.
  SnapshotImagePtr pop();
  bool empty() const noexcept { return images.empty(); }

  std::deque<SnapshotImagePtr> images;
  std::size_t bytes = 0;  // data bytes of the queued images
  std::size_t max_images = kMaxImages;
  std::size_t max_bytes = kMaxBytes;
};

// How far the decoder may fall behind the camera: beyond either bound,
// packets are dropped until the next key frame (about two seconds of 30 fps
// video; a packet is at most 64 MiB, so one always fits an empty backlog).
struct VideoBacklogLimit {
  static constexpr std::size_t kMaxPackets = 60;
  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;
  std::size_t packets = kMaxPackets;
  std::size_t bytes = kMaxBytes;
};

// Everything the host reads back, shared by the Client, the bridge and (with
// video on) the client video thread. Its operations are what the bridge does
// with each kind of packet; each takes only its own slot's lock.
class ClientInner {
 public:
  // Register report (stream 0): the whole report under one cache lock hold,
  // then the ready flag, then the report counter.
  void apply_register_report(std::span<const std::uint8_t> record);
  // Snapshot image (stream 2): the cached size is read first and released
  // before the queue is locked. Images pushed out of the full queue are
  // counted as dropped.
  void push_snapshot_image(std::span<const std::uint8_t> payload);
  // Scan result (stream 18): undecodable payloads leave the latest result as
  // it was.
  void publish_scan_result(std::span<const std::uint8_t> payload);
  // Video kinds: dropped while video is off, and (counted) while the
  // decoder is behind by more than `video_limit` until the next key frame.
  void route_video(fxt::Kind kind, const Bytes& payload);
  void publish_state(State state);
  // The read loop has handed out everything received: the burst-end
  // callback runs if results were published since it last ran.
  void end_scan_burst();
  // Keeps `text` as the client's last failure (beside the connector's own).
  void record_failure(std::string_view text);
  // Sets `closed` and wakes every waiter of the three waiting slots; each
  // waits with `closed` in its condition, so none misses the wake-up.
  void close();

  Slot<ScanResultPtr> latest_scan;
  // Results kept for a host that pulls them (off until it sets a capacity);
  // shared so a waiting pop outlives the client's teardown safely.
  const std::shared_ptr<ScanQueue> scan_queue = std::make_shared<ScanQueue>();
  WaitSlot<SnapshotQueue> snapshots;
  Slot<std::shared_ptr<const ScanCallback>> scan_cb;
  Slot<std::shared_ptr<const BurstEndCallback>> burst_end_cb;
  Slot<std::shared_ptr<const StateCallback>> state_cb;
  Slot<RegCache> regs;
  WaitSlot<std::uint64_t> report_count;
  // Empty while video is off.
  Slot<std::shared_ptr<VideoServiceState>> video;
  Slot<std::shared_ptr<const VideoCallback>> video_cb;
  // Read under the video slot's lock; tests lower it before enabling video.
  VideoBacklogLimit video_limit;
  WaitSlot<bool> params_ready;
  // Set once by close: waits end with Closed, video cannot be switched on.
  std::atomic<bool> closed{false};
  ClientStats stats;
  // The connector's counters and last failure; set before the connector
  // first starts, constant afterwards.
  std::shared_ptr<fxt::client::ConnStats> conn_stats;

 private:
  // How many published results wait for their holders to let go before they
  // are given up on as spares: a batch in flight, or as many as the scan
  // queue holds, so a host pulling from a full queue still recycles. It
  // bounds what the library keeps beyond the queue to the queue's own size.
  static constexpr std::size_t kRetiredScanWindow = 256;
  void recycle_retired_scan();

  // A scan record nobody else holds, decoded into next, and the published
  // results it may come from, oldest first. Touched only by
  // publish_scan_result, that is by the read loop, one packet at a time.
  std::shared_ptr<ScanResult> spare_scan_;
  bool scans_since_burst_end_ = false;
  // A ring (oldest at retired_head_) that grows by doubling and never
  // shrinks, so retiring a result allocates nothing once it has its size.
  std::vector<ScanResultPtr> retired_scans_;
  std::size_t retired_head_ = 0;
  std::size_t retired_count_ = 0;
  void retire(ScanResultPtr result);
  void drop_oldest_retired() noexcept;
};

// The connector's Handler: sorts packets by kind first, then stream id.
class ClientBridge final : public fxt::client::Handler {
 public:
  explicit ClientBridge(std::shared_ptr<ClientInner> inner) noexcept : inner_(std::move(inner)) {}
  void on_packet(fxt::PacketPtr& packet) noexcept override;
  void on_state(State state) noexcept override;
  void on_drained() noexcept override;

 private:
  std::shared_ptr<ClientInner> inner_;
};

class Client {
 public:
  // Normalises the address (InvalidArgument when rejected), resolves it and
  // creates an idle connector whose tasks run on `runtime`. A host name that
  // does not resolve fails with Other carrying the resolver's text.
  static Result<std::shared_ptr<Client>> connect(Runtime& runtime, std::string_view address);

  // Asks the connector to shut down (outcome ignored); ClientInner lives on
  // until the connector's tasks have let go of the bridge.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The host is done with this client: every waiter returns Closed now and
  // later waits return it at once, video goes off (as disable_video) and the
  // connection is asked to shut down. Does not wait for the connection, so
  // the destructor left for the last reference has nothing slow to do.
  void close();
  // Replaces the connector's timings: InvalidArgument for a timing outside
  // its range, Other once the client was first started.
  Result<void> set_options(const fxt::client::ConnectorOptions& options);

  // Other with the connector's message on failure.
  Result<void> start();
  Result<void> stop();

  // Installing or clearing waits for a running call of that callback; after
  // it returns the old callback is not called again. A callback must not
  // touch its own slot.
  void set_scan_cb(ScanCallback cb);
  void clear_scan_cb();
  // Runs on the scan callback's thread, never beside a scan callback, once
  // the results received so far have all been published and the library
  // waits for more: a host that holds output back per result flushes here.
  void set_burst_end_cb(BurstEndCallback cb);
  void clear_burst_end_cb();
  void set_state_cb(StateCallback cb);
  void clear_state_cb();

  // Live video. enable_video loads the decoder library and starts the
  // decoding service and the client video thread (Other with the loader's or
  // service's text on failure; success and no change when already on).
  // disable_video discards the packets not yet decoded (counted as skipped),
  // lets the decode under way finish and its frames, and those decoded
  // before, be delivered, and returns once both threads have ended; it does
  // nothing when video is off. The last Client reference switches video off too.
  // The video callback runs on the client video thread with its slot locked:
  // it must not set or clear the video callback.
  Result<void> enable_video();
  void disable_video();
  void set_video_cb(VideoCallback cb);
  void clear_video_cb();

  // The most recently decoded result (not consumed), or null before the first.
  ScanResultPtr latest_scan_result();

  // Register writes: queued on stream 0, SendFailed when the connector
  // refuses them. They never touch the cache.
  Result<void> send_reg(std::uint16_t id, std::uint32_t value);
  Result<void> set_exposure_time(std::uint32_t v) { return send_reg(reg::kExposureTime, v); }
  Result<void> set_laser_strength(std::uint32_t v) { return send_reg(reg::kLaserStrength, v); }
  Result<void> set_task_id(std::uint32_t v) { return send_reg(reg::kTaskId, v); }
  Result<void> set_laser_enable(bool on) { return send_reg(reg::kLaserEnable, on ? 1 : 0); }
  // 0 sends the wall-clock time in microseconds since the Unix epoch.
  Result<void> set_rts(std::uint64_t value);

  // Waits until every write queued before the call has been written to the
  // socket: SendFailed when the connection is not up or one of them was lost
  // with a failed connection, Timeout when `timeout` passes first.
  Result<void> flush(std::chrono::nanoseconds timeout);

  // Cached values as the device last reported them.
  std::optional<std::uint32_t> exposure_time();
  std::optional<std::uint32_t> laser_strength();
  std::optional<std::uint32_t> task_id();
  std::optional<bool> laser_enable();
  std::optional<std::uint64_t> cts();
  std::optional<std::uint64_t> rts();
  std::optional<std::string> board_id();
  std::optional<std::string> serial_number();

  // Success once any register report has been applied; Timeout when none
  // arrives within `timeout` (total, whatever wakes the wait). The waits
  // below end early with Closed when the client is closed, and on a library
  // thread (inside a callback) they do not wait: a non-zero time-out there
  // gives InCallback unless what they wait for is already there.
  Result<void> wait_params_ready(std::chrono::nanoseconds timeout);
  // Sends the RTS pull request and waits for the next register report;
  // returns the cached RTS then (0 when none is cached).
  Result<std::uint64_t> pull_rts(std::chrono::nanoseconds timeout);

  // Sends one snapshot request; does not wait for the image. The values go
  // out unchanged (common/wire.hpp says what the simulator makes of them).
  Result<void> snapshot(std::uint32_t format, bool mark_seam, std::uint32_t quality);
  // The oldest image not yet received; waits up to `timeout_ms` (0: no wait;
  // values too large for the clock wait without limit).
  Result<SnapshotImagePtr> recv_snapshot_image(std::uint64_t timeout_ms);

  // Every counter of the client and its connector, each read on its own.
  ClientStatsSnapshot stats() const;
  // The most recent failure's text: a connect failure's system error, a
  // decode error, an Other message, a video failure. Empty before any.
  std::optional<std::string> last_failure() const;
  void record_failure(std::string_view text) { inner_->record_failure(text); }

  // The pull queue of scan results; the last Client reference closes it,
  // which wakes a host waiting in pop.
  const std::shared_ptr<ScanQueue>& scan_queue() const noexcept { return inner_->scan_queue; }

  const std::shared_ptr<ClientInner>& inner() const noexcept { return inner_; }

 private:
  Client(std::shared_ptr<fxt::client::Connector> connector, std::shared_ptr<ClientInner> inner) noexcept;
  Result<void> send_record(std::uint16_t stream_id, std::vector<std::uint8_t> record);

  std::shared_ptr<fxt::client::Connector> connector_;
  std::shared_ptr<ClientInner> inner_;
};

// Microseconds since the Unix epoch on the wall clock, 0 before it.
std::uint64_t wall_clock_micros() noexcept;

}  // namespace mok::brelo
