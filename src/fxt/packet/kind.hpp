// What a packet's payload holds. The codes are fixed by the wire protocol;
// an enumerator may also carry an undefined code when a host stores one
// through the C interface, so code that switches on Kind must expect that.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace mok::fxt {

enum class Kind : uint8_t {
  Data = 0,
  Headers = 1,
  Priority = 2,
  Reset = 3,
  Settings = 4,
  PushPromise = 5,
  Ping = 6,
  GoAway = 7,
  WindowUpdate = 8,
  Continuation = 9,
  FlexRegs = 20,
  Json = 21,
  Xml = 22,
  VideoH264 = 23,
  VideoH265 = 24,
  VideoVP8 = 25,
  VideoVP9 = 26,
  RawGray8 = 30,
  RawGray16 = 31,
  RawYuv = 32,
  RawRgb = 33,
  Unknown = 255,
};

// Bit c set for every code c that is valid in a received head.
inline constexpr uint64_t kValidKindCodes = 0x3C7F003FFull;

// The member for a code valid on receipt; nullopt for undefined codes and 255.
constexpr std::optional<Kind> kind_from_code(uint8_t code) noexcept {
  if (code > 33 || ((kValidKindCodes >> code) & 1u) == 0) return std::nullopt;
  return static_cast<Kind>(code);
}

constexpr uint8_t to_code(Kind kind) noexcept { return static_cast<uint8_t>(kind); }

// The member's name; "Unknown" for 255 and for undefined codes.
std::string_view to_string(Kind kind) noexcept;

}  // namespace mok::fxt
