// The per-camera pipeline: library callback -> seam writers at once, profile
// rows -> bounded batch queue -> publishing thread -> profiles writer (see
// camera.hpp for why the queue sits in between).
#include "camera.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "profile_rows.hpp"
#include "ros2_types.h"

namespace bridge {
namespace {

using Clock = std::chrono::steady_clock;

std::int64_t wall_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

builtin_interfaces_msg_dds__Time_ to_time(std::int64_t ns) {
  std::int64_t sec = ns / 1'000'000'000;
  std::int64_t rem = ns % 1'000'000'000;
  if (rem < 0) {
    rem += 1'000'000'000;
    --sec;
  }
  return {static_cast<std::int32_t>(sec), static_cast<std::uint32_t>(rem)};
}

// The generated structs hold `char*`; DDS only reads them while writing.
char* text(const std::string& s) { return const_cast<char*>(s.c_str()); }

geometry_msgs_msg_dds__Point_ to_point(const mok_scan_point_t& p) { return {p.x, p.y, p.z}; }

// Only the callback thread raises it; the health thread resets it.
void raise_to(std::atomic<std::uint64_t>& max, std::uint64_t v) {
  if (v > max.load(std::memory_order_relaxed)) max.store(v, std::memory_order_relaxed);
}

const char* state_name(std::uint32_t state) {
  switch (state) {
    case MOK_STATE_CONNECTED:
      return "connected";
    case MOK_STATE_CONNECT_FAILED:
      return "connect failed";
    case MOK_STATE_CONNECT_TIMEOUT:
      return "connect timed out";
    case MOK_STATE_DISCONNECTED:
      return "disconnected";
    case MOK_STATE_SHUTTING_DOWN:
      return "shutting down";
    case MOK_STATE_TERMINATED:
      return "terminated";
    case MOK_STATE_RECONNECTING:
      return "reconnecting";
    default:
      return "not connected yet";
  }
}

}  // namespace

Camera::Camera(dds_entity_t participant, CameraConfig config, PublishOptions options)
    : participant_(participant), config_(std::move(config)), options_(options), batches_(options_.queue) {
  if (options_.batch > 0) batch_ = options_.batch;
}

Camera::~Camera() { stop(); }

bool Camera::start(std::string& error) {
  const std::string base = "rt/" + config_.ns + "/";
  profiles_ =
      create_writer(participant_, base + "profiles", &sensor_msgs_msg_dds__PointCloud2__desc, options_.qos, error);
  const WriterQos seam_qos = options_.seam_qos();
  if (profiles_) {
    seam_point_ = create_writer(participant_, base + "seam_point", &geometry_msgs_msg_dds__PointStamped__desc,
                                seam_qos, error);
  }
  if (seam_point_) {
    seam_ = create_writer(participant_, base + "seam", &mok_interfaces_msg_dds__Seam__desc, seam_qos, error);
  }
  if (seam_) {
    // Only the newest report matters, and a slow reader must not hold it up.
    health_ = create_writer(participant_, base + "diagnostics", &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                            {10, 0}, error);
  }
  if (!health_) return false;
  profiles_lost_ = std::make_unique<WriterLosses>(profiles_.get());
  seams_lost_ = std::make_unique<WriterLosses>(seam_.get());

  client_ = mok_connect(config_.address.c_str());
  if (!client_) {
    error = "camera address rejected or not resolved: " + config_.address;
    return false;
  }
  thread_ = std::thread([this] { run(); });
  mok_set_state_cb(client_, &Camera::on_state, this);
  mok_set_scan_cb(client_, &Camera::on_scan, this);
  mok_set_scan_burst_end_cb(client_, &Camera::on_burst_end, this);
  if (mok_start(client_) != MOK_OK) {
    error = "cannot start the connection to " + config_.address;
    return false;
  }
  return true;
}

void Camera::stop() {
  if (client_) {
    mok_clear_scan_cb(client_);
    mok_set_scan_burst_end_cb(client_, nullptr, nullptr);
    flush_seams();  // no callback runs any more
    mok_clear_state_cb(client_);
    mok_close(client_);
    client_ = nullptr;
  }
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Camera::on_scan(mok_scan_result_t* result, void* self) {
  static_cast<Camera*>(self)->handle(result);
  mok_scan_result_free(result);  // at once: the library decodes the next result into the same record
}

void Camera::on_state(std::uint32_t state, void* self) { static_cast<Camera*>(self)->state_ = state; }

// Seams written while a burst of results is handed out share datagrams and
// leave together when it ends: one send per burst, not two per result, and
// none waits for a later result.
void Camera::on_burst_end(void* self) { static_cast<Camera*>(self)->flush_seams(); }

void Camera::flush_seams() {
  if (!std::exchange(seams_pending_, false)) return;
  dds_write_flush(seam_.get());
  dds_write_flush(seam_point_.get());
  raise_to(counters_.seam_write_max_us, static_cast<std::uint64_t>(steady_ns() - burst_start_ns_) / 1000);
}

void Camera::handle(const mok_scan_result_t* r) {
  const std::int64_t rx_ns = wall_ns();
  const std::uint32_t index = index_++;
  counters_.received.fetch_add(1, std::memory_order_relaxed);
  const std::int64_t stamp = clock_.map(mok_scan_result_pts(r), rx_ns);
  clock_offset_ns_.store(clock_.offset_ns(), std::memory_order_relaxed);
  clock_resyncs_.store(clock_.resyncs(), std::memory_order_relaxed);
  if (options_.seam_every <= 1 || index % options_.seam_every == 0) publish_seam(r, index, stamp);
  if (tracking_) tracking_->on_result(r, rx_ns);

  // Profiles per second over windows of at least 100 ms, so the batch size
  // follows a change of rate within a fraction of a second.
  if (rate_count_++ == 0) rate_start_ns_ = rx_ns;
  if (options_.batch == 0 && rx_ns - rate_start_ns_ >= 100'000'000) {
    batch_.store(
        auto_batch(static_cast<double>(rate_count_ - 1) * 1e9 / static_cast<double>(rx_ns - rate_start_ns_)),
        std::memory_order_relaxed);
    rate_count_ = 0;
  }

  std::uint32_t missing = 0;
  BatchQueue::Added added;
  bool wake;
  {
    const std::lock_guard lock(mutex_);
    added = batches_.add(mok_scan_result_points(r), mok_scan_result_point_count(r), index, stamp, steady_ns(),
                         batch_.load(std::memory_order_relaxed), missing);
    // The publishing thread is woken once per batch, when it closes; while
    // profiles flow it checks for a newly opened batch's deadline by itself
    // (see run), and only an idle one needs the opening to wake it.
    wake = added == BatchQueue::Added::kClosed || (added == BatchQueue::Added::kOpened && idle_);
  }
  if (wake) wake_.notify_one();
  if (added == BatchQueue::Added::kDropped) {
    counters_.queue_dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (missing) counters_.missing_points.fetch_add(missing, std::memory_order_relaxed);
}

void Camera::run() {
  const std::int64_t max_wait_ns = options_.max_wait_ms * 1'000'000;
  // Without a batch for this long the thread sleeps until one opens.
  constexpr std::int64_t kIdleAfterNs = 1'000'000'000;
  const auto at = [](std::int64_t ns) { return Clock::time_point(std::chrono::nanoseconds(ns)); };
  Batch batch;
  std::int64_t last_taken_ns = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    const std::int64_t now = steady_ns();
    const bool overdue = batches_.has_open() && now - batches_.open_since_ns() >= max_wait_ns;
    if (!batches_.take(batch, overdue || stopping_)) {
      if (stopping_) break;
      if (batches_.has_open()) {
        wake_.wait_until(lock, at(batches_.open_since_ns() + max_wait_ns));
      } else if (now - last_taken_ns < kIdleAfterNs) {
        // A batch opened from now on is due no earlier than this wake-up,
        // so the callback need not wake us for it: one wake-up per batch.
        wake_.wait_until(lock, at(now + max_wait_ns));
      } else {
        idle_ = true;
        wake_.wait(lock);
        idle_ = false;
      }
      continue;
    }
    last_taken_ns = now;
    lock.unlock();
    write_profiles(batch);
    lock.lock();
  }
}

void Camera::write_profiles(const Batch& batch) {
  sensor_msgs_msg_dds__PointField_ fields[3] = {
      {const_cast<char*>("y"), 0, kFloat32, 1},
      {const_cast<char*>("z"), 4, kFloat32, 1},
      {const_cast<char*>("index"), 8, kUint32, 1},
  };
  sensor_msgs_msg_dds__PointCloud2_ m{};
  m.header.stamp = to_time(batch.stamp_ns);
  m.header.frame_id = text(config_.frame_id);
  m.height = batch.rows;
  m.width = batch.width;
  m.fields._buffer = fields;
  m.fields._length = m.fields._maximum = 3;
  m.is_bigendian = false;
  m.point_step = kPointStep;
  m.row_step = kPointStep * batch.width;
  m.data._buffer = batch.data.get();
  m.data._length = m.data._maximum = static_cast<std::uint32_t>(batch.bytes());
  m.is_dense = false;
  // DDS serializes the rows once, straight from the batch's buffer.
  if (write_now(profiles_.get(), &m) < 0) {
    counters_.write_failed.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  counters_.published.fetch_add(batch.rows, std::memory_order_relaxed);
  counters_.messages.fetch_add(1, std::memory_order_relaxed);
}

void Camera::publish_seam(const mok_scan_result_t* r, std::uint32_t index, std::int64_t stamp_ns) {
  const bool found = mok_scan_result_seam_found(r);
  mok_interfaces_msg_dds__Seam_ m{};
  m.header.stamp = to_time(stamp_ns);
  m.header.frame_id = text(config_.frame_id);
  m.profile_index = index;
  m.found = found;
  m.seam_point_index = mok_scan_result_seam_point_idx(r);
  m.width = mok_scan_result_seam_width(r);
  m.height = mok_scan_result_seam_height(r);
  m.angle = mok_scan_result_seam_angle(r);
  const mok_scan_point_t* sp = mok_scan_result_seam_points(r);
  for (int k = 0; k < MOK_SEAM_POINT_COUNT; ++k) m.seam_points[k] = to_point(sp[k]);
  // Absent segments are all zero; only the present ones are sent.
  mok_interfaces_msg_dds__Segment_ segs[MOK_SEGMENT_COUNT];
  std::uint32_t n = 0;
  static const mok_segment_t kAbsent{};
  const mok_segment_t* s = mok_scan_result_segments(r);
  for (int k = 0; k < MOK_SEGMENT_COUNT; ++k) {
    if (std::memcmp(&s[k], &kAbsent, sizeof kAbsent) == 0) continue;
    segs[n++] = {s[k].type, s[k].value, to_point(s[k].a), to_point(s[k].b), to_point(s[k].c)};
  }
  m.segments._buffer = segs;
  m.segments._length = m.segments._maximum = n;
  if (!seams_pending_) burst_start_ns_ = steady_ns();
  seams_pending_ = true;  // flushed when the burst ends (its time measured there)
  dds_return_t rc = dds_write(seam_.get(), &m);

  mok_scan_point_t p;
  if (rc >= 0 && found && mok_scan_result_seam_point(r, &p) == MOK_OK) {
    geometry_msgs_msg_dds__PointStamped_ ps{};
    ps.header = m.header;
    ps.point = to_point(p);
    rc = dds_write(seam_point_.get(), &ps);
  }
  if (rc < 0) {
    counters_.seams_failed.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  counters_.seams.fetch_add(1, std::memory_order_relaxed);
  const auto age_us = static_cast<std::uint64_t>(std::max<std::int64_t>(0, wall_ns() - stamp_ns) / 1000);
  counters_.seam_age_sum_us.fetch_add(age_us, std::memory_order_relaxed);
  counters_.seam_age_count.fetch_add(1, std::memory_order_relaxed);
  raise_to(counters_.seam_age_max_us, age_us);
}

void Camera::publish_health() {
  mok_stats_t st{};
  mok_get_stats(client_, &st, sizeof st);
  const std::uint32_t state = state_.load();
  const std::uint64_t history_lost = profiles_lost_->lost();
  const std::uint64_t seams_history_lost = seams_lost_->lost();
  const std::uint64_t dropped = counters_.queue_dropped.load() + counters_.write_failed.load() +
                                counters_.seams_failed.load() + history_lost + seams_history_lost;

  // Reset at each report, so it covers (about) its own period.
  const std::uint64_t age_n = counters_.seam_age_count.exchange(0);
  const std::uint64_t age_sum = counters_.seam_age_sum_us.exchange(0);
  const std::uint64_t age_max = counters_.seam_age_max_us.exchange(0);
  const std::uint64_t write_max = counters_.seam_write_max_us.exchange(0);

  const std::pair<const char*, std::string> values[] = {
      {"address", config_.address},
      {"state", state_name(state)},
      {"profile_rate_hz", std::to_string(st.scan_rate_hz)},
      {"profiles_per_message", std::to_string(batch_.load())},
      {"profiles_received", std::to_string(counters_.received.load())},
      {"profiles_published", std::to_string(counters_.published.load())},
      {"messages_published", std::to_string(counters_.messages.load())},
      {"seams_published", std::to_string(counters_.seams.load())},
      {"queue_dropped", std::to_string(counters_.queue_dropped.load())},
      {"write_failed", std::to_string(counters_.write_failed.load())},
      {"seams_failed", std::to_string(counters_.seams_failed.load())},
      {"profile_messages_lost_in_history", std::to_string(history_lost)},
      {"seams_lost_in_history", std::to_string(seams_history_lost)},
      {"missing_points", std::to_string(counters_.missing_points.load())},
      {"seam_age_mean_us", std::to_string(age_n ? age_sum / age_n : 0)},
      {"seam_age_max_us", std::to_string(age_max)},
      {"seam_write_max_us", std::to_string(write_max)},
      {"clock_offset_ns", std::to_string(clock_offset_ns_.load())},
      {"clock_resyncs", std::to_string(clock_resyncs_.load())},
      {"connect_attempts", std::to_string(st.connect_attempts)},
      {"connections_established", std::to_string(st.connections_established)},
      {"disconnects_remote_close", std::to_string(st.disconnects_remote_close)},
      {"disconnects_inactivity", std::to_string(st.disconnects_inactivity)},
      {"disconnects_decode_error", std::to_string(st.disconnects_decode_error)},
      {"disconnects_write_failure", std::to_string(st.disconnects_write_failure)},
      {"bytes_received", std::to_string(st.bytes_received)},
      {"packets_received", std::to_string(st.packets_received)},
      {"scan_results", std::to_string(st.scan_results)},
      {"scan_results_rejected", std::to_string(st.scan_results_rejected)},
      {"ignored_packets", std::to_string(st.ignored_packets)},
  };
  diagnostic_msgs_msg_dds__KeyValue_ kv[std::size(values)];
  for (std::size_t i = 0; i < std::size(values); ++i) {
    kv[i] = {const_cast<char*>(values[i].first), text(values[i].second)};
  }
  const std::string name = "mok-bridge: " + config_.ns;
  std::string message = state_name(state);
  std::uint8_t level = state == MOK_STATE_CONNECTED ? 0 : 2;  // OK, ERROR
  if (level == 0 && dropped != last_dropped_) {
    level = 1;  // WARN: profiles were lost since the last report
    message += ", data lost for slow subscribers";
  }
  last_dropped_ = dropped;
  diagnostic_msgs_msg_dds__DiagnosticStatus_ status{};
  status.level = level;
  status.name = text(name);
  status.message = text(message);
  status.hardware_id = text(config_.address);
  status.values._buffer = kv;
  status.values._length = status.values._maximum = static_cast<std::uint32_t>(std::size(values));
  diagnostic_msgs_msg_dds__DiagnosticArray_ m{};
  m.header.stamp = to_time(wall_ns());
  m.header.frame_id = text(config_.frame_id);
  m.status._buffer = &status;
  m.status._length = m.status._maximum = 1;
  write_now(health_.get(), &m);
}

}  // namespace bridge
