// mok-bench-bridge: figures for mok-bridge on this machine. Emulated cameras
// run in this process; mok-bridge runs as a child and publishes onto a DDS
// domain of the loopback-only configuration; this process subscribes. For
// each scenario it prints profiles delivered against profiles sent, the
// bridge's CPU time per 1,000 profiles against that of a bare libmok receiver
// (the same cameras, a child that only takes and frees results), and the
// latency from the camera taking a profile to the subscriber taking the
// message. Figures only; nothing is asserted.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dds/dds.h>
#include <fcntl.h>
#include <mok/mok.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ros2_types.h"
#include "sim/simulator.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t wall_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// CPU seconds (user + system) a process has used so far.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream f(s.substr(close + 2));
  std::string field;
  unsigned long long ut = 0, st = 0;
  for (int i = 3; i <= 15 && f >> field; ++i) {
    if (i == 14) ut = std::stoull(field);
    if (i == 15) st = std::stoull(field);
  }
  return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class Child {
 public:
  Child(std::vector<std::string> argv, const std::string& out) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    if (posix_spawn(&pid_, raw[0], &fa, nullptr, raw.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Child() { stop(); }
  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 2000 && waitpid(pid_, &status, WNOHANG) != pid_; ++i) usleep(10000);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// Profiles the cameras sent to the clients that switch the laser (not part
// of any figure).
std::atomic<std::uint64_t> g_switch_profiles{0};

void set_lasers(const std::vector<std::string>& addresses, bool on) {
  for (const auto& a : addresses) {
    mok_client_t* c = mok_connect(a.c_str());
    mok_set_scan_cb(
        c,
        [](mok_scan_result_t* r, void*) {
          g_switch_profiles.fetch_add(1);
          mok_scan_result_free(r);
        },
        nullptr);
    mok_start(c);
    mok_wait_params(c, 5000);
    mok_set_laser_enable(c, on ? 1 : 0);
    for (int i = 0; i < 500; ++i) {
      std::int32_t v = -1;
      if (mok_get_laser_enable(c, &v) == MOK_OK && v == (on ? 1 : 0)) break;
      usleep(10000);
    }
    mok_clear_scan_cb(c);
    mok_close(c);
  }
}

// --receive ADDR...: the bare receiver, until SIGTERM; prints the results taken.
int receive_only(const std::vector<std::string>& addresses) {
  std::atomic<std::uint64_t> n{0};
  std::vector<mok_client_t*> clients;
  for (const auto& a : addresses) {
    mok_client_t* c = mok_connect(a.c_str());
    mok_set_scan_cb(
        c,
        [](mok_scan_result_t* r, void* u) {
          static_cast<std::atomic<std::uint64_t>*>(u)->fetch_add(1, std::memory_order_relaxed);
          mok_scan_result_free(r);
        },
        &n);
    mok_start(c);
    clients.push_back(c);
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  int sig = 0;
  sigwait(&set, &sig);
  for (mok_client_t* c : clients) {
    mok_clear_scan_cb(c);
    mok_close(c);
  }
  std::printf("%llu\n", static_cast<unsigned long long>(n.load()));
  return 0;
}

struct Scenario {
  const char* name;
  int cameras;
  double rate;
  std::uint32_t points;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

void run(const Scenario& sc, double seconds, std::uint32_t domain, const std::string& self) {
  std::vector<std::unique_ptr<camsim::Simulator>> sims;
  std::vector<std::string> addresses;
  for (int i = 0; i < sc.cameras; ++i) {
    camsim::Options o;
    o.port = 0;
    o.scan_rate = sc.rate;
    o.scene.point_count = sc.points;
    o.device.laser_enable = false;
    sims.push_back(std::make_unique<camsim::Simulator>(o));
    addresses.push_back("127.0.0.1:" + std::to_string(sims.back()->start().value()));
  }
  const auto sent = [&] {
    std::uint64_t s = 0;
    for (const auto& sim : sims) s += sim->stats().scans_sent;
    return s - g_switch_profiles.load();
  };
  const auto measure = [&](pid_t pid) {
    set_lasers(addresses, true);
    const std::uint64_t sent0 = sent();
    const double cpu0 = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = cpu_seconds(pid) - cpu0;
    const std::uint64_t profiles = sent() - sent0;
    set_lasers(addresses, false);
    return std::pair{cpu, profiles};
  };

  // The library alone.
  double lib_ms_per_k = 0;
  {
    std::vector<std::string> argv{self, "--receive"};
    argv.insert(argv.end(), addresses.begin(), addresses.end());
    Child rx(argv, "/tmp/mok-bench-bridge-rx.out");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto [cpu, profiles] = measure(rx.pid());
    lib_ms_per_k = profiles ? cpu * 1e6 / static_cast<double>(profiles) : 0;
  }

  // Through the bridge.
  dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
  dds_qos_t* q = dds_create_qos();
  dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
  std::vector<dds_entity_t> readers;
  const dds_entity_t ws = dds_create_waitset(participant);
  for (int i = 0; i < sc.cameras; ++i) {
    const std::string topic =
        sc.cameras == 1 ? "rt/bench/profiles" : "rt/bench/cam" + std::to_string(i) + "/profiles";
    const dds_entity_t t =
        dds_create_topic(participant, &sensor_msgs_msg_dds__PointCloud2__desc, topic.c_str(), nullptr, nullptr);
    readers.push_back(dds_create_reader(participant, t, q, nullptr));
    dds_set_status_mask(readers.back(), DDS_DATA_AVAILABLE_STATUS);
    dds_waitset_attach(ws, readers.back(), readers.back());
  }
  dds_delete_qos(q);
  // The first camera's health: what the bridge itself counted.
  const dds_entity_t health = dds_create_reader(
      participant,
      dds_create_topic(participant, &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                       sc.cameras == 1 ? "rt/bench/diagnostics" : "rt/bench/cam0/diagnostics", nullptr, nullptr),
      nullptr, nullptr);
  std::vector<std::string> argv{MOK_BRIDGE_PATH, "--domain", std::to_string(domain), "--namespace", "bench"};
  argv.insert(argv.end(), addresses.begin(), addresses.end());
  Child bridge(argv, "/tmp/mok-bench-bridge.out");

  std::atomic<bool> done{false};
  std::uint64_t rows = 0, messages = 0;
  std::vector<double> latency_ms;
  std::thread sub([&] {
    void* samples[64];
    dds_sample_info_t infos[64];
    while (!done) {
      dds_waitset_wait(ws, nullptr, 0, DDS_MSECS(100));
      for (const dds_entity_t r : readers) {
        std::fill(std::begin(samples), std::end(samples), nullptr);
        const dds_return_t n = dds_take(r, samples, infos, 64, 64);
        const std::int64_t now = wall_ns();
        for (dds_return_t i = 0; i < n; ++i) {
          if (!infos[i].valid_data) continue;
          const auto* m = static_cast<const sensor_msgs_msg_dds__PointCloud2_*>(samples[i]);
          rows += m->height;
          ++messages;
          const std::int64_t stamp = std::int64_t{m->header.stamp.sec} * 1'000'000'000 + m->header.stamp.nanosec;
          latency_ms.push_back(static_cast<double>(now - stamp) / 1e6);
        }
        if (n > 0) dds_return_loan(r, samples, n);
      }
    }
  });
  // Discovery first: every reader matched, then a little more.
  for (int i = 0; i < 1000; ++i) {
    std::size_t matched = 0;
    for (const dds_entity_t r : readers) {
      dds_subscription_matched_status_t st{};
      dds_get_subscription_matched_status(r, &st);
      matched += st.current_count;
    }
    if (matched == readers.size()) break;
    usleep(10000);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::uint64_t total0 = sent();
  const auto [cpu, profiles] = measure(bridge.pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the tail drains
  const std::uint64_t total = sent() - total0;
  done = true;
  sub.join();
  std::string counters;
  {
    void* samples[16] = {};
    dds_sample_info_t infos[16];
    const dds_return_t n = dds_take(health, samples, infos, 16, 16);
    if (n > 0 && infos[n - 1].valid_data) {
      const auto* m = static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_*>(samples[n - 1]);
      for (std::uint32_t i = 0; m->status._length > 0 && i < m->status._buffer[0].values._length; ++i) {
        const auto& kv = m->status._buffer[0].values._buffer[i];
        for (const char* key : {"profiles_received", "profiles_published", "queue_dropped", "write_failed"}) {
          if (std::strcmp(kv.key, key) == 0) counters += std::string(" ") + key + " " + kv.value;
        }
      }
    }
    if (n > 0) dds_return_loan(health, samples, n);
  }
  bridge.stop();
  dds_delete(participant);

  const double bridge_ms_per_k = profiles ? cpu * 1e6 / static_cast<double>(profiles) : 0;
  const double bytes =
      static_cast<double>(rows) * sc.points * 12 / std::max<double>(1, static_cast<double>(messages));
  std::printf("%s: %d camera(s) x %.0f profiles/s x %u points, %.0f s\n", sc.name, sc.cameras, sc.rate, sc.points,
              seconds);
  std::printf("  delivered %llu of %llu profiles sent (%.3f%%) in %llu messages (%.0f/s, %.0f kB each)\n",
              static_cast<unsigned long long>(rows), static_cast<unsigned long long>(total),
              total ? 100.0 * static_cast<double>(rows) / static_cast<double>(total) : 0.0,
              static_cast<unsigned long long>(messages), static_cast<double>(messages) / seconds, bytes / 1000);
  std::printf("  bridge's count (first camera):%s\n", counters.c_str());
  std::printf("  CPU per 1,000 profiles: bridge %.1f ms, bare libmok receiver %.1f ms\n", bridge_ms_per_k,
              lib_ms_per_k);
  std::printf("  latency profile taken -> message taken: p50 %.2f ms, p99 %.2f ms (first row of each message)\n",
              percentile(latency_ms, 0.50), percentile(latency_ms, 0.99));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--receive") return receive_only({args.begin() + 1, args.end()});
  double seconds = 5;
  if (args.size() == 2 && args[0] == "--seconds") seconds = std::atof(args[1].c_str());
  if (!std::getenv("CYCLONEDDS_URI")) setenv("CYCLONEDDS_URI", "file://" MOK_DDS_CONFIG_PATH, 1);
  const std::uint32_t domain = 1 + std::random_device{}() % 200;
  char exe[4096] = {};
  if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) return 1;
  run({"one camera", 1, 10000, 1280}, seconds, domain, exe);
  run({"eight cameras", 8, 1000, 1280}, seconds, domain, exe);
  return 0;
}
