// Simulator itself: checks the options, binds the listener, starts and
// stops the threads, and accepts clients (see server.hpp for the pieces).
#include <string>

#include "common/log.hpp"
#include "sim/scan_payload.hpp"
#include "sim/server.hpp"

namespace camsim {

awaitable<void> Simulator::Impl::accept_loop() {
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
  return Stats{m.accepted,   m.open,         m.scans_sent,     m.scans_skipped,
               m.scans_late, m.reports_sent, m.snapshots_sent, m.video_units_sent};
}

}  // namespace camsim
