// The rate window's bucket arithmetic and the counters' copy.
#include "brelo/stats.hpp"

namespace mok::brelo {

void RateWindow::add(std::uint64_t now_ms) noexcept {
  const std::uint64_t tag = now_ms / kBucketMs + 1;
  Bucket& b = buckets_[tag % kBuckets];
  if (b.tag.load(std::memory_order_relaxed) != tag) {
    // The bucket last held a count from a second or more ago.
    b.n.store(0, std::memory_order_relaxed);
    b.tag.store(tag, std::memory_order_release);
  }
  // One writer (the read loop): a plain store, no locked add.
  b.n.store(b.n.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

std::uint64_t RateWindow::count(std::uint64_t now_ms) const noexcept {
  const std::uint64_t tag = now_ms / kBucketMs + 1;
  std::uint64_t total = 0;
  for (const Bucket& b : buckets_) {
    const std::uint64_t t = b.tag.load(std::memory_order_acquire);
    if (t != 0 && t <= tag && tag - t < kBuckets) total += b.n.load(std::memory_order_relaxed);
  }
  return total;
}

ClientStatsSnapshot copy_counters(const ClientStats& s) noexcept {
  auto get = [](const ClientStats::Counter& c) { return c.load(std::memory_order_relaxed); };
  ClientStatsSnapshot out;
  out.register_reports = get(s.register_reports);
  out.snapshot_images = get(s.snapshot_images);
  out.scan_results = get(s.scan_results);
  out.video_packets = get(s.video_packets);
  out.ignored_packets = get(s.ignored_packets);
  out.scan_results_rejected = get(s.scan_results_rejected);
  out.snapshots_queued = get(s.snapshots_queued);
  out.snapshots_received = get(s.snapshots_received);
  out.video_packets_posted = get(s.video_packets_posted);
  out.frames_decoded = get(s.frames_decoded);
  out.frames_delivered = get(s.frames_delivered);
  out.frames_dropped = get(s.frames_dropped);
  out.snapshots_dropped = get(s.snapshots_dropped);
  out.video_packets_skipped = get(s.video_packets_skipped);
  return out;
}

}  // namespace mok::brelo
