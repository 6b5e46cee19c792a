// The item of a connector's outbound queue. A queued packet is shared and
// read-only: the write loop reads it while its sender may still hold it.
#pragma once

#include <utility>

#include "fxt/packet/packet.hpp"

namespace mok::fxt {

struct Event {
  PacketPtr packet;

  // Moves the packet into a new shared reference.
  static Event from(Packet packet) { return Event{make_packet_ptr(std::move(packet))}; }
  // Takes one more reference to an already shared packet.
  static Event from(PacketPtr packet) noexcept { return Event{std::move(packet)}; }
};

}  // namespace mok::fxt
