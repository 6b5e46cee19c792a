// One camera on the bus: a libmok client whose scan callback only stamps each
// result and puts it into a bounded queue, and a publishing thread that turns
// the queue into profiles, seam and seam point messages. A DDS write that
// waits for a slow subscriber therefore delays the publishing thread only,
// never the camera connection; when the queue is full new results are dropped
// and counted. With keep-last writers a reader that falls behind mostly loses
// samples in the DDS history instead, which the health topic reports too.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <mok/mok.h>

#include "dds_io.hpp"
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
};

// Counters for the health topic; all only grow.
struct CameraCounters {
  std::atomic<std::uint64_t> received{0};        // scan results from the library
  std::atomic<std::uint64_t> queue_dropped{0};   // dropped because the queue was full
  std::atomic<std::uint64_t> published{0};       // profiles written as PointCloud2 rows
  std::atomic<std::uint64_t> messages{0};        // PointCloud2 messages written
  std::atomic<std::uint64_t> seams{0};           // seam messages written
  std::atomic<std::uint64_t> write_failed{0};    // writes refused or timed out (slow readers); data lost
  std::atomic<std::uint64_t> missing_points{0};  // points sent as NaN
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
  // end and join the publishing thread, free what is still queued.
  void stop();
  // Writes one DiagnosticArray with the connection state and all counters;
  // called once a second from the owner's thread.
  void publish_health();

  // Hands every result to `tracking` as it is published; set before start.
  void track_with(Tracking* tracking) { tracking_ = tracking; }

  const CameraConfig& config() const { return config_; }
  const CameraCounters& counters() const { return counters_; }

 private:
  struct Item {
    mok_scan_result_t* result;
    std::int64_t rx_ns;   // host wall clock when the callback ran
    std::uint32_t index;  // position in the camera's stream since the bridge started
  };
  class Batch;

  static void on_scan(mok_scan_result_t* result, void* self);
  static void on_state(std::uint32_t state, void* self);
  void run();
  void publish_seam(const Item& item, std::int64_t stamp_ns);

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

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  bool stopping_ = false;
  std::thread thread_;
  mok::track::ClockFilter clock_;  // publishing thread only
  Tracking* tracking_ = nullptr;   // outlives the camera
};

}  // namespace bridge
