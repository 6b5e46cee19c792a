// One io thread runs one coroutine that waits for each datagram's send time
// and sends it. Shutdown order (stop): cancel the timer on the io thread,
// let the coroutine end, join the thread, close the log.
#include "pose_sender.hpp"

#include <atomic>
#include <cstdio>
#include <optional>
#include <thread>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include "cell.hpp"
#include "common/log.hpp"
#include "pose_stream.hpp"

namespace camsim::cell {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kLog = "cell";
constexpr auto kAsTuple = asio::experimental::as_tuple(asio::use_awaitable);

std::uint64_t host_ns(Clock::time_point t) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

}  // namespace

struct PoseSender::Impl {
  std::shared_ptr<const Cell> cell;
  PoseSenderOptions opt;
  asio::io_context io{1};
  asio::ip::udp::socket socket{io};
  asio::steady_timer timer{io};
  asio::ip::udp::endpoint to;
  std::thread thread;
  std::FILE* log = nullptr;
  std::atomic<std::uint64_t> sent{0};
  std::atomic<bool> finished{false};
  bool running = false;

  asio::awaitable<void> run(Clock::time_point origin) {
    PoseSchedule schedule(*cell);
    while (auto e = schedule.next()) {
      timer.expires_at(origin +
                       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(e->t_send_s)));
      auto [ec] = co_await timer.async_wait(kAsTuple);
      if (ec) co_return;
      const auto bytes = encode_pose(e->pose);
      auto [sec, n] = co_await socket.async_send_to(asio::buffer(bytes), to, kAsTuple);
      // Loopback refuses only when nobody listens yet; a controller sends on regardless.
      if (sec && sec != asio::error::connection_refused)
        mok::log::warn(kLog, "pose datagram not sent: {}", sec.message());
      ++sent;
      if (log) std::fputs(pose_log_row(host_ns(Clock::now()), e->pose).c_str(), log);
    }
    finished = true;
  }
};

PoseSender::PoseSender(std::shared_ptr<const Cell> cell, PoseSenderOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->cell = std::move(cell);
  impl_->opt = std::move(options);
}

PoseSender::~PoseSender() { stop(); }

mok::Result<void, std::string> PoseSender::start(Clock::time_point origin) {
  Impl& m = *impl_;
  if (m.running) return {};
  asio::error_code ec;
  const auto address = asio::ip::make_address(m.opt.host, ec);
  if (ec) return mok::err("bad pose address " + m.opt.host + ": " + ec.message());
  m.to = asio::ip::udp::endpoint(address, m.opt.port);
  if (m.socket.open(m.to.protocol(), ec); ec) return mok::err("pose socket: " + ec.message());
  if (!m.opt.log_path.empty()) {
    m.log = std::fopen(m.opt.log_path.c_str(), "w");
    if (!m.log) return mok::err("cannot write the pose log " + m.opt.log_path);
    std::fputs(kPoseLogHeader, m.log);
  }
  asio::co_spawn(m.io, m.run(origin), [](std::exception_ptr e) {
    if (e) mok::log::error(kLog, "pose sender failed");
  });
  m.thread = std::thread([&m] {
    try {
      m.io.run();
    } catch (...) {
      mok::log::error(kLog, "pose sender thread failed");
    }
  });
  m.running = true;
  return {};
}

void PoseSender::stop() {
  Impl& m = *impl_;
  if (!m.running) return;
  m.running = false;
  asio::post(m.io, [&m] {
    m.timer.cancel();
    m.io.stop();
  });
  if (m.thread.joinable()) m.thread.join();
  if (m.log) std::fclose(m.log);
  m.log = nullptr;
}

std::uint64_t PoseSender::sent() const { return impl_->sent; }
bool PoseSender::finished() const { return impl_->finished; }

}  // namespace camsim::cell
