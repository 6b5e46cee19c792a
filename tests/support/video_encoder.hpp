// A real H.264/H.265 encoder for tests (FFmpeg's libx264/libx265): turns
// synthetic pictures into the access units a camera would stream, one byte
// vector per picture, Annex B with parameter sets on every key frame.
// Not the simulator's camsim::VideoEncoder: that one streams grey views at a
// set bit rate over whatever encoder works; this one keeps colour at a fixed
// high quality, so a test can compare decoded pictures with their source.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mok::test {

// A tightly packed RGB24 picture.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;

  uint8_t at(int x, int y, int channel) const {
    return rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3 +
               static_cast<size_t>(channel)];
  }
};

// Smooth colour ramps that drift with `frame`: every picture differs, and
// scaling it down keeps its values predictable (a box average of the source).
RgbImage moving_pattern(int width, int height, int frame);

enum class VideoCodec { H264, H265 };

using AccessUnit = std::vector<uint8_t>;

class VideoEncoder {
 public:
  // Null with a reason in `error` when the encoder is missing or refuses the
  // settings. Low latency: no B-frames, one access unit per picture.
  static std::unique_ptr<VideoEncoder> create(VideoCodec codec, int width, int height, int fps, int gop,
                                              std::string* error);
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // The access units completed by this picture (normally exactly one).
  std::vector<AccessUnit> encode(const RgbImage& image);
  // What the encoder still holds.
  std::vector<AccessUnit> finish();

  // The FFmpeg encoder in use ("libx264", "libx265").
  std::string name() const;

 private:
  struct State;
  explicit VideoEncoder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Encodes `frames` pictures of moving_pattern; empty when the encoder is
// missing (the reason goes to `error`).
std::vector<AccessUnit> encode_pattern(VideoCodec codec, int width, int height, int frames, std::string* error);

}  // namespace mok::test
