// Names of the service's messages, for log lines.
#include "media/video_event.hpp"

namespace mok::media {

const char* event_name(const VideoEvent& event) noexcept {
  static constexpr const char* kNames[] = {"Start",          "Stop",           "Flush",   "Pause",    "Resume",
                                           "ByteStream",     "DecodeFile",     "Seek",    "GetStats", "SetCodec",
                                           "SetPixelFormat", "SetOutputScale", "Frame",   "Fps",      "Stats",
                                           "TooSlow",        "Started",        "Stopped", "Paused",   "Resumed",
                                           "Progress",       "StatsReply",     "Failure"};
  static_assert(std::size(kNames) == std::variant_size_v<VideoEvent>);
  return kNames[event.index()];
}

}  // namespace mok::media
