// Text forms of the codec ids, as log lines show them.
#include "media/codec_id.hpp"

namespace mok::media {

std::string to_string(CodecID codec) {
  switch (codec) {
    case CodecID::None:
      return "None";
    case CodecID::H264:
      return "H264";
    case CodecID::PNG:
      return "PNG";
    case CodecID::VP8:
      return "VP8";
    case CodecID::VP9:
      return "VP9";
    case CodecID::WEBP:
      return "WEBP";
    case CodecID::H265:
      return "H265";
    case CodecID::AV1:
      return "AV1";
  }
  return std::to_string(code(codec));
}

}  // namespace mok::media
