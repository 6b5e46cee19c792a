// Recording compressed video: access units are written into a container
// file chosen by its extension. The stream's parameter sets are taken from
// the first packet that carries them, so recording starts at a key frame.
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "internal.hpp"
#include "log.hpp"

namespace {

// Calls `fn(type, begin, size)` for each Annex B NAL unit (start code included).
template <class Fn>
void for_each_nal(const uint8_t* data, size_t len, bool hevc, Fn fn) {
  size_t i = 0;
  auto start_code_at = [&](size_t k) {
    return k + 3 <= len && data[k] == 0 && data[k + 1] == 0 &&
           (data[k + 2] == 1 || (k + 4 <= len && data[k + 2] == 0 && data[k + 3] == 1));
  };
  while (i < len && !start_code_at(i)) ++i;
  while (i < len) {
    const size_t begin = i;
    i += data[i + 2] == 1 ? 3 : 4;
    if (i >= len) break;
    const int type = hevc ? (data[i] >> 1) & 0x3f : data[i] & 0x1f;
    size_t end = i;
    while (end < len && !start_code_at(end)) ++end;
    fn(type, data + begin, end - begin);
    i = end;
  }
}

bool is_parameter_set(int type, bool hevc) { return hevc ? (type >= 32 && type <= 34) : (type == 7 || type == 8); }

bool is_key(int type, bool hevc) { return hevc ? (type >= 16 && type <= 23) : type == 5; }

}  // namespace

struct mok_vmux {
  std::string path;
  int width = 0;
  int height = 0;
  AVRational time_base{};
  AVCodecID codec = AV_CODEC_ID_NONE;
  std::vector<uint8_t> extradata;  // Annex B parameter sets
  AVFormatContext* out = nullptr;
  AVPacket* packet = nullptr;
  int64_t next_pts = 0;
  int64_t last_pts = -1;
  int64_t finished_bytes = 0;

  // Finishes the current file, if one was started.
  int close_file() {
    if (out == nullptr) return 0;
    int rc = av_write_trailer(out);
    if (out->pb != nullptr) {
      finished_bytes = avio_tell(out->pb);
      if (avio_closep(&out->pb) < 0) rc = -1;
    }
    avformat_free_context(out);
    out = nullptr;
    last_pts = -1;
    return rc;
  }

  int open_file() {
    if (avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str()) < 0 &&
        avformat_alloc_output_context2(&out, nullptr, "matroska", path.c_str()) < 0) {
      return -1;
    }
    AVStream* st = avformat_new_stream(out, nullptr);
    bool ok = st != nullptr;
    if (ok) {
      st->time_base = time_base;
      st->avg_frame_rate = av_inv_q(time_base);
      AVCodecParameters* par = st->codecpar;
      par->codec_type = AVMEDIA_TYPE_VIDEO;
      par->codec_id = codec;
      par->width = width;
      par->height = height;
      if (!extradata.empty()) {
        par->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        ok = par->extradata != nullptr;
        if (ok) {
          std::copy(extradata.begin(), extradata.end(), par->extradata);
          par->extradata_size = static_cast<int>(extradata.size());
        }
      }
    }
    ok = ok && avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(out, nullptr) >= 0;
    if (!ok) {
      if (out->pb != nullptr) avio_closep(&out->pb);
      avformat_free_context(out);
      out = nullptr;
      return -1;
    }
    return 0;
  }
};

extern "C" {

MOK_MEDIA_API mok_vmux_t* mok_vmux_new(const char* path, int32_t width, int32_t height, double fps) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (path == nullptr || *path == '\0' || width <= 0 || height <= 0 || !(fps > 0) || fps > 1000) {
    return nullptr;
  }
  auto* mux = new (std::nothrow) mok_vmux;
  if (mux == nullptr) return nullptr;
  mux->packet = av_packet_alloc();
  if (mux->packet == nullptr) {
    delete mux;
    return nullptr;
  }
  mux->path = path;
  mux->width = width;
  mux->height = height;
  mux->time_base = av_inv_q(av_d2q(fps, 100000));
  return mux;
}

MOK_MEDIA_API void mok_vmux_free(mok_vmux_t* mux) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (mux == nullptr) return;
  mux->close_file();
  av_packet_free(&mux->packet);
  delete mux;
}

MOK_MEDIA_API int64_t mok_vmux_written_bytes(const mok_vmux_t* mux) {
  if (mux == nullptr) return -1;
  if (mux->out == nullptr || mux->out->pb == nullptr) return 0;
  return avio_tell(mux->out->pb);
}

MOK_MEDIA_API int32_t mok_vmux_flush(mok_vmux_t* mux) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (mux == nullptr) return MOK_MEDIA_ERROR;
  if (mux->out != nullptr && mux->out->pb != nullptr) avio_flush(mux->out->pb);
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vmux_renew(mok_vmux_t* mux, const char* path) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (mux == nullptr || path == nullptr || *path == '\0') return MOK_MEDIA_ERROR;
  const int rc = mux->close_file();
  mux->path = path;
  mux->next_pts = 0;
  return rc < 0 ? MOK_MEDIA_ERROR : MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vmux_set_icodec(mok_vmux_t* mux, uint32_t codec) {
  if (mux == nullptr || mux->out != nullptr) return MOK_MEDIA_ERROR;
  const AVCodecID id = mok_media::to_av_codec(codec);
  const AVCodecDescriptor* desc = avcodec_descriptor_get(id);
  if (desc == nullptr || desc->type != AVMEDIA_TYPE_VIDEO) return MOK_MEDIA_ERROR;
  if (id != mux->codec) mux->extradata.clear();
  mux->codec = id;
  return MOK_MEDIA_OK;
}

MOK_MEDIA_API int32_t mok_vmux_write_frame(mok_vmux_t* mux, const uint8_t* data, int32_t len, int64_t pts) {
  const mok_media::LogScope log_scope;  // FFmpeg's records meanwhile are ours
  if (mux == nullptr || data == nullptr || len <= 0 || mux->codec == AV_CODEC_ID_NONE) {
    return MOK_MEDIA_ERROR;
  }
  const bool annex_b = mux->codec == AV_CODEC_ID_H264 || mux->codec == AV_CODEC_ID_HEVC;
  const bool hevc = mux->codec == AV_CODEC_ID_HEVC;
  bool key = !annex_b;
  if (annex_b) {
    std::vector<uint8_t> sets;
    for_each_nal(data, static_cast<size_t>(len), hevc, [&](int type, const uint8_t* p, size_t n) {
      if (is_parameter_set(type, hevc)) sets.insert(sets.end(), p, p + n);
      if (is_key(type, hevc)) key = true;
    });
    if (mux->out == nullptr && !sets.empty()) mux->extradata = std::move(sets);
    // Without parameter sets and a key frame a file cannot start yet.
    if (mux->out == nullptr && (mux->extradata.empty() || !key)) return MOK_MEDIA_NEED_MORE;
  }
  if (mux->out == nullptr && mux->open_file() < 0) return MOK_MEDIA_ERROR;
  if (pts < 0) pts = mux->next_pts;
  if (pts <= mux->last_pts) return MOK_MEDIA_ERROR;

  AVPacket* pkt = mux->packet;
  av_packet_unref(pkt);
  if (av_new_packet(pkt, len) < 0) return MOK_MEDIA_ERROR;
  std::copy(data, data + len, pkt->data);
  AVStream* st = mux->out->streams[0];
  pkt->pts = av_rescale_q(pts, mux->time_base, st->time_base);
  pkt->dts = pkt->pts;
  pkt->duration = av_rescale_q(1, mux->time_base, st->time_base);
  pkt->stream_index = 0;
  if (key) pkt->flags |= AV_PKT_FLAG_KEY;
  const int rc = av_write_frame(mux->out, pkt);
  av_packet_unref(pkt);
  if (rc < 0) return MOK_MEDIA_ERROR;
  mux->last_pts = pts;
  mux->next_pts = pts + 1;
  return MOK_MEDIA_OK;
}

}  // extern "C"
