// Kind names as logs show them.
#include "fxt/packet/kind.hpp"

namespace mok::fxt {

std::string_view to_string(Kind kind) noexcept {
  switch (kind) {
    case Kind::Data:
      return "Data";
    case Kind::Headers:
      return "Headers";
    case Kind::Priority:
      return "Priority";
    case Kind::Reset:
      return "Reset";
    case Kind::Settings:
      return "Settings";
    case Kind::PushPromise:
      return "PushPromise";
    case Kind::Ping:
      return "Ping";
    case Kind::GoAway:
      return "GoAway";
    case Kind::WindowUpdate:
      return "WindowUpdate";
    case Kind::Continuation:
      return "Continuation";
    case Kind::FlexRegs:
      return "FlexRegs";
    case Kind::Json:
      return "Json";
    case Kind::Xml:
      return "Xml";
    case Kind::VideoH264:
      return "VideoH264";
    case Kind::VideoH265:
      return "VideoH265";
    case Kind::VideoVP8:
      return "VideoVP8";
    case Kind::VideoVP9:
      return "VideoVP9";
    case Kind::RawGray8:
      return "RawGray8";
    case Kind::RawGray16:
      return "RawGray16";
    case Kind::RawYuv:
      return "RawYuv";
    case Kind::RawRgb:
      return "RawRgb";
    case Kind::Unknown:
      break;
  }
  return "Unknown";
}

}  // namespace mok::fxt
