// The bridge's decisions without DDS or a camera: how profiles become rows,
// and which cameras a command line names. (Its device clock is the library's,
// tested there.)
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "camera_list.hpp"
#include "profile_rows.hpp"

namespace bridge {
namespace {

std::vector<float> floats_at(const std::vector<std::uint8_t>& out, std::size_t offset) {
  std::vector<float> v;
  for (std::size_t at = offset; at < out.size(); at += kPointStep) {
    float f;
    std::memcpy(&f, &out[at], 4);
    v.push_back(f);
  }
  return v;
}

TEST(ProfileRows, RepeatedLowestPointsAreMissingAndWrittenAsNaN) {
  const mok_scan_point_t pts[] = {{0, -100, -50, 0}, {0, 1.5f, 2.5f, 0}, {0, -100, -50, 0}, {0, 3, -4, 0}};
  std::vector<std::uint8_t> out(4 * kPointStep);
  EXPECT_EQ(pack_row(pts, 4, 77, out.data()), 2u);
  const auto y = floats_at(out, 0), z = floats_at(out, 4);
  EXPECT_TRUE(std::isnan(y[0]) && std::isnan(z[0]) && std::isnan(y[2]) && std::isnan(z[2]));
  EXPECT_EQ(y[1], 1.5f);
  EXPECT_EQ(z[3], -4.0f);
  for (std::size_t i = 0; i < 4; ++i) {
    std::uint32_t index;
    std::memcpy(&index, &out[i * kPointStep + 8], 4);
    EXPECT_EQ(index, 77u);
  }
}

TEST(ProfileRows, ALowestPointThatOccursOnceIsAMeasurement) {
  const mok_scan_point_t pts[] = {{0, -10, -5, 0}, {0, 1, 2, 0}, {0, 2, 3, 0}};
  std::vector<std::uint8_t> out(3 * kPointStep);
  EXPECT_EQ(pack_row(pts, 3, 0, out.data()), 0u);
  EXPECT_EQ(floats_at(out, 0)[0], -10.0f);
}

TEST(ProfileRows, BatchesKeepMessagesBetween100And200PerSecond) {
  EXPECT_EQ(auto_batch(0), 1u);
  EXPECT_EQ(auto_batch(150), 1u);
  EXPECT_EQ(auto_batch(200), 1u);
  for (const double rate : {201.0, 1000.0, 4000.0, 10000.0, 33333.0}) {
    const double messages = rate / auto_batch(rate);
    EXPECT_GT(messages, 100) << rate;
    EXPECT_LE(messages, 200) << rate;
  }
}

TEST(CameraList, NamespacesAreNormalisedAndCheckedAsRosNames) {
  std::string ns = "/cell1/left/", error;
  ASSERT_TRUE(normalize_namespace(ns, error));
  EXPECT_EQ(ns, "cell1/left");
  for (std::string bad : {"", "/", "1cell", "cell//left", "cell-left", "cell/2"}) {
    EXPECT_FALSE(normalize_namespace(bad, error)) << bad;
  }
}

TEST(CameraList, SeveralAddressesGetOneNamespaceEach) {
  std::vector<CameraConfig> cams;
  std::string error;
  ASSERT_TRUE(cameras_from_addresses({"10.0.0.2", "10.0.0.3:7000"}, "/cell", cams, error));
  ASSERT_EQ(cams.size(), 2u);
  EXPECT_EQ(cams[1].address, "10.0.0.3:7000");
  EXPECT_EQ(cams[1].ns, "cell/cam1");
  EXPECT_EQ(cams[1].frame_id, "cell_cam1");
  ASSERT_TRUE(cameras_from_addresses({"10.0.0.2"}, "cell", cams, error));
  EXPECT_EQ(cams[0].ns, "cell");
}

TEST(CameraList, TheCameraFileNamesEachCameraAndRejectsMistakes) {
  std::vector<CameraConfig> cams;
  std::string error;
  ASSERT_TRUE(
      cameras_from_file_text("# cell 1\n10.0.0.2 left\n\n  10.0.0.3 /right/ right_link  # spare\n", cams, error))
      << error;
  ASSERT_EQ(cams.size(), 2u);
  EXPECT_EQ(cams[0].frame_id, "left");
  EXPECT_EQ(cams[1].ns, "right");
  EXPECT_EQ(cams[1].frame_id, "right_link");

  EXPECT_FALSE(cameras_from_file_text("10.0.0.2\n", cams, error));
  EXPECT_NE(error.find("line 1"), std::string::npos);
  EXPECT_FALSE(cameras_from_file_text("10.0.0.2 a\n10.0.0.3 a\n", cams, error));
  EXPECT_NE(error.find("twice"), std::string::npos);
  EXPECT_FALSE(cameras_from_file_text("# nothing\n", cams, error));
}

}  // namespace
}  // namespace bridge
