// The stand-in decoder library fed random and mutated H.264/H.265 access
// units. Input: one control byte (codec, output format, scale), then access
// units each preceded by a 16-bit little-endian length (the last one takes
// what is left). Every frame handed out must describe a readable picture,
// and no input may crash, hang or leak.
#include <cstring>

#include "check.hpp"
#include "mok_media.h"

namespace {
constexpr uint32_t kH264 = 27;
constexpr uint32_t kH265 = 173;
// A few output formats hosts ask for: YUV420P, RGB24, BGR24, GRAY8.
constexpr int32_t kFormats[] = {0, 2, 3, 8};
constexpr float kScales[] = {1.0f, 0.5f, 0.25f, 0.75f};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mok::fuzz::Control ctl(data, size);
  const uint8_t mode = ctl.u8();
  mok_vdec_t* dec = mok_vdec_new();
  FUZZ_CHECK(dec != nullptr);
  FUZZ_CHECK(mok_vdec_set_icodec(dec, (mode & 1) ? kH265 : kH264) == MOK_MEDIA_OK);
  FUZZ_CHECK(mok_vdec_set_oformat(dec, kFormats[(mode >> 1) & 3]) == MOK_MEDIA_OK);
  FUZZ_CHECK(mok_vdec_set_oscale(dec, kScales[(mode >> 3) & 3]) == MOK_MEDIA_OK);

  int64_t pts = 1;
  while (ctl.remaining() > 0) {
    size_t n = ctl.u16();
    if (n == 0 || n > ctl.remaining()) n = ctl.remaining();
    auto unit = ctl.take(n);
    if (unit.empty()) break;
    mok_vdec_frame_t* frame = nullptr;
    const int32_t rc = mok_vdec_decode_frame(dec, pts++, unit.data(), static_cast<int32_t>(unit.size()), &frame);
    FUZZ_CHECK(rc == MOK_MEDIA_OK || frame == nullptr);
    if (rc != MOK_MEDIA_OK) continue;
    FUZZ_CHECK(frame != nullptr);
    mok_vdec_frame_info_t info;
    std::memset(&info, 0, sizeof info);
    FUZZ_CHECK(mok_vdec_frame_info(frame, &info) == MOK_MEDIA_OK);
    FUZZ_CHECK(info.width > 0 && info.height > 0);
    FUZZ_CHECK(info.data[0] != nullptr && info.linesize[0] > 0);
    // Touch the first and last byte of the first plane's last row.
    volatile uint8_t sink = info.data[0][0];
    sink = info.data[0][static_cast<size_t>(info.linesize[0]) * static_cast<size_t>(info.height - 1)];
    (void)sink;
    mok_vdec_frame_free(frame);
  }
  FUZZ_CHECK(mok_vdec_flush(dec) == MOK_MEDIA_OK);
  mok_vdec_free(dec);
  return 0;
}
