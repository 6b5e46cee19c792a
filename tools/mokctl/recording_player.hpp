// A recording (mokctl record) decoded as from a live camera: its packets are
// played, as fast as the client reads them, to a client of the library over a
// loopback connection, so offline commands see exactly the results a live
// one would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <mok/mok.hpp>

#include "session.hpp"
#include "sim/recording.hpp"

namespace mokctl {

// Reads a whole recording; Failure(kUsage) when it cannot. Warns on standard
// error when the file ends inside a packet (the packets before it are kept).
camsim::Recording load_recording(const std::string& path);

// Plays `recording` to a library client and hands each scan result, with its
// result index, to `on_result` on the calling thread. Returns the count.
std::size_t play_recording(const GlobalOptions& g, const camsim::Recording& recording,
                           const std::function<void(std::uint64_t, mok::ScanResult)>& on_result);

}  // namespace mokctl
