// The read and write loops of one connection. Each polls its sources (its
// command subscription, its 30 ms ticker, and the framed reader or the
// outbound queue) without blocking, takes one of the ready ones at random so
// that none has priority, and otherwise waits. A wait is one Asio operation
// (the socket read, or the write loop's timer) that the loop's Interrupter
// cancels when a command, a queued packet or the partner loop's end arrives,
// so a busy connection pays for no racing timers or channel waits and an
// idle one is not woken every tick. A set force_exit makes a tick due at
// once. A socket read commits its bytes even when cancelled after reading,
// so nothing read is lost.
#include "fxt/client/connection_loops.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <variant>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <sys/socket.h>

#include "common/bytes.hpp"
#include "common/clock.hpp"
#include "common/log.hpp"
#include "fxt/client/wait.hpp"
#include "fxt/packet/framer.hpp"

namespace mok::fxt::client {

using asio::experimental::as_tuple;
using namespace asio::experimental::awaitable_operators;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// First tick at once, then every period; a late tick does not pile up.
class Ticker {
 public:
  bool due(Clock::time_point now) const noexcept { return now >= next_; }
  void take(Clock::time_point now) noexcept {
    next_ += kTickPeriod;
    if (next_ <= now) next_ = now + kTickPeriod;
  }
  void make_due(Clock::time_point now) noexcept { next_ = now; }
  Clock::time_point next() const noexcept { return next_; }

 private:
  Clock::time_point next_ = Clock::now();
};

// How long an idle write loop waits before it looks at its sources again
// although nothing woke it. Everything that ends it wakes it (a command, a
// queued packet, force_exit from its partner or the connector), so this only
// bounds the wait should a wake-up have been lost to a failed allocation.
constexpr std::chrono::seconds kIdleRecheck{1};

// Wakes the read loop, while it waits on the socket, when the connection may
// have been silent for its time-out, with a tick due so that the loop's
// inactivity check runs. The loop's other reasons to tick come with wake-ups
// of their own (a command, force_exit), and a busy loop
// takes its ticks as it polls; so the alarm fires about once per time-out
// instead of once per tick. Runs on the loop's worker, as does the loop.
class InactivityAlarm : public std::enable_shared_from_this<InactivityAlarm> {
 public:
  InactivityAlarm(const asio::any_io_executor& ex, std::shared_ptr<Interrupter> waker, const Control& control,
                  std::chrono::nanoseconds timeout)
      : timer_(ex), waker_(std::move(waker)), control_(control), timeout_(timeout) {}

  Ticker& ticker() noexcept { return ticker_; }
  void start() { arm(); }
  void stop() noexcept {
    stopped_ = true;
    timer_.cancel();
  }

 private:
  // Just after the time-out would pass if no traffic came from now on.
  void arm() {
    const auto idle = control_.last_activity_elapsed();
    const auto left = idle < timeout_ ? timeout_ - idle : std::chrono::nanoseconds{0};
    arm_after(std::chrono::duration_cast<Clock::duration>(left) + std::chrono::milliseconds(1));
  }
  void arm_after(Clock::duration d) {
    timer_.expires_after(d);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) { self->fired(ec); });
  }
  void fired(const asio::error_code& ec) noexcept {
    if (stopped_ || ec == asio::error::operation_aborted) return;
    try {
      if (control_.last_activity_elapsed() > timeout_) {
        ticker_.make_due(Clock::now());
        waker_->wake_here();
        // The loop ends on this tick; should it not, ask again a tick later.
        arm_after(kTickPeriod);
      } else {
        arm();
      }
    } catch (...) {
      // Out of memory: inactivity is then noticed only when the loop wakes
      // for another reason.
    }
  }

  asio::steady_timer timer_;
  std::shared_ptr<Interrupter> waker_;
  const Control& control_;
  std::chrono::nanoseconds timeout_;
  Ticker ticker_;
  bool stopped_ = false;
};

// Picks one of the ready sources uniformly.
class Chooser {
 public:
  Chooser() : rng_(static_cast<uint32_t>(monotonic_us() ^ reinterpret_cast<uintptr_t>(this))) {}
  template <std::size_t N>
  int pick(const std::array<bool, N>& ready) {
    int candidates[N];
    int n = 0;
    for (std::size_t i = 0; i < N; ++i)
      if (ready[i]) candidates[n++] = static_cast<int>(i);
    if (n == 0) return -1;
    if (n == 1) return candidates[0];
    return candidates[std::uniform_int_distribution<int>(0, n - 1)(rng_)];
  }

 private:
  std::minstd_rand rng_;
};

// The read half with its receive buffer and framer: yields packets, one
// error, or the clean end of the stream.
class FramedReader {
  // Room a full buffer is given before the next read. The buffer starts at
  // kConnectionCapacity; growing it to this on the first full read lets one
  // read take many packets instead of one, and the sole-owner move in
  // BytesMut::reserve keeps reusing the block while no packet outlives its
  // callback. Fixed, so a peer's announced length never sizes an allocation.
  static constexpr std::size_t kReadAhead = 64 * 1024;
  // The largest block kept while nothing is buffered: the usual block, and
  // one grown for a stream of packets up to about a megabyte, stay and are
  // reused; one grown for a larger packet is let go once everything in it
  // has been handed out, so an idle connection does not keep it.
  static constexpr std::size_t kIdleKeep = 4 * 1024 * 1024;

 public:
  struct Item {
    std::optional<Packet> packet;
    std::optional<Error> error;  // neither: the stream ended between packets
  };

  explicit FramedReader(std::shared_ptr<tcp::socket> sock)
      : sock_(std::move(sock)), buf_(BytesMut::kConnectionCapacity) {}

  // Decodes what is buffered; true when an item is ready.
  bool poll() {
    if (item_) return true;
    if (finished_) return false;
    if (read_error_) {
      item_.emplace().error = Error::io(read_error_);
      return true;
    }
    auto r = eof_ ? framer_.decode_eof(buf_) : framer_.decode(buf_);
    if (!r.ok()) {
      item_.emplace().error = std::move(r.error());
    } else if (r->has_value()) {
      item_.emplace().packet.emplace(std::move(**r));
    } else if (eof_) {
      item_.emplace();
    } else {
      // Everything buffered has been handed out: a block grown for a large
      // packet goes (its packet keeps what it shares), the usual one stays.
      buf_.release_if_empty(kIdleKeep);
    }
    return item_.has_value();
  }

  // The ready item, in place: the caller moves out what it keeps, then
  // calls pop(). Spares a packet's moves through a returned item.
  Item& front() noexcept { return *item_; }
  void pop() noexcept {
    if (!item_->packet) finished_ = true;
    item_.reset();
  }

  bool can_read() const noexcept { return !eof_ && !read_error_ && !finished_; }

  // Whether a read that does not wait is worth trying: only after a read
  // that filled all the room it was given, since a shorter one drained the
  // socket. Sparse traffic (one packet per wake-up, as from a camera) then
  // costs one receive call per wake-up, not a second that finds nothing.
  bool more_likely() const noexcept { return can_read() && last_read_filled_; }

  // Whether bytes arrived since the last call: received bytes are activity,
  // so a packet that takes longer than the time-out to arrive still can.
  bool take_progress() noexcept { return std::exchange(progress_, false); }

  // A read that does not wait: true when it changed something (bytes, the
  // end of the stream or an error), false when the socket had nothing.
  // While bytes keep arriving this spares the loop its full wait, whose
  // timer and racing branches cost more than the read itself.
  bool read_ready() {
    const std::size_t room = make_room();
    // MSG_DONTWAIT instead of a non-blocking socket: the socket's own mode
    // stays the event loop's business, and this read can never block.
    ssize_t got;
    do {
      got = ::recv(sock_->native_handle(), buf_.spare().data(), room, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      last_read_filled_ = false;
      return false;
    }
    asio::error_code ec;
    if (got < 0) {
      ec = asio::error_code(errno, asio::system_category());
    } else if (got == 0) {
      ec = asio::error::eof;
    }
    settle(got > 0 ? static_cast<std::size_t>(got) : 0, room, ec);
    return true;
  }

  // Waits for bytes until `waker` interrupts the read. Cancelled before any
  // data arrives it leaves everything as it was.
  asio::awaitable<void> read_until_woken(Interrupter& waker) {
    const std::size_t room = make_room();
    const auto [ec, n] = co_await sock_->async_read_some(asio::buffer(buf_.spare().data(), room), waker.token());
    settle(n, room, ec);
  }

 private:
  // The room the next read may fill. Never more than brings the buffer to
  // the framer's limit: a packet of the largest size with the next one right
  // behind it would otherwise be refused as too large, only because both
  // came in the same read. The framer cuts a packet from a buffer at the
  // limit, and is always asked to before the next read, so the room is
  // never zero.
  std::size_t make_room() {
    if (buf_.spare().empty()) buf_.reserve(kReadAhead);
    return std::min(buf_.spare().size(), kMaxLength - std::min<std::size_t>(buf_.size(), kMaxLength));
  }
  void settle(std::size_t n, std::size_t room, const asio::error_code& ec) {
    last_read_filled_ = n == room;
    if (n > 0) {
      buf_.commit(n);
      progress_ = true;
    }
    if (ec == asio::error::eof) {
      eof_ = true;
    } else if (ec && ec != asio::error::operation_aborted) {
      read_error_ = ec;
    }
  }

  std::shared_ptr<tcp::socket> sock_;
  BytesMut buf_;
  Framer framer_;
  std::optional<Item> item_;
  bool eof_ = false;
  bool finished_ = false;
  bool last_read_filled_ = false;
  bool progress_ = false;
  std::error_code read_error_;
};

}  // namespace

asio::awaitable<void> read_stream(std::shared_ptr<Connector> connector, std::shared_ptr<tcp::socket> sock) {
  auto ex = co_await asio::this_coro::executor;
  Control& control = connector->control();
  auto waker = std::make_shared<Interrupter>(ex);
  auto commands = connector->command_tx().subscribe();
  commands.set_waker(waker);
  connector->register_loop_waker(0, waker);
  const ConnectorOptions& options = connector->options();
  auto alarm = std::make_shared<InactivityAlarm>(ex, waker, control, options.inactivity_timeout);
  alarm->start();
  Ticker& ticker = alarm->ticker();
  asio::steady_timer idle_timer(ex);
  FramedReader reader(std::move(sock));
  Chooser chooser;
  enum { COMMAND, ITEM, TICK };
  constexpr int kEagerReadLimit = 16;
  int eager_reads = 0;
  bool handed_out = false;  // packets went to the handler since it last heard of a drain
  // The last packet's shared cell, reused for the next packet while nobody
  // else holds it, so a handler that keeps nothing costs no allocation here.
  PacketPtr cell;
  ConnStats& stats = connector->stats();
  // Stop unless a branch below knows better; a partner loop that failed
  // first has already claimed this connection's end.
  DisconnectCause cause = DisconnectCause::Stop;
  std::string reason;

  // The clock is read once per read or wait, not once per packet: the
  // packets cut from one read share its time.
  auto now = Clock::now();
  for (bool running = true; running;) {
    const std::array<bool, 3> ready{commands.ready(), reader.poll(), ticker.due(now) || control.is_force_exit()};
    const int choice = chooser.pick(ready);
    if (choice < 0) {
      if (handed_out) {
        handed_out = false;
        connector->handler().on_drained();
      }
      // Bounded, so a connection that never runs dry still yields its worker
      // to the other tasks through a real wait now and then.
      if (reader.more_likely() && eager_reads < kEagerReadLimit && reader.read_ready()) {
        ++eager_reads;
      } else {
        eager_reads = 0;
        // A wake-up already pending (the alarm's tick, a command) skips the wait.
        if (waker->begin_wait()) {
          if (reader.can_read()) {
            co_await reader.read_until_woken(*waker);
          } else {
            idle_timer.expires_at(ticker.next());
            co_await idle_timer.async_wait(waker->token());
          }
          waker->end_wait();
        }
      }
      now = Clock::now();
      // Bytes count as traffic as soon as they arrive, not only once their
      // packet is complete; a packet is never cut from bytes not counted so.
      if (reader.take_progress()) control.update_activity(now);
      continue;
    }
    if (choice == COMMAND) {
      auto cmd = commands.try_recv();
      if (cmd.ok() && *cmd == Commands::Stop) {
        log::debug(kTcpTarget, "stop signal received (read loop)");
        running = false;
      } else if (cmd.ok() && *cmd == Commands::Shutdown) {
        log::debug(kTcpTarget, "shutdown signal received (read loop)");
        running = false;
      }
      // Start and receive errors change nothing here.
    } else if (choice == TICK) {
      ticker.take(now);
      if (control.is_force_exit()) {
        log::debug(kTcpTarget, "force exit requested (read loop)");
        running = false;
      } else if (control.last_activity_elapsed() > options.inactivity_timeout) {
        log::debug(kTcpTarget, "connection timed out due to inactivity");
        cause = DisconnectCause::Inactivity;
        reason = "connection timed out due to inactivity";
        running = false;
      }
    } else {
      FramedReader::Item& item = reader.front();
      if (item.packet) {
        if (log::enabled(log::Level::Trace)) {
          log::trace(kTcpTarget, "received packet: {}", debug_string(item.packet->head));
        }
        ConnStats::bump_own(stats.packets_received);
        ConnStats::bump_own(stats.bytes_received, kHeadLen + item.packet->payload.size());
        if (control.is_force_exit()) {
          log::warn(kTcpTarget, "force exit requested after packet receive");
          running = false;
        } else {
          if (cell) {
            *cell = std::move(*item.packet);
          } else {
            cell = make_packet_ptr(std::move(*item.packet));
          }
          connector->handler().on_packet(cell);
          handed_out = true;
          // Kept only when the handler kept no reference. The payload goes at
          // once so that the receive buffer's block is again ours to reuse.
          if (cell && is_sole_owner(cell)) {
            cell->payload = Bytes();
          } else {
            cell.reset();
          }
        }
      } else if (item.error) {
        log::error(kTcpTarget, "failed to decode packet: {}", item.error->display());
        // A socket error (reset, unreachable) or a close in the middle of a
        // packet is the peer going away, not bytes the framer refused.
        cause =
            item.error->code() == Error::Code::Io ? DisconnectCause::RemoteClose : DisconnectCause::DecodeError;
        reason = item.error->display();
        running = false;
      } else {
        log::debug(kTcpTarget, "remote closed read half");
        cause = DisconnectCause::RemoteClose;
        reason = "remote closed read half";
        running = false;
      }
      reader.pop();
    }
  }
  // Whatever ended the loop, a handler holding output back sends it now.
  if (handed_out) connector->handler().on_drained();
  stats.end_connection(cause, reason);
  connector->force_exit();
  log::debug(kTcpTarget, "read loop stopped");
  alarm->stop();
  commands.set_waker(nullptr);
}

asio::awaitable<Result<void, std::string>> send_buf(tcp::socket& writer, std::span<const uint8_t> bytes,
                                                    std::chrono::nanoseconds timeout) {
  if (bytes.empty()) co_return Result<void, std::string>{};
  asio::steady_timer limit(writer.get_executor(), std::chrono::duration_cast<Clock::duration>(timeout));
  auto outcome = co_await (
      asio::async_write(writer, asio::buffer(bytes.data(), bytes.size()), as_tuple(asio::use_awaitable)) ||
      limit.async_wait(as_tuple(asio::use_awaitable)));
  if (outcome.index() == 1) co_return err(std::string("write timed out"));
  const auto [ec, n] = std::get<0>(outcome);
  (void)n;
  if (ec) co_return err(ec.message());
  co_return Result<void, std::string>{};
}

asio::awaitable<Result<void, std::string>> write_packet(tcp::socket& writer, const Packet& packet,
                                                        std::chrono::nanoseconds timeout) {
  // Written as stored: the transport assigns no sequence number or time.
  const auto head = packet.head.to_bytes();
  auto r = co_await send_buf(writer, head, timeout);
  if (!r.ok()) co_return r;
  co_return co_await send_buf(writer, packet.payload.span(), timeout);
}

asio::awaitable<EventQueue::Receiver> write_stream(std::shared_ptr<tcp::socket> sock,
                                                   std::shared_ptr<Connector> connector,
                                                   EventQueue::Receiver queue) {
  auto ex = co_await asio::this_coro::executor;
  Control& control = connector->control();
  auto waker = std::make_shared<Interrupter>(ex);
  auto commands = connector->command_tx().subscribe();
  commands.set_waker(waker);
  queue.set_waker(waker);
  connector->register_loop_waker(1, waker);
  Ticker ticker;
  asio::steady_timer tick_timer(ex);
  Chooser chooser;
  enum { COMMAND, TICK, EVENT };
  ConnStats& stats = connector->stats();
  bool lost_one = false;  // the packet whose write failed

  for (bool running = true; running;) {
    const auto now = Clock::now();
    const std::array<bool, 3> ready{commands.ready(), ticker.due(now) || control.is_force_exit(), queue.ready()};
    const int choice = chooser.pick(ready);
    if (choice < 0) {
      if (!waker->begin_wait()) continue;
      tick_timer.expires_after(kIdleRecheck);
      co_await tick_timer.async_wait(waker->token());
      waker->end_wait();
      continue;
    }
    if (choice == COMMAND) {
      auto cmd = commands.try_recv();
      if (cmd.ok() && (*cmd == Commands::Stop || *cmd == Commands::Shutdown)) {
        log::debug(kTcpTarget, "shutdown signal received (write loop)");
        running = false;
      }
    } else if (choice == TICK) {
      ticker.take(now);
      if (control.is_force_exit()) {
        log::debug(kTcpTarget, "force exit requested (write loop)");
        running = false;
      }
    } else {
      auto event = queue.try_recv();
      if (!event.ok()) {
        // Only the connector owns the sending end, and it outlives this loop.
        running = false;
        continue;
      }
      auto r = co_await write_packet(*sock, *event->packet, connector->options().write_timeout);
      if (r.ok()) {
        control.update_activity();
        ConnStats::bump(stats.packets_sent);
        ConnStats::bump(stats.bytes_sent, kHeadLen + event->packet->payload.size());
        connector->flush_tracker().written();
      } else {
        lost_one = true;
        log::error(kTcpTarget, "failed to send packet: {}", r.error());
        stats.end_connection(DisconnectCause::WriteFailure, r.error());
        running = false;
      }
    }
  }
  // Ended by a command or the partner loop: the read loop usually accounts
  // for that first, and this claim then counts nothing.
  stats.end_connection(DisconnectCause::Stop);
  connector->force_exit();
  // Counted once the connection is marked as going down, so a flush that
  // sees the loss also sees the connection gone.
  if (lost_one) connector->flush_tracker().lost();
  log::debug(kTcpTarget, "write loop stopped");
  commands.set_waker(nullptr);
  queue.set_waker(nullptr);
  // The peer sees the end of the stream; the socket stays open for the
  // read loop and closes when neither loop holds it.
  asio::error_code ignored;
  sock->shutdown(tcp::socket::shutdown_send, ignored);
  co_return std::move(queue);
}

}  // namespace mok::fxt::client
