// mok-bench-e2e: measures the same work twice on loopback, once through a
// bare recv loop that cuts packets by their head and once through the
// library's C interfaces, and prints both with their ratio. The sender is a
// thread of this program; nothing leaves 127.0.0.1. Figures only, no verdicts.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "alloc_count.hpp"
#include "brelo/payload_decode.hpp"
#include "loopback.hpp"
#include "mok/mok.h"
#include "mok/mok_fxt.h"
#include "sim/scan_payload.hpp"
#include "sim/scene.hpp"
#include "single_pass_decode.hpp"

namespace {

using bench::now_ns;

struct Options {
  double seconds = 2.0;  // per throughput measurement; paced runs take 1.5 times this
  std::string only;      // transport (transport64: 64-byte payloads only), device, latency or many; empty: all
  int rounds = 3;        // latency and many: alternating raw/library runs, medians printed
};

// Receiving side's tally, shared by the raw loops and the library callbacks.
struct Tally {
  std::atomic<std::uint64_t> packets{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> first_ns{0};
  std::atomic<std::uint64_t> last_ns{0};
  std::atomic<std::uint64_t> allocs_at_first{0};
  std::vector<std::uint64_t> delays;  // paced runs, reserved up front
  std::atomic<std::size_t> ndelays{0};

  void reset(std::size_t expected_delays) {
    packets = 0;
    bytes = 0;
    first_ns = 0;
    last_ns = 0;
    delays.assign(expected_delays, 0);
    ndelays = 0;
  }
  void count(std::size_t payload_bytes) {
    const std::uint64_t t = now_ns();
    if (packets.fetch_add(1, std::memory_order_relaxed) == 0) {
      first_ns.store(t, std::memory_order_relaxed);
      allocs_at_first.store(bench::allocations(), std::memory_order_relaxed);
    }
    bytes.fetch_add(payload_bytes, std::memory_order_relaxed);
    last_ns.store(t, std::memory_order_relaxed);
  }
  void delay(std::uint64_t pts) {
    const std::uint64_t t = now_ns();
    const std::size_t i = ndelays.fetch_add(1, std::memory_order_relaxed);
    if (i < delays.size()) delays[i] = t > pts ? t - pts : 0;
  }
  double seconds() const { return static_cast<double>(last_ns - first_ns) * 1e-9; }
  double per_second() const { return packets > 1 ? static_cast<double>(packets - 1) / seconds() : 0.0; }
  double mb_per_second() const { return packets > 1 ? static_cast<double>(bytes) / seconds() / 1e6 : 0.0; }
  // Deliveries later than `ns` after their stamp.
  std::size_t later_than(std::uint64_t ns) const {
    const std::size_t n = std::min(ndelays.load(), delays.size());
    return static_cast<std::size_t>(std::count_if(delays.begin(), delays.begin() + static_cast<std::ptrdiff_t>(n),
                                                  [ns](std::uint64_t d) { return d > ns; }));
  }
  double percentile_us(double q) {
    const std::size_t n = std::min(ndelays.load(), delays.size());
    if (n == 0) return 0.0;
    std::vector<std::uint64_t> v(delays.begin(), delays.begin() + static_cast<std::ptrdiff_t>(n));
    const auto k = std::min(n - 1, static_cast<std::size_t>(q * static_cast<double>(n)));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return static_cast<double>(v[k]) / 1000.0;
  }
};

Tally g_tally;

// Waits (bounded) until `target` packets arrived; returns the allocations
// made per packet after the first one.
double wait_for(std::uint64_t target, double limit_s) {
  const std::uint64_t end = now_ns() + static_cast<std::uint64_t>(limit_s * 1e9);
  while (g_tally.packets.load() < target && now_ns() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const std::uint64_t n = g_tally.packets.load();
  if (n < 2) return 0.0;
  return static_cast<double>(bench::allocations() - g_tally.allocs_at_first.load()) / static_cast<double>(n - 1);
}

std::string address(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// ---- printing ---------------------------------------------------------------

void header(const char* title) {
  std::printf("\n## %s\n\n| measurement | raw recv | library | library / raw |\n|---|---:|---:|---:|\n", title);
}
void row(const char* name, double raw, double lib, const char* unit) {
  std::printf("| %s | %.4g %s | %.4g %s | %.2f |\n", name, raw, unit, lib, unit, raw > 0 ? lib / raw : 0.0);
  std::fflush(stdout);
}
void note(const char* name, const std::string& value) {
  std::printf("| %s | | %s | |\n", name, value.c_str());
  std::fflush(stdout);
}

// ---- payloads ---------------------------------------------------------------

std::vector<std::vector<std::uint8_t>> scan_packets(std::size_t count) {
  camsim::SceneConfig cfg;
  cfg.point_count = 1280;
  std::vector<std::vector<std::uint8_t>> out;
  for (std::size_t i = 0; i < count; ++i) {
    const auto profile = camsim::generate_profile(cfg, i, static_cast<double>(i) / 1000.0);
    const auto payload = camsim::encode_scan_payload(profile, i);
    out.push_back(bench::wire_packet(0, mok::wire::stream::kScan, i, payload));
  }
  return out;
}

// Back-to-back copies of `packets` reaching at least `min_bytes`.
std::vector<std::uint8_t> batch_of(const std::vector<std::vector<std::uint8_t>>& packets, std::size_t min_bytes,
                                   std::size_t& count) {
  std::vector<std::uint8_t> out;
  count = 0;
  do {
    for (const auto& p : packets) {
      out.insert(out.end(), p.begin(), p.end());
      ++count;
    }
  } while (out.size() < min_bytes);
  return out;
}

// ---- transport path ---------------------------------------------------------

void fxt_packet_cb(mok_fxt_packet_t* p) { g_tally.count(mok_fxt_packet_payload_len(p)); }
void fxt_state_cb(uint32_t) {}

struct PathFigures {
  double per_s = 0;
  double mb_s = 0;
  double allocs = 0;
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
};

// The raw loop over a bulk stream of `batch`, calling on(head, payload) per packet.
template <class OnPacket>
PathFigures raw_bulk(const std::vector<std::uint8_t>& batch, std::size_t k, double secs, OnPacket on) {
  g_tally.reset(0);
  bench::Listener l;
  bench::SendReport sent;
  std::thread sender([&] { sent = bench::send_bulk(l, batch, k, secs); });
  const int fd = bench::connect_loopback(l.port);
  bench::RawCutter cutter;
  while (fd >= 0 && cutter.read_and_cut(fd, on)) {
  }
  sender.join();
  if (fd >= 0) ::close(fd);
  return {g_tally.per_second(), g_tally.mb_per_second(), 0, sent.packets, g_tally.packets};
}

PathFigures transport_raw(const std::vector<std::uint8_t>& batch, std::size_t k, double secs) {
  return raw_bulk(batch, k, secs,
                  [](const std::uint8_t*, std::span<const std::uint8_t> p) { g_tally.count(p.size()); });
}

PathFigures transport_lib(const std::vector<std::uint8_t>& batch, std::size_t k, double secs) {
  g_tally.reset(0);
  bench::Listener l;
  bench::SendReport sent;
  std::thread sender([&] { sent = bench::send_bulk(l, batch, k, secs); });
  mok_fxt_conn_t* conn = mok_fxt_connect(address(l.port).c_str(), fxt_packet_cb, fxt_state_cb);
  mok_fxt_conn_set_auto_reconnect(conn, false);
  sender.join();
  const double allocs = wait_for(sent.packets, 10.0);
  PathFigures f{g_tally.per_second(), g_tally.mb_per_second(), allocs, sent.packets, g_tally.packets};
  mok_fxt_conn_shutdown(conn);
  mok_fxt_conn_free(conn);
  return f;
}

void transport(const Options& o) {
  header("Transport path (mok_fxt_conn_*, counting packet callback)");
  for (const std::size_t size : {std::size_t{64}, std::size_t{6336}, std::size_t{1} << 20}) {
    if (o.only == "transport64" && size != 64) continue;
    const std::vector<std::uint8_t> payload(size, 0x5a);
    std::size_t k = 0;
    const auto batch = batch_of({bench::wire_packet(0, 1, 0, payload)}, 256 * 1024, k);
    const auto raw = transport_raw(batch, k, o.seconds);
    const auto lib = transport_lib(batch, k, o.seconds);
    const std::string name = std::to_string(size) + "-byte payloads";
    row((name + ", packets/s").c_str(), raw.per_s, lib.per_s, "");
    row((name + ", MB/s").c_str(), raw.mb_s, lib.mb_s, "");
    note((name + ", allocations per packet").c_str(), std::to_string(lib.allocs));
    if (lib.received != lib.sent) {
      note((name + ", library received / sent").c_str(),
           std::to_string(lib.received) + " / " + std::to_string(lib.sent));
    }
  }
}

// ---- device path ------------------------------------------------------------

void scan_cb(mok_scan_result_t* r, void*) {
  g_tally.count(6336);
  g_tally.delay(mok_scan_result_pts(r));
  mok_scan_result_free(r);
}

void raw_decode(const std::uint8_t*, std::span<const std::uint8_t> payload) {
  auto r = mok::brelo::decode_scan_result(payload);
  if (r) {
    g_tally.count(payload.size());
    g_tally.delay(r->pts);
  }
}

// The raw twin that does not call the library: the fields a host reads
// converted in one straightforward pass, the points into a fresh array, as
// any receiver must at least do.
void raw_single_pass(const std::uint8_t*, std::span<const std::uint8_t> payload) {
  bench::SinglePassResult r;
  if (bench::decode_single_pass(payload, r)) {
    g_tally.count(payload.size());
    g_tally.delay(r.pts);
  }
}

// A host that keeps each result a while (the last kKept, more than the
// library watches for reuse), so the library cannot decode the next ones into
// the records it handed out.
constexpr std::size_t kKept = 1024;
std::array<mok_scan_result_t*, kKept> g_kept{};
std::size_t g_kept_next = 0;

void keeping_scan_cb(mok_scan_result_t* r, void*) {
  g_tally.count(6336);
  mok_scan_result_free(std::exchange(g_kept[g_kept_next], r));
  g_kept_next = (g_kept_next + 1) % kKept;
}

std::vector<mok_client_t*> open_clients(std::uint16_t port, int n, mok_scan_cb_t cb = scan_cb) {
  std::vector<mok_client_t*> clients;
  for (int i = 0; i < n; ++i) {
    mok_client_t* c = mok_connect(address(port).c_str());
    if (c == nullptr) break;
    mok_set_scan_cb(c, cb, nullptr);
    mok_start(c);
    clients.push_back(c);
  }
  return clients;
}

void close_clients(std::vector<mok_client_t*>& clients) {
  for (auto* c : clients) mok_close(c);
  clients.clear();
}

void device(const Options& o) {
  header("Device path (mok_connect, scan callback freeing each result), 1,280-point results");
  const auto packets = scan_packets(16);
  std::size_t k = 0;
  const auto batch = batch_of(packets, 256 * 1024, k);

  const PathFigures raw = raw_bulk(batch, k, o.seconds, raw_decode);
  const PathFigures single = raw_bulk(batch, k, o.seconds, raw_single_pass);
  const auto run_lib = [&](mok_scan_cb_t cb) {
    g_tally.reset(0);
    PathFigures lib;
    bench::Listener l;
    bench::SendReport sent;
    std::thread sender([&] { sent = bench::send_bulk(l, batch, k, o.seconds); });
    auto clients = open_clients(l.port, 1, cb);
    sender.join();
    lib.allocs = wait_for(sent.packets, 10.0);
    lib.per_s = g_tally.per_second();
    lib.sent = sent.packets;
    lib.received = g_tally.packets;
    close_clients(clients);
    return lib;
  };
  const PathFigures lib = run_lib(scan_cb);
  row("scan results/s (raw: the library's decode)", raw.per_s, lib.per_s, "");
  row("scan results/s (raw: single-pass decode, same fields)", single.per_s, lib.per_s, "");
  note("allocations per scan result", std::to_string(lib.allocs));
  if (lib.received != lib.sent) {
    note("library received / sent", std::to_string(lib.received) + " / " + std::to_string(lib.sent));
  }
  const PathFigures kept = run_lib(keeping_scan_cb);
  for (auto*& r : g_kept) mok_scan_result_free(std::exchange(r, nullptr));
  row("scan results/s, host keeping the last 1024 (raw: single-pass)", single.per_s, kept.per_s, "");
  note("allocations per scan result, host keeping the last 1024", std::to_string(kept.allocs));
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// "a, b, c" of `values`, two decimal places each.
std::string list_text(const std::vector<double>& values) {
  std::string out;
  for (const double v : values) {
    char one[32];
    std::snprintf(one, sizeof one, "%s%.2f", out.empty() ? "" : ", ", v);
    out += one;
  }
  return out;
}

std::vector<double> ratios(const std::vector<double>& raw, const std::vector<double>& lib) {
  std::vector<double> out;
  for (std::size_t i = 0; i < raw.size(); ++i) out.push_back(raw[i] > 0 ? lib[i] / raw[i] : 0.0);
  return out;
}

// One paced run at 2,000 results/s: p50, p99 and p99.9 in microseconds.
std::array<double, 3> latency_pass(bool library, double secs) {
  const auto expected = static_cast<std::size_t>(2000 * secs) + 16;
  g_tally.reset(expected);
  bench::Listener l;
  bench::SendReport sent;
  std::thread sender([&] { sent = bench::send_paced(l, scan_packets(16), true, 2000, secs, 1); });
  if (library) {
    auto clients = open_clients(l.port, 1);
    sender.join();
    wait_for(sent.packets, 5.0);
    close_clients(clients);
  } else {
    const int fd = bench::connect_loopback(l.port);
    bench::RawCutter cutter;
    while (fd >= 0 && cutter.read_and_cut(fd, raw_decode)) {
    }
    sender.join();
    if (fd >= 0) ::close(fd);
  }
  return {g_tally.percentile_us(0.5), g_tally.percentile_us(0.99), g_tally.percentile_us(0.999)};
}

// Each section that shares the machine's two cores with its own sender runs
// `rounds` times, raw and library alternating, and prints the medians: one
// busy moment elsewhere on the machine then moves a figure much less.
void latency(const Options& o) {
  header("Delivery latency, sender stamp to callback, 2,000 results/s");
  const double secs = o.seconds * 1.5;
  std::array<std::vector<double>, 3> raw;
  std::array<std::vector<double>, 3> lib;
  for (int r = 0; r < o.rounds; ++r) {
    const auto a = latency_pass(false, secs);
    const auto b = latency_pass(true, secs);
    for (std::size_t q = 0; q < 3; ++q) {
      raw[q].push_back(a[q]);
      lib[q].push_back(b[q]);
    }
  }
  row("p50", median(raw[0]), median(lib[0]), "us");
  row("p99", median(raw[1]), median(lib[1]), "us");
  row("p99.9", median(raw[2]), median(lib[2]), "us");
  std::vector<double> gaps;
  for (std::size_t i = 0; i < raw[0].size(); ++i) gaps.push_back(lib[0][i] - raw[0][i]);
  note("p50 gap per round (us)", list_text(gaps));
  note("p99 ratio per round", list_text(ratios(raw[1], lib[1])));
}

struct ManyPass {
  double cpu_per_k = 0.0;  // receiving CPU ms per 1,000 results
  std::uint64_t got = 0;
  std::uint64_t sent = 0;
  double p50_us = 0.0;  // delivery delay, sender stamp to callback
  double p99_us = 0.0;
  std::size_t late = 0;                // deliveries later than 10 ms
  std::uint64_t sender_behind_ns = 0;  // how far the sender fell behind its schedule
};

ManyPass many_pass(bool library, int cameras, double rate, double secs) {
  g_tally.reset(static_cast<std::size_t>(rate * secs * cameras) + 16);
  bench::Listener l;
  bench::SendReport sent;
  std::thread sender([&] { sent = bench::send_paced(l, scan_packets(16), true, rate, secs, cameras); });
  const std::uint64_t cpu0 = bench::process_cpu_ns();
  if (library) {
    auto clients = open_clients(l.port, cameras);
    sender.join();
    wait_for(sent.packets, 5.0);
    close_clients(clients);
  } else {
    std::vector<int> fds;
    for (int i = 0; i < cameras; ++i) fds.push_back(bench::connect_loopback(l.port));
    bench::raw_epoll(fds, now_ns() + static_cast<std::uint64_t>((secs + 10) * 1e9), raw_decode);
    sender.join();
    for (int fd : fds) ::close(fd);
  }
  const std::uint64_t cpu = bench::process_cpu_ns() - cpu0 - sent.cpu_ns;
  ManyPass r;
  r.got = g_tally.packets;
  r.sent = sent.packets;
  r.cpu_per_k = r.got ? static_cast<double>(cpu) / 1e6 / (static_cast<double>(r.got) / 1000.0) : 0.0;
  r.p50_us = g_tally.percentile_us(0.5);
  r.p99_us = g_tally.percentile_us(0.99);
  r.late = g_tally.later_than(10'000'000);
  r.sender_behind_ns = sent.max_behind_ns;
  return r;
}

void many(const Options& o, int cameras, double rate) {
  char title[128];
  std::snprintf(title, sizeof title, "%d cameras x %.0f results/s in one process (raw: one epoll thread)", cameras,
                rate);
  header(title);
  const double secs = o.seconds * 1.5;
  std::array<std::vector<double>, 3> raw;  // CPU per 1,000, p50, p99
  std::array<std::vector<double>, 3> lib;
  ManyPass raw_total;
  ManyPass lib_total;
  const auto add = [](std::array<std::vector<double>, 3>& to, ManyPass& total, const ManyPass& p) {
    to[0].push_back(p.cpu_per_k);
    to[1].push_back(p.p50_us);
    to[2].push_back(p.p99_us);
    total.got += p.got;
    total.sent += p.sent;
    total.late += p.late;
    total.sender_behind_ns = std::max(total.sender_behind_ns, p.sender_behind_ns);
  };
  for (int r = 0; r < o.rounds; ++r) {
    add(raw, raw_total, many_pass(false, cameras, rate, secs));
    add(lib, lib_total, many_pass(true, cameras, rate, secs));
  }
  row("receiving CPU per 1,000 results", median(raw[0]), median(lib[0]), "ms");
  note("CPU ratio per round", list_text(ratios(raw[0], lib[0])));
  row("delivery p50", median(raw[1]), median(lib[1]), "us");
  row("delivery p99", median(raw[2]), median(lib[2]), "us");
  note("p99 per round (us)", list_text(lib[2]));
  const auto ull = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  std::printf("| results delivered / sent (all rounds) | %llu / %llu | %llu / %llu | |\n", ull(raw_total.got),
              ull(raw_total.sent), ull(lib_total.got), ull(lib_total.sent));
  std::printf("| deliveries later than 10 ms (all rounds) | %llu | %llu | |\n", ull(raw_total.late),
              ull(lib_total.late));
  std::printf("| sender's largest lag behind its schedule | %.2f ms | %.2f ms | |\n",
              static_cast<double>(raw_total.sender_behind_ns) / 1e6,
              static_cast<double>(lib_total.sender_behind_ns) / 1e6);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      o.seconds = std::max(0.2, std::atof(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      o.only = argv[++i];
    } else if (a == "--rounds" && i + 1 < argc) {
      o.rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::printf(
          "usage: mok-bench-e2e [--seconds S] [--rounds N] [--only "
          "transport|transport64|device|latency|many|many64|many256]\n");
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  std::printf("# mok-bench-e2e: library against a raw recv loop on 127.0.0.1 (%.1f s per run)\n", o.seconds);
  if (o.only.empty() || o.only.starts_with("transport")) transport(o);
  if (o.only.empty() || o.only == "device") device(o);
  if (o.only.empty() || o.only == "latency") latency(o);
  if (o.only.empty() || o.only == "many" || o.only == "many64") many(o, 64, 1000);
  if (o.only.empty() || o.only == "many" || o.only == "many256") many(o, 256, 250);
  return 0;
}
