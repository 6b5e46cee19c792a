// Replaying a recording instead of the scene: every connection gets the
// recorded packets with their original spacing, once or in a loop.
#include "common/log.hpp"
#include "sim/server.hpp"

namespace camsim {

awaitable<void> Connection::replayer() {
  const Recording& rec = *sim_.replay;
  do {
    const auto origin = Clock::now();
    for (const RecordedPacket& p : rec.packets) {
      co_await sleep_until(origin + std::chrono::microseconds(p.time_us));
      if (closed_) co_return;
      if (frozen_ || half_closed_) continue;
      push(p.head, std::make_shared<std::vector<std::uint8_t>>(p.payload));
    }
  } while (sim_.opt.replay_loop && !closed_ && !rec.packets.empty());
  mok::log::info(kLog, "client {}: replay finished", id_);
}

}  // namespace camsim
