// Text forms of the pixel formats, as log lines and error texts show them.
#include "media/pixel_format.hpp"

namespace mok::media {

std::string to_string(PixelFormat format) {
  switch (format) {
    case PixelFormat::None:
      return "None";
    case PixelFormat::Yuv420p:
      return "Yuv420p";
    case PixelFormat::Yuyv422:
      return "Yuyv422";
    case PixelFormat::Rgb24:
      return "Rgb24";
    case PixelFormat::Bgr24:
      return "Bgr24";
    case PixelFormat::Gray8:
      return "Gray8";
    case PixelFormat::Nv12:
      return "Nv12";
    case PixelFormat::Nv21:
      return "Nv21";
    case PixelFormat::Argb:
      return "Argb";
    case PixelFormat::Rgba:
      return "Rgba";
    case PixelFormat::Abgr:
      return "Abgr";
    case PixelFormat::Bgra:
      return "Bgra";
    case PixelFormat::Gray16be:
      return "Gray16be";
    case PixelFormat::Gray16le:
      return "Gray16le";
  }
  return std::to_string(code(format));
}

}  // namespace mok::media
