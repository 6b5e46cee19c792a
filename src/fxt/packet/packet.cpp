// Packet construction and the sole-owner test behind every change of a shared
// packet.
#include "fxt/packet/packet.hpp"

#include <atomic>

namespace mok::fxt {

Packet Packet::make(Flags flags, Kind kind, uint16_t stream_id, Bytes payload) noexcept {
  const auto length = static_cast<uint32_t>(payload.size());
  return Packet{Head::make(length, flags, kind, stream_id), std::move(payload)};
}

Packet Packet::with_head(Head head, Bytes payload) noexcept {
  head.length = static_cast<uint32_t>(payload.size());
  return Packet{head, std::move(payload)};
}

bool is_sole_owner(const PacketPtr& p) noexcept {
  if (!p || p.use_count() != 1) return false;
  // use_count() is a relaxed read. Taking and dropping a reference acquires
  // the release done when the last other reference was dropped, in a way a
  // race detector understands (a lone fence it does not model).
  { PacketPtr sync = p; }
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

}  // namespace mok::fxt
