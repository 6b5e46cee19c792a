// A scripted stand-in for the decoder library: every entry point exists,
// answers what the control block says and counts its calls, so tests can
// produce on demand what a real decoder only does sometimes (NeedMore,
// failing configuration calls, slow decodes, end of file). Frames carry the
// first byte of their packet as pts so tests can follow them.
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#define MOK_MEDIA_BUILDING 1
#include "fake_media_control.hpp"
#include "mok_media.h"

namespace {
FakeMediaControl control;
}

struct mok_vdec {
  int unused = 0;
};

struct mok_vdec_frame {
  int64_t pts = 0;
  uint8_t pixels[16] = {};
};

struct mok_vmux {
  int64_t written = 0;
};

extern "C" {

MOK_MEDIA_API FakeMediaControl* mokfake_control() { return &control; }

MOK_MEDIA_API int32_t mok_media_ver_major(void) { return 0; }
MOK_MEDIA_API int32_t mok_media_ver_minor(void) { return 0; }
MOK_MEDIA_API int32_t mok_media_ver_patch(void) { return 1; }
MOK_MEDIA_API const char* mok_media_ver_str(void) { return "0.0.1-fake"; }

MOK_MEDIA_API mok_vdec_t* mok_vdec_new(void) {
  if (control.new_returns_null) return nullptr;
  ++control.decoders_made;
  return new (std::nothrow) mok_vdec;
}

MOK_MEDIA_API void mok_vdec_free(mok_vdec_t* dec) {
  if (dec == nullptr) return;
  ++control.decoders_freed;
  delete dec;
}

static mok_vdec_frame_t* make_frame(int64_t pts) {
  auto* f = new (std::nothrow) mok_vdec_frame;
  if (f == nullptr) return nullptr;
  f->pts = pts;
  f->pixels[0] = static_cast<uint8_t>(pts);
  ++control.frames_made;
  return f;
}

MOK_MEDIA_API int32_t mok_vdec_decode_frame(mok_vdec_t* dec, int64_t pts, const uint8_t* data, int32_t len,
                                            mok_vdec_frame_t** out) {
  ++control.decode_calls;
  control.last_decode_arg = pts;
  if (const int ms = control.decode_delay_ms; ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  if (dec == nullptr || out == nullptr) return -1;
  if (const int32_t status = control.decode_status; status != 0) return status;
  *out = make_frame(len > 0 && data != nullptr ? data[0] : -1);
  return *out != nullptr ? 0 : -1;
}

MOK_MEDIA_API int32_t mok_vdec_flush(mok_vdec_t*) {
  ++control.flush_calls;
  return control.flush_status;
}
MOK_MEDIA_API int32_t mok_vdec_set_icodec(mok_vdec_t*, uint32_t codec) {
  if (control.set_icodec_status != 0) return control.set_icodec_status;
  control.last_icodec = codec;
  return 0;
}
MOK_MEDIA_API int32_t mok_vdec_set_oformat(mok_vdec_t*, int32_t format) {
  if (control.set_oformat_status != 0) return control.set_oformat_status;
  control.last_oformat = format;
  return 0;
}
MOK_MEDIA_API int32_t mok_vdec_set_oscale(mok_vdec_t*, float scale) {
  if (control.set_oscale_status != 0) return control.set_oscale_status;
  control.last_oscale = scale;
  return 0;
}
MOK_MEDIA_API int32_t mok_vdec_set_osize(mok_vdec_t*, int32_t, int32_t) { return 0; }

MOK_MEDIA_API int32_t mok_vdec_frame_info(const mok_vdec_frame_t* frame, mok_vdec_frame_info_t* info) {
  if (frame == nullptr || info == nullptr) return -1;
  if (const int32_t status = control.frame_info_status; status != 0) return status;
  info->data[0] = const_cast<uint8_t*>(frame->pixels);
  info->linesize[0] = 16;
  info->format = 8;  // Gray8
  info->pts = frame->pts;
  info->opaque = const_cast<mok_vdec_frame_t*>(frame);
  info->width = 16;
  info->height = 1;
  return 0;
}

MOK_MEDIA_API void mok_vdec_frame_free(mok_vdec_frame_t* frame) {
  if (frame == nullptr) return;
  ++control.frames_freed;
  delete frame;
}

MOK_MEDIA_API int32_t mok_vdec_frame_save(const mok_vdec_frame_t*, const char*) { return -1; }

MOK_MEDIA_API int32_t mok_vdec_open_file(mok_vdec_t*, const char*) {
  ++control.open_file_calls;
  control.file_position = 0;
  return control.open_file_status;
}
MOK_MEDIA_API int32_t mok_vdec_close_file(mok_vdec_t*) {
  ++control.close_file_calls;
  return 0;
}
MOK_MEDIA_API int32_t mok_vdec_read_frame(mok_vdec_t*, mok_vdec_frame_t** out) {
  ++control.read_calls;
  if (control.read_fails) return -1;
  if (control.file_position >= control.file_frames) return 1;
  *out = make_frame(control.file_position++);
  return 0;
}

#ifndef FAKE_MEDIA_OMIT_SEEK
MOK_MEDIA_API int32_t mok_vdec_seek(mok_vdec_t*, double) { return 0; }
#endif

MOK_MEDIA_API int32_t mok_vdec_is_file_open(mok_vdec_t*) { return 0; }
MOK_MEDIA_API double mok_vdec_get_file_duration(mok_vdec_t*) { return 0.0; }
MOK_MEDIA_API int64_t mok_vdec_get_file_frame_count(mok_vdec_t*) { return control.file_frames; }
MOK_MEDIA_API double mok_vdec_get_file_frame_rate(mok_vdec_t*) { return control.file_frame_rate; }
MOK_MEDIA_API int32_t mok_vdec_seek_to_frame_index(mok_vdec_t*, int64_t index) {
  control.last_seek_index = index;
  if (control.seek_status != 0) return control.seek_status;
  control.file_position = index;
  return 0;
}
MOK_MEDIA_API int64_t mok_vdec_get_current_frame_index(mok_vdec_t*) { return control.file_position; }

MOK_MEDIA_API mok_vmux_t* mok_vmux_new(const char*, int32_t, int32_t, double) {
  return new (std::nothrow) mok_vmux;
}
MOK_MEDIA_API void mok_vmux_free(mok_vmux_t* mux) { delete mux; }
MOK_MEDIA_API int64_t mok_vmux_written_bytes(const mok_vmux_t* mux) { return mux != nullptr ? mux->written : -1; }
MOK_MEDIA_API int32_t mok_vmux_flush(mok_vmux_t*) { return 0; }
MOK_MEDIA_API int32_t mok_vmux_renew(mok_vmux_t*, const char*) { return 0; }
MOK_MEDIA_API int32_t mok_vmux_set_icodec(mok_vmux_t*, uint32_t) { return 0; }
MOK_MEDIA_API int32_t mok_vmux_write_frame(mok_vmux_t* mux, const uint8_t*, int32_t len, int64_t) {
  if (mux == nullptr || len < 0) return -1;
  mux->written += len;
  return 0;
}

}  // extern "C"
