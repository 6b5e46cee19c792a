// Snapshot payloads from the wire: the image keeps every byte, its format
// follows the leading magic bytes only, and only raw images take the
// device's reported dimensions, and only when their data holds that many
// pixels, so width x height never reaches past it.
#include <cstddef>
#include <cstring>

#include "brelo/payload_decode.hpp"
#include "check.hpp"

using namespace mok::brelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mok::fuzz::Control ctl(data, size);
  const uint16_t width = ctl.u16();
  const uint16_t height = ctl.u16();
  const auto payload = ctl.rest();

  const SnapshotFormat fmt = detect_snapshot_format(payload);
  const auto starts = [&](std::initializer_list<uint8_t> magic) {
    return payload.size() >= magic.size() && std::memcmp(payload.data(), magic.begin(), magic.size()) == 0;
  };
  if (starts({0xFF, 0xD8, 0xFF})) {
    FUZZ_CHECK(fmt == SnapshotFormat::Jpeg);
  } else if (starts({0x89, 'P', 'N', 'G'})) {
    FUZZ_CHECK(fmt == SnapshotFormat::Png);
  } else {
    FUZZ_CHECK(fmt == SnapshotFormat::Raw);
  }

  const SnapshotImage img = make_snapshot_image(payload, width, height);
  FUZZ_CHECK(img.format == fmt);
  FUZZ_CHECK(img.data.size() == payload.size());
  FUZZ_CHECK(payload.empty() || std::memcmp(img.data.data(), payload.data(), payload.size()) == 0);
  if (fmt == SnapshotFormat::Raw && payload.size() >= std::size_t{width} * height) {
    FUZZ_CHECK(img.width == width && img.height == height);
  } else {
    FUZZ_CHECK(img.width == 0 && img.height == 0);
  }
  return 0;
}
