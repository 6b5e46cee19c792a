// Plain sockets on 127.0.0.1 for the test peers and clients: a listener on an
// ephemeral port, a connection to it, and reads and writes that all end by a
// deadline. Header-only, so unit tests that link a single component use it too.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mok::test {

inline constexpr std::chrono::milliseconds kIoWait{10000};

inline sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline std::uint16_t bound_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// Waits until `fd` has one of `events` or the deadline passes.
inline bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// A listening socket on 127.0.0.1 at an ephemeral port (`flags` such as
// SOCK_NONBLOCK), or -1.
inline int listen_loopback(int backlog, int flags = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const sockaddr_in a = loopback(0);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A connection to 127.0.0.1:`port` (`flags` such as SOCK_NONBLOCK, where the
// handshake may still be under way), or -1.
inline int connect_loopback(std::uint16_t port, int flags = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return -1;
  const sockaddr_in a = loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Writes every byte (blocking or not), or false on an error or once
// `timeout` passed.
inline bool write_all(int fd, std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout = kIoWait) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (!wait_ready(fd, POLLOUT, deadline)) return false;
  }
  return true;
}

// Exactly `n` bytes, or nullopt at the end of the stream, an error or time-out.
inline std::optional<std::vector<std::uint8_t>> read_exact(int fd, std::size_t n,
                                                           std::chrono::milliseconds timeout = kIoWait) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::uint8_t> out(n);
  std::size_t got = 0;
  while (got < n) {
    if (!wait_ready(fd, POLLIN, deadline)) return std::nullopt;
    const ssize_t r = ::recv(fd, out.data() + got, n - got, MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (r <= 0) return std::nullopt;
    got += static_cast<std::size_t>(r);
  }
  return out;
}

// True when the stream ends (read returns 0) within `timeout`; what comes
// before is dropped.
inline bool wait_eof(int fd, std::chrono::milliseconds timeout = kIoWait) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char scratch[4096];
  for (;;) {
    if (!wait_ready(fd, POLLIN, deadline)) return false;
    const ssize_t r = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (r == 0) return true;
    if (r < 0 && errno != EAGAIN && errno != EINTR) return false;
  }
}

// A closed ephemeral port: connecting to it is refused.
inline std::uint16_t refused_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = loopback(0);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  const std::uint16_t port = bound_port(fd);
  ::close(fd);
  return port;
}

// A listening socket whose connections the test accepts itself, one at a
// time, as plain descriptors.
class Listener {
 public:
  explicit Listener(int backlog = 16) : fd_(listen_loopback(backlog)), port_(bound_port(fd_)) {}
  ~Listener() { ::close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  std::uint16_t port() const { return port_; }

  // An accepted connection, or -1 when none came within `timeout`.
  int accept(std::chrono::milliseconds timeout = kIoWait) {
    if (!wait_ready(fd_, POLLIN, std::chrono::steady_clock::now() + timeout)) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }
  // Accepts (and closes) one connection if it comes within `timeout`.
  bool accepts_within(std::chrono::milliseconds timeout) {
    const int fd = accept(timeout);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }

 private:
  int fd_;
  std::uint16_t port_;
};

}  // namespace mok::test
