// The test encoder on FFmpeg: RGB pictures are converted to YUV 4:2:0 with
// libswscale and encoded with libx264 or libx265 tuned for zero latency.
#include "support/video_encoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace mok::test {

RgbImage moving_pattern(int width, int height, int frame) {
  RgbImage img;
  img.width = width;
  img.height = height;
  img.rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  size_t i = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      img.rgb[i++] = static_cast<uint8_t>(32 + (x * 160) / width + (frame * 3) % 48);
      img.rgb[i++] = static_cast<uint8_t>(40 + (y * 150) / height);
      img.rgb[i++] = static_cast<uint8_t>(200 - ((x + y + frame * 4) * 120) / (width + height));
    }
  }
  return img;
}

struct VideoEncoder::State {
  AVCodecContext* ctx = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  SwsContext* sws = nullptr;
  int64_t next_pts = 0;

  ~State() {
    sws_freeContext(sws);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
  }

  std::vector<AccessUnit> drain() {
    std::vector<AccessUnit> out;
    while (avcodec_receive_packet(ctx, packet) == 0) {
      out.emplace_back(packet->data, packet->data + packet->size);
      av_packet_unref(packet);
    }
    return out;
  }
};

VideoEncoder::VideoEncoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
VideoEncoder::~VideoEncoder() = default;

std::unique_ptr<VideoEncoder> VideoEncoder::create(VideoCodec codec, int width, int height, int fps, int gop,
                                                   std::string* error) {
  av_log_set_level(AV_LOG_ERROR);
  const char* wanted = codec == VideoCodec::H264 ? "libx264" : "libx265";
  const AVCodec* enc = avcodec_find_encoder_by_name(wanted);
  if (enc == nullptr) {
    if (error) *error = std::string(wanted) + " is not available in this FFmpeg";
    return nullptr;
  }
  auto s = std::make_unique<State>();
  s->ctx = avcodec_alloc_context3(enc);
  s->frame = av_frame_alloc();
  s->packet = av_packet_alloc();
  if (!s->ctx || !s->frame || !s->packet) {
    if (error) *error = "out of memory";
    return nullptr;
  }
  s->ctx->width = width;
  s->ctx->height = height;
  s->ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  s->ctx->time_base = AVRational{1, fps};
  s->ctx->framerate = AVRational{fps, 1};
  s->ctx->gop_size = gop;
  s->ctx->max_b_frames = 0;
  s->ctx->thread_count = 1;  // one thread: the same units on every run, light on a loaded machine
  av_opt_set(s->ctx->priv_data, "preset", "ultrafast", 0);
  av_opt_set(s->ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set(s->ctx->priv_data, "crf", "16", 0);
  if (codec == VideoCodec::H265) {
    av_opt_set(s->ctx->priv_data, "x265-params", "log-level=error:repeat-headers=1:pools=1:frame-threads=1", 0);
  }
  if (avcodec_open2(s->ctx, enc, nullptr) < 0) {
    if (error) *error = std::string(wanted) + " refused the settings";
    return nullptr;
  }
  s->frame->format = AV_PIX_FMT_YUV420P;
  s->frame->width = width;
  s->frame->height = height;
  s->sws = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                          nullptr, nullptr, nullptr);
  if (av_frame_get_buffer(s->frame, 0) < 0 || s->sws == nullptr) {
    if (error) *error = "cannot prepare the picture buffer";
    return nullptr;
  }
  return std::unique_ptr<VideoEncoder>(new VideoEncoder(std::move(s)));
}

std::vector<AccessUnit> VideoEncoder::encode(const RgbImage& image) {
  State& s = *state_;
  if (av_frame_make_writable(s.frame) < 0) return {};
  const uint8_t* src[1] = {image.rgb.data()};
  const int stride[1] = {image.width * 3};
  sws_scale(s.sws, src, stride, 0, image.height, s.frame->data, s.frame->linesize);
  s.frame->pts = s.next_pts++;
  if (avcodec_send_frame(s.ctx, s.frame) < 0) return {};
  return s.drain();
}

std::vector<AccessUnit> VideoEncoder::finish() {
  if (avcodec_send_frame(state_->ctx, nullptr) < 0) return {};
  return state_->drain();
}

std::string VideoEncoder::name() const { return state_->ctx->codec->name; }

std::vector<AccessUnit> encode_pattern(VideoCodec codec, int width, int height, int frames, std::string* error) {
  auto enc = VideoEncoder::create(codec, width, height, 25, 12, error);
  if (!enc) return {};
  std::vector<AccessUnit> out;
  for (int i = 0; i < frames; ++i) {
    for (auto& au : enc->encode(moving_pattern(width, height, i))) out.push_back(std::move(au));
  }
  for (auto& au : enc->finish()) out.push_back(std::move(au));
  return out;
}

}  // namespace mok::test
