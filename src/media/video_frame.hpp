// One decoded frame owned on behalf of the decoder library, and the 128-byte
// record through which the library describes it. Frames are shared by
// reference count across threads (decoding thread, delivery thread, hosts);
// each keeps the library loaded, so a frame may outlive its decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/result.hpp"
#include "media/error.hpp"
#include "media/media_library.hpp"
#include "media/pixel_format.hpp"

namespace mok::media {

// Filled by the library; hosts receive the same bytes, so the layout is fixed.
struct FrameInfo {
  uint8_t* data[8];     // plane starts; null for planes the format lacks
  int32_t linesize[8];  // bytes per row of each plane
  int32_t format;       // PixelFormat code
  int32_t padding;
  int64_t pts;
  void* opaque;  // the library's own, passed through unread
  int32_t width;
  int32_t height;
};

static_assert(sizeof(FrameInfo) == 128);
static_assert(offsetof(FrameInfo, data) == 0);
static_assert(offsetof(FrameInfo, linesize) == 64);
static_assert(offsetof(FrameInfo, format) == 96);
static_assert(offsetof(FrameInfo, pts) == 104);
static_assert(offsetof(FrameInfo, opaque) == 112);
static_assert(offsetof(FrameInfo, width) == 120);
static_assert(offsetof(FrameInfo, height) == 124);

// Every field zero except format, which reads None: planes the library leaves
// untouched then show as null with a row size of 0.
FrameInfo empty_frame_info() noexcept;

class VideoFrame {
 public:
  // Takes ownership of `frame`, which the library made.
  VideoFrame(std::shared_ptr<const MediaLibrary> library, mok_vdec_frame* frame) noexcept
      : library_(std::move(library)), frame_(frame) {}
  ~VideoFrame();
  VideoFrame(const VideoFrame&) = delete;
  VideoFrame& operator=(const VideoFrame&) = delete;

  // Asks the library anew each time; nothing is cached. Safe on any thread.
  Result<FrameInfo, Error> get_info() const;

  const mok_vdec_frame* raw() const noexcept { return frame_; }
  const std::shared_ptr<const MediaLibrary>& library() const noexcept { return library_; }

 private:
  std::shared_ptr<const MediaLibrary> library_;
  mok_vdec_frame* frame_;
};

using SharedFrame = std::shared_ptr<const VideoFrame>;

}  // namespace mok::media
