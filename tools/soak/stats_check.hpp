// The client's own statistics held against what the soak saw from outside:
// the host's callbacks and the relay's view of the stream. A counter that
// drifts from these tallies is a counting fault even when delivery is right.
#pragma once

#include <cstdint>

#include "mok/mok.h"

namespace soak {

struct Tallies {
  std::uint64_t host_results = 0;     // scan callbacks the host received
  std::uint64_t host_connected = 0;   // CONNECTED reports the host received
  std::uint64_t scans_forwarded = 0;  // scan results the relay handed the client
};

// Reads the client's figures once they hold still, prints them with each
// check, and returns true when every check passes. Call before mok_close
// and after the relay has ended its last connection.
bool check_client_stats(mok_client_t* client, const Tallies& t);

}  // namespace soak
