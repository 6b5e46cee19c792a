// The device C interface's video exports: switching a client's live video on
// and off, the video callback, and the frame accessors. Every accessor asks
// the decoder library anew; nothing about a frame is cached here.
#include <cstddef>
#include <cstring>
#include <optional>

#include "ffi/handles.hpp"
#include "media/pixel_format.hpp"
#include "media/video_frame.hpp"

namespace {

using mok::brelo::Client;
using mok::media::FrameInfo;
using mok::media::PixelFormat;

// The host reads the library's own record.
static_assert(sizeof(mok_video_frame_info_t) == sizeof(FrameInfo));
static_assert(offsetof(mok_video_frame_info_t, linesize) == offsetof(FrameInfo, linesize));
static_assert(offsetof(mok_video_frame_info_t, format) == offsetof(FrameInfo, format));
static_assert(offsetof(mok_video_frame_info_t, pts) == offsetof(FrameInfo, pts));
static_assert(offsetof(mok_video_frame_info_t, opaque) == offsetof(FrameInfo, opaque));
static_assert(offsetof(mok_video_frame_info_t, width) == offsetof(FrameInfo, width));
static_assert(offsetof(mok_video_frame_info_t, height) == offsetof(FrameInfo, height));
static_assert(MOK_PIXEL_FORMAT_NONE == mok::media::code(PixelFormat::None));
static_assert(MOK_PIXEL_FORMAT_YUV420P == mok::media::code(PixelFormat::Yuv420p));
static_assert(MOK_PIXEL_FORMAT_YUYV422 == mok::media::code(PixelFormat::Yuyv422));
static_assert(MOK_PIXEL_FORMAT_RGB24 == mok::media::code(PixelFormat::Rgb24));
static_assert(MOK_PIXEL_FORMAT_BGR24 == mok::media::code(PixelFormat::Bgr24));
static_assert(MOK_PIXEL_FORMAT_GRAY8 == mok::media::code(PixelFormat::Gray8));
static_assert(MOK_PIXEL_FORMAT_NV12 == mok::media::code(PixelFormat::Nv12));
static_assert(MOK_PIXEL_FORMAT_NV21 == mok::media::code(PixelFormat::Nv21));
static_assert(MOK_PIXEL_FORMAT_ARGB == mok::media::code(PixelFormat::Argb));
static_assert(MOK_PIXEL_FORMAT_RGBA == mok::media::code(PixelFormat::Rgba));
static_assert(MOK_PIXEL_FORMAT_ABGR == mok::media::code(PixelFormat::Abgr));
static_assert(MOK_PIXEL_FORMAT_BGRA == mok::media::code(PixelFormat::Bgra));
static_assert(MOK_PIXEL_FORMAT_GRAY16BE == mok::media::code(PixelFormat::Gray16be));
static_assert(MOK_PIXEL_FORMAT_GRAY16LE == mok::media::code(PixelFormat::Gray16le));

constexpr uint32_t kPlanes = 8;

// Empty for a null frame or when the library cannot describe it.
std::optional<FrameInfo> info_of(const mok_video_frame_t* frame) noexcept {
  if (frame == nullptr || !frame->frame) {
    return std::nullopt;
  }
  try {
    auto info = frame->frame->get_info();
    if (!info) {
      return std::nullopt;
    }
    return *info;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" MOK_API int32_t mok_enable_video(mok_client_t* client) {
  return mok::ffi::status_call(client, [](Client& c) { return mok::ffi::status_of(c, c.enable_video()); });
}

extern "C" MOK_API int32_t mok_disable_video(mok_client_t* client) {
  return mok::ffi::status_call(client, [](Client& c) {
    c.disable_video();
    return MOK_OK;
  });
}

extern "C" MOK_API void mok_set_video_cb(mok_client_t* client, mok_video_cb_t cb, void* user_data) {
  mok::ffi::void_call(client, [&](Client& c) {
    if (cb == nullptr) {
      c.clear_video_cb();
      return;
    }
    // Each call hands the host a new handle of its own.
    c.set_video_cb(
        [cb, user_data](mok::media::SharedFrame f) { cb(new mok_video_frame{std::move(f)}, user_data); });
  });
}

extern "C" MOK_API void mok_clear_video_cb(mok_client_t* client) {
  mok::ffi::void_call(client, [](Client& c) { c.clear_video_cb(); });
}

extern "C" MOK_API const uint8_t* mok_video_frame_data(const mok_video_frame_t* frame, uint32_t plane) {
  if (plane >= kPlanes) {
    return nullptr;
  }
  const auto info = info_of(frame);
  return info ? info->data[plane] : nullptr;
}

extern "C" MOK_API int32_t mok_video_frame_linesize(const mok_video_frame_t* frame, uint32_t plane) {
  if (plane >= kPlanes) {
    return 0;
  }
  const auto info = info_of(frame);
  return info ? info->linesize[plane] : 0;
}

extern "C" MOK_API int32_t mok_video_frame_format(const mok_video_frame_t* frame) {
  const auto info = info_of(frame);
  return info ? info->format : MOK_PIXEL_FORMAT_NONE;
}

extern "C" MOK_API int32_t mok_video_frame_width(const mok_video_frame_t* frame) {
  const auto info = info_of(frame);
  return info ? info->width : 0;
}

extern "C" MOK_API int32_t mok_video_frame_height(const mok_video_frame_t* frame) {
  const auto info = info_of(frame);
  return info ? info->height : 0;
}

extern "C" MOK_API int64_t mok_video_frame_pts(const mok_video_frame_t* frame) {
  const auto info = info_of(frame);
  return info ? info->pts : 0;
}

extern "C" MOK_API int32_t mok_video_frame_get_info(const mok_video_frame_t* frame, mok_video_frame_info_t* out) {
  if (out == nullptr) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  const auto info = info_of(frame);
  if (!info) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  std::memcpy(out, &*info, sizeof *out);
  return MOK_OK;
}

extern "C" MOK_API void mok_video_frame_free(mok_video_frame_t* frame) {
  try {
    delete frame;
  } catch (...) {
  }
}
