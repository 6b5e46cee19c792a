// A packet: a head plus exactly head.length payload bytes. Packets handed to
// another party (a send queue, an event, a second C handle) are shared through
// PacketPtr and are read-only from then on; a holder may change one only while
// it holds the sole reference (see is_sole_owner).
#pragma once

#include <memory>

#include "common/bytes.hpp"
#include "fxt/packet/head.hpp"

namespace mok::fxt {

struct Packet {
  Head head;
  Bytes payload;

  // A packet whose head.length is the payload size (seq 0, ts now). The
  // payload must not exceed kMaxLength; callers validate.
  static Packet make(Flags flags, Kind kind, uint16_t stream_id, Bytes payload) noexcept;
  // Keeps head's fields except length, which is set from the payload.
  static Packet with_head(Head head, Bytes payload) noexcept;
};

using PacketPtr = std::shared_ptr<Packet>;

inline PacketPtr make_packet_ptr(Packet packet) { return std::make_shared<Packet>(std::move(packet)); }

// True when `p` is the only reference, so its packet may be changed. Orders
// the change after every earlier holder's last read.
bool is_sole_owner(const PacketPtr& p) noexcept;

}  // namespace mok::fxt
