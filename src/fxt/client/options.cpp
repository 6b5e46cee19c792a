// Range check of the connector's timings.
#include "fxt/client/options.hpp"

#include <fmt/format.h>

namespace mok::fxt::client {

namespace {

Result<void, std::string> in_range(const char* name, ConnectorOptions::ms value, ConnectorOptions::ms min) {
  if (value >= min && value <= ConnectorOptions::kMax) return {};
  return err(fmt::format("{} {} ms is outside {}..{} ms", name, value.count(), min.count(),
                         ConnectorOptions::kMax.count()));
}

}  // namespace

ConnectorOptions ConnectorOptions::from_millis(std::uint32_t reconnect_delay_ms, std::uint32_t connect_timeout_ms,
                                               std::uint32_t inactivity_timeout_ms,
                                               std::uint32_t write_timeout_ms) {
  ConnectorOptions o;
  const auto pick = [](std::uint32_t value, ms dflt) { return value == 0 ? dflt : ms(value); };
  o.reconnect_delay = pick(reconnect_delay_ms, o.reconnect_delay);
  o.connect_timeout = pick(connect_timeout_ms, o.connect_timeout);
  o.inactivity_timeout = pick(inactivity_timeout_ms, o.inactivity_timeout);
  o.write_timeout = pick(write_timeout_ms, o.write_timeout);
  return o;
}

Result<void, std::string> check(const ConnectorOptions& o) {
  using O = ConnectorOptions;
  for (const auto& r : {in_range("reconnect delay", o.reconnect_delay, O::kMinReconnectDelay),
                        in_range("connect time-out", o.connect_timeout, O::kMinConnectTimeout),
                        in_range("inactivity time-out", o.inactivity_timeout, O::kMinInactivityTimeout),
                        in_range("write time-out", o.write_timeout, O::kMinWriteTimeout)}) {
    if (!r.ok()) return r;
  }
  return {};
}

}  // namespace mok::fxt::client
