// Per-packet flag bits. The transport gives them no meaning; it carries them
// for the endpoints and masks undefined bits only when a head is received.
#pragma once

#include <cstdint>
#include <string>

namespace mok::fxt {

struct Flags {
  uint8_t bits = 0;

  constexpr Flags() noexcept = default;
  // Implicit so the bit constants below read as flag values.
  constexpr Flags(uint8_t b) noexcept : bits(b) {}  // NOLINT(google-explicit-constructor)

  static constexpr uint8_t kEndStream = 0x01;
  static constexpr uint8_t kEndHeaders = 0x04;
  static constexpr uint8_t kPadded = 0x08;
  static constexpr uint8_t kPriority = 0x20;
  static constexpr uint8_t kReadonly = 0x40;
  static constexpr uint8_t kAll = 0x6D;

  // Flags as read from the wire: undefined bits dropped.
  static constexpr Flags from_received(uint8_t bits) noexcept { return Flags{static_cast<uint8_t>(bits & kAll)}; }
  constexpr bool contains(uint8_t mask) const noexcept { return (bits & mask) == mask; }

  friend constexpr bool operator==(Flags, Flags) noexcept = default;
  friend constexpr Flags operator|(Flags a, Flags b) noexcept {
    return Flags{static_cast<uint8_t>(a.bits | b.bits)};
  }
};

// "END_STREAM | PADDED", "0x2", "END_STREAM | 0x80"; empty for no bits.
std::string to_string(Flags flags);
// "Flags(END_STREAM | PADDED)"; "Flags(0x0)" for no bits.
std::string debug_string(Flags flags);

}  // namespace mok::fxt
