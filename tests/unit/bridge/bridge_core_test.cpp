// The bridge's decisions without DDS or a camera: how profiles become rows
// and batches, and which cameras a command line names. (Its device clock is
// the library's, tested there.)
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "camera_list.hpp"
#include "profile_batches.hpp"
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

TEST(BatchQueue, ClosesFullOrResizedBatchesInOrderDropsBeyondItsBoundAndReusesBuffers) {
  const mok_scan_point_t p3[3] = {{0, 1, 2, 0}, {0, 2, 3, 0}, {0, 3, 4, 0}};
  const mok_scan_point_t p2[2] = {{0, 5, 6, 0}, {0, 6, 7, 0}};
  BatchQueue q(5);
  std::uint32_t missing = 9;
  using Added = BatchQueue::Added;
  EXPECT_EQ(q.add(p3, 3, 0, 1000, 10, 2, missing), Added::kOpened);
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(q.add(p3, 3, 1, 2000, 11, 2, missing), Added::kClosed);
  EXPECT_EQ(q.add(p3, 3, 2, 3000, 12, 2, missing), Added::kOpened);
  EXPECT_EQ(q.add(p2, 2, 3, 4000, 13, 2, missing), Added::kOpened);  // a new width closes the open batch
  EXPECT_EQ(q.add(p2, 2, 4, 5000, 14, 3, missing), Added::kAdded);
  EXPECT_EQ(q.add(p2, 2, 5, 6000, 15, 3, missing), Added::kDropped);  // five profiles wait

  Batch b;
  ASSERT_TRUE(q.take(b, false));
  EXPECT_EQ(b.rows, 2u);
  EXPECT_EQ(b.width, 3u);
  EXPECT_EQ(b.stamp_ns, 1000);
  std::uint32_t index = 0;
  std::memcpy(&index, b.data.get() + b.bytes() - 4, 4);
  EXPECT_EQ(index, 1u);
  ASSERT_TRUE(q.take(b, false));
  const std::uint8_t* written = b.data.get();
  EXPECT_EQ(b.rows, 1u);
  EXPECT_EQ(b.stamp_ns, 3000);
  EXPECT_FALSE(q.take(b, false));  // only the open batch is left, and it is not due
  EXPECT_TRUE(q.has_open());
  EXPECT_EQ(q.open_since_ns(), 13);
  ASSERT_TRUE(q.take(b, true));
  EXPECT_EQ(b.rows, 2u);
  EXPECT_EQ(b.width, 2u);

  // A written batch's buffer goes back when the next is taken: the next
  // batch opens in the one written last.
  EXPECT_EQ(q.add(p3, 3, 6, 7000, 16, 1, missing), Added::kClosed);
  ASSERT_TRUE(q.take(b, false));
  EXPECT_EQ(b.data.get(), written);
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
