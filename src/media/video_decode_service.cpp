// The decoding thread: its loop over the command channel, the command table,
// stream decoding with the real-time rule, paced file decoding, and frame
// delivery with statistics. The thread owns the decoder and every piece of
// service state, so nothing here takes a lock.
#include "media/video_decode_service.hpp"

#include <deque>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>

#include <fmt/format.h>

#include "common/library_thread.hpp"
#include "common/log.hpp"
#include "media/video_decoder.hpp"

namespace mok::media {

namespace {

namespace ev = video_event;
using Clock = std::chrono::steady_clock;
using Kind = DecoderState::Kind;
constexpr const char* kTarget = kVideoDecodeServiceTarget;

double to_ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double to_seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

class DecodingThread {
 public:
  DecodingThread(std::shared_ptr<const MediaLibrary> library, Receiver<VideoEvent> commands,
                 Sender<VideoEvent> events, const VideoDecodeServiceConfig& config)
      : library_(std::move(library)),
        commands_(std::move(commands)),
        events_(std::move(events)),
        pixel_format_(config.pixel_format),
        output_scale_(config.output_scale),
        codec_(config.codec),
        config_(config) {
    reset_statistics();
  }

  void run();

 private:
  void handle(VideoEvent&& command);
  void on_start();
  void on_stop();
  void on_flush();
  void on_pause();
  void on_resume();
  void on_byte_stream(const SharedBuffer& buffer);
  void on_decode_file(const std::string& path);
  void on_seek(uint64_t index);
  void on_get_stats();
  void on_set_codec(CodecID codec);
  void on_set_pixel_format(PixelFormat format);
  void on_set_output_scale(float scale);
  void file_step();
  void deliver(SharedFrame frame, Clock::duration decode_time);
  void reset_statistics();
  void stop_file_decode();
  void fail(std::string message) { send_event(ev::Failure{std::move(message)}); }
  // Library failures are logged and reported with the same text.
  void report_failure(std::string text) {
    log::error(kTarget, "{}", text);
    fail(std::move(text));
  }
  bool send_event(VideoEvent event) { return events_.send(std::move(event)).ok(); }
  float avg_ms() const { return static_cast<float>(to_ms(avg_decode_time_)); }
  bool decoding_file() const { return state_.kind == Kind::DecodingFile; }

  std::shared_ptr<const MediaLibrary> library_;
  Receiver<VideoEvent> commands_;
  Sender<VideoEvent> events_;
  std::unique_ptr<VideoDecoder> decoder_;
  DecoderState state_;
  bool paused_ = false;
  PixelFormat pixel_format_;
  float output_scale_;
  CodecID codec_;
  VideoDecodeServiceConfig config_;

  std::deque<Clock::duration> decode_times_;
  Clock::duration decode_time_sum_{};
  Clock::duration avg_decode_time_{};
  uint64_t frames_decoded_ = 0;
  uint64_t frames_dropped_ = 0;
  Clock::time_point fps_timer_;
  uint64_t frames_at_fps_timer_ = 0;
};

void DecodingThread::run() {
  log::debug(kTarget, "Video decoding thread started (decoder not initialized)");
  for (;;) {
    std::optional<VideoEvent> command;
    if (decoding_file()) {
      command = commands_.try_recv();
    } else {
      command = commands_.recv();
      if (!command) break;
    }
    if (command) handle(std::move(*command));
    if (decoding_file()) file_step();
  }
  log::debug(kTarget, "Video decoding thread closed");
  // The decoder goes first (it needs the library), our library reference
  // next, and the event channel last: a receiver that sees the end knows the
  // decoder has been released.
  decoder_.reset();
  library_.reset();
  events_.reset();
}

void DecodingThread::handle(VideoEvent&& command) {
  if (command.index() >= kFirstOutputEvent) {
    log::debug(kTarget, "Ignoring output event on input channel");
    return;
  }
  std::visit(
      [this](auto&& c) {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, ev::Start>)
          on_start();
        else if constexpr (std::is_same_v<C, ev::Stop>)
          on_stop();
        else if constexpr (std::is_same_v<C, ev::Flush>)
          on_flush();
        else if constexpr (std::is_same_v<C, ev::Pause>)
          on_pause();
        else if constexpr (std::is_same_v<C, ev::Resume>)
          on_resume();
        else if constexpr (std::is_same_v<C, ev::ByteStream>)
          on_byte_stream(c.buffer);
        else if constexpr (std::is_same_v<C, ev::DecodeFile>)
          on_decode_file(c.path);
        else if constexpr (std::is_same_v<C, ev::Seek>)
          on_seek(c.frame_index);
        else if constexpr (std::is_same_v<C, ev::GetStats>)
          on_get_stats();
        else if constexpr (std::is_same_v<C, ev::SetCodec>)
          on_set_codec(c.codec);
        else if constexpr (std::is_same_v<C, ev::SetPixelFormat>)
          on_set_pixel_format(c.format);
        else if constexpr (std::is_same_v<C, ev::SetOutputScale>)
          on_set_output_scale(c.scale);
      },
      command);
}

void DecodingThread::on_start() {
  if (decoder_) {
    log::warn(kTarget, "Decoder already started, ignoring duplicate start request");
    return;
  }
  log::info(kTarget, "Starting video decoder");
  auto created = VideoDecoder::create(library_);
  if (!created) {
    report_failure(fmt::format("Failed to create decoder: {}", created.error().text()));
    return;
  }
  std::unique_ptr<VideoDecoder> decoder = std::move(created.value());
  if (auto r = decoder->set_output_format(pixel_format_); !r) {
    report_failure(fmt::format("Failed to set output format: {}", r.error().text()));
    return;
  }
  if (auto r = decoder->set_output_scale(output_scale_); !r) {
    report_failure(fmt::format("Failed to set output scale: {}", r.error().text()));
    return;
  }
  decoder_ = std::move(decoder);
  reset_statistics();
  paused_ = false;
  log::info(kTarget, "Video decoder started");
  send_event(ev::Started{});
}

void DecodingThread::on_stop() {
  if (!decoder_) {
    log::debug(kTarget, "Decoder not started, ignoring stop request");
    return;
  }
  log::info(kTarget, "Stopping video decoder (current state: {})", to_string(state_));
  if (state_.kind == Kind::DecodingStream) {
    log::debug(kTarget, "Stopping stream decoding");
  } else if (decoding_file()) {
    decoder_->close_file();
    log::debug(kTarget, "File decode stopped, returned to idle state");
  }
  // Closing again is harmless and covers a file opened by a DecodeFile that
  // failed half-way inside the library.
  decoder_->close_file();
  decoder_.reset();
  state_ = DecoderState{};
  paused_ = false;
  reset_statistics();
  log::info(kTarget, "Video decoder stopped");
  send_event(ev::Stopped{});
}

void DecodingThread::on_flush() {
  if (!decoder_) {
    log::debug(kTarget, "Decoder not started, ignoring flush request");
    return;
  }
  log::debug(kTarget, "Flushing decoder (current state: {})", to_string(state_));
  if (state_.kind == Kind::DecodingStream) {
    log::debug(kTarget, "Clearing stream decoding state");
  } else if (decoding_file()) {
    log::info(kTarget, "Stopping file decode due to flush");
    decoder_->close_file();
    log::debug(kTarget, "File decode stopped, returned to idle state");
  }
  state_ = DecoderState{};
  if (auto r = decoder_->flush(); !r) {
    report_failure(fmt::format("Failed to flush decoder: {}", r.error().text()));
  }
  reset_statistics();
  log::info(kTarget, "Decoder flushed and returned to idle state");
}

void DecodingThread::on_pause() {
  if (paused_) {
    log::debug(kTarget, "Decoder already paused, ignoring duplicate pause request");
    return;
  }
  log::info(kTarget, "Pausing decoder (current state: {})", to_string(state_));
  paused_ = true;
  send_event(ev::Paused{});
}

void DecodingThread::on_resume() {
  if (!paused_) {
    log::debug(kTarget, "Decoder not paused, ignoring resume request");
    return;
  }
  log::info(kTarget, "Resuming decoder (current state: {})", to_string(state_));
  paused_ = false;
  send_event(ev::Resumed{});
}

void DecodingThread::on_byte_stream(const SharedBuffer& buffer) {
  if (!decoder_) {
    log::debug(kTarget, "Decoder not started, dropping data");
    return;
  }
  if (paused_) {
    log::debug(kTarget, "Decoder paused, dropping byte stream data");
    return;
  }
  const auto limit = std::chrono::milliseconds(config_.max_decode_time_ms);
  if (frames_decoded_ > config_.realtime_min_frames && avg_decode_time_ > limit) {
    const double avg = to_ms(avg_decode_time_);
    log::warn(kTarget, "Decoding too slow ({:.2f} ms), dropping data to maintain real-time performance", avg);
    ++frames_dropped_;
    send_event(ev::TooSlow{avg});
    return;
  }
  if (decoding_file()) {
    log::warn(kTarget, "Cannot decode bytes while decoding file, dropping data");
    return;
  }
  state_.kind = Kind::DecodingStream;
  std::span<const uint8_t> bytes;
  if (buffer) bytes = std::span<const uint8_t>(buffer->data(), buffer->size());
  const Clock::time_point began = Clock::now();
  auto decoded = decoder_->decode_frame(bytes);
  const Clock::duration spent = Clock::now() - began;
  if (!decoded) {
    log::error(kTarget, "Failed to decode frame: {}", decoded.error().text());
    fail(fmt::format("Decoding failed: {}", decoded.error().text()));
    ++frames_dropped_;
    return;
  }
  ++frames_decoded_;
  deliver(std::move(decoded.value()), spent);
}

void DecodingThread::on_decode_file(const std::string& path) {
  log::info(kTarget, "Starting file decode: {}", path);
  if (!decoder_) {
    log::warn(kTarget, "Decoder not started, cannot decode file");
    return;
  }
  if (state_.kind == Kind::DecodingStream) {
    log::warn(kTarget, "Switching from stream decoding to file decoding");
  }
  if (auto r = decoder_->open_file(path); !r) {
    report_failure(fmt::format("Failed to open file {}: {}", path, r.error().text()));
    return;
  }
  const double rate = decoder_->file_frame_rate();
  const double fps = rate > 0 ? rate : config_.file_decode_max_fps;
  state_.kind = Kind::DecodingFile;
  state_.path = path;
  state_.frame_interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / std::max(fps, 1.0)));
  state_.last_frame_time = Clock::now();
  reset_statistics();
  log::info(kTarget, "File decode started with target fps: {:.2f}", fps);
}

void DecodingThread::on_seek(uint64_t index) {
  if (!decoding_file()) {
    log::warn(kTarget, "Not decoding file, cannot seek");
    fail("Cannot seek: not decoding a file");
    return;
  }
  if (!decoder_) {
    log::warn(kTarget, "Decoder not available for seeking");
    return;
  }
  log::info(kTarget, "Seeking to frame {}", index);
  if (auto r = decoder_->seek_to_frame_index(index); !r) {
    report_failure(fmt::format("Failed to seek to frame {}: {}", index, r.error().text()));
    return;
  }
  state_.last_frame_time = Clock::now();
  log::debug(kTarget, "Successfully seeked to frame {}", index);
}

void DecodingThread::on_get_stats() { send_event(ev::StatsReply{frames_decoded_, frames_dropped_, avg_ms()}); }

void DecodingThread::on_set_codec(CodecID codec) {
  if (decoding_file()) {
    log::warn(kTarget, "Cannot set codec while decoding file, ignoring request");
    fail("Cannot change codec during file decoding");
    return;
  }
  if (!decoder_) {
    log::warn(kTarget, "Decoder not started, cannot set codec");
    return;
  }
  if (auto r = decoder_->set_input_codec(codec); !r) {
    report_failure(fmt::format("Failed to set codec: {}", r.error().text()));
    return;
  }
  codec_ = codec;
  reset_statistics();
  log::info(kTarget, "Codec switched to {}", to_string(codec));
}

void DecodingThread::on_set_pixel_format(PixelFormat format) {
  if (!decoder_) {
    log::warn(kTarget, "Decoder not started, cannot set pixel format");
    return;
  }
  if (auto r = decoder_->set_output_format(format); !r) {
    report_failure(fmt::format("Failed to set pixel format: {}", r.error().text()));
    return;
  }
  pixel_format_ = format;
  reset_statistics();
  log::info(kTarget, "Pixel format switched to {}", to_string(format));
}

void DecodingThread::on_set_output_scale(float scale) {
  if (!decoder_) {
    log::warn(kTarget, "Decoder not started, cannot set output scale");
    return;
  }
  if (auto r = decoder_->set_output_scale(scale); !r) {
    report_failure(fmt::format("Failed to set output scale: {}", r.error().text()));
    return;
  }
  output_scale_ = scale;
  log::info(kTarget, "Output scale changed to {}", scale);
}

void DecodingThread::stop_file_decode() {
  state_ = DecoderState{};
  log::debug(kTarget, "File decode stopped, returned to idle state");
}

void DecodingThread::file_step() {
  if (paused_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return;
  }
  if (Clock::now() - state_.last_frame_time < state_.frame_interval) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  if (!decoder_) {
    log::warn(kTarget, "Decoder not available during file decode");
    stop_file_decode();
    return;
  }
  const Clock::time_point began = Clock::now();
  SharedFrame frame = decoder_->read_frame();
  const Clock::duration spent = Clock::now() - began;
  if (!frame) {
    log::info(kTarget, "File decode finished: {}", state_.path);
    decoder_->close_file();
    stop_file_decode();
    return;
  }
  ++frames_decoded_;
  const bool report_progress = frames_decoded_ % 30 == 0;
  uint64_t current = 0;
  uint64_t total = 0;
  if (report_progress) {
    current = decoder_->current_frame_index();
    total = decoder_->file_frame_count();
  }
  deliver(std::move(frame), spent);
  if (report_progress && total > 0) {
    send_event(ev::Progress{current, total,
                            static_cast<float>(static_cast<double>(current) / static_cast<double>(total))});
  }
  state_.last_frame_time = Clock::now();
}

void DecodingThread::deliver(SharedFrame frame, Clock::duration decode_time) {
  if (auto r = events_.send(ev::Frame{std::move(frame)}); !r) {
    log::warn(kTarget, "Failed to send decoded frame, receiver may be slow or disconnected: {}", r.error().text());
  }
  decode_times_.push_back(decode_time);
  decode_time_sum_ += decode_time;
  while (decode_times_.size() > config_.decode_time_samples) {
    decode_time_sum_ -= decode_times_.front();
    decode_times_.pop_front();
  }
  avg_decode_time_ = decode_time_sum_ / static_cast<Clock::rep>(decode_times_.size());
  if (frames_decoded_ % 60 == 0) {
    if (auto r = events_.send(ev::Stats{frames_decoded_, frames_dropped_, avg_ms()}); !r) {
      log::warn(kTarget, "Failed to send decoding stats: {}", r.error().text());
    }
  }
  const Clock::time_point now = Clock::now();
  const Clock::duration elapsed = now - fps_timer_;
  if (elapsed >= std::chrono::seconds(1)) {
    const uint64_t frames = frames_decoded_ >= frames_at_fps_timer_ ? frames_decoded_ - frames_at_fps_timer_ : 0;
    const double fps = static_cast<double>(frames) / to_seconds(elapsed);
    fps_timer_ = now;
    frames_at_fps_timer_ = frames_decoded_;
    send_event(ev::Fps{fps});
  }
}

void DecodingThread::reset_statistics() {
  decode_times_.clear();
  decode_time_sum_ = {};
  avg_decode_time_ = {};
  frames_decoded_ = 0;
  frames_dropped_ = 0;
  fps_timer_ = Clock::now();
  frames_at_fps_timer_ = 0;
}

}  // namespace

std::string to_string(const DecoderState& state) {
  switch (state.kind) {
    case Kind::Idle:
      return "Idle";
    case Kind::DecodingStream:
      return "DecodingStream";
    case Kind::DecodingFile:
      break;
  }
  return fmt::format("DecodingFile {{ path: \"{}\", frame_interval: {:.6}s, last_frame_time: {:.6}s }}",
                     state.path, to_seconds(state.frame_interval),
                     to_seconds(state.last_frame_time.time_since_epoch()));
}

Result<void, Error> validate(const VideoDecodeServiceConfig& config) {
  if (!(config.output_scale > 0)) {
    return err(Error(fmt::format("output_scale must be positive, got {}", config.output_scale)));
  }
  if (config.decode_time_samples == 0) {
    return err(Error("decode_time_samples must be at least 1"));
  }
  if (!(config.file_decode_max_fps > 0)) {
    return err(Error(fmt::format("file_decode_max_fps must be positive, got {}", config.file_decode_max_fps)));
  }
  return {};
}

Result<VideoDecodeService, Error> VideoDecodeService::create(std::shared_ptr<const MediaLibrary> library) {
  return with_config(std::move(library), VideoDecodeServiceConfig{});
}

Result<VideoDecodeService, Error> VideoDecodeService::with_config(std::shared_ptr<const MediaLibrary> library,
                                                                  const VideoDecodeServiceConfig& config) {
  if (auto r = validate(config); !r) return err(r.error());
  auto [command_tx, command_rx] = make_channel<VideoEvent>();
  auto [event_tx, event_rx] = make_channel<VideoEvent>();
  try {
    auto inner =
        std::make_unique<DecodingThread>(std::move(library), std::move(command_rx), std::move(event_tx), config);
    std::thread([inner = std::move(inner)]() mutable {
      mark_library_thread();
      try {
        inner->run();
      } catch (...) {
        log::error(kTarget, "Video decoding thread failed");
      }
      inner.reset();
    }).detach();
  } catch (const std::system_error&) {
    return err(Error("failed to spawn thread"));
  }
  return VideoDecodeService(std::move(command_tx), std::move(event_rx));
}

void VideoDecodeService::post(VideoEvent command) {
  const char* name = event_name(command);
  if (auto r = commands_.send(std::move(command)); !r) {
    log::error(kTarget, "Failed to send {} event: {}", name, r.error().text());
  }
}

}  // namespace mok::media
