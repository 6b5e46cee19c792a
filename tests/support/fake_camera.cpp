// FakeCamera: one poll loop thread serves the listening socket, the current
// connection and a wake-up eventfd used to stop it; the destructor stops and
// joins it. Only that thread (or the destructor after the join) closes
// descriptors.
#include "support/fake_camera.hpp"

#include <cerrno>
#include <stdexcept>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/loopback.hpp"

namespace mok::test {
namespace {

void put_be(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}
std::uint64_t get_be(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    v = (v << 8) | p[i];
  }
  return v;
}

}  // namespace

std::vector<std::uint8_t> encode_wire(std::uint8_t kind, std::uint16_t stream_id,
                                      std::span<const std::uint8_t> payload, std::uint8_t flags,
                                      std::uint64_t seq) {
  std::vector<std::uint8_t> out;
  put_be(out, payload.size(), 4);
  out.push_back(flags);
  out.push_back(kind);
  put_be(out, stream_id, 2);
  put_be(out, seq, 8);
  put_be(out, 42, 8);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> reg_entry(std::uint16_t id, std::span<const std::uint8_t> value) {
  const std::size_t words = value.empty() ? 1 : (value.size() + 1) / 2;
  std::vector<std::uint8_t> out{0, static_cast<std::uint8_t>(words), static_cast<std::uint8_t>(id),
                                static_cast<std::uint8_t>(id >> 8)};
  out.insert(out.end(), value.begin(), value.end());
  out.resize(4 + 2 * words, 0);
  return out;
}
std::vector<std::uint8_t> reg_u32(std::uint16_t id, std::uint32_t v) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                             static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  return reg_entry(id, b);
}
std::vector<std::uint8_t> reg_u64(std::uint16_t id, std::uint64_t v) {
  std::uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return reg_entry(id, b);
}
std::vector<std::uint8_t> reg_text(std::uint16_t id, std::string_view text) {
  return reg_entry(id, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}
std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

FakeCamera::FakeCamera() {
  listen_fd_ = listen_loopback(8);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listen_fd_ < 0 || wake_fd_ < 0) {
    throw std::runtime_error("fake camera: listen");
  }
  port_ = bound_port(listen_fd_);
  thread_ = std::thread([this] { run(); });
}

FakeCamera::~FakeCamera() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  const std::uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
  thread_.join();
  std::lock_guard lock(mutex_);
  close_conn_locked();
  ::close(listen_fd_);
  ::close(wake_fd_);
}

std::string FakeCamera::address() const { return "127.0.0.1:" + std::to_string(port_); }

void FakeCamera::run() {
  std::vector<std::uint8_t> buf;
  int fd = -1;  // the connection this loop reads; conn_fd_ may be closed by drop_connection
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      if (fd != conn_fd_) {
        fd = conn_fd_;
        buf.clear();
      }
    }
    pollfd fds[3] = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    const int n = ::poll(fds, fd >= 0 ? 3 : 2, 100);
    if (n < 0 && errno != EINTR) return;
    if (n <= 0) continue;
    if (fds[0].revents) return;
    if (fds[1].revents & POLLIN) {
      const int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) {
        std::lock_guard lock(mutex_);
        close_conn_locked();
        conn_fd_ = c;
        ++accepted_;
        cv_.notify_all();
      }
      continue;
    }
    if (fd >= 0 && fds[2].revents) {
      std::uint8_t chunk[4096];
      const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
      if (got <= 0) {
        // Only this thread closes connections, so no other thread can be
        // using the descriptor (senders hold the lock).
        std::lock_guard lock(mutex_);
        if (conn_fd_ == fd) close_conn_locked();
        continue;
      }
      buf.insert(buf.end(), chunk, chunk + got);
      while (buf.size() >= wire::kHeadLen) {
        const auto length = static_cast<std::uint32_t>(get_be(buf.data(), 4));
        if (buf.size() < wire::kHeadLen + length) break;
        WirePacket p;
        p.length = length;
        p.flags = buf[4];
        p.kind = buf[5];
        p.stream_id = static_cast<std::uint16_t>(get_be(buf.data() + 6, 2));
        p.seq = get_be(buf.data() + 8, 8);
        p.ts = get_be(buf.data() + 16, 8);
        const auto payload_at = static_cast<std::ptrdiff_t>(wire::kHeadLen);
        p.payload.assign(buf.begin() + payload_at, buf.begin() + payload_at + length);
        buf.erase(buf.begin(), buf.begin() + payload_at + length);
        std::lock_guard lock(mutex_);
        received_.push_back(std::move(p));
        cv_.notify_all();
      }
    }
  }
}

void FakeCamera::close_conn_locked() {
  if (conn_fd_ >= 0) {
    ::shutdown(conn_fd_, SHUT_RDWR);
    ::close(conn_fd_);
    conn_fd_ = -1;
  }
}

bool FakeCamera::wait_accepted(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return accepted_ >= n; });
}

std::size_t FakeCamera::accepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

bool FakeCamera::send(std::uint8_t kind, std::uint16_t stream_id, std::span<const std::uint8_t> payload,
                      std::uint8_t flags) {
  return send_raw(encode_wire(kind, stream_id, payload, flags));
}

bool FakeCamera::send_raw(std::span<const std::uint8_t> bytes) {
  // Held while writing: the client always reads, so this never blocks for
  // long, and the poll thread cannot close the descriptor meanwhile.
  std::lock_guard lock(mutex_);
  const int fd = conn_fd_;
  return fd >= 0 && write_all(fd, bytes);
}

std::optional<WirePacket> FakeCamera::next_packet(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [&] { return !received_.empty(); })) {
    return std::nullopt;
  }
  WirePacket p = std::move(received_.front());
  received_.pop_front();
  return p;
}

std::size_t FakeCamera::pending() const {
  std::lock_guard lock(mutex_);
  return received_.size();
}

void FakeCamera::drop_connection() {
  // The poll thread sees the end of the stream and closes the descriptor.
  std::lock_guard lock(mutex_);
  if (conn_fd_ >= 0) ::shutdown(conn_fd_, SHUT_RDWR);
}

}  // namespace mok::test
