// mokctl: a command-line tool for the camera, built on libmok's public C
// interface (through mok.hpp). `mokctl demo` needs no camera.
#include <cstdio>

#include "commands.hpp"

int main(int argc, char** argv) {
  using namespace mokctl;
  CLI::App app{
      "mokctl: talk to a laser line-scanning camera through libmok.\n"
      "Start with `mokctl demo`, which needs no camera."};
  app.footer(
      "\nExit codes: 0 success, 1 failure, 2 bad arguments or address, 3 camera unreachable, or "
      "the connection lost and not back when scan, video or stats ended, 4 the camera did not "
      "answer or confirm in time, 5 no video decoder library, 6 a calibration refused.\n"
      "Each loss and return of the connection is reported on standard error with its cause, and "
      "so are the library's warnings and errors (everything with -v).");
  GlobalOptions g;
  app.add_flag("-v,--verbose", g.verbose, "Show the library's log records on standard error");
  app.add_option("--timeout", g.timeout_s,
                 "Seconds to wait for the connection and each answer (0.1 to 3600; default 5)")
      ->check(CLI::Range(0.1, 3600.0));
  // The connection's timings; the library checks the same ranges.
  app.add_option("--reconnect-delay", g.reconnect_delay_ms,
                 "Milliseconds between a lost connection or failed attempt and the next attempt "
                 "(10 to 86400000; default 5000)")
      ->check(CLI::Range(10u, 86400000u));
  app.add_option("--connect-timeout", g.connect_timeout_ms,
                 "Milliseconds one connection attempt may take (10 to 86400000; default 10000)")
      ->check(CLI::Range(10u, 86400000u));
  app.add_option("--inactivity-timeout", g.inactivity_timeout_ms,
                 "Milliseconds without any packet after which the connection counts as lost "
                 "(100 to 86400000; default 10000)")
      ->check(CLI::Range(100u, 86400000u));
  app.add_option("--write-timeout", g.write_timeout_ms,
                 "Milliseconds one write to the camera may stall before the connection counts as "
                 "lost (10 to 86400000; default 10000)")
      ->check(CLI::Range(10u, 86400000u));
  app.set_version_flag("--version", std::string("mokctl with libmok ") + mok::version());
  app.require_subcommand(1);
  app.fallthrough();

  Runner run;
  add_demo(app, g, run);
  add_info(app, g, run);
  add_set(app, g, run);
  add_scan(app, g, run);
  add_snapshot(app, g, run);
  add_video(app, g, run);
  add_record(app, g, run);
  add_stats(app, g, run);
  add_view(app, g, run);
  add_convert(app, g, run);
  add_track(app, g, run);
#ifdef MOKCTL_CALIBRATE
  add_calibrate(app, g, run);
#endif

  if (argc < 2) {
    std::printf("%s", app.help().c_str());
    return kUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : kUsage;
  }
  // Without -v only the library's warnings and errors show: they explain a
  // connection that fails again and again, which mokctl's own sentences
  // summarise only at the end.
  enable_library_log(g.verbose);
  try {
    if (run) run();
  } catch (const Failure& f) {
    std::fflush(stdout);
    std::fprintf(stderr, "mokctl: %s\n", f.what());
    return f.exit_code();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "mokctl: unexpected error: %s\n", e.what());
    return kFailed;
  }
  return kOk;
}
