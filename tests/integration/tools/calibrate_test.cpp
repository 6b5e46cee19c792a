// mokctl calibrate against mok-camsim's calibration cells, as a person runs
// the two: the robot's program ends the capture, and the mounting written is
// near the cell's true one, live and again offline from the run's recording
// and pose log (the sphere), and checked against it (the plate); cut short,
// the capture is refused with its exit code and no file.
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "mok_calib/mount_file.hpp"
#include "process.hpp"
#include "support/sanitized.hpp"

namespace {

using tooltest::Outcome;
using tooltest::TempDir;
namespace calib = mok::calib;

calib::Pose read_mount(const std::string& path) {
  const calib::MountFile m = calib::parse_mount(tooltest::read_file(path));
  EXPECT_TRUE(m.ok) << path << ": " << m.error;
  return m.X_tool_sensor;
}

// The cell with the drawing's mounting off by about 1.7 mm and 1.5 degrees.
struct CalibrationCell {
  explicit CalibrationCell(std::string cell_target = "sphere") : target(std::move(cell_target)) {}
  std::string target;
  TempDir dir;
  std::string port = tooltest::free_udp_port();
  tooltest::Simulator sim{
      {"--cell", target, "--poses-to", "127.0.0.1:" + port, "--mount-out", dir.file("true.json")}};
  calib::Pose truth = read_mount(dir.file("true.json"));

  Outcome calibrate(const std::vector<std::string>& extra, bool live = true, bool with_drawing = true) {
    calib::Pose drawing = truth;
    drawing.translate(Eigen::Vector3d(1.0, -1.0, 1.0));
    drawing.rotate(Eigen::AngleAxisd(1.5 / calib::kRadToDeg, Eigen::Vector3d(1, 1, 0).normalized()));
    std::string why;
    EXPECT_TRUE(calib::write_text_file(dir.file("drawing.json"), calib::mount_json(drawing, nullptr, ""), why));
    std::vector<std::string> argv = {MOKCTL_PATH, "calibrate", target, "-o", dir.file("mount.json")};
    if (with_drawing) argv.insert(argv.end(), {"--drawing", dir.file("drawing.json")});
    if (target == "sphere") argv.insert(argv.end(), {"--radius", "20"});
    if (live) argv.insert(argv.end(), {sim.address(), "--poses", "udp:127.0.0.1:" + port});
    argv.insert(argv.end(), extra.begin(), extra.end());
    return tooltest::run(argv, 120);
  }
};

TEST(ToolsCalibrate, RecoversTheCellsMountingLiveAndFromTheRunsRecording) {
#ifdef MOK_TEST_SANITIZED
  GTEST_SKIP() << "real-time cell run: not in sanitized builds";
#endif
  CalibrationCell cell;
  ASSERT_FALSE(cell.sim.address().empty()) << cell.sim.log();
  const std::string rec = cell.dir.file("run.rec"), poses = cell.dir.file("poses.csv");
  const Outcome live = cell.calibrate({"--seconds", "30", "--record", rec, "--pose-log", poses});
  ASSERT_EQ(live.exit_code, 0) << live.out << live.err;
  EXPECT_NE(live.out.find("residual RMS"), std::string::npos) << live.out;
  const calib::Pose live_mount = read_mount(cell.dir.file("mount.json"));
  const calib::PoseError e = calib::pose_error(cell.truth, live_mount);
  EXPECT_LT(e.translation_mm, 0.3) << live.out;
  EXPECT_LT(e.rotation_deg, 0.2) << live.out;

  // Offline: placed by the wall clock, and without it by the holds alone
  // (that one also without the drawing).
  std::string plain;
  std::istringstream log(tooltest::read_file(poses));
  for (std::string line; std::getline(log, line);) plain += line.substr(0, line.rfind(',')) + "\n";
  std::ofstream(cell.dir.file("plain.csv")) << plain;
  for (const std::string& pose_log : {poses, cell.dir.file("plain.csv")}) {
    const Outcome offline = cell.calibrate({"--recording", rec, "--pose-log", pose_log}, false, pose_log == poses);
    ASSERT_EQ(offline.exit_code, 0) << offline.out << offline.err;
    const calib::PoseError again = calib::pose_error(live_mount, read_mount(cell.dir.file("mount.json")));
    EXPECT_LT(again.translation_mm, 0.1) << offline.out;
    EXPECT_LT(again.rotation_deg, 0.1) << offline.out;
  }

  // Poses shifted off the recording are refused with the reason.
  const Outcome apart =
      cell.calibrate({"--recording", rec, "--pose-log", poses, "--pose-offset-ms", "1e6"}, false);
  EXPECT_EQ(apart.exit_code, 6) << apart.out << apart.err;
  EXPECT_NE(apart.err.find("no hold"), std::string::npos) << apart.err;
}

TEST(ToolsCalibrate, APlateChecksTheMounting) {
#ifdef MOK_TEST_SANITIZED
  GTEST_SKIP() << "real-time cell run: not in sanitized builds";
#endif
  CalibrationCell cell("plane");
  ASSERT_FALSE(cell.sim.address().empty()) << cell.sim.log();
  const Outcome o = cell.calibrate({"--seconds", "30", "--compare", cell.dir.file("true.json")});
  ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("the two agree"), std::string::npos) << o.out;
  const calib::PoseError e = calib::pose_error(cell.truth, read_mount(cell.dir.file("mount.json")));
  EXPECT_LT(e.translation_mm, 0.3) << o.out;
  EXPECT_LT(e.rotation_deg, 0.2) << o.out;
}

TEST(ToolsCalibrate, TooFewPosesAreRefused) {
  CalibrationCell cell;
  ASSERT_FALSE(cell.sim.address().empty()) << cell.sim.log();
  const Outcome o = cell.calibrate({"--count", "2"});
  EXPECT_EQ(o.exit_code, 6) << o.out << o.err;
  EXPECT_NE(o.err.find("refused"), std::string::npos) << o.err;
  EXPECT_FALSE(tooltest::file_exists(cell.dir.file("mount.json")));
}

}  // namespace
