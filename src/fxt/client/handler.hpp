// The interface through which a connector hands received packets and state
// changes to its owner. Held shared by the connector for its whole life.
#pragma once

#include "fxt/packet/packet.hpp"
#include "fxt/state.hpp"

namespace mok::fxt::client {

class Handler {
 public:
  virtual ~Handler() = default;

  // One received packet, in arrival order, from the read loop's task on a
  // runtime worker. The handler owns the reference and may keep it. While
  // this runs the connection reads nothing.
  virtual void on_packet(PacketPtr packet) noexcept = 0;

  // One state, from the connector loop's task on a runtime worker; calls of
  // one connector never overlap. May run at the same time as on_packet.
  // While this runs the connector handles no command.
  virtual void on_state(State state) noexcept = 0;
};

}  // namespace mok::fxt::client
