// A scripted stand-in for the camera: a real TCP server on 127.0.0.1 with an
// ephemeral port. It accepts one connection at a time, records every packet
// the client writes, and sends whatever packets a test asks for. The wire
// head is written and parsed here by hand, independently of the library.
// Every wait is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/wire.hpp"

namespace mok::test {

struct WirePacket {
  std::uint32_t length = 0;
  std::uint8_t flags = 0;
  std::uint8_t kind = 0;
  std::uint16_t stream_id = 0;
  std::uint64_t seq = 0;
  std::uint64_t ts = 0;
  std::vector<std::uint8_t> payload;
};

// Kind codes used by the tests, as the bytes the fake camera writes.
inline constexpr std::uint8_t kKindData = static_cast<std::uint8_t>(wire::Kind::Data);
inline constexpr std::uint8_t kKindFlexRegs = static_cast<std::uint8_t>(wire::Kind::FlexRegs);
inline constexpr std::uint8_t kKindJson = static_cast<std::uint8_t>(wire::Kind::Json);
inline constexpr std::uint8_t kKindVideoH264 = static_cast<std::uint8_t>(wire::Kind::VideoH264);
inline constexpr std::uint8_t kKindVideoH265 = static_cast<std::uint8_t>(wire::Kind::VideoH265);
inline constexpr std::uint8_t kKindVideoVP8 = static_cast<std::uint8_t>(wire::Kind::VideoVP8);

inline constexpr std::chrono::milliseconds kWait{5000};

// The 24-byte big-endian head followed by the payload.
std::vector<std::uint8_t> encode_wire(std::uint8_t kind, std::uint16_t stream_id,
                                      std::span<const std::uint8_t> payload, std::uint8_t flags = 0,
                                      std::uint64_t seq = 0);

// One register entry as the camera writes it: reserved 0, word count, id LE,
// value bytes padded to an even count.
std::vector<std::uint8_t> reg_entry(std::uint16_t id, std::span<const std::uint8_t> value);
std::vector<std::uint8_t> reg_u32(std::uint16_t id, std::uint32_t value);
std::vector<std::uint8_t> reg_u64(std::uint16_t id, std::uint64_t value);
std::vector<std::uint8_t> reg_text(std::uint16_t id, std::string_view text);
std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts);

class FakeCamera {
 public:
  FakeCamera();
  ~FakeCamera();
  FakeCamera(const FakeCamera&) = delete;
  FakeCamera& operator=(const FakeCamera&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  std::string address() const;  // "127.0.0.1:<port>"

  // Waits until `n` connections have been accepted in total.
  bool wait_accepted(std::size_t n = 1, std::chrono::milliseconds timeout = kWait);
  std::size_t accepted() const;

  // Writes to the current connection; false when there is none or it fails.
  bool send(std::uint8_t kind, std::uint16_t stream_id, std::span<const std::uint8_t> payload,
            std::uint8_t flags = 0);
  bool send_raw(std::span<const std::uint8_t> bytes);
  // A register report: kind FlexRegs on stream 0.
  bool send_report(std::span<const std::uint8_t> record) {
    return send(kKindFlexRegs, wire::stream::kRegisters, record);
  }

  // The next received packet in arrival order, or nothing within the timeout.
  std::optional<WirePacket> next_packet(std::chrono::milliseconds timeout = kWait);
  // Packets received and not yet taken by next_packet.
  std::size_t pending() const;

  // Closes the current connection from the camera's side.
  void drop_connection();

 private:
  void run();
  void close_conn_locked();

  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int conn_fd_ = -1;
  std::size_t accepted_ = 0;
  std::deque<WirePacket> received_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace mok::test
