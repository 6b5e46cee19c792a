// The robot's pose stream as mokctl commands receive it: the --poses source
// ("udp:PORT" or "udp:HOST:PORT"), a receiver thread that hands each datagram
// to the command and keeps the pose log, the pose log's reader for offline
// work, and the output files those commands open before they connect.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <mok/mok_track.h>
#include <netinet/in.h>

namespace mokctl {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` for writing (none when empty); Failure(kUsage) when it cannot.
File open_output(const std::string& path);

// "udp:PORT" or "udp:HOST:PORT" (HOST an IPv4 address to listen on; all by
// default); Failure(kUsage) otherwise.
sockaddr_in parse_pose_source(const std::string& s);

// One row of a pose log. t_host_ns is the receiving host's steady clock;
// t_unix_us the same instant on its wall clock (both from one reading of
// the two clocks, so the column moves with t_host_ns), -1 in logs without it.
struct LoggedPose {
  std::int64_t t_host_ns = 0;
  std::int64_t t_unix_us = -1;
  mok_pose_datagram_t d{};
};

// Reads a pose log as PoseReceiver writes it (columns found by the header's
// names; the simulator's pose log reads too); Failure(kUsage) when it cannot.
std::vector<LoggedPose> read_pose_log(const std::string& path);

// Receives pose datagrams on its own thread until destroyed.
class PoseReceiver {
 public:
  // Takes one datagram and its host receive time (steady clock, ns); fills
  // `out` and returns true when it was a pose datagram.
  using Handler = std::function<bool(std::span<const std::uint8_t>, std::int64_t, mok_pose_datagram_t&)>;

  // Binds at once (Failure(kUsage) when it cannot); `log` (may be null) gets
  // a pose log row per pose.
  PoseReceiver(const sockaddr_in& at, File log, Handler handler);
  ~PoseReceiver();
  PoseReceiver(const PoseReceiver&) = delete;
  PoseReceiver& operator=(const PoseReceiver&) = delete;

  std::uint64_t received() const { return received_; }
  // Host time of the newest pose (0 before the first).
  std::int64_t last_rx_ns() const { return last_rx_ns_; }

 private:
  void run();

  File log_;
  std::int64_t unix_minus_steady_us_ = 0;  // the log's wall-clock column
  Handler handler_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::int64_t> last_rx_ns_{0};
  std::thread thread_;
};

}  // namespace mokctl
