// One connection at a time: the device client keeps a single connection, so
// serving them in turn keeps the forwarded list in connection order. The
// downstream direction is cut into packets with the library's own framer;
// the upstream direction (register writes, snapshot requests) is copied as
// bytes on a helper thread.
#include "tap.hpp"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/wire.hpp"
#include "fxt/packet/framer.hpp"

namespace soak {

namespace {

constexpr std::size_t kPtsAt = 36;

bool send_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

int connect_loopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

Tap::Tap(std::uint16_t upstream_port, double drop_every_s)
    : upstream_port_(upstream_port), drop_every_s_(drop_every_s) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("tap: socket");
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_fd_, 8) != 0) {
    throw std::runtime_error("tap: bind");
  }
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { accept_loop(); });
}

Tap::~Tap() {
  stop();
  ::close(listen_fd_);
}

void Tap::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

TapStats Tap::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

std::vector<std::uint64_t> Tap::take_forwarded() {
  std::lock_guard lock(mutex_);
  return std::exchange(forwarded_, {});
}

void Tap::accept_loop() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    serve(c);
  }
}

void Tap::serve(int client) {
  const int up = connect_loopback(upstream_port_);
  if (up < 0) {
    std::lock_guard lock(mutex_);
    ++stats_.upstream_failures;
    ::close(client);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    ++stats_.connections;
  }
  // Client to camera, byte for byte, until the client ends its side (or,
  // once this connection is being ended, a bounded while after that).
  std::atomic<bool> ending{false};
  std::thread upstream([client, up, &ending] {
    std::uint8_t buf[16384];
    auto give_up = std::chrono::steady_clock::time_point::max();
    for (;;) {
      if (ending && give_up == std::chrono::steady_clock::time_point::max()) {
        give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      }
      if (std::chrono::steady_clock::now() > give_up) break;
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(client, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      // A camera side that is gone is ignored: the client must never be reset.
      (void)send_all(up, buf, static_cast<std::size_t>(n));
    }
    ::shutdown(up, SHUT_WR);
  });

  const auto start = std::chrono::steady_clock::now();
  const auto due = [&] {
    if (stopping_) return true;
    if (drop_every_s_ <= 0) return false;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= drop_every_s_;
  };
  mok::fxt::Framer framer;
  mok::BytesMut buf(mok::BytesMut::kConnectionCapacity);
  std::uint64_t last_seq = 0;
  bool first = true;
  bool ok = true;
  while (ok && !due()) {
    pollfd p{up, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    buf.reserve(16384);
    auto spare = buf.spare();
    const ssize_t n = ::recv(up, spare.data(), spare.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the camera ended the connection
    buf.commit(static_cast<std::size_t>(n));
    for (;;) {
      auto r = framer.decode(buf);
      if (!r) {
        ok = false;  // a stream the client would refuse too; end it here
        break;
      }
      if (!*r) break;
      const mok::fxt::Packet& pkt = **r;
      const auto head = pkt.head.to_bytes();
      if (!send_all(client, head.data(), head.size()) ||
          !send_all(client, pkt.payload.data(), pkt.payload.size())) {
        ok = false;
        break;
      }
      const bool scan = pkt.head.stream_id == mok::wire::stream::kScan && pkt.payload.size() >= kPtsAt + 8 &&
                        pkt.head.kind != mok::fxt::Kind::VideoH264 && pkt.head.kind != mok::fxt::Kind::VideoH265;
      if (!scan) continue;
      std::uint64_t pts = 0;
      for (int i = 7; i >= 0; --i) pts = (pts << 8) | pkt.payload.data()[kPtsAt + static_cast<std::size_t>(i)];
      std::lock_guard lock(mutex_);
      if (!first && pkt.head.seq != last_seq + 1) ++stats_.seq_faults;
      first = false;
      last_seq = pkt.head.seq;
      forwarded_.push_back(pts);
      ++stats_.scans_forwarded;
    }
  }
  // Graceful end: the client reads what was written, sees the end of the
  // stream and closes, which ends the upstream thread.
  ::shutdown(client, SHUT_WR);
  ::shutdown(up, SHUT_RD);
  ending = true;
  upstream.join();
  ::close(up);
  ::close(client);
}

}  // namespace soak
