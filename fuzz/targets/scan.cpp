// Scan-result payloads from the wire: decoding succeeds exactly for the
// payloads the validation rules admit, never reads past the payload (the
// input is copied into an exact-size allocation so the sanitizer sees any
// overread), and a decoded record holds the fields hosts rely on.
#include <cstring>
#include <vector>

#include "brelo/payload_decode.hpp"
#include "check.hpp"

using namespace mok::brelo;

namespace {
uint16_t u16(const uint8_t* p, size_t at) { return static_cast<uint16_t>(p[at] | (p[at + 1] << 8)); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> payload(data, data + size);
  const uint8_t* p = payload.data();
  auto r = decode_scan_result(payload);

  const bool admitted = size >= kScanHeaderLen && p[2] == 2 && u16(p, 1214) <= kMaxScanPoints &&
                        size_t{u16(p, 34)} + 36 <= size && kScanHeaderLen + 4 * size_t{u16(p, 1214)} <= size;
  FUZZ_CHECK(r.has_value() == admitted);
  if (!r) return 0;

  FUZZ_CHECK(r->point_count == u16(p, 1214));
  FUZZ_CHECK((r->points == nullptr) == (r->point_count == 0));
  for (uint32_t i = 0; i < r->point_count; ++i) {
    FUZZ_CHECK(r->points[i].x == 0.0f && r->points[i].reserved == 0.0f);
  }
  for (const auto& sp : r->seam_points) FUZZ_CHECK(sp.x == 0.0f && sp.reserved == 0.0f);
  uint64_t pts;
  std::memcpy(&pts, p + 36, 8);
  FUZZ_CHECK(r->pts == pts);
  FUZZ_CHECK(r->seam_found == (u16(p, 44) != 0));
  FUZZ_CHECK(r->seam_point_idx == u16(p, 50));
  FUZZ_CHECK(std::memcmp(r->seam_info.head.data(), p + 90, 8) == 0);
  FUZZ_CHECK(std::memcmp(r->seam_info.tail.data(), p + 170, 8) == 0);
  FUZZ_CHECK(r->seam_info.pad == 0);
  // An empty segment is all zero, its type included.
  for (const auto& seg : r->segments) {
    static const Segment zero{};
    if (seg.type == 0 && seg.value == 0.0f && seg.head == zero.head) continue;
    FUZZ_CHECK(seg.a.x == 0.0f && seg.b.x == 0.0f && seg.c.x == 0.0f);
  }
  return 0;
}
