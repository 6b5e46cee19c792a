// The interface through which a connector hands received packets and state
// changes to its owner. Held shared by the connector for its whole life.
#pragma once

#include "fxt/packet/packet.hpp"
#include "fxt/state.hpp"

namespace mok::fxt::client {

class Handler {
 public:
  virtual ~Handler() = default;

  // One received packet, in arrival order, from the read loop's task on the
  // connection's worker. The reference is lent: a handler that keeps the
  // packet copies or moves it out; what is left is reused for the next
  // packet once nobody else holds it, which spares the reference counting
  // of a hand-over per packet. While this runs the connection reads nothing.
  virtual void on_packet(PacketPtr& packet) noexcept = 0;

  // After one or more on_packet calls: every packet received so far has been
  // handed out and the loop is about to read (or wait) again, or the loop
  // ends (the connection closed or failed after them). A handler that
  // holds output back per packet sends it here, so nothing it holds waits
  // for a later packet.
  virtual void on_drained() noexcept {}

  // One state, from the connector loop's task on the same worker as
  // on_packet: no two calls for one connector, of either kind, overlap.
  // While this runs the connector handles no command.
  virtual void on_state(State state) noexcept = 0;
};

}  // namespace mok::fxt::client
