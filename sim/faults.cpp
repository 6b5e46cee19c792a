// The misbehaviour a connection can be told to show: dropping, stalling,
// freezing, a corrupt head and a half-close, each after its own delay.
#include "common/log.hpp"
#include "sim/server.hpp"

namespace camsim {

void Connection::corrupt() {
  // A length below the minimum: every reader must refuse this head and drop us.
  auto head = make_head(2, mok::fxt::Kind::Data, stream::kScan, 0);
  push(head, std::make_shared<std::vector<std::uint8_t>>(2, 0));
  mok::log::info(kLog, "client {}: corrupt head queued (fault injection)", id_);
}

void Connection::half_close() {
  half_closed_ = true;
  asio::error_code ignore;
  socket_.shutdown(tcp::socket::shutdown_send, ignore);
  wake_.cancel();
  mok::log::info(kLog, "client {}: sending side shut down (fault injection)", id_);
}

awaitable<void> Connection::fault(double after_s, void (Connection::*action)()) {
  const auto step = seconds(after_s);
  auto at = Clock::now() + step;
  const bool repeats = action == &Connection::drop;
  do {
    co_await sleep_until(at);
    if (closed_) co_return;
    (this->*action)();
    at += step;
  } while (repeats && !closed_);
}

}  // namespace camsim
