// Stream decoding: one access unit in per call, at most one picture out,
// converted to the output format and scale. The decoder runs single-threaded
// with low delay so that a picture comes out for the packet that completes it
// rather than a few packets later.
extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cmath>
#include <cstring>
#include <new>

#include "internal.hpp"
#include "log.hpp"

namespace mok_media {

AVCodecContext* open_decoder(AVCodecID id, const AVCodecParameters* params) {
  const AVCodec* codec = avcodec_find_decoder(id);
  if (codec == nullptr) return nullptr;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  if (ctx == nullptr) return nullptr;
  adopt_log(ctx);
  if (params != nullptr && avcodec_parameters_to_context(ctx, params) < 0) {
    free_decoder(&ctx);
    return nullptr;
  }
  ctx->thread_count = 1;
  ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  if (avcodec_open2(ctx, codec, nullptr) < 0) free_decoder(&ctx);
  return ctx;
}

void free_decoder(AVCodecContext** ctx) {
  release_log(*ctx);
  avcodec_free_context(ctx);
}

AVCodecID to_av_codec(uint32_t code) {
  constexpr uint32_t kAv1Code = 225;
  if (code == kAv1Code) return AV_CODEC_ID_AV1;
  if (code == static_cast<uint32_t>(AV_CODEC_ID_AV1)) return AV_CODEC_ID_NONE;
  const auto id = static_cast<AVCodecID>(code);
  return code <= 0xffffu && avcodec_descriptor_get(id) != nullptr ? id : AV_CODEC_ID_NONE;
}

bool is_damaged(const AVFrame* frame) {
  return frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0;
}

AVFrame* Output::convert(const AVFrame* src) {
  if (src->width <= 0 || src->height <= 0) return nullptr;
  int w = width;
  int h = height;
  if (w <= 0 || h <= 0) {
    w = std::max(1, static_cast<int>(std::lround(src->width * static_cast<double>(scale))));
    h = std::max(1, static_cast<int>(std::lround(src->height * static_cast<double>(scale))));
  }
  SwsContext* const before = sws;
  sws = sws_getCachedContext(sws, src->width, src->height, static_cast<AVPixelFormat>(src->format), w, h, format,
                             SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (sws != before) {
    release_log(before);
    adopt_log(sws);
  }
  if (sws == nullptr) return nullptr;
  AVFrame* out = av_frame_alloc();
  if (out == nullptr) return nullptr;
  out->format = format;
  out->width = w;
  out->height = h;
  if (av_frame_get_buffer(out, 0) < 0 ||
      sws_scale(sws, src->data, src->linesize, 0, src->height, out->data, out->linesize) != h) {
    av_frame_free(&out);
    return nullptr;
  }
  out->pts = src->best_effort_timestamp != AV_NOPTS_VALUE ? src->best_effort_timestamp : src->pts;
  return out;
}

int32_t hand_out(Output& output, const AVFrame* picture, mok_vdec_frame_t** out) {
  AVFrame* converted = output.convert(picture);
  if (converted == nullptr) return MOK_MEDIA_ERROR;
  auto* frame = new (std::nothrow) mok_vdec_frame;
  if (frame == nullptr) {
    av_frame_free(&converted);
    return MOK_MEDIA_ERROR;
  }
  converted->opaque = frame;
  frame->frame = converted;
  *out = frame;
  return MOK_MEDIA_OK;
}

Output::~Output() {
  release_log(sws);
  sws_freeContext(sws);
}

FileSource::~FileSource() {
  free_decoder(&codec);
  release_log(format);
  avformat_close_input(&format);
}

}  // namespace mok_media

using namespace mok_media;

extern "C" {

MOK_MEDIA_API int32_t mok_media_ver_major(void) { return 1; }
MOK_MEDIA_API int32_t mok_media_ver_minor(void) { return 0; }
MOK_MEDIA_API int32_t mok_media_ver_patch(void) { return 0; }
MOK_MEDIA_API const char* mok_media_ver_str(void) { return "1.0.0"; }

MOK_MEDIA_API mok_vdec_t* mok_vdec_new(void) {
  auto* dec = new (std::nothrow) mok_vdec;
  if (dec == nullptr) return nullptr;
  dec->packet = av_packet_alloc();
  dec->picture = av_frame_alloc();
  if (dec->packet == nullptr || dec->picture == nullptr) {
    mok_vdec_free(dec);
    return nullptr;
  }
  return dec;
}

MOK_MEDIA_API void mok_vdec_free(mok_vdec_t* dec) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (dec == nullptr) return;
  delete dec->file;
  free_decoder(&dec->stream);
  av_packet_free(&dec->packet);
  av_frame_free(&dec->picture);
  delete dec;
}

MOK_MEDIA_API int32_t mok_vdec_decode_frame(mok_vdec_t* dec, int64_t pts, const uint8_t* data, int32_t len,
                                            mok_vdec_frame_t** out) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (dec == nullptr || data == nullptr || len <= 0 || out == nullptr) return MOK_MEDIA_ERROR;
  *out = nullptr;
  if (dec->stream == nullptr) {
    dec->stream = open_decoder(dec->codec, nullptr);
    if (dec->stream == nullptr) return MOK_MEDIA_ERROR;
  }
  // FFmpeg's parsers read a little past the end: the packet gets its own
  // padded copy.
  av_packet_unref(dec->packet);
  if (av_new_packet(dec->packet, len) < 0) return MOK_MEDIA_ERROR;
  std::memcpy(dec->packet->data, data, static_cast<size_t>(len));
  dec->packet->pts = pts != 0 ? pts : dec->decoded;
  dec->packet->dts = dec->packet->pts;
  ++dec->decoded;

  int rc = avcodec_send_packet(dec->stream, dec->packet);
  if (rc == AVERROR(EAGAIN)) {
    // The decoder holds pictures nobody took; the newest one matters.
    while (avcodec_receive_frame(dec->stream, dec->picture) == 0) av_frame_unref(dec->picture);
    rc = avcodec_send_packet(dec->stream, dec->packet);
  }
  av_packet_unref(dec->packet);
  if (rc < 0) return MOK_MEDIA_ERROR;

  bool have = false;
  bool damaged = false;
  AVFrame* latest = av_frame_alloc();
  if (latest == nullptr) return MOK_MEDIA_ERROR;
  while (avcodec_receive_frame(dec->stream, dec->picture) == 0) {
    damaged = is_damaged(dec->picture);
    av_frame_unref(latest);
    av_frame_move_ref(latest, dec->picture);
    have = true;
  }
  int32_t status = MOK_MEDIA_NEED_MORE;
  if (have) status = damaged ? MOK_MEDIA_ERROR : hand_out(dec->output, latest, out);
  av_frame_free(&latest);
  return status;
}

MOK_MEDIA_API int32_t mok_vdec_flush(mok_vdec_t* dec) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (dec == nullptr) return MOK_MEDIA_ERROR;
  if (dec->stream != nullptr) avcodec_flush_buffers(dec->stream);
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vdec_set_icodec(mok_vdec_t* dec, uint32_t codec) {
  if (dec == nullptr) return MOK_MEDIA_ERROR;
  const AVCodecID id = to_av_codec(codec);
  if (id == AV_CODEC_ID_NONE || avcodec_find_decoder(id) == nullptr) return MOK_MEDIA_ERROR;
  if (id != dec->codec) {
    free_decoder(&dec->stream);
    dec->codec = id;
  }
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vdec_set_oformat(mok_vdec_t* dec, int32_t format) {
  // Range first: an out-of-range number is not a value of the enumeration.
  if (dec == nullptr || format < 0 || format >= AV_PIX_FMT_NB) return MOK_MEDIA_ERROR;
  const auto fmt = static_cast<AVPixelFormat>(format);
  if (av_pix_fmt_desc_get(fmt) == nullptr || sws_isSupportedOutput(fmt) == 0) {
    return MOK_MEDIA_ERROR;
  }
  dec->output.format = fmt;
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vdec_set_oscale(mok_vdec_t* dec, float scale) {
  if (dec == nullptr || !(scale > 0.0f && scale <= 16.0f)) return MOK_MEDIA_ERROR;
  dec->output.scale = scale;
  dec->output.width = 0;
  dec->output.height = 0;
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vdec_set_osize(mok_vdec_t* dec, int32_t width, int32_t height) {
  if (dec == nullptr) return MOK_MEDIA_ERROR;
  const bool reset = width == 0 && height == 0;
  if (!reset && (width <= 0 || height <= 0 || width > 16384 || height > 16384)) {
    return MOK_MEDIA_ERROR;
  }
  dec->output.width = width;
  dec->output.height = height;
  return MOK_MEDIA_OK;
}

}  // extern "C"
