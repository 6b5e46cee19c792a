// The C packet handle: a heap cell holding one reference to a shared packet.
// Shared by the packet exports and the connection exports, which wrap
// received packets for the host's callback and unwrap packets to send.
#pragma once

#include <new>

#include "fxt/packet/packet.hpp"
#include "mok/mok_fxt.h"

struct mok_fxt_packet {
  mok::fxt::PacketPtr packet;
};

namespace mok::fxt {

// A new handle holding `p`; null when `p` is null or memory is exhausted.
inline mok_fxt_packet_t* wrap_packet(PacketPtr p) noexcept {
  if (!p) return nullptr;
  return new (std::nothrow) mok_fxt_packet{std::move(p)};
}

}  // namespace mok::fxt
