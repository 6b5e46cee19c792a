// What the viewer hands to the browser as files: the profile history as CSV
// or PLY text, and pictures (video frames, raw snapshots) as JPEG bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../output_files.hpp"
#include "live_state.hpp"

namespace mokctl::view {

// One line per point: time (s), device time stamp, profile number, y, z (mm).
std::string history_csv(const std::vector<Profile>& profiles);

// An ASCII point cloud: x = y (mm), y = receive time (s since the first
// profile), z = z (mm), so successive profiles lie side by side.
std::string history_ply(const std::vector<Profile>& profiles);

// JPEG bytes of 1 (grey), 3 (RGB) or 4 (RGBA) channel pixels; empty on failure.
std::vector<std::uint8_t> encode_jpeg(const PixelView& view, int quality = 85);

}  // namespace mokctl::view
