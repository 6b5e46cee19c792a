// What the camera's sensor sees: the laser line drawn across a dark scene as an
// 8-bit grey image, and its JPEG and PNG encodings for snapshot replies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "scene.hpp"

namespace camsim {

struct GrayImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;  // row-major, width * height bytes
};

struct RenderOptions {
  std::uint32_t width = 1280;
  std::uint32_t height = 1024;
  double fov_mm = 80.0;    // columns span y from -fov/2 to +fov/2
  double z_top_mm = 30.0;  // the top row looks at this height
  double z_bottom_mm = -20.0;
  double brightness = 1.0;  // 0 = laser off; 1 = nominal exposure and strength
  bool mark_seam = false;   // draw a cross on the root point when the seam is found
};

// Renders the profile: the line's brightness falls off across about two rows,
// with sensor noise on a dark background. Deterministic for a given frame.
GrayImage render_view(const Profile& profile, const RenderOptions& options);

// Brightness from the laser registers: strength in percent times exposure
// relative to 1000 us, clamped; 0 when the laser is off.
double laser_brightness(bool laser_on, std::uint32_t strength, std::uint32_t exposure_us);

using Encoded = mok::Result<std::vector<std::uint8_t>, std::string>;

// Baseline greyscale JPEG; quality 1 to 100 (0 means 85). Errors carry the codec's message.
Encoded encode_jpeg(const GrayImage& image, int quality);
// 8-bit greyscale PNG.
Encoded encode_png(const GrayImage& image);

}  // namespace camsim
