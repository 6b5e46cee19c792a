// Shared pieces of the device tests: a recorder for state callbacks, and a
// fixture that connects a real Client to a FakeCamera.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "brelo/client.hpp"
#include "common/runtime.hpp"
#include "support/eventually.hpp"
#include "support/fake_camera.hpp"

namespace mok::test {

class StateLog {
 public:
  void push(std::uint32_t s) {
    std::lock_guard lock(m_);
    states_.push_back(s);
    cv_.notify_all();
  }
  bool wait_for(std::uint32_t s, std::chrono::milliseconds bound = kWait) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, bound,
                        [&] { return std::find(states_.begin(), states_.end(), s) != states_.end(); });
  }
  std::vector<std::uint32_t> snapshot() {
    std::lock_guard lock(m_);
    return states_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::uint32_t> states_;
};

// The tests' own runtime, process-wide like the library's.
Runtime& test_runtime();

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Starts the connection and waits until the client can send; the probe
  // packet it uses is taken off the camera's queue.
  void connect_and_start();

  FakeCamera cam;
  StateLog states;
  std::shared_ptr<brelo::Client> client;
};

}  // namespace mok::test
