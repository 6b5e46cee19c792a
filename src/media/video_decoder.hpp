// One decoder instance of the library. Only the decoding thread makes and
// uses one; it turns compressed packets (stream decoding) or a file the
// library reads itself (file decoding) into shared frames.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "common/result.hpp"
#include "media/codec_id.hpp"
#include "media/error.hpp"
#include "media/media_library.hpp"
#include "media/pixel_format.hpp"
#include "media/video_frame.hpp"

namespace mok::media {

class VideoDecoder {
 public:
  // A new decoder instance; fails when the library gives none.
  static Result<std::unique_ptr<VideoDecoder>, Error> create(std::shared_ptr<const MediaLibrary> library);

  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // One compressed packet in, one frame out. NeedMore while the library waits
  // for more input; Error for anything it cannot decode (also a packet too
  // long for the library's 32-bit length).
  Result<SharedFrame, Error> decode_frame(std::span<const uint8_t> data);
  // The next frame of the open file; null at the end of the file (or when the
  // library reports a failure, which file playback treats the same).
  SharedFrame read_frame();
  // Fails without asking the library when the path holds a NUL byte.
  Result<void, Error> open_file(std::string_view path);

  Result<void, Error> set_output_format(PixelFormat format);
  Result<void, Error> set_output_scale(float scale);
  Result<void, Error> set_input_codec(CodecID codec);
  Result<void, Error> flush();
  Result<void, Error> seek_to_frame_index(uint64_t index);
  // Harmless when no file is open.
  void close_file();
  // Not positive when the file gives no rate.
  double file_frame_rate();
  // Negative answers read as 0.
  uint64_t file_frame_count();
  uint64_t current_frame_index();

  mok_vdec* handle() const noexcept { return handle_; }
  const std::shared_ptr<const MediaLibrary>& library() const noexcept { return library_; }

 private:
  VideoDecoder(std::shared_ptr<const MediaLibrary> library, mok_vdec* handle) noexcept
      : library_(std::move(library)), handle_(handle) {}

  const MediaApi& api() const noexcept { return library_->api(); }

  std::shared_ptr<const MediaLibrary> library_;
  mok_vdec* handle_;
};

}  // namespace mok::media
