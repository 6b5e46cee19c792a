// Seam tracking in the bridge: robot tool poses come in on a PoseStamped
// topic, the camera's results from its scan callback, and for every pose
// the torch's correction and the seam point at the torch go out. The
// tracking itself is the library's tracker; this file only moves messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <mok/mok_track.hpp>

#include "dds_io.hpp"

namespace bridge {

struct TrackingConfig {
  std::string mount_file;  // empty: no tracking
  std::string pose_topic;  // ROS topic of geometry_msgs/PoseStamped (metres), X_base_tool
  std::string base_frame = "base";
};

class Tracking {
 public:
  Tracking() = default;
  Tracking(const Tracking&) = delete;
  Tracking& operator=(const Tracking&) = delete;

  // Reads the mounting file, then creates the writers under `ns` and the
  // pose reader. False with `error` set when any of that fails.
  bool start(dds_entity_t participant, const std::string& ns, const TrackingConfig& config, const WriterQos& qos,
             std::string& error);
  // The camera's scan callback: one scan result and its host receive time
  // (wall clock).
  void on_result(const mok_scan_result_t* result, std::int64_t rx_ns) {
    mok_tracker_push_result(tracker_.get(), result, rx_ns);
  }
  std::uint64_t corrections() const { return corrections_.load(std::memory_order_relaxed); }
  mok::TrackerStats stats() const { return tracker_.stats(); }

 private:
  static void on_poses(dds_entity_t reader, void* self);  // a DDS listener thread
  void publish(std::int64_t now_ns);

  // Poses are stamped by the robot on its clock; results and poses are
  // received on the host's wall clock, the bridge's time base everywhere.
  mok::Tracker tracker_;
  std::string base_frame_;
  std::atomic<std::uint64_t> corrections_{0};
  Entity correction_, seam_base_;
  // Stored once the writers exist, before the pose reader is created, and
  // loaded by its listener on DDS's thread: the hand-over to that thread
  // happens inside DDS, and this makes the writers visible to it explicitly.
  std::atomic<bool> ready_{false};
  // Last: deleted first, so no listener call outlives the writers.
  Entity poses_;
};

}  // namespace bridge
