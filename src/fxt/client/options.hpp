// The connector's timings: how long it waits before reconnecting and how long
// a connect, a silent connection and one stalled write may take. One struct,
// carried by the Connector and fixed once it first starts, so that every loop
// reads its timings from the same place and tests can run them in
// milliseconds. The defaults are the camera protocol's own values.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/result.hpp"

namespace mok::fxt::client {

struct ConnectorOptions {
  using ms = std::chrono::milliseconds;

  // Between a loss or failed attempt and the next attempt.
  ms reconnect_delay{5000};
  // One connection attempt.
  ms connect_timeout{10000};
  // Longest time without a packet in either direction.
  ms inactivity_timeout{10000};
  // Each of a packet's head and payload writes.
  ms write_timeout{10000};

  // Below these a loop would spin or give up on a healthy connection: the
  // inactivity check runs on the loops' 30 ms tick. Above kMax a typo, not a
  // wish, is more likely.
  static constexpr ms kMinReconnectDelay{10};
  static constexpr ms kMinConnectTimeout{10};
  static constexpr ms kMinInactivityTimeout{100};
  static constexpr ms kMinWriteTimeout{10};
  static constexpr ms kMax{24 * 3600 * 1000};

  // The C interfaces' form: milliseconds, 0 keeping a timing's default.
  static ConnectorOptions from_millis(std::uint32_t reconnect_delay_ms, std::uint32_t connect_timeout_ms,
                                      std::uint32_t inactivity_timeout_ms, std::uint32_t write_timeout_ms);
};

// Ok, or a text naming the first timing outside its range
// ("inactivity time-out 20 ms is outside 100..86400000 ms").
Result<void, std::string> check(const ConnectorOptions& options);

}  // namespace mok::fxt::client
