// Reading the client's figures at the end of a soak and the checks that tie
// them to the soak's own tallies.
#include "stats_check.hpp"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <thread>

namespace soak {
namespace {

std::uint64_t disconnects(const mok_stats_t& s) {
  return s.disconnects_remote_close + s.disconnects_inactivity + s.disconnects_decode_error +
         s.disconnects_write_failure + s.disconnects_stop;
}

bool same_figures(const mok_stats_t& a, const mok_stats_t& b) {
  return a.state == b.state && a.connect_attempts == b.connect_attempts &&
         a.connections_established == b.connections_established && disconnects(a) == disconnects(b) &&
         a.packets_received == b.packets_received && a.scan_results == b.scan_results;
}

// The counters are read one after another, so a copy taken while a
// connection comes or goes can be off by that event; two equal copies in a
// row are not.
bool read_settled(mok_client_t* client, mok_stats_t& out) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  mok_stats_t prev{};
  if (mok_get_stats(client, &prev, sizeof prev) != MOK_OK) return false;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (mok_get_stats(client, &out, sizeof out) != MOK_OK) return false;
    if (same_figures(prev, out)) return true;
    if (std::chrono::steady_clock::now() > limit) return true;  // the checks will tell
    prev = out;
  }
}

struct Report {
  bool ok = true;
  void check(bool pass, const char* what, std::uint64_t got, std::uint64_t want) {
    std::printf("  %-58s %12" PRIu64 " %s %" PRIu64 "%s\n", what, got, pass ? "==" : "!=", want,
                pass ? "" : "  MISMATCH");
    ok = ok && pass;
  }
  void check_eq(const char* what, std::uint64_t got, std::uint64_t want) { check(got == want, what, got, want); }
};

}  // namespace

bool check_client_stats(mok_client_t* client, const Tallies& t) {
  mok_stats_t s{};
  if (!read_settled(client, s)) {
    std::printf("client statistics: not available\n");
    return false;
  }
  std::printf("client statistics: state %" PRIu32 ", %" PRIu64 " attempts, %" PRIu64
              " established; disconnects: remote close %" PRIu64 ", inactivity %" PRIu64 ", decode error %" PRIu64
              ", write failure %" PRIu64 ", stop %" PRIu64 "\n",
              s.state, s.connect_attempts, s.connections_established, s.disconnects_remote_close,
              s.disconnects_inactivity, s.disconnects_decode_error, s.disconnects_write_failure,
              s.disconnects_stop);
  std::printf("  received %" PRIu64 " packets (%" PRIu64 " bytes): %" PRIu64 " register reports, %" PRIu64
              " scan results (%" PRIu64 " rejected), %" PRIu64 " snapshot images, %" PRIu64 " video, %" PRIu64
              " ignored; sent %" PRIu64 " packets, refused %" PRIu64 " + %" PRIu64 "\n",
              s.packets_received, s.bytes_received, s.register_reports, s.scan_results, s.scan_results_rejected,
              s.snapshot_images, s.video_packets, s.ignored_packets, s.packets_sent, s.send_refused_not_connected,
              s.send_refused_queue_full);

  Report r;
  const std::uint64_t open_now = s.state == MOK_STATE_CONNECTED ? 1 : 0;
  r.check_eq("scan results accepted (counted - rejected) vs host callbacks",
             s.scan_results - s.scan_results_rejected, t.host_results);
  r.check_eq("scan results counted vs forwarded by the relay", s.scan_results, t.scans_forwarded);
  r.check_eq("scan results rejected", s.scan_results_rejected, 0);
  r.check_eq("connections established vs CONNECTED reports", s.connections_established, t.host_connected);
  r.check(s.connect_attempts >= s.connections_established, "connect attempts >= established", s.connect_attempts,
          s.connections_established);
  r.check_eq("disconnects vs established - still connected", disconnects(s), s.connections_established - open_now);
  // The relay ends every connection between packets, so each loss is the
  // peer's orderly close.
  r.check_eq("remote closes vs all disconnects", s.disconnects_remote_close, disconnects(s));
  r.check_eq("packets received vs the sum of their classes", s.packets_received,
             s.register_reports + s.snapshot_images + s.scan_results + s.video_packets + s.ignored_packets);
  r.check_eq("sends refused for a full queue", s.send_refused_queue_full, 0);
  return r.ok;
}

}  // namespace soak
