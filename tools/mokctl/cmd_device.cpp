// info, set, scan and snapshot: the commands that talk to a camera through
// the device interface only.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands.hpp"
#include "files.hpp"
#include "point_files.hpp"
#include "recorder.hpp"
#include "scan_stream.hpp"

namespace mokctl {
namespace {

template <class T>
std::string show(const std::optional<T>& v) {
  if (!v) return "(not reported)";
  if constexpr (std::is_same_v<T, bool>) {
    return *v ? "on" : "off";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return *v;
  } else {
    return std::to_string(*v);
  }
}

template <class F>
auto read_or_reason(F&& get) -> decltype(get()) {
  try {
    return get();
  } catch (const mok::Error&) {
    return std::nullopt;  // a text with a zero byte: shown as not reported
  }
}

// An RTS write: the camera's clock then runs on from `value`, so a report
// received `elapsed` later confirms it when it lies within [value, value +
// elapsed].
struct RtsWrite {
  std::uint64_t value;
  std::chrono::steady_clock::time_point at;

  bool confirmed_by(const std::optional<std::uint64_t>& reported) const {
    if (!reported || *reported < value) return false;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - at);
    return *reported - value <= static_cast<std::uint64_t>(elapsed.count());
  }
};

std::uint64_t wall_clock_us() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count());
}

std::string join(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " and " : ", ";
    out += names[i];
  }
  return out;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

void print_device(mok::Client& c) {
  std::printf("  board id       %s\n", show(read_or_reason([&] { return c.board_id(); })).c_str());
  std::printf("  serial number  %s\n", show(read_or_reason([&] { return c.serial_number(); })).c_str());
  std::printf("  CTS            %s\n", show(c.cts()).c_str());
  std::printf("  RTS            %s\n", show(c.rts()).c_str());
  std::printf("  exposure time  %s\n", show(c.exposure_time()).c_str());
  std::printf("  laser          %s\n", show(c.laser_enable()).c_str());
  std::printf("  laser strength %s\n", show(c.laser_strength()).c_str());
  std::printf("  task id        %s\n", show(c.task_id()).c_str());
}

void add_info(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto* cmd = app.add_subcommand("info", "Show a camera's identity and settings.");
  auto address = std::make_shared<std::string>();
  cmd->add_option("ADDR", *address, "Camera address: HOST, HOST:PORT or [IPv6]:PORT (port 6833 by default)")
      ->required();
  cmd->callback([&g, &run, address] {
    run = [&g, address] {
      Session s(*address, g);
      s.wait_params();
      std::printf("camera %s (library %s)\n", address->c_str(), mok::version());
      print_device(s.client());
    };
  });
}

void add_set(CLI::App& app, const GlobalOptions& g, Runner& run) {
  struct Args {
    std::string address;
    std::optional<std::uint32_t> exposure, strength, task;
    std::optional<bool> laser;
    std::string laser_text, rts_text;
  };
  auto a = std::make_shared<Args>();
  auto* cmd =
      app.add_subcommand("set", "Change camera settings and wait until the camera reports the new values.");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  cmd->add_option("--exposure", a->exposure,
                  "Exposure time in the camera's unit (0 to 4294967295; the protocol fixes no unit)");
  cmd->add_option("--laser", a->laser_text, "Switch the laser on or off")->check(CLI::IsMember({"on", "off"}));
  cmd->add_option("--strength", a->strength, "Laser strength in the camera's unit (0 to 4294967295)");
  cmd->add_option("--task", a->task, "Task id (0 to 4294967295)");
  cmd->add_option("--rts", a->rts_text,
                  "Set RTS, the camera's microsecond clock: \"now\" (this host's clock, microseconds since 1970) "
                  "or a number of microseconds, 1 to 18446744073709551615");
  cmd->callback([&g, &run, a] {
    if (!a->laser_text.empty()) a->laser = a->laser_text == "on";
    std::optional<std::uint64_t> rts;
    if (!a->rts_text.empty()) {
      if (a->rts_text == "now") {
        rts = 0;
      } else {
        try {
          std::size_t used = 0;
          rts = std::stoull(a->rts_text, &used);
          if (used != a->rts_text.size() || *rts == 0) throw std::invalid_argument("rts");
        } catch (const std::exception&) {
          throw CLI::ValidationError("--rts", "expects \"now\" or a positive number");
        }
      }
    }
    if (!a->exposure && !a->strength && !a->task && !a->laser && !rts) {
      throw CLI::ValidationError("set", "give at least one of --exposure, --laser, --strength, --task, --rts");
    }
    run = [&g, a, rts] {
      Session s(a->address, g);
      s.wait_params();
      mok::Client& c = s.client();
      if (a->exposure) s.run("set the exposure time", [&] { c.set_exposure_time(*a->exposure); });
      if (a->laser) s.run("switch the laser", [&] { c.set_laser_enable(*a->laser); });
      if (a->strength) s.run("set the laser strength", [&] { c.set_laser_strength(*a->strength); });
      if (a->task) s.run("set the task id", [&] { c.set_task_id(*a->task); });
      std::optional<RtsWrite> rts_write;
      if (rts) {
        // "now" is read here rather than by the library, so the value the
        // camera must report back is known.
        rts_write = RtsWrite{*rts == 0 ? wall_clock_us() : *rts, std::chrono::steady_clock::now()};
        s.run("set RTS", [&] { c.set_rts(rts_write->value); });
      }
      // Until the writes have left, closing would drop them.
      s.run("send the new settings", [&] { c.flush(s.timeout()); });
      // The getters answer from the camera's reports; each RTS pull asks for
      // a report that comes after the writes, so what it shows is the
      // camera's answer to them.
      auto unconfirmed = [&] {
        std::vector<std::string> left;
        if (a->exposure && c.exposure_time() != a->exposure) left.push_back("exposure time");
        if (a->laser && c.laser_enable() != a->laser) left.push_back("laser");
        if (a->strength && c.laser_strength() != a->strength) left.push_back("laser strength");
        if (a->task && c.task_id() != a->task) left.push_back("task id");
        if (rts_write && !rts_write->confirmed_by(c.rts())) left.push_back("RTS");
        return left;
      };
      const auto until = std::chrono::steady_clock::now() + s.timeout();
      std::vector<std::string> left = {"(no report yet)"};
      while (!left.empty() && std::chrono::steady_clock::now() < until) {
        try {
          c.pull_rts(std::min<mok::Millis>(s.timeout(), mok::Millis(500)));
          left = unconfirmed();
        } catch (const mok::Error&) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));  // no report or not connected
        }
      }
      if (!left.empty()) {
        std::printf("now reported:\n");
        print_device(c);
        throw Failure(kTimeout, format("The camera at %s did not confirm the new %s within %.1f s.",
                                       a->address.c_str(), join(left).c_str(), g.timeout_s));
      }
      std::printf("camera %s confirmed the new settings:\n", a->address.c_str());
      print_device(c);
    };
  });
}

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

void add_snapshot(CLI::App& app, const GlobalOptions& g, Runner& run) {
  struct Args {
    std::string address, out, format;
    std::int32_t format_code = MOK_IMAGE_RAW, quality = 0;
    bool mark_seam = false;
  };
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand("snapshot", "Take one still image and save it as received (JPEG, PNG or raw).");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  cmd->add_option("-o,--output", a->out,
                  "File to write (default snapshot.jpg/.png/.raw by format); a raw 8-bit image "
                  "is converted when the name ends in .png");
  auto* format_opt =
      cmd->add_option("--format", a->format,
                      "Image format to ask for: raw (8-bit grey of the reported sensor size), jpeg or png "
                      "(format code 0, 1 or 2; default raw)")
          ->check(CLI::IsMember({"raw", "jpeg", "png"}));
  cmd->add_option("--format-code", a->format_code,
                  "Image format as the camera's number, passed as it is (0 to 2147483647; --format names "
                  "the common ones)")
      ->check(CLI::Range(0, 2147483647))
      ->excludes(format_opt);
  cmd->add_option("--quality", a->quality,
                  "JPEG quality, passed to the camera as it is (0 to 2147483647; default 0; the simulator "
                  "takes 1 to 100, 0 meaning 85)")
      ->check(CLI::Range(0, 2147483647));
  cmd->add_flag("--mark-seam", a->mark_seam, "Ask for the found seam to be drawn on the image");
  cmd->callback([&g, &run, a] {
    run = [&g, a] {
      Session s(a->address, g);
      s.wait_params();  // raw images take their size from the reported registers
      const std::int32_t image_format = a->format == "raw"    ? MOK_IMAGE_RAW
                                        : a->format == "jpeg" ? MOK_IMAGE_JPEG
                                        : a->format == "png"  ? MOK_IMAGE_PNG
                                                              : a->format_code;
      s.run("request a snapshot", [&] { s.client().snapshot(image_format, a->mark_seam, a->quality); });
      auto image = s.client().recv_snapshot_image(s.timeout());
      if (!image) {
        throw Failure(kTimeout,
                      format("The camera at %s sent no snapshot within %.1f s.", a->address.c_str(), g.timeout_s));
      }
      std::string path = a->out.empty() ? std::string("snapshot.") + image->extension() : a->out;
      auto bytes = image->data();
      const bool raw = image->format() == mok::ImageFormat::Raw;
      const std::size_t pixels = static_cast<std::size_t>(image->width()) * image->height();
      if (raw && ends_with(path, ".png") && pixels > 0 && bytes.size() == pixels) {
        // One byte per pixel: grey levels, which a PNG shows as they are.
        write_png(path, PixelView{bytes.data(), static_cast<int>(image->width()),
                                  static_cast<int>(image->height()), static_cast<int>(image->width()), 1});
        std::printf("wrote %s (raw %ux%u grey, converted to PNG)\n", path.c_str(), image->width(),
                    image->height());
        return;
      }
      write_bytes(path, bytes.data(), bytes.size());
      if (raw) {
        std::printf("wrote %s (raw %ux%u, %zu bytes)\n", path.c_str(), image->width(), image->height(),
                    bytes.size());
      } else {
        std::printf("wrote %s (%s, %zu bytes)\n", path.c_str(),
                    image->format() == mok::ImageFormat::Jpeg ? "JPEG" : "PNG", bytes.size());
      }
    };
  });
}

}  // namespace mokctl
