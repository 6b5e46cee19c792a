// Connector: creation and address resolution, the caller-facing operations
// and the connector loop. The loop owns the connection's task handles and
// the outbound queue's receiving end while no write loop holds it. Shutdown
// order: the loop waits for the read loop, then the write loop, reports
// Disconnected and Terminated, and ends, dropping its subscription and the
// queue end (which discards packets still queued).
#include "fxt/client/connector.hpp"

#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <variant>

#include <arpa/inet.h>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <netdb.h>
#include <netinet/in.h>

#include "common/log.hpp"
#include "common/port.hpp"
#include "common/runtime.hpp"
#include "fxt/client/connection_loops.hpp"
#include "fxt/client/wait.hpp"

namespace mok::fxt::client {

using asio::experimental::as_tuple;
using namespace asio::experimental::awaitable_operators;
using tcp = asio::ip::tcp;

// ---- Errors and addresses ---------------------------------------------------

ConnectorError ConnectorError::resolve(std::string text) {
  ConnectorError e(Error::not_ready());
  e.kind_ = Kind::Resolve;
  e.text_ = std::move(text);
  return e;
}

std::string ConnectorError::display() const {
  switch (kind_) {
    case Kind::Transport:
      return transport_.display();
    case Kind::ChannelClosed:
      return SendError{SendError::Kind::Closed}.text();
    case Kind::NoCapacity:
      return SendError{SendError::Kind::Full}.text();
    case Kind::Resolve:
      return text_;
  }
  return {};
}

Result<std::pair<sockaddr_storage, socklen_t>, ConnectorError> resolve_first(std::string_view address) {
  const auto colon = address.rfind(':');
  if (colon == std::string_view::npos) return err(ConnectorError::resolve("invalid socket address"));
  std::string_view host = address.substr(0, colon);
  const std::string_view port_text = address.substr(colon + 1);
  // The device client's address rules use the same grammar, so every
  // address they accept resolves here.
  const std::optional<uint16_t> parsed = parse_port(port_text);
  if (!parsed) return err(ConnectorError::resolve("invalid port value"));
  const uint16_t port = *parsed;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty()) return err(ConnectorError::resolve("invalid socket address"));

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string host_z(host);
  const int rc = ::getaddrinfo(host_z.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    return err(ConnectorError::resolve(::gai_strerror(rc)));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(list, &::freeaddrinfo);
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    // Only the first usable address is ever tried.
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    sockaddr_storage out{};
    std::memcpy(&out, ai->ai_addr, ai->ai_addrlen);
    if (ai->ai_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&out)->sin_port = htons(port);
    } else {
      reinterpret_cast<sockaddr_in6*>(&out)->sin6_port = htons(port);
    }
    return std::pair{out, static_cast<socklen_t>(ai->ai_addrlen)};
  }
  return err(ConnectorError::resolve("Unable to resolve domain"));
}

std::string format_address(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    return fmt::format("{}:{}", text, ntohs(in->sin_port));
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
  ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
  return fmt::format("[{}]:{}", text, ntohs(in6->sin6_port));
}

// ---- Caller-facing operations -------------------------------------------------

Connector::Connector(const sockaddr_storage& addr, socklen_t addr_len, std::shared_ptr<Handler> handler,
                     CommandChannel::Sender command_tx, EventQueue::Sender event_tx)
    : addr_(addr),
      addr_len_(addr_len),
      addr_text_(format_address(addr)),
      handler_(std::move(handler)),
      command_tx_(std::move(command_tx)),
      event_tx_(std::move(event_tx)) {}

Connector::~Connector() { (void)shutdown(); }

Result<std::size_t, ConnectorError> Connector::send_command(Commands c) {
  auto r = command_tx_.send(c);
  if (!r.ok()) return err(ConnectorError(r.error()));
  return *r;
}

Result<void, std::string> Connector::set_options(const ConnectorOptions& options) {
  if (auto r = check(options); !r.ok()) return r;
  std::lock_guard g(options_lock_);
  if (options_fixed_) return err(std::string("timings can only be set before the first start"));
  options_ = options;
  return {};
}

Result<void, ConnectorError> Connector::start() {
  if (control_.is_shutdown_requested()) return err(ConnectorError(Error::not_ready()));
  {
    std::lock_guard g(options_lock_);
    options_fixed_ = true;
  }
  control_.set_started(true);
  control_.set_stopped(false);
  auto r = send_command(Commands::Start);
  if (!r.ok()) return err(std::move(r.error()));
  log::debug(kTcpTarget, "start command sent to {} receivers", *r);
  return {};
}

Result<void, ConnectorError> Connector::stop() {
  if (control_.is_shutdown_requested()) return err(ConnectorError(Error::not_ready()));
  control_.set_started(false);
  auto r = send_command(Commands::Stop);
  if (!r.ok()) return err(std::move(r.error()));
  log::debug(kTcpTarget, "stop command sent to {} receivers", *r);
  return {};
}

Result<void, ConnectorError> Connector::shutdown() {
  control_.set_shutdown_requested();
  control_.set_started(false);
  control_.set_stopped(true);
  auto r = send_command(Commands::Shutdown);
  if (!r.ok()) return err(std::move(r.error()));
  log::debug(kTcpTarget, "shutdown command sent to {} receivers", *r);
  return {};
}

Result<void, ConnectorError> Connector::send(Packet packet) { return send(make_packet_ptr(std::move(packet))); }

Result<void, ConnectorError> Connector::send(PacketPtr packet) {
  // A null packet would reach the write loop as nothing to write.
  if (!packet) return err(ConnectorError(Error::not_ready()));
  if (!control_.is_connected() || control_.is_force_exit() || control_.is_stopped()) {
    ConnStats::bump(stats_->send_refused_not_connected);
    return err(ConnectorError(Error::not_ready()));
  }
  auto r = event_tx_.try_send(Event::from(std::move(packet)));
  if (!r.ok()) {
    ConnStats::bump(r.error().kind == SendError::Kind::Full ? stats_->send_refused_queue_full
                                                            : stats_->send_refused_not_connected);
    return err(ConnectorError(r.error()));
  }
  flush_.accepted();
  return {};
}

FlushTracker::Outcome Connector::flush(std::chrono::nanoseconds timeout) {
  return flush_.wait(
      timeout, [this] { return control_.is_connected() && !control_.is_force_exit() && !control_.is_stopped(); });
}

void Connector::emit_state(State state) noexcept {
  stats_->enter_state(state);
  flush_.wake();
  handler_->on_state(state);
}

void Connector::register_loop_waker(std::size_t slot, const std::shared_ptr<Waker>& waker) {
  std::lock_guard g(loop_wakers_lock_);
  loop_wakers_.at(slot) = waker;
}

void Connector::force_exit() noexcept {
  control_.set_force_exit(true);
  std::array<std::shared_ptr<Waker>, 2> wakers;
  {
    std::lock_guard g(loop_wakers_lock_);
    for (std::size_t i = 0; i < wakers.size(); ++i) wakers[i] = loop_wakers_[i].lock();
  }
  for (const auto& w : wakers) {
    if (w) w->wake();
  }
  flush_.wake();
}

ConnStatsSnapshot Connector::stats_snapshot() const noexcept {
  uint64_t depth = 0;
  try {
    depth = event_tx_.size();
  } catch (...) {
    // A lock that cannot be taken leaves the depth unknown, reported as 0.
  }
  return stats_->snapshot(depth);
}

// ---- The connector loop -------------------------------------------------------

namespace {

std::string describe(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "unknown failure";
  }
}

// How a read or write loop task ended, filled in by its completion handler
// on whichever worker it ends, then read by the connector loop.
struct TaskEnd {
  std::mutex lock;
  bool done = false;
  std::exception_ptr failure;
  EventQueue::Receiver queue;  // what a write loop hands back

  bool is_done() {
    std::lock_guard g(lock);
    return done;
  }
};

struct WriterResult {
  std::exception_ptr failure;  // set: the write loop task failed
  EventQueue::Receiver queue;
};

class ConnectorLoop {
 public:
  ConnectorLoop(asio::io_context& io, std::shared_ptr<Connector> self, EventQueue::Receiver queue,
                CommandChannel::Receiver commands)
      : io_(io), self_(std::move(self)), commands_(std::move(commands)), slot_(std::move(queue)) {}

  asio::awaitable<void> run();

 private:
  Control& control() { return self_->control(); }
  bool handle_command(Result<Commands, RecvError> r, bool& end);
  asio::awaitable<void> shutdown();
  asio::awaitable<void> on_start();
  asio::awaitable<void> finish_previous_connection();
  void reader_ended();
  void writer_ended();
  void finish_connection();
  std::optional<EventQueue::Receiver> take_queue_end();
  asio::awaitable<void> wait_done(const std::shared_ptr<TaskEnd>& task);

  asio::io_context& io_;
  std::shared_ptr<Connector> self_;
  CommandChannel::Receiver commands_;
  std::optional<EventQueue::Receiver> slot_;
  std::shared_ptr<AsyncWaker> waker_;
  std::shared_ptr<TaskEnd> reader_;  // handle of the current read loop, if any
  std::shared_ptr<TaskEnd> writer_;
  bool reader_done_ = false;
  std::optional<WriterResult> writer_result_;
};

asio::awaitable<void> ConnectorLoop::run() {
  auto ex = co_await asio::this_coro::executor;
  waker_ = std::make_shared<AsyncWaker>(ex);
  commands_.set_waker(waker_);
  for (;;) {
    // A fresh timer every iteration: whatever woke the loop restarts the delay.
    // The options are read only once `started` was seen (see set_options).
    const bool armed = control().is_started() && self_->is_auto_reconnect() && !control().is_stopped() &&
                       !control().is_connected();
    const auto deadline =
        std::chrono::steady_clock::now() +
        (armed ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(self_->reconnect_delay())
               : std::chrono::steady_clock::duration::zero());
    asio::steady_timer timer(ex, deadline);
    for (;;) {
      // Fixed order: read loop end, write loop end, command, timer.
      if (reader_ && reader_->is_done()) {
        reader_ended();
        break;
      }
      if (writer_ && writer_->is_done()) {
        writer_ended();
        break;
      }
      if (commands_.ready()) {
        bool end = false;
        if (handle_command(commands_.try_recv(), end)) co_await on_start();
        if (end) {
          co_await shutdown();
          co_return;
        }
        break;
      }
      if (armed && std::chrono::steady_clock::now() >= deadline) {
        log::debug(kTcpTarget, "reconnect delay elapsed");
        log::debug(kTcpTarget, "auto-reconnect is enabled, attempting to reconnect");
        self_->emit_state(State::Reconnecting);
        // The attempt happens when this loop takes the Start from the channel.
        if (!self_->command_tx().send(Commands::Start).ok()) co_return;
        break;
      }
      if (armed) {
        co_await (waker_->wait() || timer.async_wait(as_tuple(asio::use_awaitable)));
      } else {
        co_await waker_->wait();
      }
    }
  }
}

// True when a connection attempt must follow; `end` when shutdown was asked.
bool ConnectorLoop::handle_command(Result<Commands, RecvError> r, bool& end) {
  if (!r.ok()) {
    log::error(kTcpTarget, "command receive error: {}", r.error().text());
    return false;
  }
  switch (*r) {
    case Commands::Start:
      log::debug(kTcpTarget, "start command received");
      control().set_stopped(false);
      control().set_started(true);
      return !control().is_connected();
    case Commands::Stop:
      log::debug(kTcpTarget, "stop command received");
      // No state here: the loops see the same command and their ending
      // reports Disconnected.
      control().set_started(false);
      control().set_stopped(true);
      self_->force_exit();
      control().set_connected(false);
      return false;
    case Commands::Shutdown:
      end = true;
      return false;
  }
  return false;
}

asio::awaitable<void> ConnectorLoop::wait_done(const std::shared_ptr<TaskEnd>& task) {
  while (!task->is_done()) co_await waker_->wait();
}

asio::awaitable<void> ConnectorLoop::shutdown() {
  log::debug(kTcpTarget, "shutdown signal received (connector loop)");
  self_->force_exit();
  self_->emit_state(State::ShuttingDown);
  if (reader_) {
    log::debug(kTcpTarget, "waiting for read loop to stop ...");
    co_await wait_done(reader_);
  }
  if (writer_) {
    log::debug(kTcpTarget, "waiting for write loop to stop ...");
    co_await wait_done(writer_);
  }
  self_->emit_state(State::Disconnected);
  self_->emit_state(State::Terminated);
  log::debug(kTcpTarget, "connector loop stopped");
  commands_.set_waker(nullptr);
}

void ConnectorLoop::reader_ended() {
  if (reader_->failure) log::error(kTcpTarget, "reader task failed: {}", describe(reader_->failure));
  reader_.reset();
  reader_done_ = true;
  if (writer_result_) finish_connection();
}

void ConnectorLoop::writer_ended() {
  {
    std::lock_guard g(writer_->lock);
    writer_result_ = WriterResult{writer_->failure, std::move(writer_->queue)};
  }
  writer_.reset();
  if (reader_done_) finish_connection();
}

void ConnectorLoop::finish_connection() {
  log::debug(kTcpTarget, "reader and writer tasks completed");
  control().set_connected(false);
  // Loops that ended on a Shutdown can be noticed before the command itself;
  // its handling reports Disconnected, so a shutdown reads ShuttingDown,
  // Disconnected, Terminated whichever is seen first.
  if (!control().is_shutdown_requested()) self_->emit_state(State::Disconnected);
  if (writer_result_->failure) {
    log::error(kTcpTarget, "writer task failed: {}", describe(writer_result_->failure));
  } else {
    slot_ = std::move(writer_result_->queue);  // replaces (and closes) any end in the slot
  }
  writer_result_.reset();
  reader_done_ = false;
}

// The loops of a stopped connection may still be ending when a Start comes:
// the attempt waits for them, so their Disconnected is reported and the
// queue end they hold comes back before a new write loop needs it.
asio::awaitable<void> ConnectorLoop::finish_previous_connection() {
  if (!reader_ && !writer_) co_return;
  log::debug(kTcpTarget, "waiting for the previous connection's loops to stop ...");
  while (reader_ || writer_) {
    if (reader_) {
      co_await wait_done(reader_);
      reader_ended();
    } else {
      co_await wait_done(writer_);
      writer_ended();
    }
  }
}

std::optional<EventQueue::Receiver> ConnectorLoop::take_queue_end() {
  std::optional<EventQueue::Receiver> end;
  if (slot_ && slot_->valid()) {
    end = std::move(slot_);
    slot_.reset();
    return end;
  }
  // Only a write loop task that failed loses the end; the queue then opens
  // anew (its packets are gone with the failed task).
  end = self_->event_tx().reopen();
  if (end) log::error(kTcpTarget, "outbound queue end was lost; opened a new queue");
  self_->flush_tracker().lose_outstanding();
  return end;
}

asio::awaitable<void> ConnectorLoop::on_start() {
  co_await finish_previous_connection();
  auto ex = co_await asio::this_coro::executor;
  const std::string& addr = self_->address();
  log::debug(kTcpTarget, "connecting to {} ...", addr);
  ConnStats::bump(self_->stats().connect_attempts);

  tcp::endpoint ep;
  std::memcpy(ep.data(), &self_->addr(), self_->addr_len());
  ep.resize(self_->addr_len());
  tcp::socket sock(io_);  // shared by the loops below
  asio::steady_timer limit(ex, self_->options().connect_timeout);
  auto outcome = co_await (sock.async_connect(ep, as_tuple(asio::use_awaitable)) ||
                           limit.async_wait(as_tuple(asio::use_awaitable)));
  if (outcome.index() == 1) {
    log::debug(kTcpTarget, "connect {} timed out", addr);
    self_->stats().record_failure("connect timed out");
    self_->emit_state(State::ConnectTimeout);
    co_return;
  }
  asio::error_code ec = std::get<0>(std::get<0>(outcome));
  std::optional<EventQueue::Receiver> queue;
  if (!ec) {
    queue = take_queue_end();
    if (!queue) ec = asio::error::no_buffer_space;
  }
  if (ec) {
    log::debug(kTcpTarget, "connect {} failed: {}", addr, ec.message());
    self_->stats().record_failure(ec.message());
    self_->emit_state(State::ConnectFailed);
    co_return;
  }

  log::debug(kTcpTarget, "connected to {}", addr);
  ConnStats::bump(self_->stats().connections_established);
  self_->stats().begin_connection();
  self_->emit_state(State::Connected);
  control().set_stopped(false);
  control().set_force_exit(false);
  control().update_activity();

  // Sends are accepted from here on: after the Connected callback has
  // returned (a send from inside it is still refused), but before the read
  // loop can hand the host its first packet. A host that answers the
  // camera's first report must not find the connection refusing to send;
  // what it queues now waits for the write loop below.
  control().set_connected(true);

  auto reader = std::make_shared<TaskEnd>();
  auto writer = std::make_shared<TaskEnd>();
  std::weak_ptr<AsyncWaker> wake = waker_;
  // Both loops stay on this connection's worker, whose one thread runs a
  // handler at a time: their concurrent waits (`||` branches) need no
  // strand, and they share one socket object (one read and one write in
  // flight at a time), which closes once both have ended.
  auto shared_sock = std::make_shared<tcp::socket>(std::move(sock));
  asio::co_spawn(io_, read_stream(self_, shared_sock), [reader, wake](std::exception_ptr e) {
    {
      std::lock_guard g(reader->lock);
      reader->done = true;
      reader->failure = std::move(e);
    }
    if (auto w = wake.lock()) w->wake();
  });
  asio::co_spawn(io_, write_stream(std::move(shared_sock), self_, std::move(*queue)),
                 [writer, wake](std::exception_ptr e, EventQueue::Receiver q) {
                   {
                     std::lock_guard g(writer->lock);
                     writer->done = true;
                     writer->failure = std::move(e);
                     writer->queue = std::move(q);
                   }
                   if (auto w = wake.lock()) w->wake();
                 });
  reader_ = std::move(reader);
  writer_ = std::move(writer);
  reader_done_ = false;
  writer_result_.reset();
}

}  // namespace

Result<std::shared_ptr<Connector>, ConnectorError> Connector::create(Runtime& runtime, std::string_view address,
                                                                     std::shared_ptr<Handler> handler) {
  auto addr = resolve_first(address);
  if (!addr.ok()) return err(std::move(addr.error()));
  auto [command_tx, commands] = CommandChannel::make(kCommandCapacity);
  auto [event_tx, queue] = EventQueue::make(kQueueCapacity);
  std::shared_ptr<Connector> self(
      new Connector(addr->first, addr->second, std::move(handler), std::move(command_tx), std::move(event_tx)));
  // Every task of this connection runs on the one worker picked here.
  asio::io_context& io = runtime.next_context();
  auto loop = std::make_shared<ConnectorLoop>(io, self, std::move(queue), std::move(commands));
  asio::co_spawn(
      io, [loop]() { return loop->run(); }(),
      [loop](std::exception_ptr e) {
        if (e) log::error(kTcpTarget, "connector loop failed: {}", describe(e));
      });
  return self;
}

}  // namespace mok::fxt::client
