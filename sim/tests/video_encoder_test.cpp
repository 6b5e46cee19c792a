// The video encoder: each codec yields Annex B access units, the first one a
// key frame carrying its parameter sets, so a viewer can start there.
#include "sim/video_encoder.hpp"

#include <algorithm>

#include <gtest/gtest.h>

namespace camsim {
namespace {

// NAL unit types after each start code; H.265 keeps the type in bits 1..6 of the first byte.
std::vector<int> nal_types(const std::vector<std::uint8_t>& d, VideoCodec codec) {
  std::vector<int> types;
  for (std::size_t i = 0; i + 3 < d.size(); ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)
      types.push_back(codec == VideoCodec::H264 ? (d[i + 3] & 0x1F) : ((d[i + 3] >> 1) & 0x3F));
  return types;
}

TEST(VideoEncoder, FirstUnitIsAKeyFrameWithParameterSets) {
  struct Case {
    VideoCodec codec;
    int parameter_set;  // SPS (H.264) or VPS (H.265)
  };
  for (const Case k : {Case{VideoCodec::H264, 7}, Case{VideoCodec::H265, 32}}) {
    VideoConfig vc;
    vc.codec = k.codec;
    vc.width = 64;
    vc.height = 48;
    vc.keyframe_interval = 4;
    auto enc = VideoEncoder::open(vc);
    ASSERT_TRUE(enc) << enc.error();
    SceneConfig scene;
    scene.point_count = 64;
    RenderOptions ro;
    ro.width = 64;
    ro.height = 48;
    std::vector<AccessUnit> units;
    for (int f = 0; f < 6; ++f)
      ASSERT_TRUE((*enc)->encode(render_view(generate_profile(scene, f, f * 0.04), ro), units));
    ASSERT_FALSE(units.empty()) << (*enc)->encoder_name();
    EXPECT_TRUE(units[0].key);
    const auto types = nal_types(units[0].data, k.codec);
    EXPECT_NE(std::find(types.begin(), types.end(), k.parameter_set), types.end());
    EXPECT_EQ(video_kind(k.codec), k.codec == VideoCodec::H264 ? 23 : 24);
  }
}

TEST(VideoEncoder, RefusesSizesNoEncoderTakes) {
  VideoConfig vc;
  vc.width = 63;
  EXPECT_FALSE(VideoEncoder::open(vc));
  vc.width = 8;
  vc.height = 8;
  EXPECT_FALSE(VideoEncoder::open(vc));
  EXPECT_EQ(parse_video_codec("hevc"), VideoCodec::H265);
  EXPECT_FALSE(parse_video_codec("vp9").has_value());
}

}  // namespace
}  // namespace camsim
