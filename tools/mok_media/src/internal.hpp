// What the parts of the stand-in decoder library share: the decoder and
// frame objects and the conversion of decoded pictures to the output format.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <cstdint>

#include "mok_media.h"

namespace mok_media {

// The codes cross our callers' boundary as plain numbers; FFmpeg's
// enumerations must be the numbers they were built against.
static_assert(AV_PIX_FMT_RGBA == 26 && AV_PIX_FMT_NV12 == 23 && AV_PIX_FMT_GRAY16LE == 30);
static_assert(AV_CODEC_ID_H264 == 27 && AV_CODEC_ID_HEVC == 173 && AV_CODEC_ID_VP9 == 167);

// Codec codes of this interface are FFmpeg's, except that AV1 is always 225
// (FFmpeg has renumbered it between releases); 0 and unknown codes give
// AV_CODEC_ID_NONE.
AVCodecID to_av_codec(uint32_t code);

// Output format, scale and size, and the scaler that goes with them.
struct Output {
  AVPixelFormat format = AV_PIX_FMT_RGBA;
  float scale = 1.0f;
  int width = 0;  // a fixed size wins over the scale
  int height = 0;
  SwsContext* sws = nullptr;

  ~Output();
  // A new frame holding `src` converted; null when it cannot be converted.
  AVFrame* convert(const AVFrame* src);
};

// Decoding from an opened file.
struct FileSource {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  int stream = -1;
  double frame_rate = 0.0;
  int64_t next_index = 0;                // index of the next frame read returns
  int64_t skip_before = AV_NOPTS_VALUE;  // after a seek: frames before this pts are dropped
  bool draining = false;
  bool finished = false;

  ~FileSource();
};

// Converts `picture` to the decoder's output and hands it out in *out as a
// new frame object: MOK_MEDIA_OK, or MOK_MEDIA_ERROR when it cannot.
int32_t hand_out(Output& output, const AVFrame* picture, mok_vdec_frame_t** out);

// Opens a decoder for `id`; null when FFmpeg has none or it fails to open.
AVCodecContext* open_decoder(AVCodecID id, const AVCodecParameters* params);

// Frees a decoder from open_decoder (null is fine) and sets *ctx to null.
void free_decoder(AVCodecContext** ctx);

// True when FFmpeg flagged the picture as damaged.
bool is_damaged(const AVFrame* frame);

}  // namespace mok_media

struct mok_vdec {
  AVCodecID codec = AV_CODEC_ID_HEVC;
  AVCodecContext* stream = nullptr;  // opened on the first data for `codec`
  AVPacket* packet = nullptr;
  AVFrame* picture = nullptr;
  int64_t decoded = 0;  // numbers frames when the caller gives no pts
  mok_media::Output output;
  mok_media::FileSource* file = nullptr;
};

struct mok_vdec_frame {
  AVFrame* frame = nullptr;
};
