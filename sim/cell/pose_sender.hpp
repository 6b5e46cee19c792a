// The robot controller on the network: sends a cell's pose schedule as UDP
// datagrams to a host on its own thread, and writes what it sent as a pose
// log for replay. The only part of the cell that touches a socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "common/result.hpp"

namespace camsim::cell {

class Cell;

struct PoseSenderOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::string log_path;  // the pose log (t_host_ns = send time); none when empty
};

class PoseSender {
 public:
  PoseSender(std::shared_ptr<const Cell> cell, PoseSenderOptions options);
  // Stops if still running.
  ~PoseSender();
  PoseSender(const PoseSender&) = delete;
  PoseSender& operator=(const PoseSender&) = delete;

  // Starts sending on its own thread; `origin` is the host time of the run's
  // start, shared with the camera so both see the same robot. Fails on a bad
  // address or an unwritable log.
  mok::Result<void, std::string> start(std::chrono::steady_clock::time_point origin);
  // Ends the thread (the log keeps what was sent). Safe to call twice.
  void stop();
  std::uint64_t sent() const;
  // The schedule ran out (the run is over).
  bool finished() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace camsim::cell
