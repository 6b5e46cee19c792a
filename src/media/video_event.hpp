// The messages of the decoding service: one tagged union for both directions.
// Commands 0-11 go in, events 12-22 come out; the variant index is the
// message's number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "media/codec_id.hpp"
#include "media/pixel_format.hpp"
#include "media/video_frame.hpp"

namespace mok::media {

// One compressed packet, shared rather than copied on its way to the decoder.
using SharedBuffer = std::shared_ptr<const std::vector<uint8_t>>;

namespace video_event {
struct Start {};
struct Stop {};
struct Flush {};
struct Pause {};
struct Resume {};
struct ByteStream {
  SharedBuffer buffer;
};
struct DecodeFile {
  std::string path;
};
struct Seek {
  uint64_t frame_index;
};
struct GetStats {};
struct SetCodec {
  CodecID codec;
};
struct SetPixelFormat {
  PixelFormat format;
};
struct SetOutputScale {
  float scale;
};

struct Frame {
  SharedFrame frame;
};
struct Fps {
  double fps;
};
struct Stats {
  uint64_t frames_decoded;
  uint64_t frames_dropped;
  float avg_decode_ms;
};
struct TooSlow {
  double avg_decode_ms;
};
struct Started {};
struct Stopped {};
struct Paused {};
struct Resumed {};
struct Progress {
  uint64_t current_frame;
  uint64_t total_frames;
  float progress;
};
struct StatsReply {
  uint64_t frames_decoded;
  uint64_t frames_dropped;
  float avg_decode_ms;
};
struct Failure {
  std::string message;
};
}  // namespace video_event

using VideoEvent =
    std::variant<video_event::Start, video_event::Stop, video_event::Flush, video_event::Pause,
                 video_event::Resume, video_event::ByteStream, video_event::DecodeFile, video_event::Seek,
                 video_event::GetStats, video_event::SetCodec, video_event::SetPixelFormat,
                 video_event::SetOutputScale, video_event::Frame, video_event::Fps, video_event::Stats,
                 video_event::TooSlow, video_event::Started, video_event::Stopped, video_event::Paused,
                 video_event::Resumed, video_event::Progress, video_event::StatsReply, video_event::Failure>;

// The first output event's number: anything from here on is not a command.
inline constexpr size_t kFirstOutputEvent = 12;

// The variant's name ("Start", "Frame", ...), for log lines.
const char* event_name(const VideoEvent& event) noexcept;

}  // namespace mok::media
