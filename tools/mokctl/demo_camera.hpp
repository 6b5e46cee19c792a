// The simulated camera of `mokctl demo`, behind a shared object of its own
// (libmokctl_sim.so). The simulator carries private copies of libmok's
// internals; kept inside that object with a version script, none of them can
// shadow libmok's exported functions or share state with them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#define MOKCTL_SIM_API __attribute__((visibility("default")))

namespace mokctl::sim {

class MOKCTL_SIM_API DemoCamera {
 public:
  // Starts an emulated camera on a free loopback port with the laser off,
  // with live video when `video` is set. Null and `error` set on failure.
  static std::unique_ptr<DemoCamera> start(bool video, std::string& error);
  virtual ~DemoCamera();
  virtual std::uint16_t port() const = 0;
};

}  // namespace mokctl::sim
