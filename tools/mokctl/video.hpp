// Live video for mokctl: switch decoding on, keep the first frames and save
// them as PNG files. Builds without the video functions too, and then says so.
#pragma once

#include <string>
#include <vector>

#include "output_files.hpp"
#include "session.hpp"

namespace mokctl {

// Whether this build has the video functions.
bool video_built_in();

// Enables video on the session's client, waits for `frames` frames (failing
// when none arrives within the timeout), saves the last `keep` of them (all
// when 0) as DIR/PREFIX0000.png ... and returns the paths written. Throws Failure
// (kNoDecoder) when the decoder library cannot be loaded.
std::vector<std::string> capture_video(Session& session, int frames, const std::string& dir,
                                       const std::string& prefix, int keep = 0);

#ifdef MOK_HPP_HAVE_VIDEO
// The frame as rows of RGBA or grey pixels (planar YUV keeps only its luma
// plane: a grey picture is enough to see what the camera sees). The view points
// into the frame or into `buf`; false for pixel formats it cannot convert.
bool frame_pixels(const mok::VideoFrame& f, std::vector<std::uint8_t>& buf, PixelView& view);
#endif

}  // namespace mokctl
