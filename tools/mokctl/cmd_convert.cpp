// mokctl convert: a recording (mokctl record) into the point files of
// scan --points and --ply, decoded exactly as from a live camera (see
// recording_player.hpp).
#include <cstdio>

#include "commands.hpp"
#include "point_files.hpp"
#include "recording_player.hpp"

namespace mokctl {
namespace {

struct ConvertArgs {
  std::string in, out;
  ScanAxis axis;
  double speed = 0;
};

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void run_convert(const GlobalOptions& g, const ConvertArgs& a) {
  const bool ply = ends_with(a.out, ".ply");
  if (!ply && !ends_with(a.out, ".csv")) {
    throw Failure(kUsage,
                  format("Cannot tell what to write from %s: name it FILE.csv or FILE.ply.", a.out.c_str()));
  }
  ScanAxis axis = a.axis;
  if (a.speed > 0) axis.speed_mm_s = a.speed;
  PointWriter points(ply ? "" : a.out, ply ? a.out : "", axis);
  const camsim::Recording recording = load_recording(a.in);
  const std::size_t results =
      play_recording(g, recording, [&](std::uint64_t index, mok::ScanResult r) { points.add(index, r); });
  points.close();
  if (ply) {
    std::printf("wrote %s: %zu profiles, %llu points\n", a.out.c_str(), results,
                static_cast<unsigned long long>(points.cloud_points()));
  } else {
    std::printf("wrote %s: %zu profiles\n", a.out.c_str(), results);
  }
  if (results == 0) throw Failure(kFailed, format("The recording %s holds no scan results.", a.in.c_str()));
}

}  // namespace

void add_convert(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto a = std::make_shared<ConvertArgs>();
  auto* cmd = app.add_subcommand(
      "convert",
      "Turn a recording (mokctl record) into the point files of scan: FILE.csv as --points writes, "
      "FILE.ply as --ply writes.");
  cmd->add_option("REC", a->in, "Recording to read")->required()->check(CLI::ExistingFile);
  cmd->add_option("-o,--output", a->out,
                  "File to write: FILE.csv (result index, device time in microseconds, point index, y, z in the "
                  "camera unit) or FILE.ply (x from --pitch or --speed, y, z; simulator: mm)")
      ->required();
  auto* pitch =
      cmd->add_option("--pitch", a->axis.pitch_mm, "Scan advance per profile for .ply, mm (default 1; > 0)")
          ->check(CLI::PositiveNumber);
  cmd->add_option("--speed", a->speed, "Scan speed for .ply instead of --pitch, mm/s (> 0)")
      ->check(CLI::PositiveNumber)
      ->excludes(pitch);
  cmd->callback([&g, &run, a] { run = [&g, a] { run_convert(g, *a); }; });
}

}  // namespace mokctl
