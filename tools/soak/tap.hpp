// A loopback relay between the client and the simulator that watches the
// camera's side of the stream. The device interface shows a host only the
// scan payload, not the packet head, so the relay is where the simulator's
// sequence numbers are checked (contiguous within each connection) and where
// the scan results actually handed to the client are written down in order;
// the host's own list must then match it exactly. The relay also ends each
// connection after a set time, gracefully (the client reads every byte
// written before the end of the stream).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace soak {

struct TapStats {
  std::uint64_t connections = 0;
  std::uint64_t scans_forwarded = 0;
  std::uint64_t seq_faults = 0;  // a scan whose head seq is not the last one plus 1
  std::uint64_t upstream_failures = 0;
};

class Tap {
 public:
  // Relays to 127.0.0.1:upstream_port; connections end after drop_every_s
  // seconds (0: never).
  Tap(std::uint16_t upstream_port, double drop_every_s);
  ~Tap();
  Tap(const Tap&) = delete;
  Tap& operator=(const Tap&) = delete;

  std::uint16_t port() const { return port_; }
  // Ends the current connection gracefully, accepts no more, and returns
  // once the client has closed its side (or a bounded while has passed).
  void stop();
  TapStats stats() const;
  // Time stamps of the scan results forwarded since the last call, over all
  // connections in order (taken out, so a long run holds only the backlog).
  std::vector<std::uint64_t> take_forwarded();

 private:
  void accept_loop();
  void serve(int client_fd);

  std::uint16_t upstream_port_;
  double drop_every_s_;
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> forwarded_;
  TapStats stats_;
  std::thread thread_;
};

}  // namespace soak
