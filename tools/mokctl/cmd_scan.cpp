// mokctl scan: receives profiles with a live status line and writes the
// results table, the point files and a plot of the last profile.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "commands.hpp"
#include "output_files.hpp"
#include "point_files.hpp"
#include "scan_stream.hpp"
#include "signals.hpp"

namespace mokctl {
namespace {

struct ScanArgs {
  std::string address, csv, plot, points, ply;
  double seconds = 0;
  std::size_t count = 0;
  ScanAxis axis;
  double speed = 0;
};

// Receives until the time or count is reached, no result came for the
// time-out (with --count), Ctrl-C or SIGTERM arrives, or the CSV's reader
// went away; the table is streamed as results arrive and flushed every
// 250 ms, and the summary and plot are written whichever way it ends.
void run_scan(const GlobalOptions& g, const ScanArgs& a) {
  // Output paths first: a bad one ends the command before it connects.
  std::unique_ptr<CsvStream> csv;
  if (!a.csv.empty()) csv = std::make_unique<CsvStream>(a.csv);
  if (!a.plot.empty()) check_writable(a.plot);
  ScanAxis axis = a.axis;
  if (a.speed > 0) axis.speed_mm_s = a.speed;
  PointWriter points(a.points, a.ply, axis);
  catch_interrupt();
  std::FILE* info = csv && csv->to_stdout() ? stderr : stdout;
  Session s(a.address, g);
  ScanRecorder rec;
  if (points.wanted()) rec.keep_results();
  rec.attach(s.client());
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  const auto end = t0 + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(a.seconds > 0 ? a.seconds : 5.0));
  std::size_t streamed = 0;
  bool reader_gone = false;
  std::optional<mok::ScanResult> last_kept;
  auto stream_rows = [&] {
    if (points.wanted()) {
      for (auto& [index, result] : rec.take_results()) {
        if (a.count && index >= a.count) break;
        points.add(index, result);
        last_kept = std::move(result);
      }
    }
    if (!csv || reader_gone) return;
    auto rows = rec.rows_since(streamed);
    if (a.count && streamed + rows.size() > a.count) rows.resize(a.count - streamed);
    streamed += rows.size();
    if (!csv->append(rows)) reader_gone = true;
  };
  {
    StatusLine status(rec, info);
    std::size_t last_count = 0;
    auto last_progress = t0;
    for (;;) {
      auto until = Clock::now() + std::chrono::milliseconds(250);
      if (!a.count) until = std::min(until, end);
      const std::size_t got = rec.wait_for(a.count ? a.count : SIZE_MAX, until);
      stream_rows();
      const auto now = Clock::now();
      if (interrupted() || reader_gone) break;
      if (a.count) {
        if (got >= a.count) break;
        if (got != last_count) {
          last_count = got;
          last_progress = now;
        } else if (now - last_progress >= s.timeout()) {
          break;
        }
      } else if (now >= end) {
        break;
      }
    }
  }
  rec.detach(s.client());
  stream_rows();
  const double dt = std::chrono::duration<double>(Clock::now() - t0).count();
  auto rows = rec.rows();
  if (a.count && rows.size() > a.count) rows.resize(a.count);
  std::size_t seams = 0;
  for (const auto& r : rows) seams += r.seam_found ? 1 : 0;
  std::fprintf(info, "received %zu results in %.1f s (%.0f/s), seam found in %.0f%%%s\n", rows.size(), dt,
               static_cast<double>(rows.size()) / dt,
               rows.empty() ? 0.0 : 100.0 * static_cast<double>(seams) / static_cast<double>(rows.size()),
               interrupted() ? " (interrupted)"
               : reader_gone ? " (the table's reader went away)"
                             : "");
  if (csv) {
    csv->close();
    if (!csv->to_stdout()) std::fprintf(info, "wrote %s\n", a.csv.c_str());
  }
  points.close();
  if (!a.points.empty()) std::fprintf(info, "wrote %s\n", a.points.c_str());
  if (!a.ply.empty()) {
    std::fprintf(info, "wrote %s (%llu points)\n", a.ply.c_str(),
                 static_cast<unsigned long long>(points.cloud_points()));
  }
  if (!a.plot.empty()) {
    if (!last_kept) last_kept = rec.take_latest();
    if (auto& last = last_kept) {
      write_text(a.plot, profile_svg(*last, "Profile from " + a.address));
      std::fprintf(info, "wrote %s\n", a.plot.c_str());
    }
  }
  std::fflush(info);
  if (interrupted() || reader_gone) return;
  if (!a.count || rows.size() < a.count) s.require_connection("receiving profiles");
  if (rows.empty()) {
    throw Failure(kTimeout, format("The camera at %s sent no scan results.", a.address.c_str()));
  }
  if (a.count && rows.size() < a.count) {
    throw Failure(kTimeout, format("The camera at %s stopped sending after %zu of %zu results.", a.address.c_str(),
                                   rows.size(), a.count));
  }
}

}  // namespace

void add_scan(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto a = std::make_shared<ScanArgs>();
  auto* cmd = app.add_subcommand(
      "scan", "Receive profiles with a live status line; optionally save them as CSV and plot the last one.");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  auto* secs = cmd->add_option("--seconds", a->seconds, "Receive for this long, seconds (> 0; default 5)")
                   ->check(CLI::PositiveNumber);
  cmd->add_option("--count", a->count, "Receive exactly this many results (>= 1)")
      ->check(CLI::PositiveNumber)
      ->excludes(secs);
  cmd->add_option("--csv", a->csv,
                  "Write one line per result to this file as results arrive: t_s (seconds), pts "
                  "(microseconds), seam values (camera unit), latency_ms (\"-\": standard output, "
                  "the status then goes to standard error)");
  cmd->add_option("--plot", a->plot,
                  "Write the last profile as an SVG plot to this file (axes in the camera unit)");
  cmd->add_option("--points", a->points,
                  "Write every profile point to this CSV file as results arrive: result index, device time "
                  "(microseconds), point index, y, z (camera unit; simulator: mm)");
  cmd->add_option("--ply", a->ply,
                  "Write the accumulated profiles as a point cloud (ASCII PLY): x along the scan, from "
                  "--pitch or --speed; points without a laser return are left out");
  auto* pitch =
      cmd->add_option("--pitch", a->axis.pitch_mm, "Scan advance per profile for --ply, mm (default 1; > 0)")
          ->check(CLI::PositiveNumber);
  cmd->add_option("--speed", a->speed,
                  "Scan speed for --ply instead of --pitch, mm/s (> 0; x = device time x speed)")
      ->check(CLI::PositiveNumber)
      ->excludes(pitch);
  cmd->callback([&g, &run, a] { run = [&g, a] { run_scan(g, *a); }; });
}

}  // namespace mokctl
