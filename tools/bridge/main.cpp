// mok-bridge: publishes one or more cameras onto DDS as ROS 2 topics. Parses
// the command line, creates the DDS participant and one Camera per camera,
// and writes health once a period until SIGINT or SIGTERM.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <malloc.h>
#include <signal.h>

#include "camera.hpp"
#include "camera_list.hpp"
#include "dds_io.hpp"

namespace {

struct Args {
  std::vector<std::string> addresses;
  std::string camera_file;
  std::string ns = "mok";
  std::string frame_id;
  std::uint32_t domain = 0;
  std::string dds_config;
  double health_period_s = 1.0;
  double duration_s = 0;
  bridge::PublishOptions publish;
  bridge::TrackingConfig tracking;
};

bool load_cameras(const Args& a, std::vector<bridge::CameraConfig>& cams, std::string& error) {
  if (!a.camera_file.empty()) {
    if (!a.addresses.empty()) {
      error = "give cameras either as addresses or with --cameras, not both";
      return false;
    }
    std::ifstream in(a.camera_file);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
      error = "cannot read " + a.camera_file;
      return false;
    }
    if (!bridge::cameras_from_file_text(text.str(), cams, error)) {
      error = a.camera_file + ": " + error;
      return false;
    }
  } else if (!bridge::cameras_from_addresses(a.addresses, a.ns, cams, error)) {
    return false;
  }
  if (cams.empty()) {
    error = "no camera given (ADDR... or --cameras FILE)";
    return false;
  }
  if (!a.tracking.mount_file.empty() && (cams.size() != 1 || a.tracking.pose_topic.empty())) {
    error = "--mount tracks a single camera and needs --pose-topic";
    return false;
  }
  if (!a.frame_id.empty()) {
    if (cams.size() != 1) {
      error = "--frame-id applies to a single camera; give frame ids in the camera file";
      return false;
    }
    cams[0].frame_id = a.frame_id;
  }
  return true;
}

int serve(const Args& a, const std::vector<bridge::CameraConfig>& cams, const sigset_t& stop_signals) {
  bridge::Entity participant(dds_create_participant(a.domain, nullptr, nullptr));
  if (!participant) {
    std::fprintf(stderr, "mok-bridge: cannot join DDS domain %u (check CYCLONEDDS_URI)\n", a.domain);
    return 1;
  }
  // Once the domain exists and before any writer: every writer holds its
  // samples until flushed. Each write site flushes at once, except the
  // seams, which go when a burst of results ends.
  dds_write_set_batch(true);
  // Before the cameras, so it outlives them (they hand it results).
  std::unique_ptr<bridge::Tracking> tracking;
  if (!a.tracking.mount_file.empty()) {
    tracking = std::make_unique<bridge::Tracking>();
    std::string error;
    if (!tracking->start(participant.get(), cams[0].ns, a.tracking, a.publish.seam_qos(), error)) {
      std::fprintf(stderr, "mok-bridge: %s\n", error.c_str());
      return 1;
    }
  }
  std::vector<std::unique_ptr<bridge::Camera>> cameras;
  for (const bridge::CameraConfig& c : cams) {
    cameras.push_back(std::make_unique<bridge::Camera>(participant.get(), c, a.publish));
    cameras.back()->track_with(tracking.get());
    std::string error;
    if (!cameras.back()->start(error)) {
      std::fprintf(stderr, "mok-bridge: %s\n", error.c_str());
      return 1;
    }
    std::printf("publishing %s on /%s (domain %u)\n", c.address.c_str(), c.ns.c_str(), a.domain);
  }
  std::fflush(stdout);

  timespec period{};
  period.tv_sec = static_cast<time_t>(a.health_period_s);
  period.tv_nsec = static_cast<long>((a.health_period_s - static_cast<double>(period.tv_sec)) * 1e9);
  timespec started{};
  clock_gettime(CLOCK_MONOTONIC, &started);
  for (;;) {
    if (sigtimedwait(&stop_signals, nullptr, &period) > 0) break;
    for (const auto& cam : cameras) cam->publish_health();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (a.duration_s > 0 && static_cast<double>(now.tv_sec - started.tv_sec) >= a.duration_s) break;
  }
  // Cameras first (their threads write through the participant), then the
  // tracking (its pose listener ends with its reader), then the participant.
  cameras.clear();
  tracking.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  CLI::App app{
      "Publishes cameras onto DDS as ROS 2 topics: <ns>/profiles (sensor_msgs/PointCloud2), "
      "<ns>/seam_point (geometry_msgs/PointStamped), <ns>/seam (mok_interfaces/Seam) and "
      "<ns>/diagnostics (diagnostic_msgs/DiagnosticArray, once a period); with --mount also the "
      "torch's correction.",
      "mok-bridge"};
  app.add_option("ADDR", a.addresses, "Camera addresses (host, host:port); several get NS/cam0, NS/cam1, ...");
  app.add_option("--cameras", a.camera_file,
                 "File with one camera per line: ADDRESS NAMESPACE [FRAME_ID] ('#' comments)")
      ->check(CLI::ExistingFile);
  app.add_option("--namespace,-n", a.ns, "ROS namespace of the camera's topics")->capture_default_str();
  app.add_option("--frame-id", a.frame_id, "Header frame_id (one camera; default: the namespace, '/' -> '_')");
  app.add_option("--domain,-d", a.domain, "DDS domain id (ROS_DOMAIN_ID)")
      ->capture_default_str()
      ->check(CLI::Range(0, 232));
  app.add_option("--dds-config", a.dds_config,
                 "Cyclone DDS configuration file (else CYCLONEDDS_URI as set in the environment)")
      ->check(CLI::ExistingFile);
  app.add_option("--depth", a.publish.qos.depth,
                 "Keep-last history depth of the profiles writer; 0 keeps every sample until all reliable "
                 "subscribers have it (bounded by the DDS configuration's writer watermarks)")
      ->capture_default_str()
      ->check(CLI::Range(0, 100000));
  app.add_option("--seam-depth", a.publish.seam_depth,
                 "Keep-last history depth of the seam, seam point and tracking writers; 0 keeps all (a write "
                 "that finds the history full is refused and counted, and a slow subscriber gets old seams)")
      ->capture_default_str()
      ->check(CLI::Range(0, 100000));
  app.add_option("--batch", a.publish.batch,
                 "Profiles per PointCloud2 message; 0 chooses from the profile rate (100-200 messages/s)")
      ->capture_default_str()
      ->check(CLI::Range(0, 10000));
  app.add_option("--max-batch-wait-ms", a.publish.max_wait_ms,
                 "A started message goes out after this long at the latest")
      ->capture_default_str()
      ->check(CLI::Range(1, 10000));
  app.add_option("--queue", a.publish.queue,
                 "Profiles waiting to be published, per camera; beyond it new ones are dropped and counted")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000000));
  app.add_option("--seam-every", a.publish.seam_every,
                 "Seam and seam point messages for every n-th profile only (1: every profile)")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000000));
  app.add_option("--max-block-ms", a.publish.qos.max_block_ms,
                 "How long a profiles write may wait for slow reliable subscribers before the message is dropped "
                 "(seam writes never wait)")
      ->capture_default_str()
      ->check(CLI::Range(0, 60000));
  app.add_option("--mount", a.tracking.mount_file,
                 "Track the seam with this mounting file (X_tool_sensor, JSON): publishes <ns>/correction "
                 "(mok_interfaces/Correction) and <ns>/seam_base (geometry_msgs/PointStamped, mm) per pose")
      ->check(CLI::ExistingFile);
  app.add_option("--pose-topic", a.tracking.pose_topic,
                 "Topic of the tool's pose in the base frame (geometry_msgs/PoseStamped, metres), with --mount");
  app.add_option("--base-frame", a.tracking.base_frame, "frame_id of what tracking publishes")
      ->capture_default_str();
  app.add_option("--health-period", a.health_period_s, "Seconds between diagnostics messages")
      ->capture_default_str()
      ->check(CLI::Range(0.01, 3600.0));
  app.add_option("--duration", a.duration_s,
                 "Exit by itself after this many seconds (0: run until SIGINT/SIGTERM)")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  std::vector<bridge::CameraConfig> cams;
  std::string error;
  if (!load_cameras(a, cams, error)) {
    std::fprintf(stderr, "mok-bridge: %s\n", error.c_str());
    return 2;
  }
  if (!a.dds_config.empty()) setenv("CYCLONEDDS_URI", ("file://" + a.dds_config).c_str(), 1);
  // DDS allocates and frees a serialized copy of every message (tens to
  // hundreds of kB) on each publishing thread. With glibc's adaptive
  // thresholds the per-thread heaps give those pages back and fault them in
  // again message after message; the bridge keeps them instead.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);

  // Block the stop signals before any thread starts, so only sigtimedwait sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  return serve(a, cams, stop_signals);
}
