// The peer runs one thread that accepts, reads and closes; sends happen on
// the test's thread under the lock, so a test can script a connection
// without racing the acceptor.
#include "peer.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace mok::reliability {

namespace {

std::size_t count_dir(const char* path) {
  std::size_t n = 0;
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

}  // namespace

// The directory stream itself holds one descriptor while counting.
std::size_t open_fds() { return count_dir("/proc/self/fd") - 1; }
std::size_t thread_count() { return count_dir("/proc/self/task"); }

std::size_t resident_bytes() {
  long pages_total = 0;
  long pages_resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(pages_resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

Peer::Peer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (listen_fd_ < 0 || wake_fd_ < 0) throw std::runtime_error("peer: socket");
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 128) != 0) {
    throw std::runtime_error("peer: bind");
  }
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

Peer::~Peer() {
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

std::string Peer::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::size_t Peer::accepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

std::size_t Peer::open_connections() const {
  std::lock_guard lock(mutex_);
  return conns_.size();
}

bool Peer::wait_accepted(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return accepted_ >= n; });
}

void Peer::set_reading(bool on) {
  std::lock_guard lock(mutex_);
  reading_ = on;
  uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
}

void Peer::set_small_buffers(bool on) {
  std::lock_guard lock(mutex_);
  small_buffers_ = on;
}

int Peer::newest_fd_locked() const { return conns_.empty() ? -1 : conns_.back(); }

bool Peer::send(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout) {
  std::lock_guard lock(mutex_);
  const int fd = newest_fd_locked();
  if (fd < 0) return false;
  const auto end = std::chrono::steady_clock::now() + timeout;
  std::size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
  }
  return true;
}

std::size_t Peer::send_some(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  const int fd = newest_fd_locked();
  if (fd < 0) return 0;
  const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void Peer::drop_all() {
  std::lock_guard lock(mutex_);
  for (int fd : conns_) ::close(fd);
  conns_.clear();
  uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
}

void Peer::half_close() {
  std::lock_guard lock(mutex_);
  const int fd = newest_fd_locked();
  if (fd >= 0) ::shutdown(fd, SHUT_WR);
}

void Peer::run() {
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

std::vector<std::uint8_t> wire_packet(std::uint8_t kind, std::uint16_t stream_id, std::uint64_t seq,
                                      std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out(24 + payload.size());
  const auto len = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(len >> (24 - 8 * i));
  out[4] = 0;
  out[5] = kind;
  out[6] = static_cast<std::uint8_t>(stream_id >> 8);
  out[7] = static_cast<std::uint8_t>(stream_id);
  for (int i = 0; i < 8; ++i) out[8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(seq >> (56 - 8 * i));
  // ts left 0
  std::copy(payload.begin(), payload.end(), out.begin() + 24);
  return out;
}

}  // namespace mok::reliability
