// mok-bench-bridge: figures for mok-bridge on this machine. Emulated cameras
// run in this process; mok-bridge runs as a child and publishes onto a DDS
// domain of the loopback-only configuration; this process subscribes. For
// each scenario it prints what the subscriber got against what the bridge
// received, the bridge's CPU time per 1,000 profiles against that of a bare
// libmok receiver (the same cameras, a child that only takes and frees
// results) and that of ddsperf publishing messages of the same sizes at the
// same rates, and the latency from the camera taking a profile to the
// subscriber taking its seam and its profiles message. It ends with one line
// per scenario for scripts (`--rounds N`: N rounds, CPU as the median,
// counts and latencies over all rounds):
//   bridge CASE: cpu_ms_per_1000=X ddsperf_cpu_ms_per_1000=X seam_p50_us=X seam_p99_us=X lost=N
// (`--compare PATH` runs a second mok-bridge, e.g. an earlier build, on the
// same cameras in the same run, `--compare-config FILE` that or the same
// bridge with another Cyclone DDS configuration for it and its subscriber,
// `--compare-arg ARG` (repeated) with more arguments; their lines start with
// "compare"). Figures only; nothing is asserted.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dds/dds.h>
#include <mok/mok.h>
#include <signal.h>
#include <unistd.h>

#include "processes.hpp"
#include "ros2_types.h"
#include "sim/simulator.hpp"

namespace {

using benchbridge::Child;
using benchbridge::cpu_seconds;

std::int64_t wall_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

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
  const char* name;  // the summary line's CASE
  int cameras;
  double rate;
  std::uint32_t points;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

std::string topic(const Scenario& sc, int camera, const char* name) {
  return sc.cameras == 1 ? std::string("rt/bench/") + name : "rt/bench/cam" + std::to_string(camera) + "/" + name;
}

// Serialized sizes (CDR with its 4-byte header) of what the bridge writes,
// so ddsperf can publish samples as large.
std::size_t cdr_header(const std_msgs_msg_dds__Header_& h) { return 4 + 8 + 4 + std::strlen(h.frame_id) + 1; }
std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

struct Sizes {
  double messages = 0, message_bytes = 0;  // profiles messages
  double seams = 0, seam_bytes = 0, seam_points = 0, seam_point_bytes = 0;
};

// What one bridge run gave.
struct Outcome {
  double cpu_ms_per_k = 0;                          // the median of the rounds'
  std::vector<double> cpu_rounds;                   // each round's
  std::uint64_t received = 0, rows = 0, seams = 0;  // received: the bridge's own count
  std::uint64_t lost = 0;                           // profiles and seams received but not delivered
  // What the subscriber itself can tell: seams missing between the profile
  // indices it took, and its readers' lost and rejected statuses.
  std::uint64_t seam_gaps = 0, status_lost = 0, status_rejected = 0;
  std::vector<double> profile_ms, seam_ms;
  // How old seams were when the bridge wrote them (its health reports): the
  // share of seam_ms spent before DDS.
  double seam_age_us_sum = 0, seam_age_reports = 0, seam_age_max_us = 0, seam_write_max_us = 0;
  // The emulated cameras' own share: profiles they queued more than 1 ms
  // after taking them, of those they queued.
  std::uint64_t camera_late = 0, camera_sent = 0;
  Sizes sizes;  // totals; divided by the run's length for ddsperf
  std::string counters;
};

// The readers of one scenario: profiles, seam, seam point and health per camera.
class Subscriber {
 public:
  Subscriber(std::uint32_t domain, const Scenario& sc)
      : participant_(dds_create_participant(domain, nullptr, nullptr)) {
    dds_qos_t* q = dds_create_qos();
    dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
    dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
    ws_ = dds_create_waitset(participant_);
    seam_ws_ = dds_create_waitset(participant_);
    const auto reader = [&](const std::string& name, const dds_topic_descriptor_t* type, const dds_qos_t* qos,
                            dds_entity_t ws) {
      const dds_entity_t r = dds_create_reader(
          participant_, dds_create_topic(participant_, type, name.c_str(), nullptr, nullptr), qos, nullptr);
      dds_set_status_mask(r, DDS_DATA_AVAILABLE_STATUS);
      dds_waitset_attach(ws, r, r);
      return r;
    };
    for (int i = 0; i < sc.cameras; ++i) {
      profiles_.push_back(reader(topic(sc, i, "profiles"), &sensor_msgs_msg_dds__PointCloud2__desc, q, ws_));
      seams_.push_back(reader(topic(sc, i, "seam"), &mok_interfaces_msg_dds__Seam__desc, q, seam_ws_));
      seam_points_.push_back(
          reader(topic(sc, i, "seam_point"), &geometry_msgs_msg_dds__PointStamped__desc, q, seam_ws_));
      health_.push_back(
          reader(topic(sc, i, "diagnostics"), &diagnostic_msgs_msg_dds__DiagnosticArray__desc, nullptr, ws_));
    }
    dds_delete_qos(q);
    received_.resize(health_.size());
    next_seam_.resize(health_.size());
    losses_.resize(health_.size());
    // Seams on a thread of their own, as a robot's controller would take
    // them: a seam is never held up behind the copy of a profiles message.
    thread_ = std::thread([this] { loop(); });
    seam_thread_ = std::thread([this] { seam_loop(); });
  }
  ~Subscriber() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    if (seam_thread_.joinable()) seam_thread_.join();
    dds_delete(participant_);
  }

  // Everything taken so far, to tell when the stream has drained.
  std::uint64_t taken() const { return rows_ + seams_taken_; }

  bool matched() const {
    for (const auto* readers : {&profiles_, &seams_, &seam_points_}) {
      for (const dds_entity_t r : *readers) {
        dds_subscription_matched_status_t st{};
        dds_get_subscription_matched_status(r, &st);
        if (st.current_count == 0) return false;
      }
    }
    return true;
  }

  // Ends reading and fills `out` from what was taken.
  void finish(Outcome& out) {
    done_ = true;
    thread_.join();
    seam_thread_.join();
    out.rows = rows_;
    out.seams = seams_taken_;
    out.profile_ms = std::move(profile_ms_);
    out.seam_ms = std::move(seam_ms_);
    out.sizes = sizes_;
    for (const std::uint64_t r : received_) out.received += r;
    out.lost =
        (out.received - std::min(out.received, out.rows)) + (out.received - std::min(out.received, out.seams));
    out.seam_gaps = seam_gaps_;
    out.seam_age_us_sum = seam_age_us_sum_;
    out.seam_age_reports = seam_age_reports_;
    out.seam_age_max_us = seam_age_max_us_;
    out.seam_write_max_us = seam_write_max_us_;
    for (const auto* readers : {&profiles_, &seams_, &seam_points_}) {
      for (const dds_entity_t r : *readers) {
        dds_sample_lost_status_t lost{};
        dds_sample_rejected_status_t rejected{};
        dds_get_sample_lost_status(r, &lost);
        dds_get_sample_rejected_status(r, &rejected);
        out.status_lost += lost.total_count;
        out.status_rejected += rejected.total_count;
      }
    }
    std::map<std::string, std::uint64_t> sum;
    for (const auto& camera : losses_) {
      for (const auto& [key, n] : camera) sum[key] += n;
    }
    for (const auto& [key, n] : sum) {
      if (n > 0) out.counters += " " + key + " " + std::to_string(n);
    }
    if (out.counters.empty()) out.counters = " none";
  }

 private:
  template <class T, class F>
  static void take(dds_entity_t r, F&& f) {
    void* samples[64] = {};
    dds_sample_info_t infos[64];
    const dds_return_t n = dds_take(r, samples, infos, 64, 64);
    const std::int64_t now = wall_ns();
    for (dds_return_t i = 0; i < n; ++i) {
      if (infos[i].valid_data) f(*static_cast<const T*>(samples[i]), now);
    }
    if (n > 0) dds_return_loan(r, samples, n);
  }
  static double ms_since(const builtin_interfaces_msg_dds__Time_& t, std::int64_t now) {
    return static_cast<double>(now - (std::int64_t{t.sec} * 1'000'000'000 + t.nanosec)) / 1e6;
  }

  void seam_loop() {
    while (!done_) {
      dds_waitset_wait(seam_ws_, nullptr, 0, DDS_MSECS(100));
      for (std::size_t c = 0; c < seams_.size(); ++c) {
        take<mok_interfaces_msg_dds__Seam_>(
            seams_[c], [&](const mok_interfaces_msg_dds__Seam_& m, std::int64_t now) {
              ++seams_taken_;
              // Every profile has a seam message, in order, so a jump in the
              // index is seams this subscriber never got.
              if (m.profile_index > next_seam_[c]) seam_gaps_ += m.profile_index - next_seam_[c];
              next_seam_[c] = m.profile_index + 1;
              seam_ms_.push_back(ms_since(m.header.stamp, now));
              sizes_.seams += 1;
              sizes_.seam_bytes += static_cast<double>(align8(cdr_header(m.header) + 4 + 4 + 4 + 12) + 8 * 24 + 8 +
                                                       80 * std::size_t{m.segments._length});
            });
        take<geometry_msgs_msg_dds__PointStamped_>(
            seam_points_[c], [&](const geometry_msgs_msg_dds__PointStamped_& m, std::int64_t) {
              sizes_.seam_points += 1;
              sizes_.seam_point_bytes += static_cast<double>(align8(cdr_header(m.header)) + 24);
            });
      }
    }
  }

  void loop() {
    while (!done_) {
      dds_waitset_wait(ws_, nullptr, 0, DDS_MSECS(100));
      for (std::size_t c = 0; c < profiles_.size(); ++c) {
        take<sensor_msgs_msg_dds__PointCloud2_>(
            profiles_[c], [&](const sensor_msgs_msg_dds__PointCloud2_& m, std::int64_t now) {
              rows_ += m.height;
              profile_ms_.push_back(ms_since(m.header.stamp, now));
              sizes_.messages += 1;
              sizes_.message_bytes += static_cast<double>(cdr_header(m.header) + 64 + m.data._length);
            });
        take<diagnostic_msgs_msg_dds__DiagnosticArray_>(
            health_[c], [&](const diagnostic_msgs_msg_dds__DiagnosticArray_& m, std::int64_t) {
              if (m.status._length == 0) return;
              for (std::uint32_t i = 0; i < m.status._buffer[0].values._length; ++i) {
                const auto& kv = m.status._buffer[0].values._buffer[i];
                if (std::strcmp(kv.key, "profiles_received") == 0)
                  received_[c] = std::strtoull(kv.value, nullptr, 10);
                if (std::strcmp(kv.key, "seam_age_max_us") == 0)
                  seam_age_max_us_ = std::max(seam_age_max_us_, std::strtod(kv.value, nullptr));
                if (std::strcmp(kv.key, "seam_write_max_us") == 0)
                  seam_write_max_us_ = std::max(seam_write_max_us_, std::strtod(kv.value, nullptr));
                if (std::strcmp(kv.key, "seam_age_mean_us") == 0 && std::strcmp(kv.value, "0") != 0) {
                  seam_age_us_sum_ += std::strtod(kv.value, nullptr);
                  seam_age_reports_ += 1;
                }
                for (const char* key : {"queue_dropped", "write_failed", "seams_failed",
                                        "profile_messages_lost_in_history", "seams_lost_in_history"}) {
                  if (std::strcmp(kv.key, key) == 0) losses_[c][key] = std::strtoull(kv.value, nullptr, 10);
                }
              }
            });
      }
    }
  }

  dds_entity_t participant_;
  dds_entity_t ws_ = 0, seam_ws_ = 0;  // profiles and health; seams and seam points
  std::vector<dds_entity_t> profiles_, seams_, seam_points_, health_;
  std::vector<std::uint64_t> received_;
  std::vector<std::uint32_t> next_seam_;  // the profile index of the next seam expected, per camera
  std::uint64_t seam_gaps_ = 0;
  double seam_age_us_sum_ = 0, seam_age_reports_ = 0, seam_age_max_us_ = 0, seam_write_max_us_ = 0;
  std::vector<std::map<std::string, std::uint64_t>> losses_;  // the bridge's loss counters per camera
  std::atomic<bool> done_{false};
  std::thread thread_, seam_thread_;
  std::atomic<std::uint64_t> rows_{0}, seams_taken_{0};
  std::vector<double> profile_ms_, seam_ms_;  // each written by one thread
  Sizes sizes_;                               // its seam figures by the seam thread, the rest by the other
};

class Cameras {
 public:
  Cameras(const Scenario& sc, double batch_ms) {
    for (int i = 0; i < sc.cameras; ++i) {
      camsim::Options o;
      o.port = 0;
      o.scan_rate = sc.rate;
      o.scan_batch_ms = batch_ms;
      o.scene.point_count = sc.points;
      o.device.laser_enable = false;
      sims_.push_back(std::make_unique<camsim::Simulator>(o));
      addresses_.push_back("127.0.0.1:" + std::to_string(sims_.back()->start().value()));
    }
  }
  const std::vector<std::string>& addresses() const { return addresses_; }

  // CPU seconds `pid` spends while the lasers are on for `seconds`, and the
  // profiles sent meanwhile (roughly: the switching clients' share is taken off).
  std::pair<double, std::uint64_t> measure(pid_t pid, double seconds) {
    set_lasers(addresses_, true);
    const std::uint64_t sent0 = sent();
    const std::uint64_t late0 = late();
    const double cpu0 = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = cpu_seconds(pid) - cpu0;
    const std::uint64_t profiles = sent() - sent0;
    last_late_ = late() - late0;
    set_lasers(addresses_, false);
    return {cpu, profiles};
  }
  // Of the last measure(): profiles queued more than 1 ms after taken.
  std::uint64_t last_late() const { return last_late_; }

 private:
  std::uint64_t late() const {
    std::uint64_t s = 0;
    for (const auto& sim : sims_) s += sim->stats().scans_late;
    return s;
  }
  std::uint64_t sent() const {
    std::uint64_t s = 0;
    for (const auto& sim : sims_) s += sim->stats().scans_sent;
    return s - g_switch_profiles.load();
  }
  std::vector<std::unique_ptr<camsim::Simulator>> sims_;
  std::vector<std::string> addresses_;
  std::uint64_t last_late_ = 0;
};

double ms_per_k(double cpu_s, double profiles) { return profiles > 0 ? cpu_s * 1e6 / profiles : 0; }

// Adds one round to `total`: counts and latencies pooled, CPU as the median.
void add_round(Outcome& total, Outcome&& o) {
  total.cpu_rounds.push_back(o.cpu_ms_per_k);
  total.cpu_ms_per_k = percentile(total.cpu_rounds, 0.5);
  total.received += o.received;
  total.rows += o.rows;
  total.seams += o.seams;
  total.lost += o.lost;
  total.seam_gaps += o.seam_gaps;
  total.seam_age_us_sum += o.seam_age_us_sum;
  total.seam_age_reports += o.seam_age_reports;
  total.seam_age_max_us = std::max(total.seam_age_max_us, o.seam_age_max_us);
  total.seam_write_max_us = std::max(total.seam_write_max_us, o.seam_write_max_us);
  total.status_lost += o.status_lost;
  total.camera_late += o.camera_late;
  total.camera_sent += o.camera_sent;
  total.status_rejected += o.status_rejected;
  total.profile_ms.insert(total.profile_ms.end(), o.profile_ms.begin(), o.profile_ms.end());
  total.seam_ms.insert(total.seam_ms.end(), o.seam_ms.begin(), o.seam_ms.end());
  total.sizes.messages += o.sizes.messages;
  total.sizes.message_bytes += o.sizes.message_bytes;
  total.sizes.seams += o.sizes.seams;
  total.sizes.seam_bytes += o.sizes.seam_bytes;
  total.sizes.seam_points += o.sizes.seam_points;
  total.sizes.seam_point_bytes += o.sizes.seam_point_bytes;
  total.counters += (total.counters.empty() ? "" : ";") + o.counters;
}

Outcome run_bridge(const Scenario& sc, Cameras& cams, const std::string& bridge_path,
                   const std::vector<std::string>& extra, double seconds, std::uint32_t domain) {
  Outcome out;
  Subscriber sub(domain, sc);
  std::vector<std::string> argv{bridge_path, "--domain", std::to_string(domain), "--namespace", "bench"};
  argv.insert(argv.end(), {"--health-period", "0.25"});
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.insert(argv.end(), cams.addresses().begin(), cams.addresses().end());
  Child bridge(argv, "/tmp/mok-bench-bridge.out");
  for (int i = 0; i < 1000 && !sub.matched(); ++i) usleep(10000);  // discovery first
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto [cpu, profiles] = cams.measure(bridge.pid(), seconds);
  out.camera_late = cams.last_late();
  out.camera_sent = profiles;
  // The tail drains (a subscriber on a loaded machine may be seconds behind)
  // and the last health report comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  for (std::uint64_t before = ~0ull; before != sub.taken();) {
    before = sub.taken();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
  sub.finish(out);
  bridge.stop();
  out.cpu_ms_per_k = ms_per_k(cpu, static_cast<double>(profiles));
  return out;
}

// ddsperf publishing the bridge's messages (profiles, seams, seam points) at
// the rates and mean sizes `s` has, one publisher process per stream and one
// subscriber, with the bridge's default QoS (reliable; profiles keep-all,
// seams keep-last 1,000): their CPU per 1,000 of `profiles_per_s`.
double run_ddsperf(const Sizes& s, double seconds_measured, double profiles_per_s, double seconds,
                   std::uint32_t domain) {
  const std::string d = std::to_string(domain);
  Child sub({"ddsperf", "-i", d, "sub", "waitset"}, "/tmp/mok-bench-ddsperf-sub.out");
  std::vector<std::unique_ptr<Child>> pubs;
  const auto pub = [&](double count, double bytes, const char* history, const char* name) {
    if (count <= 0) return;
    const double hz = count / seconds_measured;
    const auto size = static_cast<long>(std::max(12.0, bytes / count));
    pubs.push_back(
        std::make_unique<Child>(std::vector<std::string>{"ddsperf", "-i", d, "-k", history, "pub",
                                                         std::to_string(hz) + "Hz", "size", std::to_string(size)},
                                std::string("/tmp/mok-bench-ddsperf-") + name + ".out"));
  };
  pub(s.messages, s.message_bytes, "all", "profiles");
  pub(s.seams, s.seam_bytes, "1000", "seam");
  pub(s.seam_points, s.seam_point_bytes, "1000", "seam-point");
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // discovery, then a steady stream
  const auto total = [&] {
    double cpu = 0;
    for (const auto& p : pubs) cpu += cpu_seconds(p->pid());
    return cpu;
  };
  const double cpu0 = total();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return ms_per_k(total() - cpu0, profiles_per_s * seconds);
}

std::string summary(const char* prefix, const Scenario& sc, const Outcome& o, double ddsperf_ms) {
  char line[400];
  std::snprintf(
      line, sizeof line,
      "%s %s: cpu_ms_per_1000=%.1f ddsperf_cpu_ms_per_1000=%.1f seam_p50_us=%.0f seam_p99_us=%.0f lost=%llu",
      prefix, sc.name, o.cpu_ms_per_k, ddsperf_ms, percentile(o.seam_ms, 0.5) * 1e3,
      percentile(o.seam_ms, 0.99) * 1e3, static_cast<unsigned long long>(o.lost));
  return line;
}

void print(const char* label, const Outcome& o, double seconds) {
  std::printf(
      "  %s: the subscriber took %llu profiles and %llu seams of the %llu the bridge received (lost %llu)\n",
      label, static_cast<unsigned long long>(o.rows), static_cast<unsigned long long>(o.seams),
      static_cast<unsigned long long>(o.received), static_cast<unsigned long long>(o.lost));
  std::printf("    losses the bridge counted (all cameras):%s\n", o.counters.c_str());
  std::printf("    losses the subscriber saw: %llu seams missing by index; readers' lost %llu, rejected %llu\n",
              static_cast<unsigned long long>(o.seam_gaps), static_cast<unsigned long long>(o.status_lost),
              static_cast<unsigned long long>(o.status_rejected));
  std::printf("    %.0f profiles messages/s of %.0f kB; %.0f seams/s of %.0f B; %.0f seam points/s\n",
              o.sizes.messages / seconds,
              o.sizes.messages > 0 ? o.sizes.message_bytes / o.sizes.messages / 1000 : 0, o.sizes.seams / seconds,
              o.sizes.seams > 0 ? o.sizes.seam_bytes / o.sizes.seams : 0, o.sizes.seam_points / seconds);
  std::string each;
  for (const double ms : o.cpu_rounds) {
    char one[32];
    std::snprintf(one, sizeof one, " %.1f", ms);
    each += one;
  }
  std::printf("    CPU per 1,000 profiles %.1f ms (median; rounds:%s)\n", o.cpu_ms_per_k, each.c_str());
  std::printf(
      "    latency, profile taken -> taken by the subscriber: seam p50 %.0f us, p99 %.0f us; "
      "profiles message (first row) p50 %.2f ms, p99 %.2f ms\n",
      percentile(o.seam_ms, 0.5) * 1e3, percentile(o.seam_ms, 0.99) * 1e3, percentile(o.profile_ms, 0.5),
      percentile(o.profile_ms, 0.99));
  std::printf(
      "    of that in the bridge (its reports: seam age once written): mean %.0f us, max %.0f us; the seam writes "
      "took at most %.0f us\n",
      o.seam_age_reports > 0 ? o.seam_age_us_sum / o.seam_age_reports : 0, o.seam_age_max_us, o.seam_write_max_us);
  std::printf(
      "    the emulated cameras queued %.2f %% of the profiles more than 1 ms after taking them\n",
      o.camera_sent > 0 ? 100.0 * static_cast<double>(o.camera_late) / static_cast<double>(o.camera_sent) : 0);
}

// The Cyclone DDS configuration every participant created from now on reads.
void use_config(const std::string& file) { setenv("CYCLONEDDS_URI", ("file://" + file).c_str(), 1); }

struct Compare {
  std::string bridge = MOK_BRIDGE_PATH;
  std::string config;             // empty: the same as the main run's
  std::vector<std::string> args;  // more arguments for that bridge
  bool wanted() const { return bridge != MOK_BRIDGE_PATH || !config.empty() || !args.empty(); }
};

std::vector<std::string> run(const Scenario& sc, double seconds, std::uint32_t domain, const std::string& self,
                             const std::string& config, const Compare& compare, int rounds, double batch_ms) {
  Cameras cams(sc, batch_ms);
  std::printf("%s: %d camera(s) x %.0f profiles/s x %u points, %.1f s each\n", sc.name, sc.cameras, sc.rate,
              sc.points, seconds);
  std::fflush(stdout);

  double lib_ms = 0;
  {
    std::vector<std::string> argv{self, "--receive"};
    argv.insert(argv.end(), cams.addresses().begin(), cams.addresses().end());
    Child rx(argv, "/tmp/mok-bench-bridge-rx.out");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto [cpu, profiles] = cams.measure(rx.pid(), seconds);
    lib_ms = ms_per_k(cpu, static_cast<double>(profiles));
  }
  // Rounds alternate, so a busy moment elsewhere on the machine does not
  // land on one side only; ddsperf publishes what this round's bridge wrote.
  Outcome o, c;
  std::vector<double> ddsperf_rounds;
  for (int round = 0; round < rounds; ++round) {
    Outcome r = run_bridge(sc, cams, MOK_BRIDGE_PATH, {}, seconds, domain);
    // The measured stream lasts `seconds`; the drained tail adds nothing.
    ddsperf_rounds.push_back(run_ddsperf(r.sizes, seconds, sc.cameras * sc.rate, seconds, domain));
    add_round(o, std::move(r));
    if (compare.wanted()) {
      if (!compare.config.empty()) use_config(compare.config);
      add_round(c, run_bridge(sc, cams, compare.bridge, compare.args, seconds, domain));
      use_config(config);
    }
  }
  const double ddsperf_ms = percentile(ddsperf_rounds, 0.5);
  seconds *= rounds;  // for the rates below

  print("mok-bridge", o, seconds);
  if (compare.wanted()) {
    std::string label = "compare: " + compare.bridge + " " + compare.config;
    for (const std::string& a : compare.args) label += " " + a;
    print(label.c_str(), c, seconds);
  }
  // Its rounds too: a reliable publisher that resends to a subscriber which
  // missed fragments costs several times one that does not, from run to run.
  std::string each;
  for (const double ms : ddsperf_rounds) {
    char one[32];
    std::snprintf(one, sizeof one, " %.1f", ms);
    each += one;
  }
  std::printf(
      "  CPU per 1,000 profiles: bare libmok receiver %.1f ms; ddsperf publishing the same messages %.1f ms "
      "(median of %d; rounds:%s)\n",
      lib_ms, ddsperf_ms, rounds, each.c_str());
  std::fflush(stdout);
  std::vector<std::string> lines{summary("bridge", sc, o, ddsperf_ms)};
  if (compare.wanted()) lines.push_back(summary("compare", sc, c, ddsperf_ms));
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--receive") return receive_only({args.begin() + 1, args.end()});
  double seconds = 5;
  int rounds = 1;
  double batch_ms = 1.0;  // the emulated cameras' batching window above 1,000 profiles/s
  std::string only, config = MOK_DDS_CONFIG_PATH;
  Compare compare;
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == "--seconds") seconds = std::atof(args[i + 1].c_str());
    if (args[i] == "--compare") compare.bridge = args[i + 1];
    if (args[i] == "--compare-config") compare.config = args[i + 1];
    if (args[i] == "--compare-arg") compare.args.push_back(args[i + 1]);
    if (args[i] == "--config") config = args[i + 1];
    if (args[i] == "--only") only = args[i + 1];
    if (args[i] == "--rounds") rounds = std::max(1, std::atoi(args[i + 1].c_str()));
    if (args[i] == "--camera-batch-ms") batch_ms = std::max(0.0, std::atof(args[i + 1].c_str()));
  }
  use_config(config);
  const std::uint32_t domain = 1 + std::random_device{}() % 200;
  char exe[4096] = {};
  if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) return 1;
  std::vector<std::string> lines;
  for (const Scenario& sc :
       {Scenario{"one-camera-10000", 1, 10000, 1280}, Scenario{"eight-cameras-1000", 8, 1000, 1280}}) {
    if (!only.empty() && only != sc.name) continue;
    for (std::string& l : run(sc, seconds, domain, exe, config, compare, rounds, batch_ms))
      lines.push_back(std::move(l));
  }
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  return 0;
}
