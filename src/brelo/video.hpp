// The live video path of one client while video is on: the decoding service,
// the client video thread that hands the service's frames to the host
// callback, and the codec last configured. Only the video code needs the
// decoding service's types, so client.hpp knows this state by name only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <thread>

#include "media/channel.hpp"
#include "media/codec_id.hpp"
#include "media/video_decode_service.hpp"
#include "media/video_event.hpp"

namespace mok::brelo {

class ClientInner;

struct VideoBacklogLimit;

// What has been posted to the decoder and not yet let go by it: each posted
// buffer's deleter takes itself off when the decoding thread releases it
// (decoded or shed by the real-time rule).
struct VideoBacklog {
  std::atomic<std::size_t> packets{0};
  std::atomic<std::size_t> bytes{0};
};

struct VideoServiceState {
  VideoServiceState() = default;
  VideoServiceState(const VideoServiceState&) = delete;
  VideoServiceState& operator=(const VideoServiceState&) = delete;
  // Shutdown order: the service goes first, so its decoding thread handles
  // the commands still queued (after discard_queued, no data), releases the
  // decoder and closes the event channel; then the client video thread,
  // which delivers the frames left in that channel and ends, is joined.
  // Destroyed on the video thread itself (the host switched video off from
  // its own callback), the thread is detached instead: it cannot join itself.
  // It then drops what is left in the channel rather than hand it to a
  // callback that may by then belong to a later session, and ends.
  ~VideoServiceState();

  // Whether a packet of `codec` may be posted: not while the backlog is over
  // `limit`, and after that only from the next key frame on.
  bool admit(std::span<const std::uint8_t> unit, const VideoBacklogLimit& limit) noexcept;
  // Posts a copy of `unit`, counted in the backlog until it is released.
  void post(std::span<const std::uint8_t> unit);
  // Drops the data not yet decoded (frames already decoded are still
  // delivered); the number of packets dropped.
  std::size_t discard_queued() noexcept;

  std::optional<media::VideoDecodeService> service;
  std::thread thread;
  // Set when the thread is left to end on its own.
  std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);
  // None right after enabling, so the first packet always configures it.
  media::CodecID codec = media::CodecID::None;
  std::shared_ptr<VideoBacklog> backlog = std::make_shared<VideoBacklog>();
  // Set when the backlog overflowed; cleared by the next admitted key frame.
  bool skipping = false;
};

// The client video thread: every Frame event goes to the video callback (if
// one is installed and the thread is not abandoned), every other event is
// dropped. Ends once the event channel is closed and drained. Holds `inner`
// for as long as it runs.
void run_video_thread(media::Receiver<media::VideoEvent> events, std::shared_ptr<ClientInner> inner,
                      std::shared_ptr<const std::atomic<bool>> abandoned) noexcept;

}  // namespace mok::brelo
