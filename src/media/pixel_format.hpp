// Output pixel formats exchanged with the decoder library. The numbers are
// FFmpeg's pixel-format numbers and cross the library boundary and the C
// interface unchanged, so they never move.
#pragma once

#include <cstdint>
#include <string>

namespace mok::media {

enum class PixelFormat : int32_t {
  None = -1,
  Yuv420p = 0,
  Yuyv422 = 1,
  Rgb24 = 2,
  Bgr24 = 3,
  Gray8 = 8,
  Nv12 = 23,
  Nv21 = 24,
  Argb = 25,
  Rgba = 26,
  Abgr = 27,
  Bgra = 28,
  Gray16be = 29,
  Gray16le = 30,
};

// "Rgba", "Nv12", ...; an unnamed code shows as its number.
std::string to_string(PixelFormat format);

constexpr int32_t code(PixelFormat format) noexcept { return static_cast<int32_t>(format); }

}  // namespace mok::media
