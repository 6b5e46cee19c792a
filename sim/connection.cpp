// One client's connection: the tasks it runs, its reader and the requests it
// answers, and the writer that drains its outbound queue in batches.
#include <algorithm>

#include "common/bytes.hpp"
#include "common/log.hpp"
#include "fxt/packet/framer.hpp"
#include "sim/server.hpp"

namespace camsim {

std::array<std::uint8_t, mok::fxt::kHeadLen> make_head(std::size_t len, mok::fxt::Kind kind, std::uint16_t stream,
                                                       std::uint64_t seq) {
  mok::fxt::Head h;
  h.length = static_cast<std::uint32_t>(len);
  h.kind = kind;
  h.stream_id = stream;
  h.seq = seq;
  h.ts = mok::monotonic_us();
  return h.to_bytes();
}

template <class F>
void Connection::spawn(F&& coroutine_fn, std::string_view what) {
  // Each task holds the connection alive; its end (or failure) is logged, never lost.
  asio::co_spawn(socket_.get_executor(), std::forward<F>(coroutine_fn),
                 [self = shared_from_this(), what](std::exception_ptr e) {
                   if (!e) return;
                   try {
                     std::rethrow_exception(e);
                   } catch (const std::exception& ex) {
                     mok::log::error(kLog, "client {}: {} failed: {}", self->id_, what, ex.what());
                   } catch (...) {
                     mok::log::error(kLog, "client {}: {} failed", self->id_, what);
                   }
                   self->close("internal error");
                 });
}

void Connection::start() {
  const Faults& f = sim_.opt.faults;
  latency_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(f.latency_ms));
  jitter_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(f.jitter_ms));
  auto self = shared_from_this();
  spawn([self] { return self->reader(); }, "reader");
  spawn([self] { return self->writer(); }, "writer");
  if (sim_.replay) {
    spawn([self] { return self->replayer(); }, "replay");
  } else {
    push_report();
    spawn([self] { return self->reporter(); }, "reporter");
    spawn([self] { return self->scanner(); }, "scanner");
  }
  const std::pair<double, void (Connection::*)()> faults[] = {{f.drop_every_s, &Connection::drop},
                                                              {f.stall_after_s, &Connection::stall},
                                                              {f.freeze_after_s, &Connection::freeze},
                                                              {f.corrupt_after_s, &Connection::corrupt},
                                                              {f.half_close_after_s, &Connection::half_close}};
  for (const auto& [after, action] : faults)
    if (after > 0) spawn([self, after = after, action = action] { return self->fault(after, action); }, "fault");
}

void Connection::close(std::string_view why) {
  if (closed_) return;
  closed_ = true;
  mok::log::info(kLog, "client {} closed: {}", id_, why);
  asio::error_code ignore;
  socket_.shutdown(tcp::socket::shutdown_both, ignore);
  socket_.close(ignore);
  wake_.cancel();
  drained_.cancel();
  for (auto& t : timers_) t->cancel();
  // The queue stays: a write in flight may still point into it.
  --sim_.open;
}

awaitable<void> Connection::sleep_until(Clock::time_point t) {
  if (closed_) co_return;  // close() cancels only the timers that already exist
  auto timer = std::make_shared<asio::steady_timer>(socket_.get_executor(), t);
  timers_.push_back(timer);
  co_await timer->async_wait(kAsTuple);
  std::erase(timers_, timer);
}

awaitable<void> Connection::reader() {
  mok::BytesMut buf(mok::BytesMut::kConnectionCapacity);
  mok::fxt::Framer framer;
  while (!closed_) {
    if (stalled_read_) {
      // Stalled: the client's bytes pile up in the kernel until it gives up.
      co_await sleep_until(Clock::time_point::max());
      continue;
    }
    buf.reserve(4096);
    auto spare = buf.spare();
    auto [ec, n] = co_await socket_.async_read_some(asio::buffer(spare.data(), spare.size()),
                                                    asio::bind_cancellation_slot(reading_.slot(), kAsTuple));
    if (ec == asio::error::operation_aborted && stalled_read_ && !closed_) continue;
    if (ec) {
      close(ec == asio::error::eof ? "peer closed" : ec.message());
      co_return;
    }
    buf.commit(n);
    for (;;) {
      auto r = framer.decode(buf);
      if (!r) {
        mok::log::warn(kLog, "client {}: bad packet from client: {}", id_, r.error().display());
        close("protocol error");
        co_return;
      }
      if (!*r) break;
      handle(**r);
    }
  }
}

void Connection::handle(const mok::fxt::Packet& p) {
  const auto kind = p.head.kind;
  if (kind == mok::fxt::Kind::VideoH264 || kind == mok::fxt::Kind::VideoH265) return;
  if (p.head.stream_id == stream::kRegisters) {
    if (sim_.replay) return;  // a recording answers nothing
    const auto out = sim_.regs.apply_write(p.payload.span(), mok::monotonic_us(), sim_.opt.faults.ignored_writes);
    mok::log::debug(kLog, "client {}: register write ({} bytes, changed {}, pull {})", id_, p.payload.size(),
                    out.changed, out.rts_pulled);
    // The writer always gets a report; everyone else only when something changed.
    push_report();
    if (out.changed)
      sim_.for_each_connection([this](Connection& c) {
        if (&c != this) c.push_report();
      });
  } else if (p.head.stream_id == stream::kSnapshotRequest) {
    if (sim_.replay) return;
    auto self = shared_from_this();
    std::vector<std::uint8_t> req(p.payload.span().begin(), p.payload.span().end());
    spawn([self, req = std::move(req)]() mutable { return self->snapshot(std::move(req)); }, "snapshot");
  }
}

awaitable<void> Connection::writer() {
  std::vector<asio::const_buffer> bufs;
  std::size_t batch_items = 0;
  while (!closed_) {
    if (queue_.empty() || frozen_ || half_closed_) {
      wake_.expires_at(Clock::time_point::max());
      co_await wake_.async_wait(kAsTuple);
      continue;
    }
    if (queue_.front().due > Clock::now()) {
      co_await sleep_until(queue_.front().due);
      continue;
    }
    // Gather what is due into one write: at 10,000 profiles a second this
    // keeps the system calls few.
    bufs.clear();
    batch_items = 0;
    std::size_t bytes = 0;
    const auto now = Clock::now();
    for (const Outgoing& o : queue_) {
      if (o.due > now || batch_items == 256 || bytes > (4u << 20)) break;
      bufs.emplace_back(o.head.data(), o.head.size());
      if (o.payload && !o.payload->empty()) bufs.emplace_back(o.payload->data(), o.payload->size());
      bytes += o.head.size() + (o.payload ? o.payload->size() : 0);
      ++batch_items;
    }
    auto [ec, n] = co_await asio::async_write(socket_, bufs, kAsTuple);
    if (ec) {
      // A half-close fails the write in flight; the reading side stays open.
      if (!half_closed_) close(ec.message());
      co_return;
    }
    if (closed_ || half_closed_) continue;
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(batch_items));
    queued_bytes_ -= std::min(queued_bytes_, bytes);
    drained_.cancel();
  }
}

}  // namespace camsim
