// Sockets, senders and the raw epoll receiver of the end-to-end benchmark.
// Everything stays on 127.0.0.1 with ephemeral ports; every wait is bounded.
#include "loopback.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace bench {
namespace {

std::uint64_t clock_ns(clockid_t id) noexcept {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

sockaddr_in loopback_addr(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool send_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

void put_be64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

void put_le64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    p[i] = static_cast<std::uint8_t>(v);
    v >>= 8;
  }
}

void sleep_until_ns(std::uint64_t t) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(t / 1'000'000'000u);
  ts.tv_nsec = static_cast<long>(t % 1'000'000'000u);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace

std::uint64_t now_ns() noexcept { return clock_ns(CLOCK_MONOTONIC); }
std::uint64_t thread_cpu_ns() noexcept { return clock_ns(CLOCK_THREAD_CPUTIME_ID); }
std::uint64_t process_cpu_ns() noexcept { return clock_ns(CLOCK_PROCESS_CPUTIME_ID); }

Listener::Listener() {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback_addr(0);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 256) != 0) {
    ::close(fd);
    fd = -1;
    return;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
}

Listener::~Listener() {
  if (fd >= 0) ::close(fd);
}

int Listener::accept_one(int timeout_ms) const {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) != 1) return -1;
  const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (c >= 0) {
    const int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return c;
}

int connect_loopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback_addr(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

std::vector<std::uint8_t> wire_packet(std::uint8_t kind, std::uint16_t stream_id, std::uint64_t seq,
                                      std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out(kHeadLen + payload.size());
  const auto len = static_cast<std::uint32_t>(payload.size());
  out[0] = static_cast<std::uint8_t>(len >> 24);
  out[1] = static_cast<std::uint8_t>(len >> 16);
  out[2] = static_cast<std::uint8_t>(len >> 8);
  out[3] = static_cast<std::uint8_t>(len);
  out[4] = 0;
  out[5] = kind;
  out[6] = static_cast<std::uint8_t>(stream_id >> 8);
  out[7] = static_cast<std::uint8_t>(stream_id);
  put_be64(out.data() + 8, seq);
  put_be64(out.data() + 16, now_ns() / 1000);
  if (!payload.empty()) std::memcpy(out.data() + kHeadLen, payload.data(), payload.size());
  return out;
}

void stamp(std::vector<std::uint8_t>& wire, std::uint64_t t, bool scan) {
  put_be64(wire.data() + 16, t / 1000);
  if (scan && wire.size() >= kHeadLen + kPtsAt + 8) put_le64(wire.data() + kHeadLen + kPtsAt, t);
}

SendReport send_bulk(const Listener& l, const std::vector<std::uint8_t>& batch, std::size_t batch_packets,
                     double seconds) {
  SendReport r;
  const int fd = l.accept_one(10'000);
  if (fd < 0) return r;
  const std::uint64_t cpu0 = thread_cpu_ns();
  const std::uint64_t end = now_ns() + static_cast<std::uint64_t>(seconds * 1e9);
  r.ok = true;
  while (now_ns() < end) {
    if (!send_all(fd, batch.data(), batch.size())) {
      r.ok = false;
      break;
    }
    r.packets += batch_packets;
  }
  r.cpu_ns = thread_cpu_ns() - cpu0;
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  return r;
}

SendReport send_paced(const Listener& l, std::vector<std::vector<std::uint8_t>> packets, bool scan, double rate,
                      double seconds, int conns) {
  SendReport r;
  std::vector<int> fds;
  for (int i = 0; i < conns; ++i) {
    const int fd = l.accept_one(10'000);
    if (fd < 0) break;
    fds.push_back(fd);
  }
  if (static_cast<int>(fds.size()) == conns && !packets.empty()) {
    r.ok = true;
    const auto ticks = static_cast<std::uint64_t>(rate * seconds);
    const auto period = static_cast<std::uint64_t>(1e9 / rate);
    const std::uint64_t cpu0 = thread_cpu_ns();
    const std::uint64_t t0 = now_ns() + 20'000'000;  // let every receiver settle first
    std::size_t next = 0;
    for (std::uint64_t k = 0; k < ticks && r.ok; ++k) {
      sleep_until_ns(t0 + k * period);
      const std::uint64_t started = now_ns();
      r.max_behind_ns = std::max(r.max_behind_ns, started - std::min(started, t0 + k * period));
      for (int fd : fds) {
        auto& w = packets[next++ % packets.size()];
        stamp(w, now_ns(), scan);
        if (!send_all(fd, w.data(), w.size())) {
          r.ok = false;
          break;
        }
        ++r.packets;
      }
    }
    r.cpu_ns = thread_cpu_ns() - cpu0;
  }
  for (int fd : fds) {
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
  }
  return r;
}

long RawCutter::recv_into(int fd, std::uint8_t* p, std::size_t n) {
  for (;;) {
    const ssize_t got = ::recv(fd, p, n, 0);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    return -1;
  }
}

void raw_epoll(const std::vector<int>& fds, std::uint64_t deadline_ns,
               const std::function<void(const std::uint8_t*, std::span<const std::uint8_t>)>& on) {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<std::unique_ptr<RawCutter>> cutters;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK);
    cutters.push_back(std::make_unique<RawCutter>(64 * 1024));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
  }
  std::size_t open = fds.size();
  epoll_event events[64];
  while (open > 0 && now_ns() < deadline_ns) {
    const int n = ::epoll_wait(ep, events, 64, 100);
    for (int k = 0; k < n; ++k) {
      const auto i = static_cast<std::size_t>(events[k].data.u64);
      if (!cutters[i]->read_and_cut(fds[i], on)) {
        ::epoll_ctl(ep, EPOLL_CTL_DEL, fds[i], nullptr);
        --open;
      }
    }
  }
  ::close(ep);
}

}  // namespace bench
