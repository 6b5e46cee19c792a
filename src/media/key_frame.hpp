// Whether a compressed access unit starts a point where decoding can begin
// afresh: an H.264 IDR slice or parameter set, an H.265 random-access
// picture or parameter set. Used to resume a stream whose earlier units were
// dropped, so the decoder never starts from a unit that needs one it lost.
#pragma once

#include <cstdint>
#include <span>

#include "media/codec_id.hpp"

namespace mok::media {

// Looks at every NAL unit after an Annex B start code (00 00 01, also
// within 00 00 00 01). False for other codecs and for bytes without one.
bool is_key_frame(CodecID codec, std::span<const std::uint8_t> unit) noexcept;

}  // namespace mok::media
