// Compressed input codecs understood by the decoder library. The numbers are
// FFmpeg's codec ids and cross the library boundary unchanged.
#pragma once

#include <cstdint>
#include <string>

namespace mok::media {

enum class CodecID : uint32_t {
  None = 0,
  H264 = 27,
  PNG = 61,
  VP8 = 139,
  VP9 = 167,
  WEBP = 171,
  H265 = 173,
  AV1 = 225,
};

// The largest code the library knows.
inline constexpr uint32_t kCodecIdMax = 225;

// "H264", "H265", ...; an unnamed code shows as its number.
std::string to_string(CodecID codec);

constexpr uint32_t code(CodecID codec) noexcept { return static_cast<uint32_t>(codec); }

}  // namespace mok::media
