// Raw packet recording through the transport interface: every packet the
// camera sends, with its arrival time, in the replay format of
// docs/recording-format.md (the simulator replays these files).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "session.hpp"

namespace mokctl {

class PacketRecorder {
 public:
  // Opens `path` and a second, raw connection to `address`; waits until it is
  // up (throws Failure when the address is refused or unreachable, and then
  // leaves no file behind).
  PacketRecorder(const std::string& address, const std::string& path, const GlobalOptions& options);
  // Closes the connection, then the file.
  ~PacketRecorder();
  PacketRecorder(const PacketRecorder&) = delete;
  PacketRecorder& operator=(const PacketRecorder&) = delete;

  // Waits until `count` packets were written or `seconds` passed (0: no limit
  // of that kind) or an interrupt arrived; false when the connection dropped.
  bool wait(std::uint64_t count, double seconds);
  std::uint64_t packets() const;
  std::uint64_t bytes() const;
  // Stops recording and flushes the file; throws Failure on a write error.
  void finish();

  struct State;

 private:
  // Stops and removes the file of a recording that never started.
  void discard(const std::string& path) noexcept;

  std::shared_ptr<State> state_;
};

}  // namespace mokctl
