// A scripted server peer for the reliability and hostile tests: a loopback
// TCP server that accepts any number of connections and does to them what a
// test asks (send bytes, stop reading, close). Unlike FakeCamera it does not
// parse what clients send. Every wait is bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.hpp"

namespace mok::test {

class ScriptedPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::string address() const;  // "127.0.0.1:<port>"
  std::size_t accepted() const;
  std::size_t open_connections() const;
  bool wait_accepted(std::size_t n, std::chrono::milliseconds timeout = kIoWait);

  // When off, the peer stops reading what clients send (their sends then
  // back up into the kernel buffers); on by default. Bytes read are dropped.
  void set_reading(bool on);

  // Writes all bytes to the newest connection; false if there is none, it
  // fails, or the bytes cannot all be written within the timeout.
  bool send(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout = kIoWait);
  // Writes as much as the socket takes without blocking; the byte count.
  std::size_t send_some(std::span<const std::uint8_t> bytes);
  // Closes every connection from this side.
  void drop_all();
  // Shuts down the sending side of the newest connection (the client sees
  // the end of the stream) and keeps it open otherwise.
  void half_close();
  // Small kernel buffers on connections accepted from now on, so a stalled
  // client backs up after a few hundred kilobytes rather than megabytes.
  void set_small_buffers(bool on);

 private:
  void run();
  int newest_fd_locked() const;

  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<int> conns_;
  std::size_t accepted_ = 0;
  bool reading_ = true;
  bool small_buffers_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace mok::test
