// The mounting file's refusals (line and reason) and round trip, and the
// pose datagram's bytes.
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "track/mount_file.hpp"
#include "track/pose_datagram.hpp"

namespace mok::track {
namespace {

std::string mount_text(const std::string& quaternion, const std::string& extra = "") {
  return "{\n  \"format\": \"mok-mount/1\",\n  \"X_tool_sensor\": {\n    \"translation_mm\": [40, 0, -100],\n"
         "    \"quaternion_wxyz\": " +
         quaternion + "\n  }" + extra + "\n}\n";
}

TEST(MountFile, ReadsAndNormalisesANearUnitQuaternion) {
  const auto pose =
      parse_mount(mount_text("[1.0004, 0, 0, 0]", ",\n  \"calibration\": {\"residual_rms_mm\": 0.1}"));
  ASSERT_TRUE(pose) << pose.error();
  EXPECT_TRUE(pose.value().p.isApprox(Eigen::Vector3d(40, 0, -100)));
  EXPECT_DOUBLE_EQ(pose.value().q.w(), 1.0);
}

TEST(MountFile, RefusesWithTheLineAndTheReason) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {mount_text("[1, 0, 0, 0],"), "6: does not parse"},
      {mount_text("[2, 0, 0, 0]"), "5: quaternion_wxyz has norm 2"},
      {mount_text("[1, 0, 0]"), "5: quaternion_wxyz must be an array of 4 numbers"},
      {"{\n \"format\": \"mok-mount/2\"\n}", "2: format must be \"mok-mount/1\""},
      {"{\n \"format\": \"mok-mount/1\"\n}", "1: missing the object \"X_tool_sensor\""},
      {"{\"format\": \"mok-mount/1\",\n\"X_tool_sensor\": {\"quaternion_wxyz\": [1, 0, 0, 0]}}",
       "2: missing \"translation_mm\""},
  };
  for (const auto& c : cases) {
    const auto pose = parse_mount(c.text);
    ASSERT_FALSE(pose) << c.text;
    EXPECT_EQ(pose.error().rfind(c.expected, 0), 0u) << pose.error();
  }
}

TEST(MountFile, SavesWhatItLoadsWithTheCalibrationKept) {
  const std::string path = ::testing::TempDir() + "mount_roundtrip.json";
  const Pose mount{{1.5, -2.25, 3},
                   Eigen::Quaterniond(Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 2, 3).normalized()))};
  ASSERT_TRUE(save_mount(path, mount, R"({"method": "sphere"})"));
  const auto back = load_mount(path);
  ASSERT_TRUE(back) << back.error();
  EXPECT_TRUE(back.value().p.isApprox(mount.p, 1e-15));
  EXPECT_TRUE(back.value().q.isApprox(mount.q, 1e-15));
  EXPECT_FALSE(save_mount(path, mount, "[1]"));
  const auto missing = load_mount(path + ".none");
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().find("cannot be read"), std::string::npos);
  std::filesystem::remove(path);
}

TEST(PoseDatagram, RoundTripsAndRefusesOtherSizesAndMagic) {
  const mok_pose_datagram_t d{7, MOK_POSE_FLAG_STILL, -123456789, {1, 2, 3, 0.5, 0.5, 0.5, 0.5}};
  std::uint8_t bytes[kPoseDatagramSize + 1] = {};
  encode_pose_datagram(d, bytes);
  EXPECT_EQ(bytes[0], 'M');
  EXPECT_EQ(bytes[72], 1);  // flags, little-endian
  const auto back = decode_pose_datagram(bytes, kPoseDatagramSize);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->seq, 7u);
  EXPECT_EQ(back->t_robot_us, -123456789);
  EXPECT_EQ(back->X_base_tool.qz, 0.5);
  EXPECT_FALSE(decode_pose_datagram(bytes, kPoseDatagramSize + 1));
  bytes[3] = '2';
  EXPECT_FALSE(decode_pose_datagram(bytes, kPoseDatagramSize));
}

}  // namespace
}  // namespace mok::track
