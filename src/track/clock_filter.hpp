// Maps a remote clock's stamps (a camera's, a robot controller's) to the host
// clock they were received on, following the drift between the two. Pure: it
// is fed (stamp, host receive time) pairs and keeps a line for the offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace mok::track {

// Every sample's offset (receive time minus stamp) is the true offset plus a
// transport delay that is never negative, so the lowest samples tell the
// offset. The filter keeps the lowest sample of each of kBuckets stretches of
// the window, fits the drift (the slope) through the minima of the completed
// stretches, and lays the line with that slope under all of them: a sample
// below the line lowers it at once, late samples do not lift it, and a clock
// that runs fast or slow is followed without lag. A sample further than
// resync_ns from the line (clock set, device restarted) starts over.
struct ClockSettings {
  std::int64_t window_ns = 10'000'000'000;
  std::int64_t resync_ns = 1'000'000'000;
};

class ClockFilter {
 public:
  static constexpr std::size_t kBuckets = 16;

  explicit ClockFilter(ClockSettings settings = {}) : settings_(settings) {}

  // Takes one sample and returns the host time of `stamp_ns`.
  std::int64_t sample(std::int64_t stamp_ns, std::int64_t host_rx_ns);
  // The same for a stamp in microseconds (a camera's time stamp).
  std::int64_t map(std::uint64_t stamp_us, std::int64_t host_rx_ns) {
    return sample(static_cast<std::int64_t>(stamp_us * 1000), host_rx_ns);
  }
  // The host time of `stamp_ns` by the current line, without a sample.
  std::int64_t to_host(std::int64_t stamp_ns) const;
  // How far a sample would lie above the line (negative: below it); 0 before
  // the first sample.
  std::int64_t residual_ns(std::int64_t stamp_ns, std::int64_t host_rx_ns) const;

  bool started() const { return count_ > 0; }
  // Two stretches seen: the line rests on more than the first few samples.
  bool settled() const { return count_ >= 2; }
  // Host time minus stamp at the newest stamp, in ns; 0 before the first sample.
  std::int64_t offset_ns() const { return started() ? offset_at(last_stamp_) : 0; }
  // The offset's rate of change, parts per million (positive: the remote
  // clock runs slow against the host's).
  double drift_ppm() const { return slope_ * 1e6; }
  // How often the filter started over (the first sample included).
  std::uint64_t resyncs() const { return resyncs_; }
  void clear();

 private:
  struct Bucket {
    std::int64_t start = 0;  // stamp where the stretch begins
    std::int64_t stamp = 0;  // stamp of its lowest sample
    std::int64_t low = 0;    // that sample's offset
  };
  std::int64_t offset_at(std::int64_t stamp_ns) const;
  void refit();
  const Bucket& bucket(std::size_t i) const { return buckets_[(first_ + i) % kBuckets]; }

  ClockSettings settings_;
  std::array<Bucket, kBuckets> buckets_{};
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  std::int64_t last_stamp_ = 0;
  // The line: offset(stamp) = base_ + slope_ * (stamp - base_stamp_); integers
  // where host times need all 63 bits.
  std::int64_t base_stamp_ = 0;
  std::int64_t base_ = 0;
  double slope_ = 0.0;
  std::uint64_t resyncs_ = 0;
};

}  // namespace mok::track
