// mok-soak: runs the simulator in-process and one device client against it
// for a given time at a given scan rate, with the connection cut at a fixed
// period, and checks that the client hands its host every scan result the
// camera side wrote, exactly once and in order, and that the process's
// resident memory, descriptors and threads stay flat, and that the client's
// own statistics agree with what it delivered. Prints the figures; exits 1
// when a check fails.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <dirent.h>
#include <unistd.h>

#include "mok/mok.h"
#include "sim/simulator.hpp"
#include "stats_check.hpp"
#include "tap.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::size_t count_dir(const char* path) {
  std::size_t n = 0;
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

double resident_mb() {
  long total = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &total, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// What the host saw, handed over to the checker in batches.
struct Host {
  std::mutex m;
  std::vector<std::uint64_t> pts;
  std::atomic<std::uint64_t> connected{0};
  std::atomic<std::uint64_t> received{0};
};

void on_scan(mok_scan_result_t* r, void* user) {
  auto* h = static_cast<Host*>(user);
  const std::uint64_t pts = mok_scan_result_pts(r);
  mok_scan_result_free(r);
  h->received.fetch_add(1);
  std::lock_guard lock(h->m);
  h->pts.push_back(pts);
}

void on_state(std::uint32_t state, void* user) {
  if (state == MOK_STATE_CONNECTED) static_cast<Host*>(user)->connected.fetch_add(1);
}

// Streams both lists against each other, keeping only the unmatched tail.
struct Checker {
  std::deque<std::uint64_t> expected;
  std::deque<std::uint64_t> got;
  std::uint64_t matched = 0;
  std::uint64_t mismatches = 0;

  void feed(const std::vector<std::uint64_t>& tap, const std::vector<std::uint64_t>& host) {
    expected.insert(expected.end(), tap.begin(), tap.end());
    got.insert(got.end(), host.begin(), host.end());
    while (!expected.empty() && !got.empty()) {
      if (expected.front() == got.front()) {
        ++matched;
      } else if (++mismatches <= 5) {
        std::printf("mismatch after %llu results: expected pts %llu, host got %llu\n",
                    static_cast<unsigned long long>(matched), static_cast<unsigned long long>(expected.front()),
                    static_cast<unsigned long long>(got.front()));
      }
      expected.pop_front();
      got.pop_front();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Soak test: simulator and client in one process, with periodic disconnects"};
  double duration_s = 60;
  double rate = 1000;
  double drop_every_s = 5;
  std::uint32_t points = 640;
  double rss_limit_mb = 16;
  double report_every_s = 10;
  app.add_option("-d,--duration", duration_s, "seconds to run")->check(CLI::PositiveNumber);
  app.add_option("-r,--rate", rate, "scan results per second")->check(CLI::PositiveNumber);
  app.add_option("--drop-every", drop_every_s, "cut the connection after this many seconds (0: never)");
  app.add_option("--points", points, "profile points per scan result")->check(CLI::Range(1u, 4096u));
  app.add_option("--rss-growth-mb", rss_limit_mb, "allowed growth of resident memory after warm-up");
  app.add_option("--report-every", report_every_s, "seconds between progress lines")->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);

  camsim::Options opt;
  opt.port = 0;
  opt.scan_rate = rate;
  opt.scene.point_count = points;
  camsim::Simulator sim(opt);
  auto port = sim.start();
  if (!port) {
    std::fprintf(stderr, "simulator: %s\n", port.error().c_str());
    return 2;
  }
  soak::Tap tap(*port, drop_every_s);
  Host host;
  mok_client_t* client = mok_connect(("127.0.0.1:" + std::to_string(tap.port())).c_str());
  if (client == nullptr) {
    std::fprintf(stderr, "mok_connect failed\n");
    return 2;
  }
  mok_set_scan_cb(client, on_scan, &host);
  mok_set_state_cb(client, on_state, &host);
  mok_start(client);

  Checker checker;
  const auto start = Clock::now();
  const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  // Warm-up: the first connection, buffers and the allocator settle.
  const double warmup_s = std::min(20.0, duration_s / 5);
  double rss_base = -1, rss_max = 0, rss_first = resident_mb();
  std::size_t fds_base = 0, threads_base = 0;
  double next_report = report_every_s;
  const auto drain = [&] {
    std::vector<std::uint64_t> got;
    {
      std::lock_guard lock(host.m);
      got.swap(host.pts);
    }
    checker.feed(tap.take_forwarded(), got);
  };
  while (elapsed() < duration_s) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    drain();
    const double rss = resident_mb();
    if (rss_base < 0 && elapsed() >= warmup_s) {
      rss_base = rss;
      fds_base = count_dir("/proc/self/fd");
      threads_base = count_dir("/proc/self/task");
    }
    if (rss_base >= 0) rss_max = std::max(rss_max, rss);
    if (elapsed() >= next_report) {
      next_report += report_every_s;
      std::printf("%6.0f s: connections %llu, received %llu, matched %llu, backlog %zu, rss %.1f MB\n", elapsed(),
                  static_cast<unsigned long long>(tap.stats().connections),
                  static_cast<unsigned long long>(host.received.load()),
                  static_cast<unsigned long long>(checker.matched), checker.expected.size(), rss);
      std::fflush(stdout);
    }
  }

  // End the last connection gracefully and let the host catch up.
  tap.stop();
  const auto catch_up = Clock::now() + std::chrono::seconds(10);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    drain();
  } while (!checker.expected.empty() && Clock::now() < catch_up);
  const std::size_t fds_end = count_dir("/proc/self/fd");
  const std::size_t threads_end = count_dir("/proc/self/task");
  const soak::TapStats ts = tap.stats();
  const bool stats_ok = soak::check_client_stats(
      client, soak::Tallies{host.received.load(), host.connected.load(), ts.scans_forwarded});
  mok_clear_scan_cb(client);
  mok_clear_state_cb(client);
  mok_close(client);
  const camsim::Stats ss = sim.stats();
  sim.stop();

  const double growth = rss_base < 0 ? 0 : rss_max - rss_base;
  std::printf("duration %.0f s, rate %.0f/s, points %u, drop every %.1f s\n", duration_s, rate, points,
              drop_every_s);
  std::printf("connections: %llu (host saw %llu), simulator sent %llu, skipped %llu\n",
              static_cast<unsigned long long>(ts.connections),
              static_cast<unsigned long long>(host.connected.load()),
              static_cast<unsigned long long>(ss.scans_sent), static_cast<unsigned long long>(ss.scans_skipped));
  std::printf(
      "scan results: forwarded %llu, received %llu, matched in order %llu, mismatched %llu, "
      "lost %zu, extra %zu, seq faults %llu\n",
      static_cast<unsigned long long>(ts.scans_forwarded), static_cast<unsigned long long>(host.received.load()),
      static_cast<unsigned long long>(checker.matched), static_cast<unsigned long long>(checker.mismatches),
      checker.expected.size(), checker.got.size(), static_cast<unsigned long long>(ts.seq_faults));
  std::printf("resident memory: start %.1f MB, after warm-up %.1f MB, max %.1f MB, growth %.1f MB (limit %.1f)\n",
              rss_first, rss_base, rss_max, growth, rss_limit_mb);
  std::printf("descriptors %zu -> %zu, threads %zu -> %zu (after warm-up -> before close)\n", fds_base, fds_end,
              threads_base, threads_end);

  const bool ok = stats_ok && checker.mismatches == 0 && checker.expected.empty() && checker.got.empty() &&
                  ts.seq_faults == 0 && growth <= rss_limit_mb && ts.scans_forwarded > 0 &&
                  (rss_base < 0 || (fds_end <= fds_base + 2 && threads_end <= threads_base));
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
