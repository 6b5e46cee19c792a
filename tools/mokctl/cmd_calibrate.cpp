// mokctl calibrate sphere|plane: the sensor's mounting on the tool
// (X_tool_sensor) from views of a sphere of known radius, or of flat plates
// (the cross-check's target). The robot holds still at each of
// its calibration poses (the pose stream's "holding still" flag); the
// profiles received while it holds are that pose's view. At the end (the
// robot's stream stops, --count poses, --seconds, or Ctrl-C) the calibration
// library solves, and the mounting file is written with how well it is known.
// Offline, a recording and a pose log taken together stand in for the camera
// and the robot; both are put on one time line by the wall clock.
//
// Threads: the library's scan callback and the pose receiver feed the
// capture; the command's own thread waits for the end and solves.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include <mok/mok_track.h>

#include "commands.hpp"
#include "common/wire.hpp"
#include "hold_alignment.hpp"
#include "mok_calib/mount_file.hpp"
#include "mok_calib/solve.hpp"
#include "output_files.hpp"
#include "packet_recorder.hpp"
#include "pose_receiver.hpp"
#include "recording_player.hpp"
#include "session.hpp"
#include "signals.hpp"

namespace mokctl {
namespace {

namespace calib = mok::calib;

struct CalibrateArgs {
  std::string method;  // "sphere" or "plane"
  std::string address, poses, drawing, out, pose_log, record, recording, compare;
  std::vector<std::size_t> plane_poses;  // consecutive holds per plate; empty: one plate
  std::optional<double> pose_offset_ms;
  double radius_mm = 0;
  double seconds = 0;
  std::size_t count = 0;
  double guard_ms = 80;
  std::size_t profiles_per_pose = 5;
  double pose_sigma_mm = 0, pose_sigma_deg = 0;
  double target_sigma_mm = 0, target_sigma_deg = 0;
};

// The robot's stream has ended when no pose came for this long after a hold.
constexpr auto kStreamEnded = std::chrono::milliseconds(2000);
// Profiles waiting for their hold to end, at most (the oldest go first).
constexpr std::size_t kMaxWaiting = 4096;

// Collects one view per hold. A hold runs from the first pose flagged
// "holding still" to the first one that is not (or that stands elsewhere);
// since both streams arrive with some latency, the profiles received within
// `guard` of either end are left out.
class HoldCapture {
 public:
  HoldCapture(std::int64_t guard_ns, std::size_t per_view) : guard_ns_(guard_ns), per_view_(per_view) {}

  void on_pose(const mok_pose_datagram_t& d, std::int64_t rx) {
    std::lock_guard lock(mu_);
    const bool still = (d.flags & MOK_POSE_FLAG_STILL) != 0;
    const calib::Pose X =
        calib::pose_from({d.X_base_tool.x_mm, d.X_base_tool.y_mm, d.X_base_tool.z_mm},
                         {d.X_base_tool.qw, d.X_base_tool.qx, d.X_base_tool.qy, d.X_base_tool.qz});
    if (holding_ && (!still || !same_place(X, hold_pose_))) end_hold(rx);
    if (still && !holding_) {
      holding_ = true;
      hold_pose_ = X;
      hold_start_ns_ = rx;
    }
  }

  void on_profile(std::vector<Eigen::Vector2d> points, std::int64_t rx) {
    std::lock_guard lock(mu_);
    if (!holding_ || points.empty()) return;
    if (waiting_.size() >= kMaxWaiting) waiting_.pop_front();
    waiting_.push_back({rx, std::move(points)});
  }

  std::size_t views() {
    std::lock_guard lock(mu_);
    return views_.size();
  }
  // Ends a hold still open (the run was cut short) and hands the views over.
  std::vector<calib::View> finish(std::int64_t now) {
    std::lock_guard lock(mu_);
    if (holding_) end_hold(now);
    return std::move(views_);
  }

 private:
  struct Profile {
    std::int64_t rx;
    std::vector<Eigen::Vector2d> points;
  };

  static bool same_place(const calib::Pose& a, const calib::Pose& b) {
    const calib::PoseError e = calib::pose_error(a, b);
    return e.translation_mm < 0.5 && e.rotation_deg < 0.1;
  }

  // Keeps the profiles well inside the hold, evenly spread over it.
  void end_hold(std::int64_t end_ns) {
    holding_ = false;
    std::vector<const Profile*> inside;
    for (const Profile& p : waiting_)
      if (p.rx >= hold_start_ns_ + guard_ns_ && p.rx <= end_ns - guard_ns_) inside.push_back(&p);
    if (!inside.empty()) {
      calib::View v;
      v.X_base_tool = hold_pose_;
      const std::size_t n = std::min(per_view_, inside.size());
      for (std::size_t i = 0; i < n; ++i) {
        const auto& pts = inside[i * inside.size() / n]->points;
        v.points_yz.insert(v.points_yz.end(), pts.begin(), pts.end());
      }
      views_.push_back(std::move(v));
    }
    waiting_.clear();
  }

  const std::int64_t guard_ns_;
  const std::size_t per_view_;
  std::mutex mu_;
  bool holding_ = false;
  calib::Pose hold_pose_ = calib::Pose::Identity();
  std::int64_t hold_start_ns_ = 0;
  std::deque<Profile> waiting_;
  std::vector<calib::View> views_;
};

// The drawing's mounting, or none when no file was given.
std::optional<calib::Pose> read_drawing(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::string text, why;
  if (!calib::read_text_file(path, text, why))
    throw Failure(kUsage, format("Cannot read %s: %s.", path.c_str(), why.c_str()));
  const calib::MountFile m = calib::parse_mount(text);
  if (!m.ok)
    throw Failure(kUsage, format("The drawing's mounting %s was refused: %s.", path.c_str(), m.error.c_str()));
  return m.X_tool_sensor;
}

// The solution as a person reads it: the figures, each pose's residual with
// the poses far above the others marked, and what would improve it.
void print_solution(const calib::Solution& s, const std::vector<calib::View>& views) {
  std::printf("%zu poses used of %zu; residual RMS %.4f mm (profile noise %.4f mm)\n", s.views_used, views.size(),
              s.residual_rms_mm, s.noise_sigma_mm);
  std::vector<double> finite;
  for (double r : s.view_rms_mm)
    if (std::isfinite(r)) finite.push_back(r);
  std::sort(finite.begin(), finite.end());
  const double median = finite.empty() ? 0 : finite[finite.size() / 2];
  for (std::size_t i = 0; i < views.size(); ++i) {
    const double r = i < s.view_rms_mm.size() ? s.view_rms_mm[i] : NAN;
    const std::size_t n = i < s.view_points.size() ? s.view_points[i] : views[i].points_yz.size();
    if (std::isfinite(r))
      std::printf("  pose %2zu: %5zu points, RMS %.4f mm%s\n", i + 1, n, r,
                  r > 3 * median ? "  <- far above the others: check this pose, drop it and solve again" : "");
    else
      std::printf("  pose %2zu: %5zu points, not used (too few on the target)\n", i + 1, n);
  }
  const Eigen::Vector3d& t = s.sigma_translation_mm;
  const Eigen::Vector3d& r = s.sigma_rotation_deg;
  std::printf("sigma translation (tool x y z) %.4f %.4f %.4f mm; rotation (sensor x y z) %.4f %.4f %.4f deg\n",
              t.x(), t.y(), t.z(), r.x(), r.y(), r.z());
  if (!s.weakest_direction.empty()) std::printf("weakest direction: %s\n", s.weakest_direction.c_str());
  if (!s.advice.empty()) std::printf("%s\n", s.advice.c_str());
}

// The holds in order, split into the plates they show.
std::vector<std::vector<calib::View>> by_plate(const CalibrateArgs& a, const std::vector<calib::View>& views) {
  if (a.plane_poses.empty()) return {views};
  std::size_t total = 0;
  for (std::size_t n : a.plane_poses) total += n;
  if (total != views.size())
    throw Failure(kRefused,
                  format("The calibration was refused: --plane-poses counts %zu poses, %zu were captured.", total,
                         views.size()));
  std::vector<std::vector<calib::View>> out;
  auto at = views.begin();
  for (std::size_t n : a.plane_poses) {
    out.emplace_back(at, at + static_cast<std::ptrdiff_t>(n));
    at += static_cast<std::ptrdiff_t>(n);
  }
  return out;
}

// The other method's mounting against this one, axis by axis in their
// combined sigma: two independent calibrations agree to about that.
void compare_with(const std::string& path, const calib::Solution& s) {
  std::string text, why;
  if (!calib::read_text_file(path, text, why))
    throw Failure(kUsage, format("Cannot read %s: %s.", path.c_str(), why.c_str()));
  const calib::MountFile m = calib::parse_mount(text);
  if (!m.ok) throw Failure(kUsage, format("The mounting %s was refused: %s.", path.c_str(), m.error.c_str()));
  const Eigen::Vector3d dt = s.X_tool_sensor.translation() - m.X_tool_sensor.translation();
  const Eigen::AngleAxisd dr(m.X_tool_sensor.linear().transpose() * s.X_tool_sensor.linear());
  const Eigen::Vector3d dr_deg = dr.angle() * dr.axis() * calib::kRadToDeg;
  const Eigen::Vector3d st =
      (s.sigma_translation_mm.array().square() + m.sigma_translation_mm.array().square()).sqrt();
  const Eigen::Vector3d sr =
      (s.sigma_rotation_deg.array().square() + m.sigma_rotation_deg.array().square()).sqrt();
  const double worst = std::max((dt.cwiseAbs().array() / st.array().max(1e-9)).maxCoeff(),
                                (dr_deg.cwiseAbs().array() / sr.array().max(1e-9)).maxCoeff());
  std::printf(
      "against %s (%s): translation %+.4f %+.4f %+.4f mm (sigma %.4f %.4f %.4f), rotation %+.4f %+.4f "
      "%+.4f deg (sigma %.4f %.4f %.4f)\n",
      path.c_str(), m.method.empty() ? "no method given" : m.method.c_str(), dt.x(), dt.y(), dt.z(), st.x(),
      st.y(), st.z(), dr_deg.x(), dr_deg.y(), dr_deg.z(), sr.x(), sr.y(), sr.z());
  std::printf(worst <= 3
                  ? "the two agree: at most %.1f combined sigmas apart\n"
                  : "the two DISAGREE: %.1f combined sigmas apart; check the targets' sizes and the poses\n",
              worst);
}

void solve_and_write(const CalibrateArgs& a, const std::optional<calib::Pose>& drawing,
                     const std::vector<calib::View>& views) {
  calib::SolveOptions o;
  if (drawing) {
    o.initial_X_tool_sensor = *drawing;
  } else {
    o.search_start = true;
    std::printf("no drawing given: starting from the tool's frame, and from its other quarter turns if needed\n");
  }
  o.pose_sigma_mm = a.pose_sigma_mm;
  o.pose_sigma_deg = a.pose_sigma_deg;
  o.target_sigma_mm = a.target_sigma_mm;
  o.target_sigma_deg = a.target_sigma_deg;
  const calib::Solution s = a.method == "sphere" ? calib::solve_sphere(views, a.radius_mm, o)
                                                 : calib::solve_planes(by_plate(a, views), o);
  print_solution(s, views);
  if (!(a.pose_sigma_mm > 0) && !(a.pose_sigma_deg > 0))
    std::printf(
        "note: these sigmas take the robot's poses as exact; give its repeatability (--pose-sigma-mm, "
        "--pose-sigma-deg), or with a real robot they come out several times too small\n");
  if (s.status != calib::Status::kOk)
    throw Failure(kRefused,
                  format("The calibration was refused (%s): %s", calib::status_name(s.status), s.reason.c_str()));
  std::string why;
  if (!calib::write_text_file(a.out, calib::mount_json(s.X_tool_sensor, &s, a.method), why))
    throw Failure(kFailed, format("Cannot write %s: %s.", a.out.c_str(), why.c_str()));
  if (drawing) {
    const calib::PoseError moved = calib::pose_error(*drawing, s.X_tool_sensor);
    std::printf("mounting to %s (%.3f mm and %.3f deg from the drawing's)\n", a.out.c_str(), moved.translation_mm,
                moved.rotation_deg);
  } else {
    std::printf("mounting to %s\n", a.out.c_str());
  }
  if (!a.compare.empty()) compare_with(a.compare, s);
}

std::vector<Eigen::Vector2d> profile_points(const mok::ScanResult& r) {
  std::vector<Eigen::Vector2d> out;
  for (const auto& p : r.points())
    // A column without a laser return decodes to the payload's negated
    // offsets; whatever the sensor really sees lies ahead of it.
    if (p.z > 0) out.emplace_back(p.y, p.z);
  return out;
}

void run_live(const GlobalOptions& g, const CalibrateArgs& a) {
  const std::optional<calib::Pose> drawing = read_drawing(a.drawing);
  const sockaddr_in at = parse_pose_source(a.poses);
  check_writable(a.out);
  HoldCapture capture(static_cast<std::int64_t>(a.guard_ms * 1e6), a.profiles_per_pose);
  catch_interrupt();
  std::optional<PacketRecorder> recorder;
  if (!a.record.empty()) recorder.emplace(a.address, a.record, g);
  Session s(a.address, g);
  s.client().on_scan([&](mok::ScanResult r) { capture.on_profile(profile_points(r), mok_track_now_ns()); });
  {
    PoseReceiver receiver(at, open_output(a.pose_log),
                          [&](std::span<const std::uint8_t> bytes, std::int64_t rx, mok_pose_datagram_t& d) {
                            if (mok_track_decode_pose_datagram(bytes.data(), bytes.size(), &d) != MOK_OK)
                              return false;
                            capture.on_pose(d, rx);
                            return true;
                          });
    std::printf("calibrating from %s with poses from %s (Ctrl-C ends)\n", a.address.c_str(), a.poses.c_str());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    std::size_t shown = 0;
    while (!interrupted()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const std::size_t views = capture.views();
      if (views != shown) {
        std::printf("pose %zu captured\n", views);
        std::fflush(stdout);
        shown = views;
      }
      if (a.count && views >= a.count) break;
      if (a.seconds > 0 && std::chrono::steady_clock::now() - start > std::chrono::duration<double>(a.seconds))
        break;
      if (views > 0 && mok_track_now_ns() - receiver.last_rx_ns() > std::chrono::nanoseconds(kStreamEnded).count())
        break;
    }
  }
  s.client().clear_scan_cb();
  if (recorder) recorder->finish();
  solve_and_write(a, drawing, capture.finish(mok_track_now_ns()));
}

// The device time stamp of each recorded scan payload, to its arrival time
// in the recording: the results come back from the library without it.
std::unordered_map<std::uint64_t, std::uint64_t> arrival_by_pts(const camsim::Recording& r) {
  using mok::wire::kHeadStreamIdAt;
  using mok::wire::scan::kPtsAt;
  std::unordered_map<std::uint64_t, std::uint64_t> out;
  for (const auto& p : r.packets) {
    const auto stream = static_cast<std::uint16_t>(p.head[kHeadStreamIdAt] << 8 | p.head[kHeadStreamIdAt + 1]);
    if (stream != mok::wire::stream::kScan || p.payload.size() < kPtsAt + 8) continue;
    std::uint64_t pts = 0;
    for (std::size_t i = 0; i < 8; ++i) pts |= std::uint64_t{p.payload[kPtsAt + i]} << (8 * i);
    out.emplace(pts, p.time_us);
  }
  return out;
}

// The recording's profiles in their order, each at its arrival time with its
// points and how much it changed from the one before.
struct RecordedProfiles {
  std::uint64_t start_unix_us = 0;  // the recording's wall-clock start, 0 if unknown
  std::vector<std::int64_t> t_ns;   // since the recording's start
  std::vector<std::vector<Eigen::Vector2d>> points;
  std::vector<double> change_mm;
};

RecordedProfiles read_profiles(const GlobalOptions& g, const std::string& path) {
  const camsim::Recording recording = load_recording(path);
  const auto arrival = arrival_by_pts(recording);
  RecordedProfiles out;
  out.start_unix_us = recording.start_unix_us;
  // Each profile is compared with one this much older: the motion between
  // the two then stands well above the noise.
  constexpr std::int64_t kLagNs = 40'000'000;
  std::deque<std::pair<std::int64_t, std::vector<mok::Point>>> earlier;
  play_recording(g, recording, [&](std::uint64_t, mok::ScanResult r) {
    const auto at = arrival.find(r.pts());
    if (at == arrival.end() ||
        (!out.t_ns.empty() && at->second * 1000 < static_cast<std::uint64_t>(out.t_ns.back())))
      return;
    const std::int64_t t = static_cast<std::int64_t>(at->second) * 1000;
    out.t_ns.push_back(t);
    out.points.push_back(profile_points(r));
    while (earlier.size() > 1 && earlier[1].first <= t - kLagNs) earlier.pop_front();
    out.change_mm.push_back(!earlier.empty() && earlier.front().first <= t - kLagNs
                                ? profile_change(earlier.front().second, r.points())
                                : NAN);
    earlier.emplace_back(t, std::vector<mok::Point>(r.points().begin(), r.points().end()));
  });
  if (out.t_ns.empty()) throw Failure(kUsage, format("The recording %s holds no scan results.", path.c_str()));
  return out;
}

// The poses' times on the recording's time line, before any offset: by the
// wall clock when both files carry it, else from the first pose.
std::vector<std::int64_t> pose_times(const std::vector<LoggedPose>& poses, std::uint64_t start_unix_us,
                                     bool& by_wall_clock) {
  by_wall_clock = poses.front().t_unix_us >= 0 && start_unix_us > 0;
  std::vector<std::int64_t> t;
  for (const LoggedPose& p : poses)
    t.push_back(by_wall_clock ? (p.t_unix_us - static_cast<std::int64_t>(start_unix_us)) * 1000
                              : p.t_host_ns - poses.front().t_host_ns);
  return t;
}

std::vector<Hold> holds_of(const std::vector<LoggedPose>& poses, const std::vector<std::int64_t>& t) {
  std::vector<Hold> out;
  for (std::size_t i = 0; i < poses.size(); ++i) {
    if (!(poses[i].d.flags & MOK_POSE_FLAG_STILL)) continue;
    if (i == 0 || !(poses[i - 1].d.flags & MOK_POSE_FLAG_STILL)) out.push_back({t[i], t[i]});
    out.back().end_ns = i + 1 < poses.size() ? t[i + 1] : t[i];
  }
  return out;
}

void run_offline(const GlobalOptions& g, const CalibrateArgs& a) {
  const std::optional<calib::Pose> drawing = read_drawing(a.drawing);
  check_writable(a.out);
  const std::vector<LoggedPose> poses = read_pose_log(a.pose_log);
  if (poses.empty()) throw Failure(kUsage, format("The pose log %s holds no poses.", a.pose_log.c_str()));
  RecordedProfiles profiles = read_profiles(g, a.recording);
  bool by_wall_clock = false;
  std::vector<std::int64_t> t = pose_times(poses, profiles.start_unix_us, by_wall_clock);
  const std::int64_t guard_ns = static_cast<std::int64_t>(a.guard_ms * 1e6);

  std::int64_t offset_ns = 0;
  if (a.pose_offset_ms) {
    offset_ns = static_cast<std::int64_t>(*a.pose_offset_ms * 1e6);
  } else {
    // One host's clocks agree exactly, two kept by NTP to far better than this.
    constexpr std::int64_t kWallClockSlackNs = 1'000'000'000;
    const Alignment al = align_holds(holds_of(poses, t), profiles.t_ns, profiles.change_mm,
                                     by_wall_clock ? -kWallClockSlackNs : INT64_MIN / 2,
                                     by_wall_clock ? kWallClockSlackNs : INT64_MAX / 2, guard_ns);
    if (!al.ok)
      throw Failure(kRefused, format("The calibration was refused: %s; --pose-offset-ms gives the offset by hand.",
                                     al.reason.c_str()));
    offset_ns = al.offset_ns;
    std::printf(
        "pose offset found from the holds: %+.1f ms%s (profiles change %.3f mm in the holds, %.3f mm "
        "between them)\n",
        offset_ns * 1e-6, by_wall_clock ? " from the wall clocks'" : "", al.hold_change_mm, al.between_change_mm);
  }
  for (std::int64_t& x : t) x += offset_ns;
  std::printf("poses placed on the recording's time line: the first at %.3f s, the last at %.3f s\n",
              t.front() * 1e-9, t.back() * 1e-9);

  // Both streams into the live capture, in time order; a pose and a profile
  // at the same instant: the pose first, as live.
  HoldCapture capture(guard_ns, a.profiles_per_pose);
  std::size_t j = 0;
  for (std::size_t i = 0; i < poses.size(); ++i) {
    for (; j < profiles.t_ns.size() && profiles.t_ns[j] < t[i]; ++j)
      capture.on_profile(std::move(profiles.points[j]), profiles.t_ns[j]);
    capture.on_pose(poses[i].d, t[i]);
  }
  for (; j < profiles.t_ns.size(); ++j) capture.on_profile(std::move(profiles.points[j]), profiles.t_ns[j]);
  std::vector<calib::View> views = capture.finish(std::max(t.back(), profiles.t_ns.back()));
  if (views.empty())
    throw Failure(kRefused,
                  format("The calibration was refused: no hold of the pose log holds profiles of the recording "
                         "(%.3f to %.3f s): the two were not taken together, or --pose-offset-ms is off.",
                         profiles.t_ns.front() * 1e-9, profiles.t_ns.back() * 1e-9));
  solve_and_write(a, drawing, views);
}

// One method's subcommand with the capture's and the solver's options, which
// both methods share.
CLI::App* add_method(CLI::App* cmd, const GlobalOptions& g, Runner& run, const std::string& method,
                     const std::string& help, std::shared_ptr<CalibrateArgs> a) {
  a->method = method;
  auto* sub = cmd->add_subcommand(method, help);
  sub->add_option("ADDR", a->address, "Camera address (live)");
  auto* poses =
      sub->add_option("--poses", a->poses, "Where the robot's pose datagrams arrive: udp:PORT or udp:HOST:PORT");
  sub->add_option(
      "--drawing", a->drawing,
      "The drawing's mounting file (mok-mount/1), where the solver starts (without it: the tool's frame, "
      "and its other quarter turns if that fits poorly)");
  sub->add_option("-o,--output", a->out, "The mounting file to write")->required();
  auto* recording = sub->add_option(
      "--recording", a->recording,
      "Offline: a recording (mokctl record, or --record) to calibrate from, with --pose-log the poses of the "
      "same run");
  recording->excludes(poses)->check(CLI::ExistingFile);
  sub->add_option("--record", a->record, "Live: also record the camera's packets, for a later offline run")
      ->excludes(recording);
  sub->add_option("--pose-offset-ms", a->pose_offset_ms,
                  "Offline: shift the poses by this much against the recording, ms (for clocks that differ); "
                  "for a pose log without its wall-clock column, where the first pose lies in the recording")
      ->needs(recording);
  sub->add_option("--pose-log", a->pose_log,
                  "Live: CSV of the poses received, with each one's host time. Offline: the pose log to read");
  sub->add_option("--count", a->count, "Stop after this many poses (>= 1)")->check(CLI::PositiveNumber);
  sub->add_option("--seconds", a->seconds, "Stop after this long (> 0)")->check(CLI::PositiveNumber);
  sub->add_option("--guard-ms", a->guard_ms,
                  "Leave out the profiles received this close to a hold's start or end, ms (default 80; more "
                  "than the poses' and the profiles' latency)")
      ->check(CLI::Range(0.0, 10000.0));
  sub->add_option("--profiles-per-pose", a->profiles_per_pose, "Profiles kept per pose (default 5)")
      ->check(CLI::Range(1, 1000));
  sub->add_option("--pose-sigma-mm", a->pose_sigma_mm, "The robot's repeatability, mm per axis (one sigma)")
      ->check(CLI::NonNegativeNumber);
  sub->add_option("--pose-sigma-deg", a->pose_sigma_deg, "The robot's repeatability, degrees per axis")
      ->check(CLI::NonNegativeNumber);
  sub->add_option("--target-sigma-mm", a->target_sigma_mm,
                  "The translation sigma wanted; above it, says which poses to add")
      ->check(CLI::NonNegativeNumber);
  sub->add_option("--target-sigma-deg", a->target_sigma_deg, "The rotation sigma wanted, degrees")
      ->check(CLI::NonNegativeNumber);
  sub->add_option("--compare", a->compare,
                  "Another calibration's mounting file (the other method's): prints how far apart the two are "
                  "in their combined sigmas")
      ->check(CLI::ExistingFile);
  sub->callback([sub, &g, &run, a] {
    const bool offline = !a->recording.empty();
    if (offline ? a->pose_log.empty() || !a->address.empty() : a->address.empty() || a->poses.empty())
      throw CLI::ValidationError(sub->get_name(),
                                 "give ADDR and --poses (live), or --recording and --pose-log (offline)");
    run = [&g, a, offline] { offline ? run_offline(g, *a) : run_live(g, *a); };
  });
  return sub;
}

}  // namespace

void add_calibrate(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto* cmd = app.add_subcommand("calibrate", "Calibrate the sensor's mounting on the robot's tool.");
  cmd->require_subcommand(1);
  auto sphere_args = std::make_shared<CalibrateArgs>();
  auto* sphere = add_method(
      cmd, g, run, "sphere",
      "From views of a sphere of known radius: the robot holds still at each of its calibration poses (the "
      "pose stream's holding-still flag) while the camera sees the sphere. Ends when the robot's pose stream "
      "stops, after --count poses or --seconds, or at Ctrl-C; then solves and writes the mounting file. A "
      "refused calibration (poses that leave the mounting undetermined, too few on the sphere) exits with 6. "
      "Offline, --recording and --pose-log of one run (live --record and --pose-log) take the camera's and the "
      "robot's place.",
      sphere_args);
  sphere->add_option("--radius", sphere_args->radius_mm, "The sphere's radius, mm")
      ->required()
      ->check(CLI::PositiveNumber);
  auto plane_args = std::make_shared<CalibrateArgs>();
  auto* plane = add_method(
      cmd, g, run, "plane",
      "From views of flat plates, as a check of the sphere's result (--compare): captured as the sphere is. "
      "One plate leaves the translation along its normal nearly open (the reported sigma shows it); plates of "
      "different normals, each shown by consecutive poses (--plane-poses), pin it down.",
      plane_args);
  plane
      ->add_option("--plane-poses", plane_args->plane_poses,
                   "How many consecutive poses show each plate, in the order captured (default: one plate); at "
                   "least 8 each")
      ->delimiter(',')
      ->check(CLI::PositiveNumber);
}

}  // namespace mokctl
