// The benchmark's own side of the loopback: listening sockets, the senders
// that play the camera, and the raw receiver the library is measured against
// (a plain recv loop that cuts packets by their 24-byte head, nothing else).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <vector>

#include "common/wire.hpp"

namespace bench {

using mok::wire::kHeadLen;
inline constexpr std::size_t kPtsAt = 36;  // pts field of a scan payload

// Nanoseconds of CLOCK_MONOTONIC. Paced senders stamp it into the scan
// payload's pts (and the head's ts), so the receiver's delay is now minus pts.
std::uint64_t now_ns() noexcept;
// CPU time of the calling thread, and of the whole process, in nanoseconds.
std::uint64_t thread_cpu_ns() noexcept;
std::uint64_t process_cpu_ns() noexcept;

// A socket listening on 127.0.0.1 with an ephemeral port.
struct Listener {
  int fd = -1;
  std::uint16_t port = 0;
  Listener();
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  // The next connection, or -1 after `timeout_ms`.
  int accept_one(int timeout_ms) const;
};

int connect_loopback(std::uint16_t port);

// One packet in wire form: head (big-endian) then payload.
std::vector<std::uint8_t> wire_packet(std::uint8_t kind, std::uint16_t stream_id, std::uint64_t seq,
                                      std::span<const std::uint8_t> payload);
// Stamps `t` into the head's ts and, for scan payloads, into pts.
void stamp(std::vector<std::uint8_t>& wire, std::uint64_t t, bool scan);

struct SendReport {
  std::uint64_t packets = 0;
  std::uint64_t cpu_ns = 0;         // the sending thread's own CPU time
  std::uint64_t max_behind_ns = 0;  // paced: the latest a round of writes started
  bool ok = false;
};

// Accepts one connection and writes `batch` (whole packets back to back) over
// and over for `seconds`, then closes. `batch_packets` packets per batch.
SendReport send_bulk(const Listener& l, const std::vector<std::uint8_t>& batch, std::size_t batch_packets,
                     double seconds);

// Accepts `conns` connections, then every 1/rate s writes one packet to each,
// cycling through `packets` and stamping each with the time it is written.
// A late tick is caught up, so exactly rate * seconds packets go to each.
SendReport send_paced(const Listener& l, std::vector<std::vector<std::uint8_t>> packets, bool scan, double rate,
                      double seconds, int conns);

// The raw receiver: one buffer, recv into its free end, cut whole packets from
// its front, move the partial tail down only when the free end runs out, and
// grow only for a packet larger than the buffer.
class RawCutter {
 public:
  explicit RawCutter(std::size_t capacity = 256 * 1024) : buf_(capacity) {}

  // One recv; false on end of stream or error (would-block: true, nothing).
  // Calls on(head, payload) for every whole packet.
  template <class F>
  bool read_and_cut(int fd, F&& on) {
    if (end_ == buf_.size()) make_room();
    const long n = recv_into(fd, buf_.data() + end_, buf_.size() - end_);
    if (n == -2) return true;
    if (n <= 0) return false;
    end_ += static_cast<std::size_t>(n);
    while (end_ - start_ >= kHeadLen) {
      const std::uint8_t* h = buf_.data() + start_;
      const std::size_t len =
          (std::size_t{h[0]} << 24) | (std::size_t{h[1]} << 16) | (std::size_t{h[2]} << 8) | h[3];
      if (end_ - start_ < kHeadLen + len) {
        if (kHeadLen + len > buf_.size()) grow(kHeadLen + len);
        break;
      }
      on(h, std::span<const std::uint8_t>(h + kHeadLen, len));
      start_ += kHeadLen + len;
    }
    if (start_ == end_) start_ = end_ = 0;
    return true;
  }

 private:
  static long recv_into(int fd, std::uint8_t* p, std::size_t n);  // -2: would block
  void make_room() {
    std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  void grow(std::size_t need) {
    make_room();
    buf_.resize(need);
  }
  std::vector<std::uint8_t> buf_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// Reads every socket of `fds` (made non-blocking) from one epoll thread until
// each has ended or `deadline_ns` passes.
void raw_epoll(const std::vector<int>& fds, std::uint64_t deadline_ns,
               const std::function<void(const std::uint8_t* head, std::span<const std::uint8_t>)>& on);

}  // namespace bench
