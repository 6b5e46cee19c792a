// mokctl stats: a live view of a client's counters, one line a second, then
// the whole table; the demo prints the same table as its summary.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <thread>

#include "commands.hpp"

namespace mokctl {

void print_stats(mok::Client& client) {
  const mok_stats_t s = client.stats();
  std::printf("Connection: %s for %" PRIu64 " ms; %" PRIu64 " attempts, %" PRIu64 " established\n",
              s.state == 0 ? "no state yet" : mok::state_name(static_cast<mok::State>(s.state)),
              s.time_in_state_ms, s.connect_attempts, s.connections_established);
  std::printf("Disconnects: remote close %" PRIu64 ", inactivity %" PRIu64 ", decode error %" PRIu64
              ", write failure %" PRIu64 ", stop %" PRIu64 "\n",
              s.disconnects_remote_close, s.disconnects_inactivity, s.disconnects_decode_error,
              s.disconnects_write_failure, s.disconnects_stop);
  std::printf("Received: %" PRIu64 " packets, %" PRIu64 " bytes; sent: %" PRIu64 " packets, %" PRIu64 " bytes\n",
              s.packets_received, s.bytes_received, s.packets_sent, s.bytes_sent);
  std::printf("By class: %" PRIu64 " register reports, %" PRIu64 " snapshot images, %" PRIu64
              " scan results (%" PRIu64 " rejected), %" PRIu64 " video, %" PRIu64 " ignored\n",
              s.register_reports, s.snapshot_images, s.scan_results, s.scan_results_rejected, s.video_packets,
              s.ignored_packets);
  std::printf("Snapshots: %" PRIu64 " queued, %" PRIu64 " received, %" PRIu64 " dropped unreceived\n",
              s.snapshots_queued, s.snapshots_received, s.snapshots_dropped);
  std::printf("Video: %" PRIu64 " posted, %" PRIu64 " skipped, %" PRIu64 " decoded, %" PRIu64
              " delivered, %" PRIu64 " dropped\n",
              s.video_packets_posted, s.video_packets_skipped, s.frames_decoded, s.frames_delivered,
              s.frames_dropped);
  std::printf("Sends refused: %" PRIu64 " not connected, %" PRIu64 " queue full; queue depth %" PRIu64 "\n",
              s.send_refused_not_connected, s.send_refused_queue_full, s.queue_depth);
  std::printf("Scan rate: %.0f results/s\n", s.scan_rate_hz);
  if (auto e = client.last_error()) std::printf("Last failure: %s\n", e->c_str());
}

namespace {

struct StatsArgs {
  std::string address;
  double seconds = 5.0;
};

void run_stats(const GlobalOptions& g, const StatsArgs& a) {
  Session s(a.address, g);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(a.seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const mok_stats_t st = s.client().stats();
    std::printf("%6.0f scans/s  %8" PRIu64 " packets in  %10" PRIu64 " bytes in  %4" PRIu64 " rejected  %4" PRIu64
                " disconnects\n",
                st.scan_rate_hz, st.packets_received, st.bytes_received, st.scan_results_rejected,
                st.disconnects_remote_close + st.disconnects_inactivity + st.disconnects_decode_error +
                    st.disconnects_write_failure + st.disconnects_stop);
    std::fflush(stdout);
  }
  print_stats(s.client());
  s.require_connection("watching the figures");
}

}  // namespace

void add_stats(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto a = std::make_shared<StatsArgs>();
  auto* cmd =
      app.add_subcommand("stats", "Watch the connection's figures: rates, counts, drops and the last failure.");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  cmd->add_option("--seconds", a->seconds, "How long to watch, seconds (1 to 86400; default 5)")
      ->check(CLI::Range(1.0, 86400.0));
  cmd->callback([&g, &run, a] { run = [&g, a] { run_stats(g, *a); }; });
}

}  // namespace mokctl
