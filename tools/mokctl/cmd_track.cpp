// mokctl track: the seam in the robot's base frame and the torch's live
// correction, from a camera and the robot's UDP pose stream, through the
// library's tracker. Writes the corrections and the seam path as CSV, every
// profile mapped into the base frame by the same time-aligned poses as a PLY
// cloud, and the received poses as a pose log for replay.
//
// Threads: the library's scan callback feeds results, the pose receiver
// feeds poses (and writes the correction rows and the pose log), and the
// command's own thread prints the status and maps the cloud's profiles once
// poses cover them. Shutdown order: the pose receiver, then the scan
// callback, then the files.
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <mok/mok_track.h>

#include "commands.hpp"
#include "output_files.hpp"
#include "point_files.hpp"
#include "pose_receiver.hpp"
#include "session.hpp"
#include "signals.hpp"

namespace mokctl {
namespace {

struct TrackArgs {
  std::string address, mount, poses, csv, ply, pose_log;
  double seconds = 0;
  double robot_latency_ms = 0;
  bool host_time_poses = false;
};

void write_correction_row(std::FILE* f, const mok_correction_t& c) {
  std::fprintf(f, "correction,%lld,%d,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f\n",
               static_cast<long long>(c.t_pose_ns), c.status, c.torch_distance_mm, c.seam_base_mm[0],
               c.seam_base_mm[1], c.seam_base_mm[2], c.lateral_mm, c.vertical_mm, c.base_mm[0], c.base_mm[1],
               c.base_mm[2]);
}

// The PLY cloud in the base frame. A profile waits (bounded) until the poses
// reach its time; one the poses will never cover is dropped and counted.
class Cloud {
 public:
  Cloud(mok_tracker_t* tracker, File file) : tracker_(tracker), file_(std::move(file)) {
    if (file_)
      std::fprintf(file_.get(),
                   "ply\nformat ascii 1.0\ncomment mokctl track: profiles in the robot's base frame, mm\n"
                   "element vertex %012d\nproperty float x\nproperty float y\nproperty float z\nend_header\n",
                   0);
  }
  bool wanted() const { return file_ != nullptr; }

  void add(const mok::ScanResult& r) {
    const auto pts = r.points();
    Profile p{r.pts(), std::vector<mok_scan_point_t>(pts.begin(), pts.end())};
    std::lock_guard lock(mu_);
    if (waiting_.size() >= kMaxWaiting) {
      waiting_.pop_front();
      ++dropped_;
    }
    waiting_.push_back(std::move(p));
  }

  // Maps every profile the poses cover now; at the end, gives up on the rest.
  void flush(bool final) {
    std::deque<Profile> ready;
    {
      std::lock_guard lock(mu_);
      ready.swap(waiting_);
    }
    std::vector<double> xyz;
    while (!ready.empty()) {
      Profile& p = ready.front();
      xyz.resize(3 * p.points.size());
      const int32_t s = mok_tracker_map_points(tracker_, p.pts, p.points.data(),
                                               static_cast<uint32_t>(p.points.size()), xyz.data());
      if (s == MOK_TRACK_WAITING && !final) break;  // later profiles wait too
      if (s != MOK_TRACK_OK) {
        ++dropped_;
      } else {
        const NoReturn none = no_return_in(p.points);
        for (std::size_t i = 0; i < p.points.size(); ++i) {
          if (none.is(p.points[i])) continue;
          std::fprintf(file_.get(), "%.4f %.4f %.4f\n", xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]);
          ++points_;
        }
      }
      ready.pop_front();
    }
    std::lock_guard lock(mu_);
    while (!ready.empty()) {
      waiting_.push_front(std::move(ready.back()));
      ready.pop_back();
    }
  }

  // Fills in the vertex count and closes; the count sits at a fixed place.
  void close(const std::string& path) {
    flush(true);
    std::FILE* f = file_.get();
    const long at =
        static_cast<long>(std::strlen("ply\nformat ascii 1.0\n") +
                          std::strlen("comment mokctl track: profiles in the robot's base frame, mm\n") +
                          std::strlen("element vertex "));
    const bool ok = !std::ferror(f) && std::fseek(f, at, SEEK_SET) == 0 &&
                    std::fprintf(f, "%012llu", static_cast<unsigned long long>(points_)) == 12;
    if (std::fclose(file_.release()) != 0 || !ok) throw Failure(kFailed, format("Cannot write %s.", path.c_str()));
  }
  std::uint64_t points() const { return points_; }
  std::uint64_t dropped() const { return dropped_; }

 private:
  static constexpr std::size_t kMaxWaiting = 2048;
  struct Profile {
    std::uint64_t pts;
    std::vector<mok_scan_point_t> points;
  };
  mok_tracker_t* tracker_;
  File file_;
  std::mutex mu_;
  std::deque<Profile> waiting_;
  std::uint64_t points_ = 0;
  std::atomic<std::uint64_t> dropped_{0};
};

const char* status_word(int32_t s) {
  static const char* const kWords[] = {"ok",      "not yet scanned", "gap",     "stale pose",
                                       "no pose", "waiting",         "no clock"};
  return s >= 0 && s < 7 ? kWords[s] : "?";
}

void run_track(const GlobalOptions& g, const TrackArgs& a) {
  mok_pose_t mount{};
  char why[512] = {};
  if (mok_track_mount_load(a.mount.c_str(), &mount, why, sizeof why) != MOK_OK)
    throw Failure(kUsage, format("The mounting file was refused: %s.", why));
  const sockaddr_in at = parse_pose_source(a.poses);
  mok_tracker_config_t config;
  mok_tracker_config_init(&config);
  config.robot_latency_ns = static_cast<std::int64_t>(a.robot_latency_ms * 1e6);
  config.poses_carry_robot_clock = a.host_time_poses ? 0 : 1;
  std::unique_ptr<mok_tracker_t, void (*)(mok_tracker_t*)> tracker(mok_tracker_create(&config), &mok_tracker_free);
  if (!tracker) throw Failure(kFailed, "The tracker could not be created.");
  mok_tracker_set_mount(tracker.get(), &mount);

  File csv = open_output(a.csv);
  if (csv)
    std::fputs(
        "kind,t_host_ns,status,distance_mm,seam_x_mm,seam_y_mm,seam_z_mm,lateral_mm,vertical_mm,"
        "base_dx_mm,base_dy_mm,base_dz_mm\n",
        csv.get());
  Cloud cloud(tracker.get(), open_output(a.ply));
  catch_interrupt();
  Session s(a.address, g);
  std::atomic<std::uint64_t> results{0};
  s.client().on_scan([&](mok::ScanResult r) {
    mok_tracker_push_result(tracker.get(), r.get(), mok_track_now_ns());
    ++results;
    if (cloud.wanted()) cloud.add(r);
  });
  {
    // Each pose goes to the tracker and brings a correction row.
    PoseReceiver receiver(at, open_output(a.pose_log),
                          [&](std::span<const std::uint8_t> bytes, std::int64_t rx, mok_pose_datagram_t& d) {
                            if (mok_tracker_push_pose_datagram(tracker.get(), bytes.data(), bytes.size(), rx,
                                                               &d) == MOK_TRACK_ERR_BAD_DATAGRAM)
                              return false;  // counted by the tracker
                            if (csv) {
                              mok_correction_t c{};
                              mok_tracker_correction(tracker.get(), nullptr, rx, &c);
                              write_correction_row(csv.get(), c);
                            }
                            return true;
                          });
    std::printf("tracking %s with poses from %s (Ctrl-C ends)\n", a.address.c_str(), a.poses.c_str());
    const auto start = std::chrono::steady_clock::now();
    auto next_print = start;
    while (!interrupted() && (a.seconds <= 0 || std::chrono::steady_clock::now() - start <
                                                    std::chrono::duration<double>(a.seconds))) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (cloud.wanted()) cloud.flush(false);
      if (std::chrono::steady_clock::now() < next_print) continue;
      next_print += std::chrono::milliseconds(500);
      mok_correction_t c{};
      const int32_t st = mok_tracker_correction(tracker.get(), nullptr, mok_track_now_ns(), &c);
      if (st == MOK_TRACK_OK)
        std::printf("%-15s torch %8.2f mm  lateral %+7.3f mm  vertical %+7.3f mm  scanned to %8.2f mm\n",
                    status_word(st), c.torch_distance_mm, c.lateral_mm, c.vertical_mm, c.scanned_to_mm);
      else
        std::printf("%-15s torch %8.2f mm  scanned to %8.2f mm  (%llu results, %llu poses)\n", status_word(st),
                    c.torch_distance_mm, c.scanned_to_mm, static_cast<unsigned long long>(results.load()),
                    static_cast<unsigned long long>(receiver.received()));
      std::fflush(stdout);
    }
  }
  s.client().clear_scan_cb();
  // The receiver has ended: the seam path follows the correction rows.
  if (std::FILE* csv_file = csv.get()) {
    double first = 0, last = 0;
    if (mok_tracker_path_range(tracker.get(), &first, &last) == MOK_TRACK_OK) {
      for (double d = first; d <= last; d += 0.1) {
        double p[3] = {};
        const int32_t st = mok_tracker_seam_at(tracker.get(), d, p);
        std::fprintf(csv_file, "seam,,%d,%.4f,%.4f,%.4f,%.4f,,,,,\n", st, d, p[0], p[1], p[2]);
      }
    }
  }
  if (cloud.wanted()) {
    cloud.close(a.ply);
    std::printf("%llu points in the base frame to %s (%llu profiles without poses dropped)\n",
                static_cast<unsigned long long>(cloud.points()), a.ply.c_str(),
                static_cast<unsigned long long>(cloud.dropped()));
  }
  mok_tracker_stats_t st{};
  mok_tracker_get_stats(tracker.get(), &st, sizeof st);
  std::printf(
      "results used %llu, without seam %llu, gated %llu, outliers %llu, without poses %llu; poses accepted "
      "%llu, refused %llu; robot clock %+.1f ppm, camera clock %+.1f ppm\n",
      static_cast<unsigned long long>(st.results_used), static_cast<unsigned long long>(st.results_not_found),
      static_cast<unsigned long long>(st.results_gated), static_cast<unsigned long long>(st.results_outliers),
      static_cast<unsigned long long>(st.results_stale), static_cast<unsigned long long>(st.poses_accepted),
      static_cast<unsigned long long>(st.poses_bad + st.poses_future + st.poses_past + st.poses_duplicate +
                                      st.datagrams_refused),
      st.robot_drift_ppm, st.device_drift_ppm);
  s.require_connection("tracking");
}

}  // namespace

void add_track(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto a = std::make_shared<TrackArgs>();
  auto* cmd = app.add_subcommand(
      "track",
      "Track the seam in the robot's base frame with the robot's UDP poses, printing the torch's live "
      "correction. Runs until Ctrl-C unless --seconds is given.");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  cmd->add_option("--mount", a->mount, "Mounting file (JSON, X_tool_sensor)")->required();
  cmd->add_option("--poses", a->poses, "Where the robot's pose datagrams arrive: udp:PORT or udp:HOST:PORT")
      ->required();
  cmd->add_option("-o,--output", a->csv, "CSV of the corrections (one per pose) and the seam path");
  cmd->add_option("--ply", a->ply, "PLY cloud of every profile in the base frame");
  cmd->add_option("--pose-log", a->pose_log, "CSV of the poses received, for replay");
  cmd->add_option("--seconds", a->seconds, "Stop after this long (> 0)")->check(CLI::PositiveNumber);
  cmd->add_option("--robot-latency-ms", a->robot_latency_ms,
                  "The pose path's fixed (minimum) latency, ms (default 0); one-way stamps cannot measure it")
      ->check(CLI::Range(0.0, 10000.0));
  cmd->add_flag("--host-time-poses", a->host_time_poses,
                "Time poses by their arrival (minus the latency) instead of the robot's clock");
  cmd->callback([&g, &run, a] { run = [&g, a] { run_track(g, *a); }; });
}

}  // namespace mokctl
