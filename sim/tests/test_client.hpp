// A blocking test client for the simulator: connects to 127.0.0.1 with the shared
// loopback helpers, sends packets and cuts received bytes into packets with the
// library's framer.
// Every wait has a deadline, so a silent server fails a test instead of hanging it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <unistd.h>

#include "common/bytes.hpp"
#include "fxt/packet/framer.hpp"
#include "fxt/packet/head.hpp"
#include "support/loopback.hpp"

namespace camsim::test {

using namespace std::chrono_literals;

class TestClient {
 public:
  explicit TestClient(std::uint16_t port) : buf_(mok::BytesMut::kConnectionCapacity) {
    fd_ = mok::test::connect_loopback(port);
    connected_ = fd_ >= 0;
  }
  ~TestClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return connected_; }

  bool send(std::uint16_t stream, mok::fxt::Kind kind, std::span<const std::uint8_t> payload,
            std::uint8_t flags = 0) {
    mok::fxt::Head h;
    h.length = static_cast<std::uint32_t>(payload.size());
    h.flags = flags;
    h.kind = kind;
    h.stream_id = stream;
    const auto head = h.to_bytes();
    std::vector<std::uint8_t> wire(head.begin(), head.end());
    wire.insert(wire.end(), payload.begin(), payload.end());
    return mok::test::write_all(fd_, wire);
  }

  // The next packet, or nullopt when the deadline passes, the peer closes or
  // the stream is corrupt (closed() and error() then tell which).
  std::optional<mok::fxt::Packet> next(std::chrono::milliseconds within = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
      if (!failed_) {
        auto r = eof_ ? framer_.decode_eof(buf_) : framer_.decode(buf_);
        if (!r) {
          failed_ = true;
          return std::nullopt;
        }
        if (*r) return std::move(**r);
      }
      if (eof_ || failed_) return std::nullopt;
      if (!mok::test::wait_ready(fd_, POLLIN, deadline)) return std::nullopt;
      buf_.reserve(65536);
      auto spare = buf_.spare();
      const ssize_t n = ::recv(fd_, spare.data(), spare.size(), 0);
      if (n <= 0) {
        eof_ = true;
      } else {
        buf_.commit(static_cast<std::size_t>(n));
      }
    }
  }

  // The first packet that satisfies `want`, skipping others.
  std::optional<mok::fxt::Packet> next_where(const std::function<bool(const mok::fxt::Packet&)>& want,
                                             std::chrono::milliseconds within = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
      auto p =
          next(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
      if (!p) return std::nullopt;
      if (want(*p)) return p;
    }
    return std::nullopt;
  }

  std::optional<mok::fxt::Packet> next_on_stream(std::uint16_t stream, std::chrono::milliseconds within = 5000ms) {
    return next_where([stream](const mok::fxt::Packet& p) { return p.head.stream_id == stream; }, within);
  }

  bool closed() const { return eof_; }
  bool corrupt() const { return failed_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool eof_ = false;
  bool failed_ = false;
  mok::BytesMut buf_;
  mok::fxt::Framer framer_;
};

}  // namespace camsim::test
