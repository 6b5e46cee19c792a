// The peer runs one thread that accepts, reads and closes; sends happen on
// the test's thread under the lock, so a test can script a connection
// without racing the acceptor.
#include "support/scripted_peer.hpp"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mok::test {

ScriptedPeer::ScriptedPeer() {
  listen_fd_ = listen_loopback(128, SOCK_NONBLOCK);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listen_fd_ < 0 || wake_fd_ < 0) throw std::runtime_error("scripted peer: listen");
  port_ = bound_port(listen_fd_);
  thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
  thread_.join();
  for (int fd : conns_) ::close(fd);
  ::close(listen_fd_);
  ::close(wake_fd_);
}

std::string ScriptedPeer::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::size_t ScriptedPeer::accepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

std::size_t ScriptedPeer::open_connections() const {
  std::lock_guard lock(mutex_);
  return conns_.size();
}

bool ScriptedPeer::wait_accepted(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return accepted_ >= n; });
}

void ScriptedPeer::set_reading(bool on) {
  std::lock_guard lock(mutex_);
  reading_ = on;
  uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
}

void ScriptedPeer::set_small_buffers(bool on) {
  std::lock_guard lock(mutex_);
  small_buffers_ = on;
}

int ScriptedPeer::newest_fd_locked() const { return conns_.empty() ? -1 : conns_.back(); }

bool ScriptedPeer::send(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout) {
  std::lock_guard lock(mutex_);
  const int fd = newest_fd_locked();
  return fd >= 0 && write_all(fd, bytes, timeout);
}

std::size_t ScriptedPeer::send_some(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  const int fd = newest_fd_locked();
  if (fd < 0) return 0;
  const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void ScriptedPeer::drop_all() {
  std::lock_guard lock(mutex_);
  for (int fd : conns_) ::close(fd);
  conns_.clear();
  uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
}

void ScriptedPeer::half_close() {
  std::lock_guard lock(mutex_);
  const int fd = newest_fd_locked();
  if (fd >= 0) ::shutdown(fd, SHUT_WR);
}

void ScriptedPeer::run() {
  std::vector<std::uint8_t> sink(64 * 1024);
  for (;;) {
    std::vector<pollfd> fds;
    bool reading;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      reading = reading_;
      fds.push_back({listen_fd_, POLLIN, 0});
      fds.push_back({wake_fd_, POLLIN, 0});
      for (int fd : conns_) fds.push_back({fd, static_cast<short>(reading ? POLLIN : 0), 0});
    }
    ::poll(fds.data(), fds.size(), 100);
    if (fds[1].revents & POLLIN) {
      uint64_t v;
      (void)!::read(wake_fd_, &v, sizeof v);
    }
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (fds[0].revents & POLLIN) {
      for (;;) {
        const int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) break;
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (small_buffers_) {
          int small = 16 * 1024;
          ::setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
          ::setsockopt(c, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        }
        conns_.push_back(c);
        ++accepted_;
      }
      cv_.notify_all();
    }
    // Read and drop what clients send; close on their end of stream. A
    // descriptor dropped meanwhile by the test is no longer in conns_.
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const int fd = fds[i].fd;
      auto it = std::find(conns_.begin(), conns_.end(), fd);
      if (it == conns_.end()) continue;
      const ssize_t n = ::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        ::close(fd);
        conns_.erase(it);
      }
    }
  }
}

}  // namespace mok::test
