// NAL unit types by codec: H.264 keeps the type in the low five bits of the
// first header byte, H.265 in bits 1 to 6.
#include "media/key_frame.hpp"

#include <cstring>

namespace mok::media {
namespace {

constexpr std::uint8_t kH264Idr = 5;
constexpr std::uint8_t kH264Sps = 7;
constexpr std::uint8_t kH265FirstIrap = 16;  // BLA, IDR and CRA pictures
constexpr std::uint8_t kH265LastIrap = 21;
constexpr std::uint8_t kH265Vps = 32;
constexpr std::uint8_t kH265Sps = 33;

bool is_key_nal(CodecID codec, std::uint8_t header) noexcept {
  if (codec == CodecID::H264) {
    const std::uint8_t type = header & 0x1F;
    return type == kH264Idr || type == kH264Sps;
  }
  const std::uint8_t type = (header >> 1) & 0x3F;
  return (type >= kH265FirstIrap && type <= kH265LastIrap) || type == kH265Vps || type == kH265Sps;
}

}  // namespace

bool is_key_frame(CodecID codec, std::span<const std::uint8_t> unit) noexcept {
  if (codec != CodecID::H264 && codec != CodecID::H265) {
    return false;
  }
  const std::uint8_t* p = unit.data();
  const std::uint8_t* const end = unit.data() + unit.size();
  while (end - p >= 4) {
    // A start code's zero bytes; memchr keeps the scan of long slices fast.
    const auto* zero = static_cast<const std::uint8_t*>(std::memchr(p, 0, static_cast<std::size_t>(end - p - 3)));
    if (zero == nullptr) {
      return false;
    }
    if (zero[1] == 0 && zero[2] == 1 && is_key_nal(codec, zero[3])) {
      return true;
    }
    p = zero + 1;
  }
  return false;
}

}  // namespace mok::media
