// Frame objects: their description, release, and saving one as an image
// with FFmpeg's image encoders (the file name's extension picks the format).
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.hpp"
#include "log.hpp"

namespace {

struct ImageKind {
  AVCodecID codec;
  AVPixelFormat format;
};

bool ends_with(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[s.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

bool image_kind_for(const std::string& path, ImageKind& kind) {
  if (ends_with(path, ".png"))
    kind = {AV_CODEC_ID_PNG, AV_PIX_FMT_RGBA};
  else if (ends_with(path, ".jpg") || ends_with(path, ".jpeg"))
    kind = {AV_CODEC_ID_MJPEG, AV_PIX_FMT_YUVJ420P};
  else if (ends_with(path, ".bmp"))
    kind = {AV_CODEC_ID_BMP, AV_PIX_FMT_BGR24};
  else if (ends_with(path, ".ppm"))
    kind = {AV_CODEC_ID_PPM, AV_PIX_FMT_RGB24};
  else
    return false;
  return true;
}

// Encodes one picture into `packet`.
int encode_image(const AVFrame* src, const ImageKind& kind, AVPacket* packet) {
  const AVCodec* codec = avcodec_find_encoder(kind.codec);
  if (codec == nullptr) return -1;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  mok_media::adopt_log(ctx);
  AVFrame* picture = av_frame_alloc();
  SwsContext* sws = nullptr;
  int rc = -1;
  if (ctx != nullptr && picture != nullptr) {
    ctx->width = src->width;
    ctx->height = src->height;
    ctx->pix_fmt = kind.format;
    ctx->time_base = AVRational{1, 25};
    picture->format = kind.format;
    picture->width = src->width;
    picture->height = src->height;
    sws = sws_getContext(src->width, src->height, static_cast<AVPixelFormat>(src->format), src->width, src->height,
                         kind.format, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (sws != nullptr && avcodec_open2(ctx, codec, nullptr) == 0 && av_frame_get_buffer(picture, 0) == 0 &&
        sws_scale(sws, src->data, src->linesize, 0, src->height, picture->data, picture->linesize) ==
            src->height &&
        avcodec_send_frame(ctx, picture) == 0 && avcodec_send_frame(ctx, nullptr) == 0 &&
        avcodec_receive_packet(ctx, packet) == 0) {
      rc = 0;
    }
  }
  sws_freeContext(sws);
  av_frame_free(&picture);
  mok_media::release_log(ctx);
  avcodec_free_context(&ctx);
  return rc;
}

}  // namespace

extern "C" {

MOK_MEDIA_API int32_t mok_vdec_frame_info(const mok_vdec_frame_t* frame, mok_vdec_frame_info_t* info) {
  if (frame == nullptr || frame->frame == nullptr || info == nullptr) return MOK_MEDIA_ERROR;
  const AVFrame* f = frame->frame;
  static_assert(AV_NUM_DATA_POINTERS == 8);
  for (int i = 0; i < 8; ++i) {
    info->data[i] = f->data[i];
    info->linesize[i] = f->data[i] != nullptr ? f->linesize[i] : 0;
  }
  info->format = f->format;
  info->padding = 0;
  info->pts = f->pts;
  info->opaque = f->opaque;
  info->width = f->width;
  info->height = f->height;
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API void mok_vdec_frame_free(mok_vdec_frame_t* frame) {
  if (frame == nullptr) return;
  av_frame_free(&frame->frame);
  delete frame;
}

MOK_MEDIA_API int32_t mok_vdec_frame_save(const mok_vdec_frame_t* frame, const char* path) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (frame == nullptr || frame->frame == nullptr || path == nullptr) return MOK_MEDIA_ERROR;
  ImageKind kind{};
  if (!image_kind_for(path, kind)) return MOK_MEDIA_ERROR;
  AVPacket* packet = av_packet_alloc();
  if (packet == nullptr) return MOK_MEDIA_ERROR;
  int32_t status = MOK_MEDIA_ERROR;
  if (encode_image(frame->frame, kind, packet) == 0) {
    if (std::FILE* f = std::fopen(path, "wb")) {
      const bool written =
          std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), f) == static_cast<size_t>(packet->size);
      if (std::fclose(f) == 0 && written) status = MOK_MEDIA_OK;
    }
  }
  av_packet_free(&packet);
  return status;
}

}  // extern "C"
