// The lower-envelope clock filter (see clock_filter.hpp for the rule).
#include "track/clock_filter.hpp"

#include <cmath>

namespace mok::track {

std::int64_t ClockFilter::offset_at(std::int64_t stamp_ns) const {
  return base_ + std::llround(slope_ * static_cast<double>(stamp_ns - base_stamp_));
}

std::int64_t ClockFilter::to_host(std::int64_t stamp_ns) const { return stamp_ns + offset_at(stamp_ns); }

std::int64_t ClockFilter::residual_ns(std::int64_t stamp_ns, std::int64_t host_rx_ns) const {
  return started() ? host_rx_ns - to_host(stamp_ns) : 0;
}

void ClockFilter::clear() {
  first_ = 0;
  count_ = 0;
  slope_ = 0.0;
}

std::int64_t ClockFilter::sample(std::int64_t stamp_ns, std::int64_t host_rx_ns) {
  const std::int64_t offset = host_rx_ns - stamp_ns;
  if (started()) {
    const std::int64_t off_line = offset - offset_at(stamp_ns);
    if (off_line > settings_.resync_ns || off_line < -settings_.resync_ns) clear();
  }
  if (!started()) ++resyncs_;
  const std::int64_t span = settings_.window_ns / static_cast<std::int64_t>(kBuckets);
  if (count_ == 0 || stamp_ns >= bucket(count_ - 1).start + span) {
    if (count_ == kBuckets) {
      first_ = (first_ + 1) % kBuckets;
      --count_;
    }
    buckets_[(first_ + count_) % kBuckets] = {stamp_ns, stamp_ns, offset};
    ++count_;
  } else {
    Bucket& b = buckets_[(first_ + count_ - 1) % kBuckets];
    if (offset < b.low) b = {b.start, stamp_ns, offset};
  }
  if (count_ == 1 || stamp_ns > last_stamp_) last_stamp_ = stamp_ns;
  refit();
  return stamp_ns + offset_at(stamp_ns);
}

void ClockFilter::refit() {
  // The slope from the completed stretches only: the newest one has seen
  // few samples, so its minimum still sits high.
  const Bucket& newest = bucket(count_ - 1);
  const std::size_t full = count_ - 1;
  if (full >= 2) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < full; ++i) {
      const double x = static_cast<double>(bucket(i).stamp - newest.stamp);
      const double y = static_cast<double>(bucket(i).low - newest.low);
      sx += x;
      sy += y;
      sxx += x * x;
      sxy += x * y;
    }
    const double n = static_cast<double>(full);
    const double det = n * sxx - sx * sx;
    if (det > 0) slope_ = (n * sxy - sx * sy) / det;
  }
  // Under every minimum: the line touches the lowest one.
  base_stamp_ = newest.stamp;
  base_ = newest.low;
  for (std::size_t i = 0; i < count_; ++i) {
    const Bucket& b = bucket(i);
    const std::int64_t at = b.low - std::llround(slope_ * static_cast<double>(b.stamp - newest.stamp));
    if (at < base_) base_ = at;
  }
}

}  // namespace mok::track
