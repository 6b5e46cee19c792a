// Recording handler, log capture and connector set-up for the connector tests.
#include "support/connector/harness.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include <unistd.h>

#include "common/log.hpp"
#include "mok/mok_log.h"

namespace mok::test {

namespace {
constinit ProcessRuntime TEST_RT("mok-test");
std::atomic<int> g_live_recorders{0};

void capture(int32_t, const char* target, const char* message, void* user) {
  if (std::strcmp(target, "mok_fxt::client::tcp") != 0) return;
  static_cast<LogCapture*>(user)->add(message);
}
}  // namespace

Runtime& test_runtime() { return *TEST_RT.get(); }

std::vector<uint8_t> wire(const fxt::Packet& p) {
  const auto head = p.head.to_bytes();
  std::vector<uint8_t> out(head.begin(), head.end());
  out.insert(out.end(), p.payload.data(), p.payload.data() + p.payload.size());
  return out;
}

fxt::Packet make_packet(uint16_t stream_id, std::vector<uint8_t> payload, uint64_t seq) {
  fxt::Packet p =
      fxt::Packet::make(fxt::Flags{fxt::Flags::kEndStream}, fxt::Kind::Data, stream_id, Bytes(std::move(payload)));
  p.head.seq = seq;
  return p;
}

fxt::client::ConnectorOptions fast_timings() {
  fxt::client::ConnectorOptions o;
  o.reconnect_delay = 100ms;
  o.connect_timeout = 300ms;
  o.inactivity_timeout = 300ms;
  o.write_timeout = 300ms;
  return o;
}

std::shared_ptr<fxt::client::Connector> make_connector(const std::string& address, std::shared_ptr<Recorder> rec,
                                                       const fxt::client::ConnectorOptions& options) {
  auto c = fxt::client::Connector::create(test_runtime(), address, std::move(rec));
  if (!c.ok()) {
    ADD_FAILURE() << "cannot create connector: " << c.error().display();
    return nullptr;
  }
  if (auto r = (*c)->set_options(options); !r.ok()) {
    ADD_FAILURE() << "timings refused: " << r.error();
    return nullptr;
  }
  return *c;
}

bool send_until_accepted(fxt::client::Connector& c, const fxt::Packet& p) {
  return eventually([&] { return c.send(p).ok(); });
}

// ---- Session ----------------------------------------------------------------------

Session::~Session() {
  if (fd >= 0) ::close(fd);
  if (connector) (void)connector->shutdown();
}

::testing::AssertionResult Session::create(bool auto_reconnect) {
  connector = make_connector(peer.address(), rec, options);
  if (!connector) return ::testing::AssertionFailure() << "no connector";
  connector->set_auto_reconnect(auto_reconnect);
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Session::connect() {
  const std::size_t before = rec->states().size();
  if (!connector->start().ok()) return ::testing::AssertionFailure() << "start refused";
  if (fd >= 0) ::close(fd);
  fd = peer.accept();
  if (fd < 0) return ::testing::AssertionFailure() << "no connection accepted";
  if (!rec->wait_states(before + 1, 5000ms) || rec->states().back() != fxt::State::Connected) {
    return ::testing::AssertionFailure() << "Connected not reported";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Session::open(bool auto_reconnect) {
  auto r = create(auto_reconnect);
  return r ? connect() : r;
}

// ---- Recorder ---------------------------------------------------------------------

Recorder::Recorder() { ++g_live_recorders; }
Recorder::~Recorder() { --g_live_recorders; }

int Recorder::live() { return g_live_recorders.load(); }

void Recorder::on_packet(fxt::PacketPtr& packet) noexcept {
  std::lock_guard g(lock_);
  packets_.push_back(std::move(packet));
  changed_.notify_all();
}

void Recorder::on_state(fxt::State state) noexcept {
  const auto now = std::chrono::steady_clock::now();
  std::function<void(fxt::State)> hook;
  {
    std::lock_guard g(lock_);
    times_.push_back(now);
    if (in_state_) overlapped_ = true;
    in_state_ = true;
    hook = hook_;
  }
  if (hook) hook(state);
  std::lock_guard g(lock_);
  in_state_ = false;
  states_.push_back(state);
  changed_.notify_all();
}

void Recorder::set_state_hook(std::function<void(fxt::State)> hook) {
  std::lock_guard g(lock_);
  hook_ = std::move(hook);
}

bool Recorder::wait_states(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock g(lock_);
  return changed_.wait_for(g, timeout, [&] { return states_.size() >= n; });
}

bool Recorder::wait_packets(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock g(lock_);
  return changed_.wait_for(g, timeout, [&] { return packets_.size() >= n; });
}

std::vector<fxt::State> Recorder::states() {
  std::lock_guard g(lock_);
  return states_;
}

std::vector<std::chrono::steady_clock::time_point> Recorder::times() {
  std::lock_guard g(lock_);
  return times_;
}

std::vector<fxt::PacketPtr> Recorder::packets() {
  std::lock_guard g(lock_);
  return packets_;
}

// ---- LogCapture -------------------------------------------------------------------

LogCapture::LogCapture() { log::set_callback(capture, log::Level::Debug, this); }

LogCapture::~LogCapture() { log::set_callback(nullptr, log::Level::Warn, nullptr); }

void LogCapture::add(std::string line) {
  std::lock_guard g(lock_);
  lines_.push_back(std::move(line));
  changed_.notify_all();
}

bool LogCapture::wait_for(const std::string& prefix, std::chrono::milliseconds timeout, std::size_t n) {
  std::unique_lock g(lock_);
  return changed_.wait_for(g, timeout, [&] {
    return static_cast<std::size_t>(std::count_if(
               lines_.begin(), lines_.end(), [&](const std::string& l) { return l.starts_with(prefix); })) >= n;
  });
}

bool LogCapture::contains(const std::string& prefix) {
  std::lock_guard g(lock_);
  return contains_locked(prefix);
}

bool LogCapture::contains_locked(const std::string& prefix) const {
  return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.starts_with(prefix); });
}

}  // namespace mok::test
