// The decoder's calls into the library and the ownership of what comes back.
#include "media/video_decoder.hpp"

#include <limits>
#include <string>

#include <fmt/format.h>

namespace mok::media {

Result<std::unique_ptr<VideoDecoder>, Error> VideoDecoder::create(std::shared_ptr<const MediaLibrary> library) {
  mok_vdec* handle = library->api().mok_vdec_new();
  if (handle == nullptr) return err(Error(ErrorCode::Error));
  return std::unique_ptr<VideoDecoder>(new VideoDecoder(std::move(library), handle));
}

VideoDecoder::~VideoDecoder() { api().mok_vdec_free(handle_); }

Result<SharedFrame, Error> VideoDecoder::decode_frame(std::span<const uint8_t> data) {
  if (data.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return err(Error(ErrorCode::Error));
  }
  mok_vdec_frame* slot = nullptr;
  const int32_t status =
      api().mok_vdec_decode_frame(handle_, 0, data.data(), static_cast<int32_t>(data.size()), &slot);
  if (status != 0) {
    // A library that hands out a frame and still reports failure would leak
    // it; the frame is ours either way.
    if (slot != nullptr) api().mok_vdec_frame_free(slot);
    return err(Error(error_code_from_status(status)));
  }
  if (slot == nullptr) return err(Error(ErrorCode::Error));
  return SharedFrame(std::make_shared<const VideoFrame>(library_, slot));
}

SharedFrame VideoDecoder::read_frame() {
  mok_vdec_frame* slot = nullptr;
  const int32_t status = api().mok_vdec_read_frame(handle_, &slot);
  if (status < 0 || slot == nullptr) {
    if (slot != nullptr) api().mok_vdec_frame_free(slot);
    return nullptr;
  }
  return std::make_shared<const VideoFrame>(library_, slot);
}

Result<void, Error> VideoDecoder::open_file(std::string_view path) {
  if (auto pos = path.find('\0'); pos != std::string_view::npos) {
    return err(Error(fmt::format("nul byte found in provided data at position: {}", pos)));
  }
  const std::string c_path(path);
  return check_status(api().mok_vdec_open_file(handle_, c_path.c_str()));
}

Result<void, Error> VideoDecoder::set_output_format(PixelFormat format) {
  return check_status(api().mok_vdec_set_oformat(handle_, code(format)));
}

Result<void, Error> VideoDecoder::set_output_scale(float scale) {
  return check_status(api().mok_vdec_set_oscale(handle_, scale));
}

Result<void, Error> VideoDecoder::set_input_codec(CodecID codec) {
  return check_status(api().mok_vdec_set_icodec(handle_, code(codec)));
}

Result<void, Error> VideoDecoder::flush() { return check_status(api().mok_vdec_flush(handle_)); }

Result<void, Error> VideoDecoder::seek_to_frame_index(uint64_t index) {
  if (index > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return err(Error(ErrorCode::Error));
  }
  return check_status(api().mok_vdec_seek_to_frame_index(handle_, static_cast<int64_t>(index)));
}

void VideoDecoder::close_file() { (void)api().mok_vdec_close_file(handle_); }

double VideoDecoder::file_frame_rate() { return api().mok_vdec_get_file_frame_rate(handle_); }

uint64_t VideoDecoder::file_frame_count() {
  const int64_t n = api().mok_vdec_get_file_frame_count(handle_);
  return n < 0 ? 0 : static_cast<uint64_t>(n);
}

uint64_t VideoDecoder::current_frame_index() {
  const int64_t n = api().mok_vdec_get_current_frame_index(handle_);
  return n < 0 ? 0 : static_cast<uint64_t>(n);
}

}  // namespace mok::media
