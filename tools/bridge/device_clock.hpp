// Maps the camera's time stamps (microseconds on the device's own clock) to
// the host's wall clock, which is what ROS 2 header stamps are read against.
// Pure: it is fed (device time, host receive time) pairs and keeps one offset.
#pragma once

#include <cstdint>

namespace bridge {

// The offset filter. Every sample's receive time is the true offset plus a
// transport delay that is never negative, so the smallest offset seen is the
// best estimate: a sample below the estimate replaces it at once. A sample
// above it pulls it up by 1/`follow` of the difference, so a device clock
// that runs slow against the host (the offset grows) is followed within a few
// `follow` samples while a single late packet moves it by almost nothing. A
// sample further than `resync_ns` from the estimate (device clock set, camera
// restarted) starts over from that sample.
struct ClockFilter {
  std::int64_t follow = 1000;
  std::int64_t resync_ns = 1'000'000'000;
};

class DeviceClock {
 public:
  explicit DeviceClock(ClockFilter filter = {}) : filter_(filter) {}

  // Takes one sample and returns the host time (ns since 1970) of `device_us`.
  std::int64_t map(std::uint64_t device_us, std::int64_t host_rx_ns);
  // Host time minus device time, in ns; 0 before the first sample.
  std::int64_t offset_ns() const { return offset_ns_; }
  // How often the estimate started over (the first sample included).
  std::uint64_t resyncs() const { return resyncs_; }

 private:
  ClockFilter filter_;
  bool started_ = false;
  std::int64_t offset_ns_ = 0;  // integer: host times need all 63 bits
  std::uint64_t resyncs_ = 0;
};

}  // namespace bridge
