// What the bridge tests share: a random DDS domain on the loopback-only
// configuration, emulated cameras in this process, mok-bridge as a child
// process, and subscribers built from type support without XTypes type
// information, so they only match writers whose type names are right.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <dds/dds.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include "ros2_types.h"
#include "sim/simulator.hpp"
#include "support/eventually.hpp"

namespace bridgetest {

using namespace std::chrono_literals;

using mok::test::eventually;

// An emulated camera on 127.0.0.1 with a free port.
struct Camera {
  explicit Camera(camsim::Options options);
  camsim::Options options;
  std::unique_ptr<camsim::Simulator> sim;
  std::string address;
};

// A child process with its output in a file; ended with SIGTERM (then
// SIGKILL; a stopped child is continued first) with the object.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Sends SIGTERM and returns the exit status (-1 when it had to be killed).
  int stop();
  // Continues a stopped child (SIGCONT).
  void resume();
  std::string log() const;

 private:
  pid_t pid_ = -1;
  std::string log_path_;
};

// mok-bridge with the given arguments plus --domain and a short health period.
class BridgeProcess : public ChildProcess {
 public:
  BridgeProcess(std::uint32_t domain, const std::vector<std::string>& args);
};

struct ReaderQos {
  bool reliable = true;
  bool keep_all = true;
  std::int32_t depth = 10;  // keep-last depth
};

// A DataReader of one topic and type (samples taken in arrival order).
class Reader {
 public:
  Reader(dds_entity_t participant, const std::string& topic, const dds_topic_descriptor_t* type,
         ReaderQos qos = {});
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  std::uint32_t matched() const;
  // Calls f(const T&) for each valid sample that has arrived; returns how many.
  template <class T, class F>
  std::size_t take(F&& f) {
    std::size_t total = 0;
    for (;;) {
      void* samples[64] = {};
      dds_sample_info_t infos[64];
      const dds_return_t n = dds_take(reader_, samples, infos, 64, 64);
      if (n <= 0) return total;
      for (dds_return_t i = 0; i < n; ++i) {
        if (infos[i].valid_data) {
          f(*static_cast<const T*>(samples[i]));
          ++total;
        }
      }
      dds_return_loan(reader_, samples, n);
    }
  }

 private:
  dds_entity_t reader_ = 0;
};

// One PointCloud2 row as the bridge sends it.
struct Row {
  std::uint32_t index = 0;
  std::vector<float> y, z;
};
std::vector<Row> rows_of(const sensor_msgs_msg_dds__PointCloud2_& m);

// Checks rows against the profiles camera `options` generates: each row must
// equal the profile of the frame after the previous row's, except that a new
// connection may start later (counted in `gaps`); indices must follow on
// from the first row's.
class ProfileChecker {
 public:
  explicit ProfileChecker(camsim::Options options) : options_(std::move(options)) {}
  // False (with a gtest failure) when the row fits no frame or is out of order.
  bool check(const Row& row);
  std::size_t rows() const { return rows_; }
  std::size_t gaps() const { return gaps_; }
  std::uint32_t first_index() const { return first_index_; }
  // The frame each stream index was matched to.
  const std::map<std::uint32_t, std::uint64_t>& frames() const { return frames_; }
  // Whether the row holds exactly the points of `frame`.
  bool matches(const Row& row, std::uint64_t frame) const;

 private:
  camsim::Options options_;
  std::uint64_t next_frame_ = 0;
  std::uint32_t first_index_ = 0;
  std::uint32_t next_index_ = 0;
  std::size_t rows_ = 0;
  std::size_t gaps_ = 0;
  std::map<std::uint32_t, std::uint64_t> frames_;
};

// The value of `key` in the last diagnostics status taken ("" when absent).
std::string diagnostic_value(const diagnostic_msgs_msg_dds__DiagnosticArray_& m, const std::string& key);

// A participant on a random domain of the loopback-only configuration.
class BridgeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;
  static std::uint32_t domain_;
  dds_entity_t participant_ = 0;
};

}  // namespace bridgetest
