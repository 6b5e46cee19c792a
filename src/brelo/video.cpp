// The live video path: switching decoding on and off for one client, routing
// the camera's H.264/H.265 packets into the decoding service, and the client
// video thread that calls the host's video callback. The video slot's lock
// and the video callback slot's lock are never held together.
#include "brelo/video.hpp"

#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "brelo/client.hpp"
#include "common/library_thread.hpp"
#include "media/key_frame.hpp"
#include "media/media_library.hpp"

namespace mok::brelo {
namespace {

// A frame nobody is listening for is released at once, after the lock.
void deliver_frame(ClientInner& inner, media::SharedFrame frame) {
  std::lock_guard lock(inner.video_cb.mutex);
  if (!inner.video_cb.value) {
    return;
  }
  ClientStats::bump(inner.stats.frames_delivered);
  // A throwing C++ callable loses this frame only; the next ones still come.
  try {
    (*inner.video_cb.value)(std::move(frame));
  } catch (...) {
  }
}

media::CodecID codec_for(fxt::Kind kind) noexcept {
  return kind == fxt::Kind::VideoH264 ? media::CodecID::H264 : media::CodecID::H265;
}

}  // namespace

VideoServiceState::~VideoServiceState() {
  service.reset();
  if (!thread.joinable()) {
    return;
  }
  try {
    if (thread.get_id() == std::this_thread::get_id()) {
      abandoned->store(true);
      thread.detach();
    } else {
      thread.join();
    }
  } catch (...) {
    // A thread that cannot be joined must still not end the process.
    if (thread.joinable()) {
      try {
        thread.detach();
      } catch (...) {
      }
    }
  }
}

void run_video_thread(media::Receiver<media::VideoEvent> events, std::shared_ptr<ClientInner> inner,
                      std::shared_ptr<const std::atomic<bool>> abandoned) noexcept {
  mark_library_thread();
  try {
    while (std::optional<media::VideoEvent> event = events.recv()) {
      if (abandoned->load()) {
        continue;
      }
      if (auto* frame = std::get_if<media::video_event::Frame>(&*event)) {
        ClientStats::bump(inner->stats.frames_decoded);
        deliver_frame(*inner, std::move(frame->frame));
      } else if (std::holds_alternative<media::video_event::TooSlow>(*event)) {
        ClientStats::bump(inner->stats.frames_dropped);
      } else if (auto* failure = std::get_if<media::video_event::Failure>(&*event)) {
        inner->record_failure(failure->message);
      }
    }
  } catch (...) {
    // Only memory exhaustion gets here; the channel's frames are released
    // with the receiver.
  }
}

bool VideoServiceState::admit(std::span<const std::uint8_t> unit, const VideoBacklogLimit& limit) noexcept {
  if (backlog->packets.load() >= limit.packets || backlog->bytes.load() + unit.size() > limit.bytes) {
    skipping = true;
    return false;
  }
  if (skipping && !media::is_key_frame(codec, unit)) {
    return false;
  }
  skipping = false;
  return true;
}

void VideoServiceState::post(std::span<const std::uint8_t> unit) {
  const std::size_t n = unit.size();
  backlog->packets.fetch_add(1);
  backlog->bytes.fetch_add(n);
  // Should the shared pointer fail to allocate, it calls the deleter, which
  // takes the packet off again.
  media::SharedBuffer buffer(new std::vector<std::uint8_t>(unit.begin(), unit.end()),
                             [count = backlog, n](const std::vector<std::uint8_t>* v) {
                               count->packets.fetch_sub(1);
                               count->bytes.fetch_sub(n);
                               delete v;
                             });
  service->decode_bytes_arced(std::move(buffer));
}

std::size_t VideoServiceState::discard_queued() noexcept { return service ? service->discard_queued_data() : 0; }

void ClientInner::route_video(fxt::Kind kind, const Bytes& payload) {
  std::lock_guard lock(video.mutex);
  if (!video.value) {
    return;
  }
  VideoServiceState& state = *video.value;
  const media::CodecID codec = codec_for(kind);
  if (codec != state.codec) {
    state.service->set_codec(codec);
    state.codec = codec;
  }
  const std::span<const std::uint8_t> unit = payload.span();
  if (!state.admit(unit, video_limit)) {
    ClientStats::bump(stats.video_packets_skipped);
    return;
  }
  state.post(unit);
  ClientStats::bump(stats.video_packets_posted);
}

Result<void> Client::enable_video() {
  auto& slot = inner_->video;
  // Held while the library loads: packets wait rather than race the start.
  std::lock_guard lock(slot.mutex);
  if (slot.value) {
    return {};
  }
  // close switches video off after setting the flag: it must stay off.
  if (inner_->closed.load()) {
    return fail(ErrorKind::Closed);
  }
  auto library = media::MediaLibrary::load();
  if (!library) {
    return err(Error::other(library.error().text()));
  }
  auto service = media::VideoDecodeService::create(std::move(*library));
  if (!service) {
    return err(Error::other(service.error().text()));
  }
  auto state = std::make_shared<VideoServiceState>();
  state->service.emplace(std::move(*service));
  state->service->start();
  try {
    state->thread = std::thread(run_video_thread, state->service->events(), inner_, state->abandoned);
  } catch (const std::system_error&) {
    // The service is released with `state`; its thread then ends by itself.
    return err(Error::other("failed to spawn thread"));
  }
  slot.value = std::move(state);
  return {};
}

void Client::disable_video() {
  std::shared_ptr<VideoServiceState> state;
  {
    std::lock_guard lock(inner_->video.mutex);
    state = std::exchange(inner_->video.value, nullptr);
  }
  // Stops the service and waits for both threads, outside the slot lock.
  if (state) {
    inner_->stats.video_packets_skipped.fetch_add(state->discard_queued(), std::memory_order_relaxed);
  }
  state.reset();
}

}  // namespace mok::brelo
