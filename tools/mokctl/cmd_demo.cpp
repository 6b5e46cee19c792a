// mokctl demo: the whole SDK tour against a simulated camera started in this
// process on a free loopback port, so it needs no camera, no network and no
// argument.
#include <chrono>
#include <cstdio>
#include <thread>

#include "commands.hpp"
#include "demo_camera.hpp"
#include "output_files.hpp"
#include "scan_stream.hpp"
#include "video.hpp"

namespace mokctl {
namespace {

struct DemoArgs {
  std::string dir = ".";
  double seconds = 3.0;
  int frames = 5;
};

// Starts the simulator, with video when this build can show it; a machine
// without the encoder still gets the rest of the demo.
std::unique_ptr<sim::DemoCamera> start_simulator(bool with_video, std::string& note) {
  std::string error;
  auto cam = sim::DemoCamera::start(with_video, error);
  if (!cam && with_video) {
    note = "the simulator cannot encode video here (" + error + ")";
    cam = sim::DemoCamera::start(false, error);
  }
  if (!cam) throw Failure(kFailed, "The simulated camera did not start: " + error + ".");
  return cam;
}

void run_demo(const GlobalOptions& g, const DemoArgs& a) {
  make_dirs(a.dir);
  std::vector<std::string> files;
  std::string video_note;
  auto camera = start_simulator(video_built_in(), video_note);
  std::string address = format("127.0.0.1:%u", camera->port());
  std::printf("1. Started a simulated camera on %s.\n", address.c_str());

  Session s(address, g);
  mok::Client& c = s.client();
  s.wait_params();
  std::printf("2. Connected with libmok %s; the camera reports:\n", mok::version());
  print_device(c);

  // RTS from this host's clock makes the result time stamps comparable with
  // the arrival times, which gives the latency column.
  s.run("set RTS", [&] { c.set_rts(0); });
  s.run("switch the laser on", [&] { c.set_laser_enable(true); });
  auto until = std::chrono::steady_clock::now() + s.timeout();
  while (c.laser_enable() != true && std::chrono::steady_clock::now() < until) {
    try {
      c.pull_rts(mok::Millis(200));
    } catch (const mok::Error&) {
    }
  }
  std::printf("3. Laser %s. Streaming for %.0f s:\n", c.laser_enable() == true ? "on" : "still off", a.seconds);
  std::fflush(stdout);

  ScanRecorder rec;
  rec.attach(c);
  {
    StatusLine status(rec);
    std::this_thread::sleep_for(std::chrono::duration<double>(a.seconds));
  }
  rec.detach(c);
  auto rows = rec.rows();
  std::size_t seams = 0;
  for (const auto& r : rows) seams += r.seam_found ? 1 : 0;
  std::printf("   %zu results, seam found in %.0f%%.\n", rows.size(),
              rows.empty() ? 0.0 : 100.0 * static_cast<double>(seams) / static_cast<double>(rows.size()));
  if (rows.empty()) throw Failure(kTimeout, "The simulated camera sent no scan results.");

  std::string csv = join_path(a.dir, "demo_results.csv");
  write_text(csv, scan_csv(rows));
  files.push_back(csv);
  if (auto last = rec.take_latest()) {
    std::string svg = join_path(a.dir, "demo_profile.svg");
    write_text(svg, profile_svg(*last, "Last profile from the simulated camera"));
    files.push_back(svg);
  }

  // The simulator answers a first request value of 1 with a JPEG image.
  s.run("request a snapshot", [&] { c.snapshot(MOK_IMAGE_JPEG); });
  auto image = c.recv_snapshot_image(s.timeout());
  if (!image) throw Failure(kTimeout, "The simulated camera sent no snapshot.");
  std::string snap = join_path(a.dir, std::string("demo_snapshot.") + image->extension());
  write_bytes(snap, image->data().data(), image->data().size());
  files.push_back(snap);
  std::printf("4. Snapshot: %zu bytes (%s).\n", image->data().size(), image->extension());

  if (video_built_in() && video_note.empty()) {
    try {
      auto frames = capture_video(s, a.frames, a.dir, "demo_frame_", 1);
      std::printf("5. Video: received %d frames, saved the last one.\n", a.frames);
      files.insert(files.end(), frames.begin(), frames.end());
    } catch (const Failure& f) {
      video_note = f.what();
    }
  } else if (video_note.empty()) {
    video_note = "this build has no video support";
  }
  if (!video_note.empty()) std::printf("5. Video skipped: %s\n", video_note.c_str());

  std::printf("Figures of this session:\n");
  print_stats(s.client());
  std::printf("Done. Files written:\n");
  for (const auto& f : files) std::printf("  %s\n", f.c_str());
  std::fflush(stdout);
}

}  // namespace

void add_demo(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto a = std::make_shared<DemoArgs>();
  auto* cmd = app.add_subcommand(
      "demo",
      "Start a simulated camera in this process and show the SDK at work: identity and settings, "
      "laser on, a live scan status, a snapshot, video frames, a profile plot and a CSV of the results.");
  cmd->add_option("-o,--output", a->dir, "Directory for the files (default: current directory)");
  cmd->add_option("--seconds", a->seconds, "How long to stream profiles (default 3)")
      ->check(CLI::Range(0.5, 3600.0));
  cmd->add_option("--frames", a->frames, "Video frames to receive (default 5)")->check(CLI::Range(1, 1000));
  cmd->callback([&g, &run, a] { run = [&g, a] { run_demo(g, *a); }; });
}

}  // namespace mokctl
