// mokctl track against mok-camsim's robot cell, as a user runs the two: the
// corrections reach "ok", and the CSV, the cloud and the pose log are
// complete; a bad mounting file is refused with its line.
#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "process.hpp"
#include "support/sanitized.hpp"

namespace {

using tooltest::Outcome;
using tooltest::TempDir;

TEST(ToolsTrack, FollowsTheCellAndWritesCorrectionsCloudAndPoseLog) {
#ifdef MOK_TEST_SANITIZED
  GTEST_SKIP() << "real-time cell run: not in sanitized builds";
#endif
  TempDir dir;
  const std::string port = tooltest::free_udp_port(), mount = dir.file("mount.json");
  tooltest::Simulator sim({"--cell", "short", "--poses-to", "127.0.0.1:" + port, "--mount-out", mount});
  ASSERT_FALSE(sim.address().empty()) << sim.log();
  const Outcome o = tooltest::run({MOKCTL_PATH, "track", sim.address(), "--mount", mount, "--poses",
                                   "udp:127.0.0.1:" + port, "--robot-latency-ms", "16", "-o", dir.file("t.csv"),
                                   "--ply", dir.file("c.ply"), "--pose-log", dir.file("p.csv"), "--seconds", "3"},
                                  60);
  ASSERT_EQ(o.exit_code, 0) << o.out << o.err;
  const std::string csv = tooltest::read_file(dir.file("t.csv"));
  EXPECT_NE(csv.find("\ncorrection,"), std::string::npos);
  EXPECT_TRUE(std::regex_search(csv, std::regex("\ncorrection,[0-9]+,0,"))) << "no correction was ok";
  EXPECT_NE(csv.find("\nseam,,0,"), std::string::npos);
  const std::string ply = tooltest::read_file(dir.file("c.ply"));
  EXPECT_EQ(ply.find("element vertex 000000000000"), std::string::npos) << "an empty cloud";
  EXPECT_EQ(tooltest::read_file(dir.file("p.csv"))
                .rfind("t_host_ns,seq,t_robot_us,x_mm,y_mm,z_mm,qw,qx,qy,qz,flags,t_unix_us\n", 0),
            0u);

  std::ofstream(dir.file("bad.json")) << "{\n  \"format\": \"mok-mount/1\",\n  \"X_tool_sensor\": 3\n}\n";
  const Outcome bad = tooltest::run(
      {MOKCTL_PATH, "track", sim.address(), "--mount", dir.file("bad.json"), "--poses", "udp:" + port}, 30);
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find("bad.json:3"), std::string::npos) << bad.err;
}

}  // namespace
