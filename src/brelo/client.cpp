// Client, ClientInner and ClientBridge. Shutdown order: the last Client
// reference asks the connector to shut down and lets go; the connector's
// tasks release the bridge (and with it ClientInner) when they end, so a
// packet still delivered after the request is handled normally.
#include "brelo/client.hpp"

#include <algorithm>
#include <atomic>
#include <type_traits>

#include <time.h>

#include "brelo/address.hpp"
#include "brelo/bounded_wait.hpp"
#include "brelo/payload_decode.hpp"
#include "brelo/scan_record.hpp"
#include "common/clock.hpp"
#include "common/library_thread.hpp"
#include "common/wire.hpp"
#include "fxr/builder.hpp"
#include "fxt/client/connector.hpp"

namespace mok::brelo {
namespace {

// How a wait ended without what it waited for: woken by close, refused on a
// library thread, or timed out.
struct WaitEnd {
  bool woken = false;
  bool refused = false;
  ErrorKind kind() const noexcept {
    return woken ? ErrorKind::Closed : refused ? ErrorKind::InCallback : ErrorKind::Timeout;
  }
};

// wait_bounded, except that on a library thread (inside a callback) it only
// looks: what it waits for is delivered by such a thread, maybe this one,
// so waiting could only run out the time-out while holding it.
template <class Pred>
WaitEnd wait_here(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  std::chrono::nanoseconds timeout, Pred pred) {
  if (timeout > std::chrono::nanoseconds::zero() && on_library_thread()) {
    return WaitEnd{pred(), true};
  }
  return WaitEnd{wait_bounded(cv, lock, timeout, pred), false};
}

template <class T>
auto read_slot(Slot<T>& slot, auto field) {
  std::lock_guard lock(slot.mutex);
  return field(slot.value);
}

// Taking the slot's lock waits for a running call; the old callable is
// released after the lock, so its destructor cannot run under it.
template <class F>
void replace_callback(Slot<std::shared_ptr<const F>>& slot, std::type_identity_t<std::shared_ptr<const F>> fn) {
  std::shared_ptr<const F> old;
  std::lock_guard lock(slot.mutex);
  old = std::exchange(slot.value, std::move(fn));
}

}  // namespace

std::uint64_t wall_clock_micros() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000u;
}

// ---- SnapshotQueue ---------------------------------------------------------

std::size_t SnapshotQueue::push(SnapshotImagePtr image) {
  bytes += image->data.size();
  images.push_back(std::move(image));
  std::size_t dropped = 0;
  while (images.size() > 1 && (images.size() > max_images || bytes > max_bytes)) {
    bytes -= images.front()->data.size();
    images.pop_front();
    ++dropped;
  }
  return dropped;
}

SnapshotImagePtr SnapshotQueue::pop() {
  SnapshotImagePtr image = std::move(images.front());
  images.pop_front();
  bytes -= image->data.size();
  return image;
}

// ---- ClientInner -----------------------------------------------------------

void ClientInner::apply_register_report(std::span<const std::uint8_t> record) {
  {
    std::lock_guard lock(regs.mutex);
    apply_report(regs.value, record);
  }
  {
    std::lock_guard lock(params_ready.mutex);
    if (!params_ready.value) {
      params_ready.value = true;
      params_ready.cv.notify_all();
    }
  }
  {
    std::lock_guard lock(report_count.mutex);
    ++report_count.value;
  }
  report_count.cv.notify_all();
}

void ClientInner::push_snapshot_image(std::span<const std::uint8_t> payload) {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  {
    std::lock_guard lock(regs.mutex);
    width = regs.value.width;
    height = regs.value.height;
  }
  auto image = std::make_shared<const SnapshotImage>(make_snapshot_image(payload, width, height));
  std::size_t dropped = 0;
  {
    std::lock_guard lock(snapshots.mutex);
    dropped = snapshots.value.push(std::move(image));
  }
  ClientStats::bump(stats.snapshots_queued);
  stats.snapshots_dropped.fetch_add(dropped, std::memory_order_relaxed);
  snapshots.cv.notify_one();
}

void ClientInner::publish_scan_result(std::span<const std::uint8_t> payload) {
  // A record too small for this payload is let go for one with room: the
  // points then stay in the record's own allocation.
  const std::size_t count = scan_point_count(payload);
  std::shared_ptr<ScanResult> record = std::move(spare_scan_);
  if (!record || (record->point_capacity < count && count <= kMaxScanPoints)) {
    record = make_scan_record(record_capacity_for(count));
  }
  if (!decode_scan_result_into(payload, *record)) {
    ClientStats::bump(stats.scan_results_rejected);
    spare_scan_ = std::move(record);
    return;
  }
  stats.scan_rate.add(monotonic_coarse_ms());
  ScanResultPtr result = std::move(record);
  ScanResultPtr previous;
  {
    std::lock_guard lock(latest_scan.mutex);
    previous = std::exchange(latest_scan.value, result);
  }
  if (previous) {
    retire(std::move(previous));
  }
  recycle_retired_scan();
  scan_queue->push(result);
  scans_since_burst_end_ = true;
  std::lock_guard lock(scan_cb.mutex);
  if (scan_cb.value) {
    (*scan_cb.value)(std::move(result));
  }
}

void ClientInner::retire(ScanResultPtr result) {
  if (retired_count_ == retired_scans_.size()) {
    std::vector<ScanResultPtr> grown(std::max<std::size_t>(64, 2 * retired_scans_.size()));
    for (std::size_t i = 0; i < retired_count_; ++i) {
      grown[i] = std::move(retired_scans_[(retired_head_ + i) % retired_scans_.size()]);
    }
    retired_scans_.swap(grown);
    retired_head_ = 0;
  }
  retired_scans_[(retired_head_ + retired_count_) % retired_scans_.size()] = std::move(result);
  ++retired_count_;
}

void ClientInner::drop_oldest_retired() noexcept {
  retired_scans_[retired_head_].reset();
  retired_head_ = (retired_head_ + 1) % retired_scans_.size();
  --retired_count_;
}

// A retired result is reused for the next one once nobody holds it any more
// (a host that frees each result in its callback, or soon after popping it
// from the queue): the record and its point array then cost no allocation
// per result. Only the oldest retired result is looked at; one still held
// when the window is full is let go, and its holder keeps it untouched.
void ClientInner::recycle_retired_scan() {
  if (retired_count_ == 0) {
    return;
  }
  ScanResultPtr& oldest = retired_scans_[retired_head_];
  if (oldest.use_count() == 1) {
    // The last other holder's reads of the record must be over before it is
    // written again: its release of the count has to be acquired here. A
    // count seen by use_count() alone is not, so take and drop a reference,
    // whose decrement is an acquiring read-modify-write of that count (and
    // one a race detector understands, unlike a lone fence).
    { ScanResultPtr sync = oldest; }
    std::atomic_thread_fence(std::memory_order_acquire);
    spare_scan_ = std::const_pointer_cast<ScanResult>(std::move(oldest));
    drop_oldest_retired();
  } else if (retired_count_ > std::max(kRetiredScanWindow, scan_queue->capacity())) {
    drop_oldest_retired();
  }
}

void ClientInner::record_failure(std::string_view text) {
  if (conn_stats) {
    conn_stats->record_failure(text);
  }
}

void ClientInner::close() {
  closed.store(true);
  // Taking each lock orders the flag before a waiter's next look at its
  // condition: a waiter is either not yet checking (and sees the flag) or
  // already waiting (and is woken).
  const auto wake = [](auto& slot) {
    { std::lock_guard lock(slot.mutex); }
    slot.cv.notify_all();
  };
  wake(params_ready);
  wake(report_count);
  wake(snapshots);
  scan_queue->close();
}

void ClientInner::end_scan_burst() {
  if (!std::exchange(scans_since_burst_end_, false)) {
    return;
  }
  std::lock_guard lock(burst_end_cb.mutex);
  if (burst_end_cb.value) {
    (*burst_end_cb.value)();
  }
}

void ClientInner::publish_state(State state) {
  std::lock_guard lock(state_cb.mutex);
  if (state_cb.value) {
    (*state_cb.value)(state);
  }
}

// ---- ClientBridge ----------------------------------------------------------

void ClientBridge::on_packet(fxt::PacketPtr& packet) noexcept {
  if (!packet) {
    return;
  }
  // A packet that cannot be handled (memory exhausted, a throwing C++
  // callback) is dropped like any other unusable packet; the read loop must
  // go on.
  try {
    const fxt::Head& head = packet->head;
    ClientStats& stats = inner_->stats;
    if (head.kind == fxt::Kind::VideoH264 || head.kind == fxt::Kind::VideoH265) {
      ClientStats::bump(stats.video_packets);
      inner_->route_video(head.kind, packet->payload);
      return;
    }
    const std::span<const std::uint8_t> payload = packet->payload.span();
    switch (head.stream_id) {
      case wire::stream::kRegisters:
        ClientStats::bump(stats.register_reports);
        inner_->apply_register_report(payload);
        break;
      case wire::stream::kSnapshotImage:
        ClientStats::bump(stats.snapshot_images);
        inner_->push_snapshot_image(payload);
        break;
      case wire::stream::kScan:
        fxt::client::ConnStats::bump_own(stats.scan_results);  // written by this loop only
        inner_->publish_scan_result(payload);
        break;
      default:
        ClientStats::bump(stats.ignored_packets);
        break;
    }
  } catch (...) {
  }
}

void ClientBridge::on_drained() noexcept {
  try {
    inner_->end_scan_burst();
  } catch (...) {
  }
}

void ClientBridge::on_state(State state) noexcept {
  try {
    inner_->publish_state(state);
  } catch (...) {
  }
}

// ---- Client ----------------------------------------------------------------

Client::Client(std::shared_ptr<fxt::client::Connector> connector, std::shared_ptr<ClientInner> inner) noexcept
    : connector_(std::move(connector)), inner_(std::move(inner)) {}

Result<std::shared_ptr<Client>> Client::connect(Runtime& runtime, std::string_view address) {
  auto normalized = normalize_remote_addr(address);
  if (!normalized) {
    return err(std::move(normalized.error()));
  }
  auto inner = std::make_shared<ClientInner>();
  auto bridge = std::make_shared<ClientBridge>(inner);
  auto connector = fxt::client::Connector::create(runtime, *normalized, std::move(bridge));
  if (!connector) {
    return err(Error::other(connector.error().display()));
  }
  inner->conn_stats = (*connector)->shared_stats();
  return std::shared_ptr<Client>(new Client(std::move(*connector), std::move(inner)));
}

Client::~Client() {
  // A host thread waiting for queued results must not wait on a client that
  // is gone.
  inner_->scan_queue->close();
  // Video goes off next, so no video callback runs once the last reference
  // is gone; otherwise its threads would keep running for the host unseen.
  try {
    disable_video();
  } catch (...) {
  }
  if (connector_) {
    (void)connector_->shutdown();
  }
}

void Client::close() {
  inner_->close();
  disable_video();
  (void)connector_->shutdown();
}

Result<void> Client::set_options(const fxt::client::ConnectorOptions& options) {
  if (!fxt::client::check(options)) {
    return fail(ErrorKind::InvalidArgument);
  }
  auto r = connector_->set_options(options);
  if (!r) {
    return err(Error::other(r.error()));
  }
  return {};
}

Result<void> Client::start() {
  auto r = connector_->start();
  if (!r) {
    return err(Error::other(r.error().display()));
  }
  return {};
}

Result<void> Client::stop() {
  auto r = connector_->stop();
  if (!r) {
    return err(Error::other(r.error().display()));
  }
  return {};
}

void Client::set_scan_cb(ScanCallback cb) {
  replace_callback(inner_->scan_cb, std::make_shared<const ScanCallback>(std::move(cb)));
}
void Client::clear_scan_cb() { replace_callback(inner_->scan_cb, nullptr); }
void Client::set_burst_end_cb(BurstEndCallback cb) {
  replace_callback(inner_->burst_end_cb, std::make_shared<const BurstEndCallback>(std::move(cb)));
}
void Client::clear_burst_end_cb() { replace_callback(inner_->burst_end_cb, nullptr); }
void Client::set_state_cb(StateCallback cb) {
  replace_callback(inner_->state_cb, std::make_shared<const StateCallback>(std::move(cb)));
}
void Client::clear_state_cb() { replace_callback(inner_->state_cb, nullptr); }
void Client::set_video_cb(VideoCallback cb) {
  replace_callback(inner_->video_cb, std::make_shared<const VideoCallback>(std::move(cb)));
}
void Client::clear_video_cb() { replace_callback(inner_->video_cb, nullptr); }

ScanResultPtr Client::latest_scan_result() {
  std::lock_guard lock(inner_->latest_scan.mutex);
  return inner_->latest_scan.value;
}

Result<void> Client::send_record(std::uint16_t stream_id, std::vector<std::uint8_t> record) {
  fxt::Packet packet = fxt::Packet::make(fxt::Flags{}, fxt::Kind::FlexRegs, stream_id, Bytes(std::move(record)));
  if (!connector_->send(std::move(packet))) {
    return fail(ErrorKind::SendFailed);
  }
  return {};
}

Result<void> Client::send_reg(std::uint16_t id, std::uint32_t value) {
  fxr::Builder b;
  b.push<std::uint32_t>(id, value);
  return send_record(wire::stream::kRegisters, std::move(b).into_bytes());
}

Result<void> Client::flush(std::chrono::nanoseconds timeout) {
  using Outcome = fxt::client::FlushTracker::Outcome;
  switch (connector_->flush(timeout)) {
    case Outcome::Flushed:
      return {};
    case Outcome::TimedOut:
      return fail(ErrorKind::Timeout);
    case Outcome::Lost:
    case Outcome::NotConnected:
      return fail(ErrorKind::SendFailed);
  }
  return fail(ErrorKind::SendFailed);
}

Result<void> Client::set_rts(std::uint64_t value) {
  if (value == 0) {
    value = wall_clock_micros();
  }
  fxr::Builder b;
  b.push<std::uint64_t>(reg::kRts, value);
  return send_record(wire::stream::kRegisters, std::move(b).into_bytes());
}

std::optional<std::uint32_t> Client::exposure_time() {
  return read_slot(inner_->regs, [](const RegCache& c) { return c.exposure_time; });
}
std::optional<std::uint32_t> Client::laser_strength() {
  return read_slot(inner_->regs, [](const RegCache& c) { return c.laser_strength; });
}
std::optional<std::uint32_t> Client::task_id() {
  return read_slot(inner_->regs, [](const RegCache& c) { return c.task_id; });
}
std::optional<bool> Client::laser_enable() {
  return read_slot(inner_->regs, [](const RegCache& c) { return c.laser_enable; });
}
std::optional<std::uint64_t> Client::cts() {
  return read_slot(inner_->regs, [](const RegCache& c) { return c.cts; });
}
std::optional<std::uint64_t> Client::rts() {
  return read_slot(inner_->regs, [](const RegCache& c) { return c.rts; });
}
std::optional<std::string> Client::board_id() {
  return read_slot(inner_->regs, [](const RegCache& c) { return c.board_id; });
}
std::optional<std::string> Client::serial_number() {
  return read_slot(inner_->regs, [](const RegCache& c) { return c.serial_number; });
}

Result<void> Client::wait_params_ready(std::chrono::nanoseconds timeout) {
  auto& slot = inner_->params_ready;
  std::unique_lock lock(slot.mutex);
  const WaitEnd end = wait_here(slot.cv, lock, timeout, [&] { return slot.value || inner_->closed.load(); });
  if (!slot.value) {
    return fail(end.kind());
  }
  return {};
}

Result<std::uint64_t> Client::pull_rts(std::chrono::nanoseconds timeout) {
  auto& counter = inner_->report_count;
  if (inner_->closed.load()) {
    return fail(ErrorKind::Closed);
  }
  // The answer could only be read once the callback returns: refuse before
  // asking the device.
  if (timeout > std::chrono::nanoseconds::zero() && on_library_thread()) {
    return fail(ErrorKind::InCallback);
  }
  const std::uint64_t seen = read_slot(counter, [](std::uint64_t n) { return n; });
  if (auto sent = send_reg(reg::kRtsPull, 1); !sent) {
    return err(std::move(sent.error()));
  }
  {
    std::unique_lock lock(counter.mutex);
    const bool woken =
        wait_bounded(counter.cv, lock, timeout, [&] { return counter.value != seen || inner_->closed.load(); });
    if (counter.value == seen) {
      return fail(WaitEnd{woken, false}.kind());
    }
  }
  return read_slot(inner_->regs, [](const RegCache& c) { return c.rts.value_or(0); });
}

Result<void> Client::snapshot(std::uint32_t format, bool mark_seam, std::uint32_t quality) {
  namespace snap = wire::snapshot;
  fxr::Builder b;
  b.push<std::uint32_t>(snap::kFormat, format);
  b.push<std::uint32_t>(snap::kQuality, quality);
  b.push<std::uint32_t>(snap::kMarkSeam, mark_seam ? 1 : 0);
  b.push<std::uint32_t>(snap::kFixed1, snap::kFixed1Value);
  b.push<std::uint32_t>(snap::kFixed2, snap::kFixed2Value);
  return send_record(wire::stream::kSnapshotRequest, std::move(b).into_bytes());
}

Result<SnapshotImagePtr> Client::recv_snapshot_image(std::uint64_t timeout_ms) {
  auto& slot = inner_->snapshots;
  std::unique_lock lock(slot.mutex);
  const WaitEnd end = wait_here(slot.cv, lock, millis_to_nanos(timeout_ms),
                                [&] { return !slot.value.empty() || inner_->closed.load(); });
  if (slot.value.empty()) {
    return fail(end.kind());
  }
  SnapshotImagePtr image = slot.value.pop();
  ClientStats::bump(inner_->stats.snapshots_received);
  return image;
}

ClientStatsSnapshot Client::stats() const {
  ClientStatsSnapshot s = copy_counters(inner_->stats);
  s.conn = connector_->stats_snapshot();
  s.scan_rate_hz = static_cast<double>(inner_->stats.scan_rate.count(monotonic_coarse_ms()));
  s.scan_queue_dropped = inner_->scan_queue->dropped();
  s.scan_queue_depth = inner_->scan_queue->depth();
  return s;
}

std::optional<std::string> Client::last_failure() const { return connector_->stats().last_failure(); }

}  // namespace mok::brelo
