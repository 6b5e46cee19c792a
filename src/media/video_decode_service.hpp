// The video decoding service: one decoder driven by a thread of its own,
// talking to its owner only through two unbounded channels of VideoEvent.
// Commands (start, stop, compressed data, codec changes, file playback) go
// in; frames, statistics, state notices and failure texts come out. Under
// load it keeps up with real time by dropping stream data once the average
// decode time exceeds a limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/result.hpp"
#include "media/channel.hpp"
#include "media/codec_id.hpp"
#include "media/error.hpp"
#include "media/media_library.hpp"
#include "media/pixel_format.hpp"
#include "media/video_event.hpp"

namespace mok::media {

inline constexpr const char* kVideoDecodeServiceTarget = "mok_media::video_decode_service";

struct VideoDecodeServiceConfig {
  // The real-time rule applies only after more than this many frames.
  uint64_t realtime_min_frames = 150;
  // It drops stream data while the average decode time exceeds this.
  uint64_t max_decode_time_ms = 33;
  // How many recent decode times are averaged; at least 1.
  size_t decode_time_samples = 100;
  // File pacing when the file gives no frame rate; positive.
  double file_decode_max_fps = 60.0;
  // Given to the decoder at start; positive.
  float output_scale = 0.25f;
  // Recorded input codec; the library's own default applies until SetCodec.
  CodecID codec = CodecID::H265;
  // Given to the decoder at start.
  PixelFormat pixel_format = PixelFormat::Rgba;
};

// What the decoding thread is doing.
struct DecoderState {
  enum class Kind { Idle, DecodingStream, DecodingFile };
  using Clock = std::chrono::steady_clock;

  Kind kind = Kind::Idle;
  // Only meaningful while decoding a file.
  std::string path;
  Clock::duration frame_interval{};
  Clock::time_point last_frame_time{};
};

// "Idle", "DecodingStream", or "DecodingFile { path: ..., frame_interval: ...,
// last_frame_time: ... }".
std::string to_string(const DecoderState& state);

// The configuration's first fault, in the order the checks are made.
Result<void, Error> validate(const VideoDecodeServiceConfig& config);

class VideoDecodeService {
 public:
  // The default configuration: Rgba at 0.25, real-time rule after 150 frames
  // at 33 ms.
  static Result<VideoDecodeService, Error> create(std::shared_ptr<const MediaLibrary> library);
  // Validates the configuration, then starts the decoding thread. The thread
  // is detached: it owns the decoder and ends by itself once this object is
  // gone and every command posted before was handled (so data posted before
  // release is still decoded and delivered), then closes the event channel.
  static Result<VideoDecodeService, Error> with_config(std::shared_ptr<const MediaLibrary> library,
                                                       const VideoDecodeServiceConfig& config);

  VideoDecodeService(VideoDecodeService&&) noexcept = default;
  VideoDecodeService& operator=(VideoDecodeService&&) noexcept = default;
  // Closes the command channel; waits for nothing.
  ~VideoDecodeService() = default;

  // Posting never blocks; a refused command is logged and dropped. The
  // commands without a shorthand here are posted as video_event values.
  void start() { post(video_event::Start{}); }
  void decode_bytes_arced(SharedBuffer buffer) { post(video_event::ByteStream{std::move(buffer)}); }
  void set_codec(CodecID codec) { post(video_event::SetCodec{codec}); }
  void set_output_scale(float scale) { post(video_event::SetOutputScale{scale}); }
  void post(VideoEvent command);
  // Takes the compressed data not yet handled out of the command queue, so a
  // release that follows ends the thread after at most the decode under
  // way. The number of data commands dropped.
  std::size_t discard_queued_data() {
    return commands_.discard_if(
        [](const VideoEvent& e) { return std::holds_alternative<video_event::ByteStream>(e); });
  }

  // A new receiver of the event channel. All receivers share one queue: each
  // event is taken by exactly one of them. The channel ends after the
  // decoding thread has ended and the queue is drained.
  Receiver<VideoEvent> events() const { return events_; }

 private:
  VideoDecodeService(Sender<VideoEvent> commands, Receiver<VideoEvent> events)
      : commands_(std::move(commands)), events_(std::move(events)) {}

  Sender<VideoEvent> commands_;
  Receiver<VideoEvent> events_;
};

}  // namespace mok::media
