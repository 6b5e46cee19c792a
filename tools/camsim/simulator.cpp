// The server behind Simulator. One io thread runs every connection as a set of
// coroutines (reader, writer, scanner or replayer, reporter, faults) that share
// an outbound queue; snapshot encoding runs on a one-thread pool and video on
// its own thread, both handing finished packets back to the io thread.
//
// Shutdown order (stop): close the acceptor and every connection on the io
// thread, end the video thread, stop and join the io thread, then the pool.
#include "simulator.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <list>
#include <random>
#include <thread>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include "cell_scan.hpp"
#include "common/bytes.hpp"
#include "common/clock.hpp"
#include "common/log.hpp"
#include "fxr/reader.hpp"
#include "fxt/packet/framer.hpp"
#include "fxt/packet/head.hpp"
#include "image.hpp"
#include "recording.hpp"
#include "scan_payload.hpp"

namespace camsim {
namespace {

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto kAsTuple = asio::experimental::as_tuple(use_awaitable);
constexpr std::string_view kLog = "camsim";

std::uint64_t unix_us() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

using Buffer = std::shared_ptr<const std::vector<std::uint8_t>>;

// One packet waiting to be written: its head, a payload that may be shared
// between connections (video), and the earliest moment it may leave.
struct Outgoing {
  std::array<std::uint8_t, mok::fxt::kHeadLen> head{};
  Buffer payload;
  Clock::time_point due{};
};

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

// The sensor view at scene time t, one profile point per image column, lit
// as the laser registers say.
GrayImage render_at(const Options& opt, const DeviceSettings& s, std::uint32_t width, std::uint32_t height,
                    double t, bool mark) {
  SceneConfig scene = opt.scene;
  scene.point_count = width;
  RenderOptions ro;
  ro.width = width;
  ro.height = height;
  ro.fov_mm = scene.fov_mm;
  ro.brightness = laser_brightness(s.laser_enable, s.laser_strength, s.exposure_time);
  ro.mark_seam = mark;
  return render_view(generate_profile(scene, static_cast<std::uint64_t>(t * opt.scan_rate), t), ro);
}

struct SnapshotJob {
  Options opt;
  DeviceSettings settings;
  double t = 0;
  bool mark = false;
  SnapshotFormat format = SnapshotFormat::Jpeg;
  std::uint32_t quality = 0;
};

struct SnapshotDone {
  std::vector<std::uint8_t> bytes;
  std::string error;
  mok::fxt::Kind kind = mok::fxt::Kind::Data;
};

// A plain coroutine rather than a capturing lambda: its parameters live in its
// frame, which co_spawn on another executor handles safely.
awaitable<SnapshotDone> encode_snapshot(SnapshotJob job) {
  const DeviceSettings& s = job.settings;
  const GrayImage img = render_at(job.opt, s, s.image_width, s.image_height, job.t, job.mark);
  Encoded e = img.pixels;
  mok::fxt::Kind kind = mok::fxt::Kind::Data;
  switch (job.format) {
    case SnapshotFormat::Raw:
      kind = mok::fxt::Kind::RawGray8;
      break;
    case SnapshotFormat::Png:
      e = encode_png(img);
      break;
    case SnapshotFormat::Jpeg:
    default:
      e = encode_jpeg(img, static_cast<int>(std::min<std::uint32_t>(job.quality, 100)));
      break;
  }
  SnapshotDone done;
  done.kind = kind;
  if (e) {
    done.bytes = std::move(e.value());
  } else {
    done.error = std::move(e.error());
  }
  co_return done;
}

}  // namespace

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Simulator::Impl& sim, tcp::socket socket, std::uint64_t id)
      : sim_(sim),
        socket_(std::move(socket)),
        wake_(socket_.get_executor()),
        drained_(socket_.get_executor()),
        id_(id),
        rng_(id) {
    wake_.expires_at(Clock::time_point::max());
    drained_.expires_at(Clock::time_point::max());
  }

  void start();
  void close(std::string_view why);
  bool closed() const { return closed_; }

  // Queues a packet. Never blocks; the writer sends in queue order.
  void push(std::array<std::uint8_t, mok::fxt::kHeadLen> head, Buffer payload) {
    if (closed_ || half_closed_) return;
    Outgoing o{head, std::move(payload), Clock::now()};
    if (latency_ > Clock::duration::zero() || jitter_ > Clock::duration::zero()) {
      std::uniform_real_distribution<double> u(0, 1);
      o.due += latency_ + std::chrono::duration_cast<Clock::duration>(jitter_ * u(rng_));
      o.due = std::max(o.due, last_due_);  // latency must not reorder the stream
      last_due_ = o.due;
    }
    queued_bytes_ += o.head.size() + (o.payload ? o.payload->size() : 0);
    queue_.push_back(std::move(o));
    wake_.cancel();
  }

  void push_report();
  void push_video(std::uint8_t kind, const Buffer& au, bool key, std::uint64_t frame);

 private:
  awaitable<void> reader();
  awaitable<void> writer();
  awaitable<void> scanner();
  awaitable<void> reporter();
  awaitable<void> replayer();
  awaitable<void> fault(double after_s, void (Connection::*action)());
  awaitable<void> snapshot(std::vector<std::uint8_t> request);
  void handle(const mok::fxt::Packet& packet);
  awaitable<void> sleep_until(Clock::time_point t);

  void drop() { close("dropped (fault injection)"); }
  void stall() {
    stalled_read_ = true;
    reading_.emit(asio::cancellation_type::all);
  }
  void freeze() {
    frozen_ = true;
    stall();
  }
  void corrupt();
  void half_close();

  template <class F>
  void spawn(F&& coroutine_fn, std::string_view what);

  Simulator::Impl& sim_;
  tcp::socket socket_;
  asio::steady_timer wake_;     // cancelled when the queue gains a packet
  asio::steady_timer drained_;  // cancelled when the writer has made room
  asio::cancellation_signal reading_;
  std::uint64_t id_;
  std::mt19937_64 rng_;
  std::deque<Outgoing> queue_;
  std::size_t queued_bytes_ = 0;
  std::uint64_t scan_seq_ = 0;
  Clock::duration latency_{};
  Clock::duration jitter_{};
  Clock::time_point last_due_{};
  bool closed_ = false;
  bool half_closed_ = false;
  bool stalled_read_ = false;
  bool frozen_ = false;
  bool video_started_ = false;  // video is forwarded from the first key frame on
  std::vector<std::shared_ptr<asio::steady_timer>> timers_;
};

struct Simulator::Impl {
  Options opt;
  Registers regs;
  asio::io_context io{1};
  asio::thread_pool pool{1};
  std::optional<tcp::acceptor> acceptor;
  std::thread io_thread;
  std::thread video_thread;
  std::atomic<bool> running{false};
  std::atomic<bool> stopping{false};
  bool started = false;
  std::uint16_t bound_port = 0;
  Clock::time_point start_time = Clock::now();
  std::list<std::weak_ptr<Connection>> connections;  // io thread only
  std::optional<Recording> replay;
  std::unique_ptr<VideoEncoder> encoder;
  std::unique_ptr<cell::PoseSender> robot;
  std::uint64_t next_id = 1;

  std::atomic<std::uint64_t> accepted{0}, open{0}, scans_sent{0}, scans_skipped{0}, reports_sent{0},
      snapshots_sent{0}, video_units_sent{0};

  explicit Impl(Options o) : opt(std::move(o)), regs(opt.device, mok::monotonic_us(), unix_us()) {}

  double scene_time(Clock::time_point t) const { return std::chrono::duration<double>(t - start_time).count(); }

  template <class F>
  void for_each_connection(F&& f) {
    for (auto it = connections.begin(); it != connections.end();) {
      if (auto c = it->lock(); c && !c->closed()) {
        f(*c);
        ++it;
      } else {
        it = connections.erase(it);
      }
    }
  }

  awaitable<void> accept_loop() {
    for (;;) {
      auto [ec, socket] = co_await acceptor->async_accept(kAsTuple);
      if (ec) {
        if (ec != asio::error::operation_aborted) mok::log::error(kLog, "accept failed: {}", ec.message());
        co_return;
      }
      asio::error_code ignore;
      socket.set_option(tcp::no_delay(true), ignore);
      const auto remote = socket.remote_endpoint(ignore);
      const std::uint64_t id = next_id++;
      mok::log::info(kLog, "client {} connected from {}:{}", id, remote.address().to_string(), remote.port());
      auto conn = std::make_shared<Connection>(*this, std::move(socket), id);
      connections.push_back(conn);
      ++accepted;
      ++open;
      conn->start();
    }
  }

  void video_loop();
};

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

void Connection::push_report() {
  auto payload = std::make_shared<std::vector<std::uint8_t>>(sim_.regs.report(mok::monotonic_us()));
  const auto head = make_head(payload->size(), mok::fxt::Kind::FlexRegs, kStreamRegisters, 0);
  push(head, std::move(payload));
  ++sim_.reports_sent;
}

void Connection::push_video(std::uint8_t kind, const Buffer& au, bool key, std::uint64_t frame) {
  if (frozen_ || half_closed_) return;
  if (!video_started_ && !key) return;
  // A client that cannot keep up loses whole groups of pictures, never parts of one.
  if (queued_bytes_ > sim_.opt.max_queued_bytes) {
    video_started_ = false;
    return;
  }
  video_started_ = true;
  push(make_head(au->size(), static_cast<mok::fxt::Kind>(kind), kStreamVideo, frame), au);
  ++sim_.video_units_sent;
}

void Connection::corrupt() {
  // A length below the minimum: every reader must refuse this head and drop us.
  auto head = make_head(2, mok::fxt::Kind::Data, kStreamScan, 0);
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
  if (p.head.stream_id == kStreamRegisters) {
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
  } else if (p.head.stream_id == kStreamSnapshotRequest) {
    if (sim_.replay) return;
    auto self = shared_from_this();
    std::vector<std::uint8_t> req(p.payload.span().begin(), p.payload.span().end());
    spawn([self, req = std::move(req)]() mutable { return self->snapshot(std::move(req)); }, "snapshot");
  }
}

awaitable<void> Connection::snapshot(std::vector<std::uint8_t> request) {
  mok::fxr::Reader r(request);
  const auto format = static_cast<SnapshotFormat>(r.peek<std::uint32_t>(1).value_or(1));
  const std::uint32_t quality = r.peek<std::uint32_t>(2).value_or(0);
  const bool mark = r.peek<std::uint32_t>(3).value_or(0) != 0;
  const DeviceSettings s = sim_.regs.settings();
  const double t = sim_.scene_time(Clock::now());
  // Rendering and compression take milliseconds; keep them off the io thread.
  SnapshotJob job{sim_.opt, s, t, mark, format, quality};
  SnapshotDone done = co_await asio::co_spawn(sim_.pool, encode_snapshot(std::move(job)), use_awaitable);
  if (closed_) co_return;
  if (!done.error.empty()) {
    mok::log::error(kLog, "client {}: snapshot encoding failed: {}", id_, done.error);
    co_return;
  }
  auto payload = std::make_shared<std::vector<std::uint8_t>>(std::move(done.bytes));
  const auto head = make_head(payload->size(), done.kind, kStreamSnapshotImage, 0);
  push(head, std::move(payload));
  ++sim_.snapshots_sent;
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

awaitable<void> Connection::reporter() {
  const auto every = seconds(std::max(0.01, sim_.opt.report_interval_s));
  auto next = Clock::now() + every;
  while (!closed_) {
    co_await sleep_until(next);
    if (closed_) co_return;
    if (!frozen_ && !half_closed_) push_report();
    next += every;
  }
}

awaitable<void> Connection::scanner() {
  const double rate = std::max(0.001, sim_.opt.scan_rate);
  const auto frame_time = [&](std::uint64_t f) { return sim_.start_time + seconds(double(f) / rate); };
  const auto due_frame = [&] { return static_cast<std::uint64_t>(sim_.scene_time(Clock::now()) * rate); };
  // Above 1000 per second profiles go out in batches of about a millisecond.
  const auto min_sleep = std::chrono::milliseconds(1);
  std::uint64_t next = due_frame() + 1;
  Profile profile;
  while (!closed_) {
    co_await sleep_until(std::max(frame_time(next), Clock::now() + min_sleep));
    if (closed_) co_return;
    if (frozen_ || half_closed_) continue;
    if (queued_bytes_ > sim_.opt.max_queued_bytes) {
      drained_.expires_at(Clock::time_point::max());
      co_await drained_.async_wait(kAsTuple);
      continue;
    }
    const std::uint64_t due = due_frame();
    if (due < next) continue;
    const DeviceSettings s = sim_.regs.settings();
    if (!s.laser_enable) {  // laser off: the camera has nothing to measure
      next = due + 1;
      continue;
    }
    // More than a second behind (a slow client): skip to the present as a
    // camera would, keeping seq contiguous over what is actually sent.
    const auto backlog = static_cast<std::uint64_t>(rate);
    if (due - next > backlog) {
      sim_.scans_skipped += due - backlog - next;
      mok::log::warn(kLog, "client {}: too slow, {} profiles skipped", id_, due - backlog - next);
      next = due - backlog;
    }
    const std::uint64_t now_mono = mok::monotonic_us();
    const std::uint64_t rts_now = sim_.regs.rts(now_mono);
    for (; next <= due && !closed_; ++next) {
      const double t = double(next) / rate;
      // pts: the RTS clock at the moment the profile was taken (a cell's camera keeps its own clock).
      const auto age_us = static_cast<std::uint64_t>(std::max(0.0, sim_.scene_time(Clock::now()) - t) * 1e6);
      std::uint64_t pts = rts_now - std::min(rts_now, age_us);
      profile = sim_.opt.cell ? cell_scan_profile(*sim_.opt.cell, next, t, pts)
                              : generate_profile(sim_.opt.scene, next, t);
      auto payload = std::make_shared<std::vector<std::uint8_t>>();
      encode_scan_payload(profile, pts, *payload);
      const auto head = make_head(payload->size(), mok::fxt::Kind::Data, kStreamScan, ++scan_seq_);
      push(head, std::move(payload));
      ++sim_.scans_sent;
    }
  }
}

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

void Simulator::Impl::video_loop() {
  const VideoConfig vc = *opt.video;
  const std::uint8_t kind = video_kind(vc.codec);
  const auto period = seconds(1.0 / vc.fps);
  auto next = Clock::now();
  std::vector<AccessUnit> units;
  std::uint64_t frame = 0;
  while (!stopping) {
    next += period;
    std::this_thread::sleep_until(next);
    if (Clock::now() - next > 10 * period) next = Clock::now();  // fell far behind: do not burst
    if (open == 0) continue;                                     // nobody watching: save the machine the encoding
    const GrayImage img = render_at(opt, regs.settings(), vc.width, vc.height, scene_time(Clock::now()), true);
    units.clear();
    if (auto r = encoder->encode(img, units); !r) {
      mok::log::error(kLog, "video encoding failed: {}", r.error());
      return;
    }
    for (AccessUnit& au : units) {
      auto buf = std::make_shared<const std::vector<std::uint8_t>>(std::move(au.data));
      asio::post(io, [this, buf, key = au.key, kind, f = frame++] {
        for_each_connection([&](Connection& c) { c.push_video(kind, buf, key, f); });
      });
    }
  }
}

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { stop(); }

mok::Result<std::uint16_t, std::string> Simulator::start() {
  Impl& m = *impl_;
  if (m.running) return m.bound_port;
  // The io context and the pool cannot run again once stopped.
  if (m.started) return mok::err(std::string("a simulator starts only once"));
  if (m.opt.scene.point_count > kMaxScanPoints)
    return mok::err("point count " + std::to_string(m.opt.scene.point_count) + " exceeds 4096");
  if (!m.opt.replay_file.empty()) {
    auto rec = read_recording_file(m.opt.replay_file);
    if (!rec) return mok::err(rec.error());
    if (rec->truncated)
      mok::log::warn(kLog, "{}: recording ends inside a packet; replaying the complete ones", m.opt.replay_file);
    m.replay = std::move(*rec);
  }
  if (m.opt.video && !m.replay) {
    auto enc = VideoEncoder::open(*m.opt.video);
    if (!enc) return mok::err("video: " + enc.error());
    m.encoder = std::move(*enc);
    mok::log::info(kLog, "video: {} {}x{} at {} fps", m.encoder->encoder_name(), m.opt.video->width,
                   m.opt.video->height, m.opt.video->fps);
  }
  asio::error_code ec;
  const auto address = asio::ip::make_address(m.opt.host, ec);
  if (ec) return mok::err("bad address " + m.opt.host + ": " + ec.message());
  tcp::acceptor acceptor(m.io);
  const tcp::endpoint ep(address, m.opt.port);
  if (acceptor.open(ep.protocol(), ec); ec) return mok::err("socket: " + ec.message());
  (void)acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (acceptor.bind(ep, ec); ec)
    return mok::err("bind " + m.opt.host + ":" + std::to_string(m.opt.port) + ": " + ec.message());
  if (acceptor.listen(asio::socket_base::max_listen_connections, ec); ec)
    return mok::err("listen: " + ec.message());
  m.bound_port = acceptor.local_endpoint(ec).port();
  m.acceptor.emplace(std::move(acceptor));
  m.start_time = Clock::now();
  if (m.opt.cell && m.opt.cell_poses.port != 0) {
    m.robot = std::make_unique<cell::PoseSender>(m.opt.cell, m.opt.cell_poses);
    if (auto r = m.robot->start(m.start_time); !r) return mok::err("robot: " + r.error());
  }
  m.stopping = false;
  asio::co_spawn(m.io, m.accept_loop(), [](std::exception_ptr e) {
    if (e) mok::log::error(kLog, "accept loop failed");
  });
  m.io_thread = std::thread([&m] {
    try {
      m.io.run();
    } catch (const std::exception& e) {
      mok::log::error(kLog, "server thread failed: {}", e.what());
    } catch (...) {
      mok::log::error(kLog, "server thread failed");
    }
  });
  if (m.encoder)
    m.video_thread = std::thread([&m] {
      try {
        m.video_loop();
      } catch (...) {
        mok::log::error(kLog, "video thread failed");
      }
    });
  m.running = true;
  m.started = true;
  return m.bound_port;
}

void Simulator::stop() {
  Impl& m = *impl_;
  if (!m.running.exchange(false)) return;
  m.stopping = true;
  if (m.robot) m.robot->stop();
  asio::post(m.io, [&m] {
    asio::error_code ignore;
    if (m.acceptor) m.acceptor->close(ignore);
    m.for_each_connection([](Connection& c) { c.close("simulator stopping"); });
  });
  if (m.video_thread.joinable()) m.video_thread.join();
  // Closing lets every coroutine finish; stop() then ends run() for good.
  asio::post(m.io, [&m] { m.io.stop(); });
  if (m.io_thread.joinable()) m.io_thread.join();
  m.pool.join();
}

bool Simulator::running() const { return impl_->running; }
std::uint16_t Simulator::port() const { return impl_->bound_port; }
std::chrono::steady_clock::time_point Simulator::start_time() const { return impl_->start_time; }
Registers& Simulator::registers() { return impl_->regs; }

Stats Simulator::stats() const {
  const Impl& m = *impl_;
  return Stats{m.accepted,     m.open,           m.scans_sent,      m.scans_skipped,
               m.reports_sent, m.snapshots_sent, m.video_units_sent};
}

}  // namespace camsim
