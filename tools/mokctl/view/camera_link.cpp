// CameraLink: callbacks copy into bounded state; actions run on the HTTP
// worker that asked for them, with no lock held while the camera is awaited.
#include "camera_link.hpp"

#include <chrono>
#include <ctime>

#include "../output_files.hpp"
#include "../packet_recorder.hpp"
#include "../video.hpp"
#include "exports.hpp"

namespace mokctl::view {

// The latest decoded frame only: a slow page sees fewer frames, never older ones.
struct CameraLink::Video {
  std::mutex mu;
  bool on = false;
  std::string error;
  std::uint64_t seq = 0, frames = 0, replaced = 0;
  std::uint64_t fetched = 0;  // seq of the last frame a page took
  std::vector<std::uint8_t> pixels;
  PixelView view;  // points into `pixels`
  Picture jpeg;    // cache for `fetched`
};

CameraLink::CameraLink(Session& session, const GlobalOptions& g, HistoryLimits limits, std::string record_dir)
    : session_(session),
      g_(g),
      record_dir_(std::move(record_dir)),
      live_(limits),
      video_(std::make_unique<Video>()) {
  mok::Client& c = session_.client();
  live_.on_state(session_.connected() ? mok::State::Connected : mok::State::Reconnecting);
  c.on_scan([this](mok::ScanResult r) { live_.on_scan(r); });
  // Takes the state callback over from the session, whose own record then
  // stays at Connected: a send refused while the camera is away is then
  // retried for the whole 200 ms before the page hears of it.
  c.on_state([this](mok::State s) { live_.on_state(s); });
}

CameraLink::~CameraLink() {
  mok::Client& c = session_.client();
  c.clear_scan_cb();
  c.clear_state_cb();
  video(false);
  std::unique_ptr<PacketRecorder> rec;
  {
    std::lock_guard<std::mutex> lock(mu_);
    rec = std::move(recorder_);
  }
  if (rec) {
    try {
      rec->finish();
    } catch (const Failure&) {
    }
  }
}

Refusal CameraLink::set(const std::string& name, const std::string& text) {
  auto param = param_from_name(name);
  if (!param) return "There is no parameter \"" + name.substr(0, 40) + "\" (exposure, laser, strength, task).";
  auto parsed = parse_value(*param, text);
  if (auto* why = std::get_if<std::string>(&parsed)) return *why;
  const std::uint32_t v = std::get<std::uint32_t>(parsed);
  mok::Client& c = session_.client();
  try {
    session_.run("send the change", [&] {
      switch (*param) {
        case Param::Exposure:
          c.set_exposure_time(v);
          break;
        case Param::Laser:
          c.set_laser_enable(v != 0);
          break;
        case Param::Strength:
          c.set_laser_strength(v);
          break;
        case Param::Task:
          c.set_task_id(v);
          break;
      }
    });
  } catch (const Failure& f) {
    return std::string(f.what());
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::erase_if(pending_, [&](const Pending& p) { return p.param == *param; });
    pending_.push_back({*param, v, live_.now_s()});
  }
  try {
    c.pull_rts(mok::Millis(200));  // asks for a fresh report, so the confirmation comes sooner
  } catch (const mok::Error&) {
  }
  return std::nullopt;
}

Refusal CameraLink::take_snapshot() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (snapshot_busy_) return std::string("A snapshot is already on its way.");
    snapshot_busy_ = true;
    snapshot_error_.clear();
  }
  mok::Client& c = session_.client();
  Refusal refusal;
  std::optional<Snapshot> shot;
  try {
    session_.run("request a snapshot", [&] { c.snapshot(); });
    if (auto image = c.recv_snapshot_image(session_.timeout())) {
      shot.emplace();
      auto bytes = image->data();
      shot->original.assign(bytes.begin(), bytes.end());
      shot->extension = image->extension();
      shot->width = static_cast<int>(image->width());
      shot->height = static_cast<int>(image->height());
      const std::size_t pixels = static_cast<std::size_t>(image->width()) * image->height();
      if (image->format() == mok::ImageFormat::Jpeg) {
        shot->shown = {0, "image/jpeg", shot->original};
      } else if (image->format() == mok::ImageFormat::Png) {
        shot->shown = {0, "image/png", shot->original};
      } else if (pixels > 0 && bytes.size() == pixels) {
        const int w = static_cast<int>(image->width()), h = static_cast<int>(image->height());
        shot->shown = {0, "image/jpeg", encode_jpeg(PixelView{bytes.data(), w, h, w, 1})};
      }
    } else {
      refusal = format("The camera sent no snapshot within %.1f s.", g_.timeout_s);
    }
  } catch (const Failure& f) {
    refusal = f.what();
  }
  std::lock_guard<std::mutex> lock(mu_);
  snapshot_busy_ = false;
  if (refusal) {
    snapshot_error_ = *refusal;
    return refusal;
  }
  shot->shown.seq = ++snapshot_seq_;
  if (shot->shown.bytes.empty()) snapshot_error_ = "The image cannot be shown here; download it.";
  snapshot_ = std::move(shot);
  return std::nullopt;
}

std::optional<Snapshot> CameraLink::snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return snapshot_;
}

Refusal CameraLink::video([[maybe_unused]] bool on) {
#ifndef MOK_HPP_HAVE_VIDEO
  return std::string("This mokctl was built without video support.");
#else
  mok::Client& c = session_.client();
  Video& v = *video_;
  {
    std::lock_guard<std::mutex> lock(v.mu);
    if (v.on == on) return std::nullopt;
  }
  if (!on) {
    try {
      c.disable_video();
    } catch (const mok::Error&) {
    }
    c.clear_video_cb();
    std::lock_guard<std::mutex> lock(v.mu);
    v.on = false;
    return std::nullopt;
  }
  c.on_video([&v](mok::VideoFrame f) {
    std::vector<std::uint8_t> converted;
    PixelView view;
    std::lock_guard<std::mutex> lock(v.mu);
    ++v.frames;
    if (!frame_pixels(f, converted, view)) {
      v.error = format("Frames in pixel format %d cannot be shown.", f.format());
      return;
    }
    // One copy into the kept buffer, whose room is reused from frame to frame.
    v.pixels.resize(static_cast<std::size_t>(view.height) * view.width * view.channels);
    for (int y = 0; y < view.height; ++y) {
      std::copy_n(view.data + static_cast<std::ptrdiff_t>(y) * view.stride, view.width * view.channels,
                  v.pixels.data() + static_cast<std::ptrdiff_t>(y) * view.width * view.channels);
    }
    v.view = PixelView{v.pixels.data(), view.width, view.height, view.width * view.channels, view.channels};
    if (v.seq > v.fetched) ++v.replaced;
    ++v.seq;
  });
  try {
    c.enable_video();
  } catch (const mok::Error& e) {
    c.clear_video_cb();
    std::string why =
        e.status() == mok::Status::Other
            ? "Video decoding is not available: the decoder library libmok_media.so could not be loaded."
            : session_.failure("switch video on", e).what();
    std::lock_guard<std::mutex> lock(v.mu);
    v.error = why;
    return why;
  }
  std::lock_guard<std::mutex> lock(v.mu);
  v.on = true;
  v.error.clear();
  return std::nullopt;
#endif
}

std::optional<Picture> CameraLink::video_frame() {
  Video& v = *video_;
  std::unique_lock<std::mutex> lock(v.mu);
  if (v.seq == 0) return std::nullopt;
  if (v.jpeg.seq != v.seq) {
    // Encoding a frame takes a few milliseconds: done on a copy, off the lock
    // the decoder's callback needs.
    const std::uint64_t seq = v.seq;
    std::vector<std::uint8_t> pixels = v.pixels;
    PixelView view = v.view;
    view.data = pixels.data();
    v.fetched = seq;
    lock.unlock();
    Picture p{seq, "image/jpeg", encode_jpeg(view)};
    lock.lock();
    if (p.seq > v.jpeg.seq) v.jpeg = std::move(p);
  }
  return v.jpeg;
}

Refusal CameraLink::record(bool start) {
  std::unique_ptr<PacketRecorder> rec;
  if (start) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (recorder_) return std::string("A recording is already running.");
    }
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string path = join_path(record_dir_, std::string("view-") + stamp + ".mokrec");
    try {
      rec = std::make_unique<PacketRecorder>(session_.address(), path, g_);
    } catch (const Failure& f) {
      std::lock_guard<std::mutex> lock(mu_);
      record_error_ = f.what();
      return record_error_;
    }
    std::lock_guard<std::mutex> lock(mu_);
    recorder_ = std::move(rec);
    record_path_ = path;
    record_error_.clear();
    return std::nullopt;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!recorder_) return std::string("No recording is running.");
    rec = std::move(recorder_);
  }
  std::string error;
  try {
    rec->finish();
  } catch (const Failure& f) {
    error = f.what();
  }
  std::lock_guard<std::mutex> lock(mu_);
  record_packets_ = rec->packets();
  record_bytes_ = rec->bytes();
  record_error_ = error;
  if (!error.empty()) return error;
  return std::nullopt;
}

void CameraLink::update_rates(Status& s, const mok_stats_t& st) {
  const LiveCopy c = live_.copy(false);
  if (st.packets_received != last_packets_) {
    last_packets_ = st.packets_received;
    last_packet_s_ = s.now_s;
  }
  if (s.now_s - window_t_ >= 0.5) {
    const double dt = s.now_s - window_t_;
    rate_hz_ = static_cast<double>(c.results - window_results_) / dt;
    const std::uint64_t n = c.latency_n - window_latency_n_;
    latency_ms_ = n ? (c.latency_sum_ms - window_latency_sum_) / static_cast<double>(n) : -1;
    window_t_ = s.now_s;
    window_results_ = c.results;
    window_latency_n_ = c.latency_n;
    window_latency_sum_ = c.latency_sum_ms;
  }
  s.rate_hz = rate_hz_;
  s.latency_ms = latency_ms_;
  s.quiet_s = s.now_s - last_packet_s_;
}

Status CameraLink::status() {
  Status s;
  s.now_s = live_.now_s();
  s.camera = session_.address();
  mok::Client& c = session_.client();
  const mok_stats_t st = c.stats();
  Reported& r = s.reported;
  r.exposure = c.exposure_time();
  r.laser = c.laser_enable();
  r.strength = c.laser_strength();
  r.task = c.task_id();
  try {
    r.board_id = c.board_id();
    r.serial_number = c.serial_number();
  } catch (const mok::Error&) {
  }
  {
    Video& v = *video_;
    std::lock_guard<std::mutex> lock(v.mu);
#ifdef MOK_HPP_HAVE_VIDEO
    s.video.available = true;
#endif
    s.video.on = v.on;
    s.video.seq = v.seq;
    s.video.frames = v.frames;
    s.video.replaced = v.replaced;
    s.video.width = v.view.width;
    s.video.height = v.view.height;
    s.video.error = v.error;
  }
  std::lock_guard<std::mutex> lock(mu_);
  update_rates(s, st);
  // A change counts as applied once the camera reports the value asked for.
  std::erase_if(pending_, [&](const Pending& p) { return r.get(p.param) == p.value; });
  s.pending = pending_;
  s.snapshot.seq = snapshot_seq_;
  s.snapshot.busy = snapshot_busy_;
  s.snapshot.error = snapshot_error_;
  if (snapshot_) {
    s.snapshot.format = snapshot_->extension;
    s.snapshot.width = snapshot_->width;
    s.snapshot.height = snapshot_->height;
  }
  s.record.active = recorder_ != nullptr;
  s.record.path = record_path_;
  s.record.error = record_error_;
  s.record.packets = recorder_ ? recorder_->packets() : record_packets_;
  s.record.bytes = recorder_ ? recorder_->bytes() : record_bytes_;
  return s;
}

}  // namespace mokctl::view
