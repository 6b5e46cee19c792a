// The smoothed device-to-host offset (see device_clock.hpp for the filter).
#include "device_clock.hpp"

namespace bridge {

std::int64_t DeviceClock::map(std::uint64_t device_us, std::int64_t host_rx_ns) {
  const auto device_ns = static_cast<std::int64_t>(device_us * 1000);
  const std::int64_t sample = host_rx_ns - device_ns;
  const std::int64_t diff = sample - offset_ns_;
  if (!started_ || diff > filter_.resync_ns || diff < -filter_.resync_ns) {
    offset_ns_ = sample;
    started_ = true;
    ++resyncs_;
  } else if (diff < 0) {
    offset_ns_ = sample;
  } else {
    offset_ns_ += diff / filter_.follow;
  }
  return device_ns + offset_ns_;
}

}  // namespace bridge
