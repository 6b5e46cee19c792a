// mok-camsim's options with their checks and help texts, read into the
// simulator's Options.
#include "sim/command_line.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

namespace camsim {
namespace {

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

std::variant<CommandLine, int> parse_command_line(int argc, char** argv) {
  CommandLine line;
  Options& o = line.options;
  double& duration = line.duration_s;
  CLI::App app{"mok-camsim: an emulated laser line-scanning camera for tests and demonstrations"};
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

  CellCommand& cell = line.cell;
  app.add_option("--cell", cell.scenario,
                 "Scan a simulated robot cell instead: standard or short (a seam), sphere (the "
                 "mounting's calibration program) or plane (the same program over a flat plate)")
      ->check(CLI::IsMember({"standard", "short", "sphere", "plane"}));
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

  o.scene.joint = *parse_joint(joint);
  static const std::pair<const char*, std::vector<std::uint16_t>> writable[] = {
      {"exposure", {reg::kExposureTime}},
      {"laser", {reg::kLaserEnable}},
      {"strength", {reg::kLaserStrength}},
      {"task", {reg::kTaskId}},
      {"rts", {reg::kRts}},
      {"all", {reg::kExposureTime, reg::kLaserEnable, reg::kLaserStrength, reg::kTaskId, reg::kRts}}};
  for (const auto& name : ignore_writes)
    for (const auto& [n, ids] : writable)
      if (name == n) o.faults.ignored_writes.insert(o.faults.ignored_writes.end(), ids.begin(), ids.end());
  o.device.laser_enable = !laser_off;
  if (!video.empty()) {
    VideoConfig vc;
    vc.codec = *parse_video_codec(video);
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
  for (const auto& [name, l] : levels)
    if (log_level == name) line.log_level = l;
  if (auto r = configure_cell(o, line.cell, app.count("--rate") > 0); !r) {
    std::fprintf(stderr, "mok-camsim: %s\n", r.error().c_str());
    return 2;
  }
  return line;
}

}  // namespace camsim
