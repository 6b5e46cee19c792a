// Live video: one encoder thread renders the view at the frame rate and hands
// each access unit to every connection, which forwards it from a key frame on.
#include "common/log.hpp"
#include "sim/server.hpp"

namespace camsim {

void Connection::push_video(std::uint8_t kind, const Buffer& au, bool key, std::uint64_t frame) {
  if (frozen_ || half_closed_) return;
  if (!video_started_ && !key) return;
  // A client that cannot keep up loses whole groups of pictures, never parts of one.
  if (queued_bytes_ > sim_.opt.max_queued_bytes) {
    video_started_ = false;
    return;
  }
  video_started_ = true;
  push(make_head(au->size(), static_cast<mok::fxt::Kind>(kind), stream::kVideo, frame), au);
  ++sim_.video_units_sent;
}

void Simulator::Impl::video_loop() {
  const VideoConfig vc = *opt.video;
  const std::uint8_t kind = video_kind(vc.codec);
  const auto period = seconds(1.0 / vc.fps);
  auto next = Clock::now();
  std::vector<AccessUnit> units;
  std::uint64_t frame = 0;
  while (!stopping) {
    next += period;
    std::this_thread::sleep_until(next);
    if (Clock::now() - next > 10 * period) next = Clock::now();  // fell far behind: do not burst
    if (open == 0) continue;                                     // nobody watching: save the machine the encoding
    const GrayImage img = render_at(opt, regs.settings(), vc.width, vc.height, scene_time(Clock::now()), true);
    units.clear();
    if (auto r = encoder->encode(img, units); !r) {
      mok::log::error(kLog, "video encoding failed: {}", r.error());
      return;
    }
    for (AccessUnit& au : units) {
      auto buf = std::make_shared<const std::vector<std::uint8_t>>(std::move(au.data));
      asio::post(io, [this, buf, key = au.key, kind, f = frame++] {
        for_each_connection([&](Connection& c) { c.push_video(kind, buf, key, f); });
      });
    }
  }
}

}  // namespace camsim
