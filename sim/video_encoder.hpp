// Live video of the sensor view: grey frames in, one encoded access unit out per
// frame, through libavcodec. The codec's types stay inside the .cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "image.hpp"

namespace camsim {

enum class VideoCodec : std::uint8_t { H264, H265 };

std::optional<VideoCodec> parse_video_codec(std::string_view name);
// The packet kind that carries this codec's access units (23 or 24).
std::uint8_t video_kind(VideoCodec codec);

struct VideoConfig {
  VideoCodec codec = VideoCodec::H264;
  std::uint32_t width = 640;
  std::uint32_t height = 512;
  std::uint32_t fps = 25;
  std::uint32_t bitrate_kbps = 1500;
  std::uint32_t keyframe_interval = 25;  // frames; a new viewer waits at most this long
};

struct AccessUnit {
  std::vector<std::uint8_t> data;  // Annex B byte stream of one frame, parameter sets included on key frames
  bool key = false;
  std::int64_t pts = 0;  // frame number
};

class VideoEncoder {
 public:
  // Opens the first encoder for the codec that works here: the software
  // encoders first (libx264 / libx265), then anything else libavcodec offers.
  static mok::Result<std::unique_ptr<VideoEncoder>, std::string> open(const VideoConfig& config);
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Name of the libavcodec encoder in use.
  const std::string& encoder_name() const;

  // Encodes one frame (scaled to the configured size); appends the access
  // units that became ready (none while the encoder still buffers).
  mok::Result<void, std::string> encode(const GrayImage& frame, std::vector<AccessUnit>& out);

 private:
  struct Impl;
  explicit VideoEncoder(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace camsim
