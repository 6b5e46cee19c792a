// The shared pieces of the bridge tests (see bridge_fixture.hpp).
#include "bridge_fixture.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/scan_payload.hpp"
#include "sim/scene.hpp"
#include "support/child_argv.hpp"

#ifndef BRIDGE_PATH
#error "BRIDGE_PATH must name the mok-bridge binary"
#endif
#ifndef DDS_CONFIG_PATH
#error "DDS_CONFIG_PATH must name the loopback configuration"
#endif

namespace bridgetest {

std::uint32_t BridgeTest::domain_ = 0;

void BridgeTest::SetUpTestSuite() {
  // One domain per test run, so parallel runs and other DDS users on this
  // machine never see each other's topics.
  const char* given = std::getenv("MOK_BRIDGE_TEST_DOMAIN");  // a child of a test joins its parent's
  domain_ = given ? static_cast<std::uint32_t>(std::atoi(given)) : 1 + std::random_device{}() % 200;
  setenv("CYCLONEDDS_URI", "file://" DDS_CONFIG_PATH, 1);
}

void BridgeTest::SetUp() {
  participant_ = dds_create_participant(domain_, nullptr, nullptr);
  ASSERT_GT(participant_, 0) << dds_strretcode(participant_);
}

void BridgeTest::TearDown() {
  if (participant_ > 0) dds_delete(participant_);
}

Camera::Camera(camsim::Options o) : options(std::move(o)) {
  options.host = "127.0.0.1";
  options.port = 0;
  sim = std::make_unique<camsim::Simulator>(options);
  auto port = sim->start();
  EXPECT_TRUE(port.ok());
  if (port.ok()) address = "127.0.0.1:" + std::to_string(port.value());
}

ChildProcess::ChildProcess(std::vector<std::string> program_argv, const std::vector<std::string>& env) {
  std::vector<std::string> argv = mok::test::child_argv(std::move(program_argv));
  char path[] = "/tmp/mok-bridge-test.XXXXXX";
  const int fd = mkstemp(path);
  log_path_ = path;
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  std::vector<std::string> env_copy = env;
  pid_ = fork();
  if (pid_ == 0) {
    for (std::string& e : env_copy) putenv(e.data());
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    execv(raw[0], raw.data());
    _exit(127);
  }
  if (fd >= 0) close(fd);
}

ChildProcess::~ChildProcess() {
  stop();
  std::remove(log_path_.c_str());
}

int ChildProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  kill(pid_, SIGCONT);
  int status = 0;
  const bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 20s);
  if (!ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::resume() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

BridgeProcess::BridgeProcess(std::uint32_t domain, const std::vector<std::string>& args)
    : ChildProcess([&] {
        std::vector<std::string> argv{BRIDGE_PATH, "--domain", std::to_string(domain), "--health-period", "0.2"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
      }()) {}

std::string ChildProcess::log() const {
  std::ifstream in(log_path_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Reader::Reader(dds_entity_t participant, const std::string& topic, const dds_topic_descriptor_t* type,
               ReaderQos qos) {
  dds_qos_t* q = dds_create_qos();
  dds_qset_reliability(q, qos.reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT, DDS_SECS(1));
  dds_qset_durability(q, DDS_DURABILITY_VOLATILE);
  dds_qset_history(q, qos.keep_all ? DDS_HISTORY_KEEP_ALL : DDS_HISTORY_KEEP_LAST, qos.depth);
  const dds_entity_t t = dds_create_topic(participant, type, topic.c_str(), nullptr, nullptr);
  EXPECT_GT(t, 0) << topic << ": " << dds_strretcode(t);
  reader_ = dds_create_reader(participant, t, q, nullptr);
  EXPECT_GT(reader_, 0) << topic << ": " << dds_strretcode(reader_);
  dds_delete_qos(q);
}

Reader::~Reader() {
  if (reader_ > 0) dds_delete(reader_);
}

std::uint32_t Reader::matched() const {
  dds_subscription_matched_status_t st{};
  dds_get_subscription_matched_status(reader_, &st);
  return st.current_count;
}

std::vector<Row> rows_of(const sensor_msgs_msg_dds__PointCloud2_& m) {
  std::vector<Row> rows(m.height);
  EXPECT_EQ(m.point_step, 12u);
  EXPECT_EQ(m.fields._length, 3u);
  EXPECT_EQ(m.data._length, std::size_t{m.height} * m.row_step);
  if (m.point_step != 12 || m.data._length != std::size_t{m.height} * m.row_step) return {};
  for (std::uint32_t r = 0; r < m.height; ++r) {
    const std::uint8_t* p = m.data._buffer + std::size_t{r} * m.row_step;
    rows[r].y.resize(m.width);
    rows[r].z.resize(m.width);
    for (std::uint32_t i = 0; i < m.width; ++i, p += 12) {
      std::memcpy(&rows[r].y[i], p, 4);
      std::memcpy(&rows[r].z[i], p + 4, 4);
      std::uint32_t index = 0;
      std::memcpy(&index, p + 8, 4);
      if (i == 0) rows[r].index = index;
      EXPECT_EQ(index, rows[r].index);
    }
  }
  return rows;
}

bool ProfileChecker::matches(const Row& row, std::uint64_t frame) const {
  const camsim::Profile p =
      camsim::generate_profile(options_.scene, frame, static_cast<double>(frame) / options_.scan_rate);
  if (p.points.size() != row.y.size()) return false;
  // The library's arithmetic: float(raw) / 100 minus the float offset.
  const float oy = static_cast<float>(camsim::kYOffsetHundredths) / 100.0f;
  const float oz = static_cast<float>(camsim::kZOffsetHundredths) / 100.0f;
  for (std::size_t i = 0; i < p.points.size(); ++i) {
    if (!p.points[i].valid) {
      if (!std::isnan(row.y[i]) || !std::isnan(row.z[i])) return false;
      continue;
    }
    const camsim::RawPoint raw = camsim::encode_point(p.points[i]);
    if (row.y[i] != static_cast<float>(raw.y) / 100.0f - oy) return false;
    if (row.z[i] != static_cast<float>(raw.z) / 100.0f - oz) return false;
  }
  return true;
}

bool ProfileChecker::check(const Row& row) {
  if (rows_ == 0) first_index_ = next_index_ = row.index;  // a subscriber sees what is sent after it matched
  EXPECT_EQ(row.index, next_index_) << "stream index out of order";
  if (row.index != next_index_) return false;
  ++next_index_;
  // The next frame; after a reconnect the camera goes on from the present.
  const std::uint64_t limit = next_frame_ + static_cast<std::uint64_t>(options_.scan_rate * 30) + 2;
  for (std::uint64_t f = next_frame_; f < limit; ++f) {
    if (!matches(row, f)) continue;
    if (f != next_frame_ && rows_ > 0) ++gaps_;
    frames_[row.index] = f;
    next_frame_ = f + 1;
    ++rows_;
    return true;
  }
  ADD_FAILURE() << "row " << row.index << " matches no frame from " << next_frame_;
  return false;
}

std::string diagnostic_value(const diagnostic_msgs_msg_dds__DiagnosticArray_& m, const std::string& key) {
  if (m.status._length == 0) return "";
  const auto& st = m.status._buffer[m.status._length - 1];
  for (std::uint32_t i = 0; i < st.values._length; ++i) {
    if (key == st.values._buffer[i].key) return st.values._buffer[i].value;
  }
  return "";
}

}  // namespace bridgetest
