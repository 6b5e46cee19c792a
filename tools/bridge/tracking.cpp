// The bridge's tracking: poses from DDS into the library's tracker, and the
// correction and the seam point at the torch back out (see tracking.hpp).
#include "tracking.hpp"

#include <chrono>
#include <memory>

#include "ros2_types.h"

namespace bridge {
namespace {

std::int64_t wall_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

builtin_interfaces_msg_dds__Time_ ros_time(std::int64_t ns) {
  const std::int64_t sec = ns / 1'000'000'000 - (ns % 1'000'000'000 < 0 ? 1 : 0);
  return {static_cast<std::int32_t>(sec), static_cast<std::uint32_t>(ns - sec * 1'000'000'000)};
}

}  // namespace

bool Tracking::start(dds_entity_t participant, const std::string& ns, const TrackingConfig& config,
                     const WriterQos& qos, std::string& error) {
  try {
    tracker_.set_mount(mok::load_mount(config.mount_file));
  } catch (const mok::Error& e) {
    error = e.what();
    return false;
  }
  base_frame_ = config.base_frame;
  const std::string base = "rt/" + ns + "/";
  correction_ =
      create_writer(participant, base + "correction", &mok_interfaces_msg_dds__Correction__desc, qos, error);
  if (!correction_) return false;
  seam_base_ =
      create_writer(participant, base + "seam_base", &geometry_msgs_msg_dds__PointStamped__desc, qos, error);
  if (!seam_base_) return false;
  const std::unique_ptr<dds_listener_t, void (*)(dds_listener_t*)> listener(dds_create_listener(this),
                                                                            dds_delete_listener);
  dds_lset_data_available(listener.get(), &Tracking::on_poses);
  const std::string topic = config.pose_topic.rfind('/', 0) == 0 ? config.pose_topic.substr(1) : config.pose_topic;
  ready_.store(true, std::memory_order_release);
  poses_ = create_reader(participant, "rt/" + topic, &geometry_msgs_msg_dds__PoseStamped__desc, 64, listener.get(),
                         error);
  return static_cast<bool>(poses_);
}

void Tracking::on_poses(dds_entity_t reader, void* self) {
  auto& t = *static_cast<Tracking*>(self);
  if (!t.ready_.load(std::memory_order_acquire)) return;
  const std::int64_t rx = wall_now_ns();
  // Everything waiting: the listener is not called again for samples that
  // were already there.
  for (;;) {
    void* samples[64] = {};
    dds_sample_info_t infos[64];
    const dds_return_t n = dds_take(reader, samples, infos, 64, 64);
    if (n <= 0) break;
    for (dds_return_t i = 0; i < n; ++i) {
      if (!infos[i].valid_data) continue;
      const auto& m = *static_cast<const geometry_msgs_msg_dds__PoseStamped_*>(samples[i]);
      // ROS poses are in metres; the tracker works in millimetres.
      const mok::Pose X_base_tool{1000 * m.pose.position.x, 1000 * m.pose.position.y, 1000 * m.pose.position.z,
                                  m.pose.orientation.w,     m.pose.orientation.x,     m.pose.orientation.y,
                                  m.pose.orientation.z};
      const std::int64_t t_robot_us =
          static_cast<std::int64_t>(m.header.stamp.sec) * 1'000'000 + m.header.stamp.nanosec / 1000;
      t.tracker_.push_pose(X_base_tool, t_robot_us, rx);  // refusals are counted by the tracker
    }
    dds_return_loan(reader, samples, n);
    if (n < 64) break;
  }
  t.publish(rx);
}

void Tracking::publish(std::int64_t now_ns) {
  const mok::Correction c = tracker_.correction(now_ns);
  mok_interfaces_msg_dds__Correction_ m{};
  m.header.stamp = ros_time(c.t_pose_ns);
  m.header.frame_id = const_cast<char*>(base_frame_.c_str());  // only read while writing
  m.status = c.status;
  m.torch_distance_mm = c.torch_distance_mm;
  m.scanned_to_mm = c.scanned_to_mm;
  m.seam_base_mm = {c.seam_base_mm[0], c.seam_base_mm[1], c.seam_base_mm[2]};
  m.offset_base_mm = {c.base_mm[0], c.base_mm[1], c.base_mm[2]};
  m.lateral_mm = c.lateral_mm;
  m.vertical_mm = c.vertical_mm;
  if (write_now(correction_.get(), &m) >= 0) corrections_.fetch_add(1, std::memory_order_relaxed);
  if (c.status != MOK_TRACK_OK) return;
  geometry_msgs_msg_dds__PointStamped_ p{};
  p.header = m.header;
  p.point = m.seam_base_mm;
  write_now(seam_base_.get(), &p);
}

}  // namespace bridge
