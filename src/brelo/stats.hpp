// The device client's own counters (packets by dispatch class, scan
// validation, snapshots, video) and the scan-result rate window. Bumped with
// relaxed atomic adds from the read loop and the client video thread; a
// reader copies each counter on its own, so a copy is exact per counter but
// not one instant across counters.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "fxt/client/stats.hpp"

namespace mok::brelo {

// Events in the last second, in ten 100 ms buckets: the window slides by
// whole buckets, so the count covers between 0.9 and 1 s. One thread adds
// (the read loop); any thread counts.
class RateWindow {
 public:
  static constexpr std::uint64_t kBucketMs = 100;
  static constexpr std::size_t kBuckets = 10;

  // Counts one event; one thread at a time may call this.
  void add(std::uint64_t now_ms) noexcept;
  std::uint64_t count(std::uint64_t now_ms) const noexcept;

 private:
  struct Bucket {
    // Bucket number + 1 of the time the count belongs to; 0 never used.
    std::atomic<std::uint64_t> tag{0};
    std::atomic<std::uint64_t> n{0};
  };
  std::array<Bucket, kBuckets> buckets_{};
};

struct ClientStats {
  using Counter = fxt::client::ConnStats::Counter;
  static void bump(Counter& c) noexcept { c.fetch_add(1, std::memory_order_relaxed); }

  // Received packets by the bridge's dispatch.
  Counter register_reports{0};
  Counter snapshot_images{0};
  Counter scan_results{0};
  Counter video_packets{0};
  Counter ignored_packets{0};  // any other stream
  Counter scan_results_rejected{0};
  Counter snapshots_queued{0};
  Counter snapshots_received{0};  // taken by the host
  Counter video_packets_posted{0};
  Counter frames_decoded{0};
  Counter frames_delivered{0};
  Counter frames_dropped{0};     // by the decoder's real-time rule
  Counter snapshots_dropped{0};  // oldest images pushed out of the full queue
  // Video packets never decoded: not posted while the decoder was behind
  // (until the next key frame), or still queued when video went off.
  Counter video_packets_skipped{0};
  RateWindow scan_rate;
};

struct ClientStatsSnapshot {
  fxt::client::ConnStatsSnapshot conn;
  std::uint64_t register_reports = 0;
  std::uint64_t snapshot_images = 0;
  std::uint64_t scan_results = 0;
  std::uint64_t video_packets = 0;
  std::uint64_t ignored_packets = 0;
  std::uint64_t scan_results_rejected = 0;
  std::uint64_t snapshots_queued = 0;
  std::uint64_t snapshots_received = 0;
  std::uint64_t video_packets_posted = 0;
  std::uint64_t frames_decoded = 0;
  std::uint64_t frames_delivered = 0;
  std::uint64_t frames_dropped = 0;
  // Accepted scan results in the last second.
  double scan_rate_hz = 0.0;
  // The pull queue's drops (host fell behind) and current depth.
  std::uint64_t scan_queue_dropped = 0;
  std::uint64_t scan_queue_depth = 0;
  std::uint64_t snapshots_dropped = 0;
  std::uint64_t video_packets_skipped = 0;
};

// Copies the client's counters; `conn` and the rate are the caller's.
ClientStatsSnapshot copy_counters(const ClientStats& s) noexcept;

}  // namespace mok::brelo
