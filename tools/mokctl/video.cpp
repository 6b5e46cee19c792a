// Video capture through the device interface's video functions, and the
// conversion of decoded frames into PNG-ready pixels.
#include "video.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "output_files.hpp"
#include "signals.hpp"

namespace mokctl {

#ifndef MOK_HPP_HAVE_VIDEO

bool video_built_in() { return false; }

std::vector<std::string> capture_video(Session&, int, const std::string&, const std::string&, int) {
  throw Failure(kNoDecoder, "This mokctl was built without video support.");
}

#else

namespace {

// Pixel format codes (FFmpeg's numbering), as mok.h names them.
enum PixelFormat : std::int32_t {
  kYuv420p = MOK_PIXEL_FORMAT_YUV420P,
  kRgb24 = MOK_PIXEL_FORMAT_RGB24,
  kBgr24 = MOK_PIXEL_FORMAT_BGR24,
  kGray8 = MOK_PIXEL_FORMAT_GRAY8,
  kNv12 = MOK_PIXEL_FORMAT_NV12,
  kNv21 = MOK_PIXEL_FORMAT_NV21,
  kArgb = MOK_PIXEL_FORMAT_ARGB,
  kRgba = MOK_PIXEL_FORMAT_RGBA,
  kAbgr = MOK_PIXEL_FORMAT_ABGR,
  kBgra = MOK_PIXEL_FORMAT_BGRA,
};

}  // namespace

bool frame_pixels(const mok::VideoFrame& f, std::vector<std::uint8_t>& buf, PixelView& view) {
  const int w = f.width(), h = f.height(), fmt = f.format();
  const std::uint8_t* src = f.data(0);
  const int stride = f.linesize(0);
  if (w <= 0 || h <= 0 || !src || stride <= 0) return false;
  view = PixelView{src, w, h, stride, 0};
  switch (fmt) {
    case kRgba:
      view.channels = 4;
      return true;
    case kRgb24:
      view.channels = 3;
      return true;
    case kGray8:
    case kYuv420p:
    case kNv12:
    case kNv21:
      view.channels = 1;
      return true;
    case kBgra:
    case kArgb:
    case kAbgr:
    case kBgr24:
      break;
    default:
      return false;
  }
  // Byte positions of R, G, B, A in the source pixel.
  int bpp = fmt == kBgr24 ? 3 : 4, r = 0, g = 1, b = 2, a = -1;
  if (fmt == kBgra) {
    r = 2;
    g = 1;
    b = 0;
    a = 3;
  }
  if (fmt == kArgb) {
    r = 1;
    g = 2;
    b = 3;
    a = 0;
  }
  if (fmt == kAbgr) {
    r = 3;
    g = 2;
    b = 1;
    a = 0;
  }
  if (fmt == kBgr24) {
    r = 2;
    g = 1;
    b = 0;
  }
  buf.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* s = src + static_cast<std::ptrdiff_t>(y) * stride;
    std::uint8_t* d = buf.data() + static_cast<std::ptrdiff_t>(y) * w * 4;
    for (int x = 0; x < w; ++x, s += bpp, d += 4) {
      d[0] = s[r];
      d[1] = s[g];
      d[2] = s[b];
      d[3] = a >= 0 ? s[a] : 255;
    }
  }
  view = PixelView{buf.data(), w, h, w * 4, 4};
  return true;
}

bool video_built_in() { return true; }

std::vector<std::string> capture_video(Session& s, int frames, const std::string& dir, const std::string& prefix,
                                       int keep) {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<mok::VideoFrame> queue;
  int received = 0;
  mok::Client& c = s.client();
  c.on_video([&](mok::VideoFrame f) {
    std::lock_guard<std::mutex> lock(mu);
    if (received < frames) {
      queue.push_back(std::move(f));
      ++received;
      cv.notify_all();
    }
  });
  try {
    c.enable_video();
  } catch (const mok::Error& e) {
    c.clear_video_cb();
    if (e.status() == mok::Status::Other) {
      throw Failure(kNoDecoder,
                    "Video decoding is not available: the decoder library libmok_media.so could not "
                    "be loaded. Put it next to mokctl or on the library path (-v shows the loader's "
                    "message).");
    }
    throw s.failure("switch video on", e);
  }
  // Switch video off and unhook the callback before the locals it uses go,
  // also when saving a frame fails.
  struct Off {
    mok::Client& c;
    ~Off() {
      try {
        c.disable_video();
      } catch (const mok::Error&) {
      }
      c.clear_video_cb();
    }
  } off{c};
  make_dirs(dir);
  std::vector<std::string> written;
  std::vector<std::uint8_t> buf;
  int taken = 0;
  std::string skipped;
  while (taken < frames && !interrupted()) {
    std::unique_lock<std::mutex> lock(mu);
    // In slices, so Ctrl-C or SIGTERM ends the wait at once.
    const auto until = std::chrono::steady_clock::now() + s.timeout();
    bool arrived = false;
    while (!arrived && !interrupted() && std::chrono::steady_clock::now() < until) {
      arrived = cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue.empty(); });
    }
    if (!arrived) break;
    mok::VideoFrame f = std::move(queue.front());
    queue.pop_front();
    lock.unlock();
    ++taken;
    if (keep > 0 && taken <= frames - keep) continue;
    PixelView view;
    if (!frame_pixels(f, buf, view)) {
      skipped = format("frames in pixel format %d cannot be saved", f.format());
      continue;
    }
    std::string path = join_path(dir, format("%s%04d.png", prefix.c_str(), taken - 1));
    write_png(path, view);
    written.push_back(path);
  }
  if (taken == 0) {
    throw Failure(kTimeout, format("The camera at %s sent no video within %.1f s.", s.address().c_str(),
                                   s.options().timeout_s));
  }
  if (written.empty()) throw Failure(kFailed, "No frame was saved: " + skipped + ".");
  return written;
}

#endif

}  // namespace mokctl
