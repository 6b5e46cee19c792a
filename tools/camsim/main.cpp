// mok-camsim: the command line around camsim::Simulator. Parses options,
// sends log records to standard error, prints the bound address as the first
// line of standard output and runs until a signal or --duration ends it.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <CLI/CLI.hpp>

#include "camsim/cell_scan.hpp"
#include "camsim/simulator.hpp"
#include "common/log.hpp"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void log_to_stderr(int level, const char* target, const char* message, void*) {
  const auto name = mok::log::level_name(static_cast<mok::log::Level>(level));
  std::fprintf(stderr, "%.*s %s: %s\n", static_cast<int>(name.size()), name.data(), target, message);
}

// "WxH" with both even and within 2..8192, or nothing.
std::optional<std::pair<unsigned, unsigned>> parse_video_size(const std::string& text) {
  unsigned w = 0, h = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%ux%u%c", &w, &h, &tail) != 2) return std::nullopt;
  if (w < 2 || h < 2 || w > 8192 || h > 8192 || w % 2 != 0 || h % 2 != 0) return std::nullopt;
  return std::pair{w, h};
}

const CLI::Validator kValidVideoSize(
    [](const std::string& text) -> std::string {
      return parse_video_size(text) ? std::string() : "expected WxH with even numbers from 2 to 8192, got " + text;
    },
    "WxH");

}  // namespace

int main(int argc, char** argv) {
  camsim::Options o;
  CLI::App app{"mok-camsim: an emulated laser line-scanning camera for tests and demonstrations"};
  double duration = 0;
  std::string joint = "vgroove";
  std::string video;
  std::string log_level = "info";
  std::uint32_t video_fps = 25;
  std::string video_size = "640x512";
  std::vector<std::string> ignore_writes;

  app.add_option("--host", o.host, "Address to listen on")->capture_default_str();
  app.add_option("--port,-p", o.port, "TCP port; 0 picks a free one (printed on the first line)")
      ->capture_default_str();
  app.add_option("--duration", duration, "Exit by itself after this many seconds (0: run until interrupted; >= 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--log-level", log_level, "error, warn, info, debug or trace")
      ->capture_default_str()
      ->check(CLI::IsMember({"error", "warn", "info", "debug", "trace"}));

  app.add_option("--rate", o.scan_rate, "Scan results per second")
      ->capture_default_str()
      ->check(CLI::Range(0.001, 100000.0));
  app.add_option("--points", o.scene.point_count, "Profile points per scan result (1 to 4096)")
      ->capture_default_str()
      ->check(CLI::Range(1, 4096));
  app.add_option("--joint", joint, "Joint profile: vgroove, fillet or lap")
      ->capture_default_str()
      ->check(CLI::IsMember({"vgroove", "fillet", "lap"}));
  app.add_option("--noise", o.scene.noise_mm, "Depth noise, standard deviation in mm (>= 0)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--weave-amplitude", o.scene.weave_amplitude_mm, "Lateral weave of the seam in mm (>= 0)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--weave-period", o.scene.weave_period_s, "Period of the weave in seconds (> 0)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--lost-every", o.scene.lost_every_s,
                 "A stretch without a visible seam starts this often, seconds (0: never; >= 0)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--lost-for", o.scene.lost_for_s, "Length of such a stretch, seconds (>= 0)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--seed", o.scene.seed, "Seed of the noise")->capture_default_str();
  app.add_option("--report-interval", o.report_interval_s, "Seconds between register reports (> 0)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);

  app.add_option("--serial", o.device.serial_number, "Reported serial number")->capture_default_str();
  app.add_option("--board-id", o.device.board_id, "Reported board id")->capture_default_str();
  app.add_option("--width", o.device.image_width,
                 "Sensor image width in pixels (register and snapshots; 1 to 16384)")
      ->capture_default_str()
      ->check(CLI::Range(1, 16384));
  app.add_option("--height", o.device.image_height,
                 "Sensor image height in pixels (register and snapshots; 1 to 16384)")
      ->capture_default_str()
      ->check(CLI::Range(1, 16384));
  app.add_option("--exposure", o.device.exposure_time, "Initial exposure time")->capture_default_str();
  app.add_option("--laser-strength", o.device.laser_strength, "Initial laser strength")->capture_default_str();
  bool laser_off = false;
  app.add_flag("--laser-off", laser_off, "Start with the laser switched off (no profiles)");

  app.add_option("--video", video, "Stream live video: h264 or h265")->check(CLI::IsMember({"h264", "h265"}));
  app.add_option("--video-fps", video_fps, "Video frame rate")->capture_default_str()->check(CLI::Range(1, 120));
  app.add_option("--video-size", video_size, "Video frame size WxH in pixels (even numbers, 2 to 8192 each)")
      ->capture_default_str()
      ->check(kValidVideoSize);

  app.add_option("--drop-every", o.faults.drop_every_s, "Fault: close each connection every N seconds (>= 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--stall-after", o.faults.stall_after_s,
                 "Fault: stop reading from a client after N seconds (>= 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--freeze-after", o.faults.freeze_after_s,
                 "Fault: stop reading and sending after N seconds (>= 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--corrupt-after", o.faults.corrupt_after_s,
                 "Fault: send one invalid head after N seconds (>= 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--half-close-after", o.faults.half_close_after_s,
                 "Fault: shut down the sending side after N seconds (>= 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--ignore-writes", ignore_writes,
                 "Fault: report these settings back unchanged when written: exposure, laser, strength, task, rts "
                 "or all (repeatable)")
      ->check(CLI::IsMember({"exposure", "laser", "strength", "task", "rts", "all"}));
  app.add_option("--latency", o.faults.latency_ms, "Fault: delay every packet by this many milliseconds (>= 0)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--jitter", o.faults.jitter_ms, "Fault: add up to this many milliseconds of random delay (>= 0)")
      ->check(CLI::NonNegativeNumber);

  app.add_option("--replay", o.replay_file,
                 "Replay this recording (a mokctl record file; its format: recording-format.md among the "
                 "installed documents) to every client")
      ->check(CLI::ExistingFile);
  app.add_flag("--replay-loop", o.replay_loop, "Start the recording again when it ends");

  camsim::CellCommand cell;
  app.add_option("--cell", cell.scenario, "Scan a simulated robot cell instead: standard or short")
      ->check(CLI::IsMember({"standard", "short"}));
  app.add_option("--poses-to", cell.poses_to, "With --cell: send the robot's pose datagrams to HOST:PORT (UDP)");
  app.add_option("--pose-log", o.cell_poses.log_path, "With --cell: log the poses sent (CSV)");
  app.add_option("--truth", cell.truth_path, "With --cell: write the run's ground truth (CSV)");
  app.add_option("--mount-out", cell.mount_path, "With --cell: write the sensor's mounting file (JSON)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // The exit statuses of mokctl: 0 for --help, 2 for bad arguments.
    return app.exit(e) == 0 ? 0 : 2;
  }

  o.scene.joint = *camsim::parse_joint(joint);
  static const std::pair<const char*, std::vector<std::uint16_t>> writable[] = {
      {"exposure", {camsim::kRegExposureTime}},
      {"laser", {camsim::kRegLaserEnable}},
      {"strength", {camsim::kRegLaserStrength}},
      {"task", {camsim::kRegTaskId}},
      {"rts", {camsim::kRegRts}},
      {"all",
       {camsim::kRegExposureTime, camsim::kRegLaserEnable, camsim::kRegLaserStrength, camsim::kRegTaskId,
        camsim::kRegRts}}};
  for (const auto& name : ignore_writes)
    for (const auto& [n, ids] : writable)
      if (name == n) o.faults.ignored_writes.insert(o.faults.ignored_writes.end(), ids.begin(), ids.end());
  o.device.laser_enable = !laser_off;
  if (!video.empty()) {
    camsim::VideoConfig vc;
    vc.codec = *camsim::parse_video_codec(video);
    vc.fps = video_fps;
    vc.keyframe_interval = video_fps;
    const auto [w, h] = *parse_video_size(video_size);
    vc.width = w;
    vc.height = h;
    o.video = vc;
  }

  static const std::pair<const char*, mok::log::Level> levels[] = {{"error", mok::log::Level::Error},
                                                                   {"warn", mok::log::Level::Warn},
                                                                   {"info", mok::log::Level::Info},
                                                                   {"debug", mok::log::Level::Debug},
                                                                   {"trace", mok::log::Level::Trace}};
  mok::log::Level level = mok::log::Level::Info;
  for (const auto& [name, l] : levels)
    if (log_level == name) level = l;
  mok::log::set_callback(log_to_stderr, level, nullptr);

  if (auto r = camsim::configure_cell(o, cell, app.count("--rate") > 0); !r) {
    std::fprintf(stderr, "mok-camsim: %s\n", r.error().c_str());
    return 2;
  }
  camsim::Simulator sim(o);
  auto port = sim.start();
  auto files = port ? camsim::write_cell_files(o, cell, sim.start_time()) : mok::Result<void, std::string>();
  if (!port || !files) {
    std::fprintf(stderr, "mok-camsim: %s\n", port ? files.error().c_str() : port.error().c_str());
    return 1;
  }
  std::printf("listening on %s:%u\n", o.host.c_str(), static_cast<unsigned>(*port));
  std::fflush(stdout);

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  std::signal(SIGPIPE, SIG_IGN);
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(duration);
  while (!g_stop && (duration <= 0 || std::chrono::steady_clock::now() < until))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sim.stop();
  const camsim::Stats st = sim.stats();
  mok::log::info("camsim", "stopped: {} clients, {} scan results, {} reports, {} snapshots, {} video units",
                 st.accepted, st.scans_sent, st.reports_sent, st.snapshots_sent, st.video_units_sent);
  return 0;
}
