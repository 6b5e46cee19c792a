// PacketRecorder: mok_fxt_conn_* callbacks carry no user data, so the one
// active recorder of the process is reached through a guarded global.
#include "packet_recorder.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include <mok/mok_fxt.h>

#include "signals.hpp"
#include "sim/recording.hpp"

namespace mokctl {

struct PacketRecorder::State {
  std::mutex mu;
  std::condition_variable cv;
  std::optional<camsim::RecordingWriter> writer;
  std::string error;
  std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
  std::uint64_t packets = 0;
  std::uint64_t bytes = 0;
  std::optional<std::uint32_t> first_verdict;  // first state other than Reconnecting
  bool lost = false;
};

namespace {

std::mutex g_active_mu;
std::shared_ptr<PacketRecorder::State> g_active;

std::shared_ptr<PacketRecorder::State> active() {
  std::lock_guard<std::mutex> lock(g_active_mu);
  return g_active;
}

void on_packet(mok_fxt_packet_t* packet) {
  auto st = active();
  if (!st) return;
  std::uint8_t head[MOK_FXT_HEAD_LEN];
  if (!mok_fxt_packet_write_head_bytes(packet, head, sizeof head)) return;
  std::uint32_t len = 0;
  const std::uint8_t* payload = mok_fxt_packet_payload_ptr(packet, &len);
  std::lock_guard<std::mutex> lock(st->mu);
  if (!st->writer) return;
  auto t = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - st->t0);
  auto written = st->writer->write(static_cast<std::uint64_t>(t.count()), head,
                                   std::span<const std::uint8_t>(payload, payload ? len : 0));
  if (!written) {
    if (st->error.empty()) st->error = written.error();
    return;
  }
  ++st->packets;
  st->bytes += MOK_FXT_HEAD_LEN + len;
  st->cv.notify_all();
}

void on_state(std::uint32_t code) {
  auto st = active();
  if (!st) return;
  std::lock_guard<std::mutex> lock(st->mu);
  const auto s = static_cast<mok::State>(code);
  if (!st->first_verdict && s != mok::State::Reconnecting) st->first_verdict = code;
  if (st->first_verdict == static_cast<std::uint32_t>(mok::State::Connected) &&
      (s == mok::State::Disconnected || s == mok::State::ConnectFailed)) {
    st->lost = true;
  }
  st->cv.notify_all();
}

struct ConnCloser {
  void operator()(mok_fxt_conn_t* c) const { mok_fxt_disconnect(c); }
};

std::mutex g_conn_mu;
std::unique_ptr<mok_fxt_conn_t, ConnCloser> g_conn;

}  // namespace

PacketRecorder::PacketRecorder(const std::string& address, const std::string& path, const GlobalOptions& options)
    : state_(std::make_shared<State>()) {
  {
    std::lock_guard<std::mutex> lock(g_active_mu);
    if (g_active) throw Failure(kFailed, "Only one recording can run at a time.");
  }
  auto now_unix =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  auto writer = camsim::RecordingWriter::create(path, static_cast<std::uint64_t>(now_unix));
  if (!writer) throw Failure(kFailed, format("Cannot write %s: %s.", path.c_str(), writer.error().c_str()));
  state_->writer.emplace(std::move(*writer));
  state_->t0 = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(g_active_mu);
    g_active = state_;
  }
  std::string normalized = address.find(':') == std::string::npos ? address + ":6833" : address;
  mok_fxt_conn_t* conn = mok_fxt_connect(normalized.c_str(), &on_packet, &on_state);
  if (!conn) {
    discard(path);
    throw Failure(kUsage, format("The camera address \"%s\" is not usable for recording.", address.c_str()));
  }
  {
    std::lock_guard<std::mutex> lock(g_conn_mu);
    g_conn.reset(conn);
  }
  std::unique_lock<std::mutex> lock(state_->mu);
  bool decided = state_->cv.wait_for(lock, std::chrono::duration<double>(options.timeout_s),
                                     [&] { return state_->first_verdict.has_value(); });
  if (decided && *state_->first_verdict == static_cast<std::uint32_t>(mok::State::Connected)) return;
  lock.unlock();
  discard(path);
  throw Failure(kUnreachable, format("Cannot reach the camera at %s for recording: %s.", address.c_str(),
                                     decided ? "the connection failed" : "no connection in time"));
}

PacketRecorder::~PacketRecorder() {
  try {
    finish();
  } catch (const Failure&) {
  }
}

bool PacketRecorder::wait(std::uint64_t count, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(seconds > 0 ? seconds : 1e9));
  std::unique_lock<std::mutex> lock(state_->mu);
  while (!interrupted() && !state_->lost && !(count && state_->packets >= count)) {
    if (state_->cv.wait_until(
            lock, std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(100))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= until) {
      break;
    }
  }
  return !state_->lost;
}

std::uint64_t PacketRecorder::packets() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->packets;
}

std::uint64_t PacketRecorder::bytes() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->bytes;
}

void PacketRecorder::finish() {
  {
    // mok_fxt_disconnect must not run inside a callback; this is a host thread.
    std::lock_guard<std::mutex> lock(g_conn_mu);
    g_conn.reset();
  }
  {
    std::lock_guard<std::mutex> lock(g_active_mu);
    if (g_active == state_) g_active.reset();
  }
  std::string error;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    if (state_->writer) {
      auto closed = state_->writer->close();
      if (!closed && state_->error.empty()) state_->error = closed.error();
      state_->writer.reset();
    }
    error = std::exchange(state_->error, std::string());
  }
  if (!error.empty()) throw Failure(kFailed, format("Writing the recording failed: %s.", error.c_str()));
}

void PacketRecorder::discard(const std::string& path) noexcept {
  try {
    finish();
  } catch (const Failure&) {
    // The file goes anyway.
  }
  std::remove(path.c_str());
}

}  // namespace mokctl
