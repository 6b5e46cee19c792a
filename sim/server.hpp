// The server behind Simulator, shared by the files that implement it. One io
// thread runs every connection as a set of coroutines (reader, writer, scanner
// or replayer, reporter, faults) that share an outbound queue; snapshot
// encoding runs on a one-thread pool and video on its own thread, both
// handing finished packets back to the io thread. Internal to mok_camsim.
//
// Shutdown order (Simulator::stop): close the acceptor and every connection
// on the io thread, end the video thread, stop and join the io thread, then
// the pool.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include "common/clock.hpp"
#include "fxt/packet/head.hpp"
#include "fxt/packet/packet.hpp"
#include "sim/image.hpp"
#include "sim/recording.hpp"
#include "sim/simulator.hpp"

namespace camsim {

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
inline constexpr auto kAsTuple = asio::experimental::as_tuple(use_awaitable);
inline constexpr std::string_view kLog = "camsim";

inline std::uint64_t unix_us() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

inline Clock::duration seconds(double s) {
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

// A head for a packet of `len` payload bytes, stamped with this host's
// monotonic time.
std::array<std::uint8_t, mok::fxt::kHeadLen> make_head(std::size_t len, mok::fxt::Kind kind, std::uint16_t stream,
                                                       std::uint64_t seq);

// The sensor view at scene time t, one profile point per image column, lit
// as the laser registers say (snapshots and video).
GrayImage render_at(const Options& opt, const DeviceSettings& s, std::uint32_t width, std::uint32_t height,
                    double t, bool mark);

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
      snapshots_sent{0}, video_units_sent{0}, scans_late{0};

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

  awaitable<void> accept_loop();
  void video_loop();
};

}  // namespace camsim
