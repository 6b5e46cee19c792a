// The C packet and connection handles: heap cells holding one shared
// reference each. Shared by the packet exports and the connection exports,
// which wrap received packets for the host's callback and unwrap packets to
// send, and by the connection's extension exports.
#pragma once

#include <memory>
#include <new>

#include "fxt/client/connector.hpp"
#include "fxt/packet/packet.hpp"
#include "mok/mok_fxt.h"

struct mok_fxt_packet {
  mok::fxt::PacketPtr packet;
};

struct mok_fxt_conn {
  std::shared_ptr<mok::fxt::client::Connector> connector;
};

namespace mok::fxt {

// A new handle holding `p`; null when `p` is null or memory is exhausted.
inline mok_fxt_packet_t* wrap_packet(PacketPtr p) noexcept {
  if (!p) return nullptr;
  return new (std::nothrow) mok_fxt_packet{std::move(p)};
}

}  // namespace mok::fxt
