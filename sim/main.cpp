// mok-camsim: the command line around camsim::Simulator. Sends log records
// to standard error, prints the bound address as the first line of standard
// output and runs until a signal or --duration ends it.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <variant>

#include "common/log.hpp"
#include "sim/command_line.hpp"
#include "sim/simulator.hpp"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void log_to_stderr(int level, const char* target, const char* message, void*) {
  const auto name = mok::log::level_name(static_cast<mok::log::Level>(level));
  std::fprintf(stderr, "%.*s %s: %s\n", static_cast<int>(name.size()), name.data(), target, message);
}

}  // namespace

int main(int argc, char** argv) {
  auto parsed = camsim::parse_command_line(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const camsim::CommandLine& line = std::get<camsim::CommandLine>(parsed);
  const camsim::Options& o = line.options;
  const double duration = line.duration_s;
  mok::log::set_callback(log_to_stderr, line.log_level, nullptr);

  camsim::Simulator sim(o);
  auto port = sim.start();
  if (!port) {
    std::fprintf(stderr, "mok-camsim: %s\n", port.error().c_str());
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
