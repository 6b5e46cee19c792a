// Snapshot requests: the sensor view rendered at the moment asked for and
// encoded in the requested format on the pool, then queued to the client.
#include <algorithm>

#include "common/log.hpp"
#include "fxr/reader.hpp"
#include "sim/server.hpp"

namespace camsim {

GrayImage render_at(const Options& opt, const DeviceSettings& s, std::uint32_t width, std::uint32_t height,
                    double t, bool mark) {
  SceneConfig scene = opt.scene;
  scene.point_count = width;
  RenderOptions ro;
  ro.width = width;
  ro.height = height;
  ro.fov_mm = scene.fov_mm;
  ro.brightness = laser_brightness(s.laser_enable, s.laser_strength, s.exposure_time);
  ro.mark_seam = mark;
  return render_view(generate_profile(scene, static_cast<std::uint64_t>(t * opt.scan_rate), t), ro);
}

namespace {

struct SnapshotJob {
  Options opt;
  DeviceSettings settings;
  double t = 0;
  bool mark = false;
  SnapshotFormat format = SnapshotFormat::Jpeg;
  std::uint32_t quality = 0;
};

struct SnapshotDone {
  std::vector<std::uint8_t> bytes;
  std::string error;
  mok::fxt::Kind kind = mok::fxt::Kind::Data;
};

// A plain coroutine rather than a capturing lambda: its parameters live in its
// frame, which co_spawn on another executor handles safely.
awaitable<SnapshotDone> encode_snapshot(SnapshotJob job) {
  const DeviceSettings& s = job.settings;
  const GrayImage img = render_at(job.opt, s, s.image_width, s.image_height, job.t, job.mark);
  Encoded e = img.pixels;
  mok::fxt::Kind kind = mok::fxt::Kind::Data;
  switch (job.format) {
    case SnapshotFormat::Raw:
      kind = mok::fxt::Kind::RawGray8;
      break;
    case SnapshotFormat::Png:
      e = encode_png(img);
      break;
    case SnapshotFormat::Jpeg:
    default:
      e = encode_jpeg(img, static_cast<int>(std::min<std::uint32_t>(job.quality, 100)));
      break;
  }
  SnapshotDone done;
  done.kind = kind;
  if (e) {
    done.bytes = std::move(e.value());
  } else {
    done.error = std::move(e.error());
  }
  co_return done;
}

}  // namespace

awaitable<void> Connection::snapshot(std::vector<std::uint8_t> request) {
  mok::fxr::Reader r(request);
  namespace snap = mok::wire::snapshot;
  const auto format = static_cast<SnapshotFormat>(r.peek<std::uint32_t>(snap::kFormat).value_or(1));
  const std::uint32_t quality = r.peek<std::uint32_t>(snap::kQuality).value_or(0);
  const bool mark = r.peek<std::uint32_t>(snap::kMarkSeam).value_or(0) != 0;
  const DeviceSettings s = sim_.regs.settings();
  const double t = sim_.scene_time(Clock::now());
  // Rendering and compression take milliseconds; keep them off the io thread.
  SnapshotJob job{sim_.opt, s, t, mark, format, quality};
  SnapshotDone done = co_await asio::co_spawn(sim_.pool, encode_snapshot(std::move(job)), use_awaitable);
  if (closed_) co_return;
  if (!done.error.empty()) {
    mok::log::error(kLog, "client {}: snapshot encoding failed: {}", id_, done.error);
    co_return;
  }
  auto payload = std::make_shared<std::vector<std::uint8_t>>(std::move(done.bytes));
  const auto head = make_head(payload->size(), done.kind, stream::kSnapshotImage, 0);
  push(head, std::move(payload));
  ++sim_.snapshots_sent;
}

}  // namespace camsim
