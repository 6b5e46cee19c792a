// Connection state codes reported to a connector's owner. The numbers are
// part of the C interfaces, which pass them through unchanged.
#pragma once

#include <cstdint>
#include <string_view>

namespace mok::fxt {

enum class State : uint32_t {
  Idle = 0,  // never reported: a connector that was not started yet
  Connected = 1,
  ConnectFailed = 2,
  ConnectTimeout = 3,
  Disconnected = 4,
  ShuttingDown = 5,
  Terminated = 6,
  Reconnecting = 7,
};

constexpr std::string_view to_string(State s) noexcept {
  switch (s) {
    case State::Idle:
      return "Idle";
    case State::Connected:
      return "Connected";
    case State::ConnectFailed:
      return "ConnectFailed";
    case State::ConnectTimeout:
      return "ConnectTimeout";
    case State::Disconnected:
      return "Disconnected";
    case State::ShuttingDown:
      return "ShuttingDown";
    case State::Terminated:
      return "Terminated";
    case State::Reconnecting:
      return "Reconnecting";
  }
  return "Unknown";
}

}  // namespace mok::fxt
