// File decoding: the library opens a video file with libavformat, reads and
// decodes its best video stream frame by frame, and seeks by time or frame
// index (to the key frame before, then decoding forward to the exact frame).
#include <cmath>
#include <new>

#include "internal.hpp"
#include "log.hpp"

using namespace mok_media;

namespace {

AVStream* stream_of(const FileSource* file) { return file->format->streams[file->stream]; }

// Frame-accurate seek: start at the key frame at or before `ts` (stream time
// base) and let reads drop the frames before `keep_from`.
int32_t seek_to_ts(FileSource* file, int64_t ts, int64_t keep_from) {
  if (av_seek_frame(file->format, file->stream, ts, AVSEEK_FLAG_BACKWARD) < 0) {
    return MOK_MEDIA_ERROR;
  }
  avcodec_flush_buffers(file->codec);
  file->skip_before = keep_from;
  file->draining = false;
  file->finished = false;
  return MOK_MEDIA_OK;
}

int64_t start_ts(const AVStream* st) { return st->start_time != AV_NOPTS_VALUE ? st->start_time : 0; }

// The next decoded picture of the file into `picture`: 0, 1 at the end, or
// negative on a read failure.
int next_picture(FileSource* file, AVFrame* picture, AVPacket* packet) {
  for (;;) {
    const int rc = avcodec_receive_frame(file->codec, picture);
    if (rc == 0) {
      const int64_t pts = picture->best_effort_timestamp;
      if (file->skip_before != AV_NOPTS_VALUE && pts != AV_NOPTS_VALUE && pts < file->skip_before) {
        av_frame_unref(picture);
        continue;
      }
      file->skip_before = AV_NOPTS_VALUE;
      return 0;
    }
    if (rc == AVERROR_EOF) {
      file->finished = true;
      return 1;
    }
    if (rc != AVERROR(EAGAIN)) return -1;
    if (file->draining) return 1;
    const int read = av_read_frame(file->format, packet);
    if (read == AVERROR_EOF) {
      file->draining = true;
      avcodec_send_packet(file->codec, nullptr);
      continue;
    }
    if (read < 0) return -1;
    if (packet->stream_index == file->stream) {
      // A damaged packet is skipped; the decoder resynchronises on the next.
      (void)avcodec_send_packet(file->codec, packet);
    }
    av_packet_unref(packet);
  }
}

}  // namespace

extern "C" {

MOK_MEDIA_API int32_t mok_vdec_close_file(mok_vdec_t* dec) {
  if (dec == nullptr) return MOK_MEDIA_OK;
  delete dec->file;
  dec->file = nullptr;
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vdec_open_file(mok_vdec_t* dec, const char* path) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (dec == nullptr || path == nullptr) return MOK_MEDIA_ERROR;
  mok_vdec_close_file(dec);
  auto* file = new (std::nothrow) FileSource;
  if (file == nullptr) return MOK_MEDIA_ERROR;
  // Allocated first so that what opening it logs is already the library's.
  AVFormatContext* format = avformat_alloc_context();
  adopt_log(format);
  bool ok = format != nullptr && avformat_open_input(&format, path, nullptr, nullptr) == 0;
  if (!ok) release_log(format);  // opening freed it
  file->format = ok ? format : nullptr;
  ok = ok && avformat_find_stream_info(file->format, nullptr) >= 0;
  if (ok) {
    file->stream = av_find_best_stream(file->format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    ok = file->stream >= 0;
  }
  if (ok) {
    AVStream* st = stream_of(file);
    file->codec = open_decoder(st->codecpar->codec_id, st->codecpar);
    ok = file->codec != nullptr;
    const AVRational rate = av_guess_frame_rate(file->format, st, nullptr);
    if (rate.num > 0 && rate.den > 0) file->frame_rate = av_q2d(rate);
  }
  if (!ok) {
    delete file;
    return MOK_MEDIA_ERROR;
  }
  dec->file = file;
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vdec_read_frame(mok_vdec_t* dec, mok_vdec_frame_t** out) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (dec == nullptr || out == nullptr || dec->file == nullptr) return MOK_MEDIA_ERROR;
  *out = nullptr;
  if (dec->file->finished) return MOK_MEDIA_NEED_MORE;
  const int rc = next_picture(dec->file, dec->picture, dec->packet);
  if (rc != 0) return rc > 0 ? MOK_MEDIA_NEED_MORE : MOK_MEDIA_ERROR;
  const int32_t status = hand_out(dec->output, dec->picture, out);
  av_frame_unref(dec->picture);
  // The frame was read either way: a failed conversion does not rewind.
  ++dec->file->next_index;
  return status;
}

MOK_MEDIA_API int32_t mok_vdec_seek(mok_vdec_t* dec, double seconds) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (dec == nullptr || dec->file == nullptr || !(seconds >= 0.0)) return MOK_MEDIA_ERROR;
  FileSource* file = dec->file;
  const AVStream* st = stream_of(file);
  const int64_t ts = start_ts(st) + static_cast<int64_t>(std::llround(seconds / av_q2d(st->time_base)));
  const int32_t status = seek_to_ts(file, ts, ts);
  if (status == MOK_MEDIA_OK) {
    file->next_index = file->frame_rate > 0 ? std::llround(seconds * file->frame_rate) : 0;
  }
  return status;
}

MOK_MEDIA_API int32_t mok_vdec_is_file_open(mok_vdec_t* dec) {
  return dec != nullptr && dec->file != nullptr ? 1 : 0;
}

MOK_MEDIA_API double mok_vdec_get_file_duration(mok_vdec_t* dec) {
  if (dec == nullptr || dec->file == nullptr) return 0.0;
  const AVFormatContext* fmt = dec->file->format;
  if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) {
    return static_cast<double>(fmt->duration) / AV_TIME_BASE;
  }
  const AVStream* st = stream_of(dec->file);
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
    return static_cast<double>(st->duration) * av_q2d(st->time_base);
  }
  return 0.0;
}

MOK_MEDIA_API int64_t mok_vdec_get_file_frame_count(mok_vdec_t* dec) {
  if (dec == nullptr || dec->file == nullptr) return -1;
  const AVStream* st = stream_of(dec->file);
  if (st->nb_frames > 0) return st->nb_frames;
  const double duration = mok_vdec_get_file_duration(dec);
  if (duration > 0 && dec->file->frame_rate > 0) {
    return std::llround(duration * dec->file->frame_rate);
  }
  return -1;
}

MOK_MEDIA_API double mok_vdec_get_file_frame_rate(mok_vdec_t* dec) {
  return dec != nullptr && dec->file != nullptr ? dec->file->frame_rate : 0.0;
}

MOK_MEDIA_API int32_t mok_vdec_seek_to_frame_index(mok_vdec_t* dec, int64_t index) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (dec == nullptr || dec->file == nullptr || index < 0 || dec->file->frame_rate <= 0) {
    return MOK_MEDIA_ERROR;
  }
  const int64_t count = mok_vdec_get_file_frame_count(dec);
  if (count >= 0 && index >= count) return MOK_MEDIA_ERROR;
  FileSource* file = dec->file;
  const AVStream* st = stream_of(file);
  const AVRational frame_duration = av_inv_q(av_d2q(file->frame_rate, 1 << 20));
  const int64_t ts = start_ts(st) + av_rescale_q(index, frame_duration, st->time_base);
  // Time stamps are rounded to the container's time base: anything within
  // half a frame of the computed time is the frame asked for.
  const int64_t half = av_rescale_q(1, frame_duration, st->time_base) / 2;
  const int32_t status = seek_to_ts(file, ts, ts - half);
  if (status == MOK_MEDIA_OK) file->next_index = index;
  return status;
}

MOK_MEDIA_API int64_t mok_vdec_get_current_frame_index(mok_vdec_t* dec) {
  return dec != nullptr && dec->file != nullptr ? dec->file->next_index : -1;
}

}  // extern "C"
