// The live run. Threads: the simulator's (camera server, pose sender), the
// client library's (scan callback), and this file's pose receiver, which
// also asks for the corrections. Shutdown order: the receiver thread ends
// after the tail, then the client, then the simulator.
#include "cell_run.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include <mok/mok.hpp>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/cell/cell.hpp"
#include "sim/simulator.hpp"

namespace celltrack {
namespace {

using camsim::cell::Cell;
using camsim::cell::Scenario;

struct TrackerFree {
  void operator()(mok_tracker_t* t) const { mok_tracker_free(t); }
};
using TrackerPtr = std::unique_ptr<mok_tracker_t, TrackerFree>;

// No poses at all: the seam's offset from where the taught path would show
// in the laser plane, applied to the torch look-ahead / taught speed later.
// A median over ±5 ms keeps spatter out, as any integrator would.
class FixedDelay {
 public:
  explicit FixedDelay(const Scenario& s)
      : delay_ns_(static_cast<std::int64_t>(s.look_ahead_mm() / s.taught_speed_mm_s * 1e9)),
        R_tool_sensor_(s.X_tool_sensor().linear()),
        nominal_sensor_(s.X_tool_sensor().inverse() * Eigen::Vector3d(s.look_ahead_mm(), 0, 0)) {}

  void add(std::int64_t t_rx_ns, double y, double z) {
    const Eigen::Vector3d off =
        R_tool_sensor_ * Eigen::Vector3d(0, y - nominal_sensor_.y(), z - nominal_sensor_.z());
    std::lock_guard lock(mu_);
    offsets_.emplace_back(t_rx_ns, Correction2(off.y(), off.z()));
    while (offsets_.size() > 1 && offsets_.front().first < t_rx_ns - 2 * delay_ns_ - 1'000'000'000)
      offsets_.pop_front();
  }

  std::optional<Correction2> at(std::int64_t t_now_ns) const {
    constexpr std::int64_t kHalfWindowNs = 5'000'000;
    const std::int64_t t = t_now_ns - delay_ns_;
    std::vector<double> ys, zs;
    {
      std::lock_guard lock(mu_);
      for (const auto& [rx, c] : offsets_)
        if (rx >= t - kHalfWindowNs && rx <= t + kHalfWindowNs) {
          ys.push_back(c.x());
          zs.push_back(c.y());
        }
    }
    if (ys.empty()) return std::nullopt;
    const auto median = [](std::vector<double>& v) {
      std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
      return v[v.size() / 2];
    };
    return Correction2(median(ys), median(zs));
  }

 private:
  std::int64_t delay_ns_;
  Eigen::Matrix3d R_tool_sensor_;
  Eigen::Vector3d nominal_sensor_;
  mutable std::mutex mu_;
  std::deque<std::pair<std::int64_t, Correction2>> offsets_;
};

std::vector<PathPoint> sample_path(mok_tracker_t* t) {
  std::vector<PathPoint> out;
  double first = 0, last = 0;
  if (mok_tracker_path_range(t, &first, &last) != MOK_TRACK_OK) return out;
  for (double s = first; s <= last; s += 0.1) {
    double p[3];
    if (mok_tracker_seam_at(t, s, p) == MOK_TRACK_OK) out.push_back({s, Eigen::Vector3d(p[0], p[1], p[2])});
  }
  return out;
}

int open_udp(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

mok_pose_t to_pose(const Eigen::Isometry3d& X) {
  const Eigen::Quaterniond q(X.linear());
  const Eigen::Vector3d p = X.translation();
  return {p.x(), p.y(), p.z(), q.w(), q.x(), q.y(), q.z()};
}

Eigen::Isometry3d from_pose(const mok_pose_t& p) {
  Eigen::Isometry3d X = Eigen::Isometry3d::Identity();
  X.linear() = Eigen::Quaterniond(p.qw, p.qx, p.qy, p.qz).normalized().toRotationMatrix();
  X.translation() = Eigen::Vector3d(p.x_mm, p.y_mm, p.z_mm);
  return X;
}

mok_tracker_config_t tracker_config(const Scenario& s) {
  mok_tracker_config_t c;
  mok_tracker_config_init(&c);
  // One-way stamps cannot tell a path's fixed latency from the clock offset:
  // the integrator states it (the robot's documented minimum delay).
  c.robot_latency_ns = static_cast<std::int64_t>(s.pose_fixed_latency_ms() * 1e6);
  return c;
}

mok::Result<RunRecord, std::string> run_cell(const RunOptions& options) {
  const Scenario& sc = options.scenario;
  auto cell = std::make_shared<const Cell>(sc);
  const mok_pose_t mount = to_pose(options.mount.value_or(sc.X_tool_sensor()));

  mok_tracker_config_t config = tracker_config(sc);
  TrackerPtr ours(mok_tracker_create(&config));
  // The latest-pose shortcut keeps the same path buffer, but each result is
  // mapped with the newest pose received when it arrives: the pose goes in
  // stamped with the result's arrival, and the result's time is its arrival.
  mok_tracker_config_t naive = config;
  naive.poses_carry_robot_clock = 0;
  naive.robot_latency_ns = 0;
  TrackerPtr latest(mok_tracker_create(&naive));
  if (!ours || !latest) return mok::err(std::string("tracker not created"));
  mok_tracker_set_mount(ours.get(), &mount);
  mok_tracker_set_mount(latest.get(), &mount);
  FixedDelay fixed(sc);

  std::uint16_t udp_port = 0;
  const int fd = open_udp(udp_port);
  if (fd < 0) return mok::err(std::string("no UDP socket"));

  camsim::Options so;
  so.port = 0;  // any free port: a run never takes the camera's
  so.scan_rate = sc.camera.scan_rate_hz;
  so.scene.point_count = sc.camera.point_count;
  so.report_interval_s = 1.0;
  so.cell = cell;
  so.cell_poses.port = udp_port;
  so.cell_poses.log_path = options.pose_log;
  camsim::Simulator sim(so);
  auto port = sim.start();
  if (!port) {
    ::close(fd);
    return mok::err("simulator: " + port.error());
  }
  const std::int64_t origin_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(sim.start_time().time_since_epoch()).count();
  const auto true_s = [origin_ns](std::int64_t t_ns) { return static_cast<double>(t_ns - origin_ns) * 1e-9; };

  RunRecord rec;
  std::mutex latest_mu;
  std::optional<mok_pose_t> newest_pose;
  std::atomic<std::uint64_t> results{0};

  mok::Client client = mok::Client::connect("127.0.0.1:" + std::to_string(*port));
  client.on_scan([&](mok::ScanResult r) {
    const std::int64_t rx = mok_track_now_ns();
    ++results;
    mok_tracker_push_result(ours.get(), r.get(), rx);
    const auto seam = r.seam_point();
    if (seam) fixed.add(rx, seam->y, seam->z);
    std::lock_guard lock(latest_mu);
    if (!newest_pose) return;
    mok_tracker_push_pose(latest.get(), &*newest_pose, 0, rx);
    // The result's time a few microseconds before its arrival: inside the
    // pose just pushed, whatever the clock filter's rounding.
    mok_tracker_push_seam(latest.get(), static_cast<std::uint64_t>(rx / 1000 - 5), rx, seam ? 1 : 0,
                          seam ? seam->y : 0, seam ? seam->z : 0, r.seam_width(), r.seam_height(), r.seam_angle());
  });
  client.start();

  // The pose receiver: every datagram goes to the tracker, becomes the
  // shortcut's newest pose, and asks all three for the torch's correction.
  const double end_s = cell->run_s() + options.tail_s;
  std::uint8_t buf[256];
  while (true_s(mok_track_now_ns()) < end_s) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) continue;
    const std::int64_t rx = mok_track_now_ns();
    mok_pose_datagram_t d{};
    if (mok_tracker_push_pose_datagram(ours.get(), buf, static_cast<std::size_t>(n), rx, &d) ==
        MOK_TRACK_ERR_BAD_DATAGRAM)
      continue;
    ++rec.poses;
    {
      std::lock_guard lock(latest_mu);
      newest_pose = d.X_base_tool;
    }
    Query q;
    q.t_pose_s = d.seq / sc.poses.rate_hz;
    q.t_now_s = true_s(rx);
    mok_tracker_correction(ours.get(), nullptr, rx, &q.ours);
    mok_correction_t c{};
    if (mok_tracker_correction(latest.get(), &d.X_base_tool, rx, &c) == MOK_TRACK_OK)
      q.latest_pose = Correction2(c.lateral_mm, c.vertical_mm);
    q.fixed_delay = fixed.at(rx);
    rec.queries.push_back(q);
  }
  ::close(fd);
  mok_correction_t c{};
  rec.status_after_poses_stopped = mok_tracker_correction(ours.get(), nullptr, mok_track_now_ns(), &c);
  client.clear_scan_cb();
  client.stop();
  sim.stop();
  rec.results = results;
  rec.path = sample_path(ours.get());
  rec.latest_pose_path = sample_path(latest.get());
  mok_tracker_get_stats(ours.get(), &rec.stats, sizeof rec.stats);
  return rec;
}

}  // namespace celltrack
