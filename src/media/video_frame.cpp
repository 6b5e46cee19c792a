// Frame release and the frame-info query.
#include "media/video_frame.hpp"

namespace mok::media {

FrameInfo empty_frame_info() noexcept {
  FrameInfo info{};
  info.format = code(PixelFormat::None);
  return info;
}

VideoFrame::~VideoFrame() {
  // The frame goes back before our library reference: the call needs the
  // library loaded.
  if (frame_ != nullptr) library_->api().mok_vdec_frame_free(frame_);
}

Result<FrameInfo, Error> VideoFrame::get_info() const {
  FrameInfo info = empty_frame_info();
  const int32_t status = library_->api().mok_vdec_frame_info(frame_, &info);
  if (auto r = check_status(status); !r) return err(r.error());
  return info;
}

}  // namespace mok::media
