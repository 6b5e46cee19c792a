// One camera on the bus: a libmok client whose scan callback writes the seam
// and seam point at once (a robot acts on them, so they wait for nothing) and
// packs the profile into a bounded queue of PointCloud2 batches, and a
// publishing thread that writes whole batches. A profile write that waits for
// a slow subscriber therefore delays the publishing thread only; seam writes
// never wait (a refused one is counted). When the queue is full new profiles
// are dropped and counted. The profiles writer keeps all unacknowledged
// samples by default, so a reader that falls behind costs timed-out writes,
// which are counted; with keep-last it would lose samples in the DDS history
// instead, unseen by the bridge. Seams are keep-last (see seam_depth).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <mok/mok.h>

#include "dds_io.hpp"
#include "profile_batches.hpp"
#include "track/clock_filter.hpp"
#include "tracking.hpp"

namespace bridge {

struct CameraConfig {
  std::string address;
  std::string ns;        // ROS namespace without leading or trailing '/' ("cell1/left")
  std::string frame_id;  // header frame_id of every message
};

struct PublishOptions {
  WriterQos qos;
  std::uint32_t batch = 0;        // profiles per PointCloud2; 0 chooses from the profile rate
  std::size_t queue = 2048;       // profiles waiting for the publishing thread, at most
  std::int64_t max_wait_ms = 10;  // a started batch goes out after this long at the latest
  std::uint32_t seam_every = 1;   // seam messages for every n-th profile only (1: all)
  // Keep-last: a robot wants the newest seam, not a backlog, and 1,000 covers
  // the round trip of a resend at 10,000 profiles/s (100 ms). A subscriber
  // further behind sees the overwritten ones as a jump in profile_index.
  std::int32_t seam_depth = 1000;  // keep-last depth of the seam writers; 0: keep all

  // Seam writers run on the camera's callback, which must never wait.
  WriterQos seam_qos() const { return {seam_depth, 0}; }
};

// Counters for the health topic; all only grow but the seam ages, which
// cover one report each.
struct CameraCounters {
  std::atomic<std::uint64_t> received{0};        // scan results from the library
  std::atomic<std::uint64_t> queue_dropped{0};   // dropped because the queue was full
  std::atomic<std::uint64_t> published{0};       // profiles written as PointCloud2 rows
  std::atomic<std::uint64_t> messages{0};        // PointCloud2 messages written
  std::atomic<std::uint64_t> seams{0};           // seam messages written
  std::atomic<std::uint64_t> seams_failed{0};    // seam writes refused (they never wait); data lost
  std::atomic<std::uint64_t> write_failed{0};    // writes refused or timed out (slow readers); data lost
  std::atomic<std::uint64_t> missing_points{0};  // points sent as NaN
  // How old seams were once written (stamp to write), since the last health
  // report: the camera-to-host share of a subscriber's seam latency.
  std::atomic<std::uint64_t> seam_age_sum_us{0}, seam_age_count{0}, seam_age_max_us{0};
  // The longest from a burst's first seam write to its send, same period.
  std::atomic<std::uint64_t> seam_write_max_us{0};
};

class Camera {
 public:
  Camera(dds_entity_t participant, CameraConfig config, PublishOptions options);
  // Stops if still running.
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Creates the writers and the client, starts the publishing thread and the
  // connection. False with `error` set when any of that fails.
  bool start(std::string& error);
  // Shutdown order: clear the callbacks (no new results), close the client,
  // write what is still queued, end and join the publishing thread.
  void stop();
  // Writes one DiagnosticArray with the connection state and all counters;
  // called once a second from the owner's thread.
  void publish_health();

  // Hands every result to `tracking` as it arrives; set before start.
  void track_with(Tracking* tracking) { tracking_ = tracking; }

  const CameraConfig& config() const { return config_; }
  const CameraCounters& counters() const { return counters_; }

 private:
  static void on_scan(mok_scan_result_t* result, void* self);
  static void on_state(std::uint32_t state, void* self);
  static void on_burst_end(void* self);
  void handle(const mok_scan_result_t* result);
  void flush_seams();
  void run();
  void write_profiles(const Batch& batch);
  void publish_seam(const mok_scan_result_t* r, std::uint32_t index, std::int64_t stamp_ns);

  dds_entity_t participant_;
  CameraConfig config_;
  PublishOptions options_;
  Entity profiles_, seam_point_, seam_, health_;
  std::unique_ptr<WriterLosses> profiles_lost_, seams_lost_;  // health thread only
  mok_client_t* client_ = nullptr;
  CameraCounters counters_;
  std::atomic<std::uint32_t> state_{MOK_STATE_IDLE};
  std::atomic<std::uint32_t> batch_{1};
  std::atomic<std::int64_t> clock_offset_ns_{0};
  std::atomic<std::uint64_t> clock_resyncs_{0};
  std::uint64_t last_dropped_ = 0;  // health thread only

  // The scan callback's own (one call at a time per client).
  mok::track::ClockFilter clock_;
  std::uint32_t index_ = 0;  // position in the camera's stream since the bridge started
  std::int64_t rate_start_ns_ = 0;
  std::uint32_t rate_count_ = 0;
  bool seams_pending_ = false;       // written since the last flush
  std::int64_t burst_start_ns_ = 0;  // the first pending seam's write

  std::mutex mutex_;
  std::condition_variable wake_;
  BatchQueue batches_;  // under mutex_
  bool idle_ = false;   // under mutex_: the publishing thread waits with no deadline
  bool stopping_ = false;
  std::thread thread_;
  Tracking* tracking_ = nullptr;  // outlives the camera
};

}  // namespace bridge
