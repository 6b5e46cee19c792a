// libavcodec behind VideoEncoder. The grey view becomes the luma plane of a
// 4:2:0 frame with neutral chroma; encoders are tuned for low latency (no
// B-frames, parameter sets repeated on every key frame) as a camera's are.
#include "video_encoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>

namespace camsim {
namespace {

std::string av_text(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

}  // namespace

std::optional<VideoCodec> parse_video_codec(std::string_view name) {
  if (name == "h264") return VideoCodec::H264;
  if (name == "h265" || name == "hevc") return VideoCodec::H265;
  return std::nullopt;
}

std::uint8_t video_kind(VideoCodec codec) { return codec == VideoCodec::H264 ? 23 : 24; }

struct VideoEncoder::Impl {
  VideoConfig config;
  std::string name;
  AVCodecContext* ctx = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  std::int64_t next_pts = 0;

  ~Impl() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
  }

  // Tries one encoder; true when it opened.
  bool try_open(const AVCodec* codec, std::string& error) {
    avcodec_free_context(&ctx);
    ctx = avcodec_alloc_context3(codec);
    if (!ctx) {
      error = "out of memory";
      return false;
    }
    ctx->width = static_cast<int>(config.width);
    ctx->height = static_cast<int>(config.height);
    ctx->time_base = AVRational{1, static_cast<int>(config.fps)};
    ctx->framerate = AVRational{static_cast<int>(config.fps), 1};
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->gop_size = static_cast<int>(std::max(1u, config.keyframe_interval));
    ctx->max_b_frames = 0;
    ctx->bit_rate = std::int64_t{config.bitrate_kbps} * 1000;
    ctx->thread_count = 1;  // the machine is shared with the scan stream
    // Repeat SPS/PPS (and VPS) in-band so a viewer can start at any key frame.
    ctx->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
    const std::string n = codec->name;
    if (n == "libx264") {
      av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
      av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
      av_opt_set(ctx->priv_data, "x264-params", "repeat-headers=1:log=0", 0);
    } else if (n == "libx265") {
      av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
      av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
      av_opt_set(ctx->priv_data, "x265-params", "log-level=error:repeat-headers=1:pools=1:frame-threads=1", 0);
    }
    const int rc = avcodec_open2(ctx, codec, nullptr);
    if (rc < 0) {
      error = codec->name + std::string(": ") + av_text(rc);
      avcodec_free_context(&ctx);
      return false;
    }
    name = n;
    return true;
  }
};

VideoEncoder::VideoEncoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VideoEncoder::~VideoEncoder() = default;
const std::string& VideoEncoder::encoder_name() const { return impl_->name; }

mok::Result<std::unique_ptr<VideoEncoder>, std::string> VideoEncoder::open(const VideoConfig& config) {
  if (config.width < 16 || config.height < 16 || config.fps == 0 || config.width % 2 || config.height % 2)
    return mok::err(std::string("video size must be even and at least 16x16, frame rate above 0"));
  auto impl = std::make_unique<Impl>();
  impl->config = config;
  const AVCodecID id = config.codec == VideoCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
  std::vector<const AVCodec*> candidates;
  if (const AVCodec* sw = avcodec_find_encoder_by_name(config.codec == VideoCodec::H264 ? "libx264" : "libx265"))
    candidates.push_back(sw);
  void* it = nullptr;
  while (const AVCodec* c = av_codec_iterate(&it)) {
    // Hardware encoders usually fail to open without their device; trying them is cheap.
    if (av_codec_is_encoder(c) && c->id == id &&
        std::find(candidates.begin(), candidates.end(), c) == candidates.end())
      candidates.push_back(c);
  }
  std::string errors;
  for (const AVCodec* c : candidates) {
    std::string e;
    if (impl->try_open(c, e)) break;
    errors += errors.empty() ? e : "; " + e;
  }
  if (!impl->ctx)
    return mok::err(candidates.empty() ? std::string("no encoder for this codec in libavcodec") : errors);
  impl->frame = av_frame_alloc();
  impl->packet = av_packet_alloc();
  if (!impl->frame || !impl->packet) return mok::err(std::string("out of memory"));
  impl->frame->format = AV_PIX_FMT_YUV420P;
  impl->frame->width = impl->ctx->width;
  impl->frame->height = impl->ctx->height;
  if (const int rc = av_frame_get_buffer(impl->frame, 0); rc < 0) return mok::err(av_text(rc));
  return std::unique_ptr<VideoEncoder>(new VideoEncoder(std::move(impl)));
}

mok::Result<void, std::string> VideoEncoder::encode(const GrayImage& image, std::vector<AccessUnit>& out) {
  Impl& m = *impl_;
  if (const int rc = av_frame_make_writable(m.frame); rc < 0) return mok::err(av_text(rc));
  const std::uint32_t w = m.config.width;
  const std::uint32_t h = m.config.height;
  if (image.width == 0 || image.height == 0) return mok::err(std::string("empty frame"));
  // Nearest-neighbour when the view was rendered at another size.
  for (std::uint32_t y = 0; y < h; ++y) {
    std::uint8_t* dst = m.frame->data[0] + std::size_t(y) * m.frame->linesize[0];
    const std::uint32_t sy = (image.height == h) ? y : y * image.height / h;
    const std::uint8_t* src = image.pixels.data() + std::size_t(sy) * image.width;
    if (image.width == w) {
      std::memcpy(dst, src, w);
    } else {
      for (std::uint32_t x = 0; x < w; ++x) dst[x] = src[x * image.width / w];
    }
  }
  for (int plane = 1; plane <= 2; ++plane)
    for (std::uint32_t y = 0; y < h / 2; ++y)
      std::memset(m.frame->data[plane] + std::size_t(y) * m.frame->linesize[plane], 128, w / 2);
  m.frame->pts = m.next_pts++;
  if (const int rc = avcodec_send_frame(m.ctx, m.frame); rc < 0) return mok::err(av_text(rc));
  for (;;) {
    const int rc = avcodec_receive_packet(m.ctx, m.packet);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
    if (rc < 0) return mok::err(av_text(rc));
    AccessUnit au;
    au.data.assign(m.packet->data, m.packet->data + m.packet->size);
    au.key = (m.packet->flags & AV_PKT_FLAG_KEY) != 0;
    au.pts = m.packet->pts;
    out.push_back(std::move(au));
    av_packet_unref(m.packet);
  }
  return {};
}

}  // namespace camsim
