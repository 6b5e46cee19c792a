// The connection fields that the transport's and the device's C statistics
// structs share by name, filled from a connector's counters in one place.
#pragma once

#include "fxt/client/stats.hpp"

namespace mok::fxt::client {

template <class CStats>
void fill_conn_fields(const ConnStatsSnapshot& s, CStats& out) noexcept {
  out.state = static_cast<uint32_t>(s.state);
  out.time_in_state_ms = s.time_in_state_ms;
  out.connect_attempts = s.connect_attempts;
  out.connections_established = s.connections_established;
  out.disconnects_remote_close = s.disconnects_by(DisconnectCause::RemoteClose);
  out.disconnects_inactivity = s.disconnects_by(DisconnectCause::Inactivity);
  out.disconnects_decode_error = s.disconnects_by(DisconnectCause::DecodeError);
  out.disconnects_write_failure = s.disconnects_by(DisconnectCause::WriteFailure);
  out.disconnects_stop = s.disconnects_by(DisconnectCause::Stop);
  out.bytes_received = s.bytes_received;
  out.bytes_sent = s.bytes_sent;
  out.packets_received = s.packets_received;
  out.packets_sent = s.packets_sent;
  out.send_refused_not_connected = s.send_refused_not_connected;
  out.send_refused_queue_full = s.send_refused_queue_full;
  out.queue_depth = s.queue_depth;
}

}  // namespace mok::fxt::client
